// Read throughput of one file: sequential reads of 1 MiB over the whole file
// or random 4 KiB reads at 4 KiB-aligned offsets, optionally from a cold
// cache (the page caches of the given paths, files or block devices, are
// dropped first with POSIX_FADV_DONTNEED and BLKFLSBUF). Prints MiB/s.
// Used by bench/image_read.sh.
//
// Usage: bench_image_read seq|rand FILE [--count N] [--drop PATH]...

#include "common/unique_fd.hpp"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <random>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace
{

void drop_cache(const char *path)
{
    unique_fd fd(open(path, O_RDONLY | O_CLOEXEC));
    if (!fd) {
        std::fprintf(stderr, "bench_image_read: cannot open %s: %s\n", path, std::strerror(errno));
        return;
    }
    struct stat st;
    if (fstat(fd.get(), &st) == 0 && S_ISBLK(st.st_mode))
        ioctl(fd.get(), BLKFLSBUF, 0);
    fdatasync(fd.get());
    posix_fadvise(fd.get(), 0, 0, POSIX_FADV_DONTNEED);
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s seq|rand FILE [--count N] [--drop PATH]...\n", argv[0]);
        return 2;
    }
    const std::string mode = argv[1];
    const char *file = argv[2];
    long count = 16384;
    for (int i = 3; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--count") == 0)
            count = std::atol(argv[i + 1]);
        else if (std::strcmp(argv[i], "--drop") == 0)
            drop_cache(argv[i + 1]);
    }

    unique_fd fd(open(file, O_RDONLY | O_CLOEXEC));
    struct stat st;
    if (!fd || fstat(fd.get(), &st) != 0) {
        std::fprintf(stderr, "bench_image_read: %s: %s\n", file, std::strerror(errno));
        return 1;
    }
    off_t size = st.st_size;
    if (S_ISBLK(st.st_mode))
        ioctl(fd.get(), BLKGETSIZE64, &size);
    posix_fadvise(fd.get(), 0, 0, mode == "seq" ? POSIX_FADV_SEQUENTIAL : POSIX_FADV_RANDOM);

    const size_t block = mode == "seq" ? (1u << 20) : 4096;
    std::vector<char> buf(block);
    uint64_t total = 0;
    uint64_t checksum = 0;
    auto start = std::chrono::steady_clock::now();
    if (mode == "seq") {
        for (off_t off = 0; off < size; off += static_cast<off_t>(block)) {
            ssize_t n = pread(fd.get(), buf.data(), block, off);
            if (n <= 0)
                break;
            total += static_cast<uint64_t>(n);
            checksum += static_cast<unsigned char>(buf[0]);
        }
    } else {
        std::mt19937_64 rng(42);
        const uint64_t blocks = static_cast<uint64_t>(size) / block;
        for (long i = 0; i < count; ++i) {
            off_t off = static_cast<off_t>((rng() % blocks) * block);
            ssize_t n = pread(fd.get(), buf.data(), block, off);
            if (n <= 0) {
                std::fprintf(stderr, "bench_image_read: read at %jd: %s\n",
                             static_cast<intmax_t>(off), n < 0 ? std::strerror(errno) : "EOF");
                return 1;
            }
            total += static_cast<uint64_t>(n);
            checksum += static_cast<unsigned char>(buf[0]);
        }
    }
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%.1f\n", static_cast<double>(total) / (1 << 20) / secs);
    std::fprintf(stderr, "%s %s: %ju bytes in %.3f s (checksum %ju)\n", mode.c_str(), file,
                 static_cast<uintmax_t>(total), secs, static_cast<uintmax_t>(checksum));
    return 0;
}
