// Read throughput of a linear device of the user-space device-mapper
// stand-in, as a ratio to reading the loop device under it directly, in one
// run: sequential and random 4 KiB reads with O_DIRECT (the device path, not
// the page cache), plus sequential buffered 4 KiB reads from a cold cache.
//
// Needs root, /dev/fuse and loop devices. Runs in its own mount namespace
// with a private /dev/mapper and daemon directory, and removes everything it
// made. Usage: bench_dm_linear [size_mib] [seconds_per_case]

#include "dm_proto.hpp"

#include "common/unique_fd.hpp"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <linux/loop.h>
#include <memory>
#include <random>
#include <string>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace rfsdm;
using clk = std::chrono::steady_clock;

namespace {

constexpr size_t block = 4096;

struct free_deleter {
    void operator()(void *p) const { std::free(p); }
};

int die(const char *what)
{
    std::fprintf(stderr, "bench_dm_linear: %s: %s\n", what, std::strerror(errno));
    return 1;
}

// A loop device over a file, detached when the owner goes.
struct loop_attachment {
    int nr = -1;
    std::string path;
    ~loop_attachment()
    {
        if (nr < 0)
            return;
        unique_fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
        if (fd)
            ::ioctl(fd.get(), LOOP_CLR_FD, 0);
    }
    bool attach(const std::string &file)
    {
        unique_fd ffd(::open(file.c_str(), O_RDWR | O_CLOEXEC));
        unique_fd ctl(::open("/dev/loop-control", O_RDWR | O_CLOEXEC));
        if (!ffd || !ctl)
            return false;
        for (int attempt = 0; attempt < 50; ++attempt) {
            int n = ::ioctl(ctl.get(), LOOP_CTL_GET_FREE);
            if (n < 0)
                return false;
            std::string p = "/dev/loop" + std::to_string(n);
            unique_fd lfd(::open(p.c_str(), O_RDWR | O_CLOEXEC));
            if (!lfd)
                continue;
            loop_config cfg{};
            cfg.fd = uint32_t(ffd.get());
            cfg.block_size = 512;
            if (::ioctl(lfd.get(), LOOP_CONFIGURE, &cfg) == 0) {
                nr = n;
                path = p;
                return true;
            }
        }
        return false;
    }
};

bool dm(std::vector<std::string> args, const std::string &input = "")
{
    dm_request req;
    req.args = std::move(args);
    req.input = input;
    dm_reply rep;
    std::string error;
    if (!dm_call(req, rep, error)) {
        std::fprintf(stderr, "bench_dm_linear: %s\n", error.c_str());
        return false;
    }
    if (rep.rc != 0)
        std::fprintf(stderr, "%s", rep.err.c_str());
    return rep.rc == 0;
}

struct result {
    double mib_per_s = 0;
    uint64_t ops = 0;
};

// One reader of 4 KiB blocks, sequential (wrapping) or at random aligned
// offsets, that can run in slices.
struct reader {
    unique_fd fd;
    std::unique_ptr<char, free_deleter> buf{static_cast<char *>(std::aligned_alloc(block, block))};
    std::mt19937_64 rng{42};
    bool random = false;
    uint64_t blocks = 0, pos = 0, ops = 0;
    double secs = 0;

    bool open(const std::string &dev, bool direct, bool rnd, uint64_t size)
    {
        fd = unique_fd(::open(dev.c_str(), O_RDONLY | O_CLOEXEC | (direct ? O_DIRECT : 0)));
        if (!fd)
            return die(dev.c_str()), false;
        if (!direct)
            ::ioctl(fd.get(), BLKFLSBUF, 0); // cold cache for the buffered case
        random = rnd;
        blocks = size / block;
        return true;
    }
    bool run(double seconds)
    {
        auto start = clk::now();
        auto deadline = start + std::chrono::duration<double>(seconds);
        do {
            for (int i = 0; i < 16; ++i) {
                uint64_t b = random ? rng() % blocks : pos++ % blocks;
                if (::pread(fd.get(), buf.get(), block, off_t(b * block)) != ssize_t(block))
                    return die("read"), false;
                ++ops;
            }
        } while (clk::now() < deadline);
        secs += std::chrono::duration<double>(clk::now() - start).count();
        return true;
    }
    double mib_per_s() const { return secs > 0 ? double(ops) * block / secs / (1 << 20) : 0; }
};

// The machine is shared: both devices are read in alternating short slices
// so that a busy moment hits both alike.
bool compare(const std::string &loop, const std::string &mapped, bool direct, bool random, double seconds,
             uint64_t size, double &loop_mibs, double &mapped_mibs)
{
    reader l, m;
    if (!l.open(loop, direct, random, size) || !m.open(mapped, direct, random, size))
        return false;
    constexpr double slice = 0.25;
    for (double spent = 0; spent < seconds; spent += 2 * slice)
        if (!l.run(slice) || !m.run(slice))
            return false;
    loop_mibs = l.mib_per_s();
    mapped_mibs = m.mib_per_s();
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    uint64_t size_mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 256;
    double seconds = argc > 2 ? std::atof(argv[2]) : 3.0;
    if (::geteuid() != 0) {
        std::fprintf(stderr, "bench_dm_linear: needs root\n");
        return 77;
    }
    // Private mounts: /dev/mapper and the daemon's directory are ours alone.
    if (::unshare(CLONE_NEWNS) < 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) < 0)
        return die("private mount namespace");
    ::mkdir("/dev/mapper", 0755);
    if (::mount("bench", "/dev/mapper", "tmpfs", 0, "mode=755") < 0)
        return die("tmpfs on /dev/mapper");
    char tmpl[] = "/tmp/bench_dm_linear.XXXXXX";
    if (!::mkdtemp(tmpl))
        return die("mkdtemp");
    std::string work = tmpl;
    ::setenv("RFS_DM_RUN_DIR", (work + "/run").c_str(), 1);
    std::string image = work + "/disk.img";

    int rc = 0;
    {
        // Real data, so that nothing is served from holes.
        unique_fd img(::open(image.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
        std::vector<char> chunk(1 << 20);
        std::mt19937_64 rng(7);
        for (uint64_t i = 0; i < size_mib; ++i) {
            for (size_t j = 0; j < chunk.size(); j += 8) {
                uint64_t v = rng();
                std::memcpy(&chunk[j], &v, 8);
            }
            if (::write(img.get(), chunk.data(), chunk.size()) != ssize_t(chunk.size()))
                return die("write image");
        }
        loop_attachment loop;
        if (!loop.attach(image))
            return die("loop attach");
        uint64_t size = size_mib << 20;
        std::string table = "0 " + std::to_string(size / 512) + " linear " + loop.path + " 0\n";
        if (!dm({"create", "bench"}, table)) {
            rc = 1;
        } else {
            std::string mapped = "/dev/mapper/bench";
            // Warm the backing file's page cache so that both paths read the
            // same cached data.
            {
                reader warm;
                if (warm.open(loop.path, false, false, size))
                    warm.run(1.0);
            }
            std::printf("device size %ju MiB, %.1f s per case, 4 KiB reads\n", uintmax_t(size_mib), seconds);
            struct named_case {
                const char *name;
                bool direct, random;
            } cases[] = {{"sequential O_DIRECT", true, false},
                         {"random O_DIRECT", true, true},
                         {"sequential buffered", false, false}};
            for (auto &c : cases) {
                double l = 0, m = 0;
                if (!compare(loop.path, mapped, c.direct, c.random, seconds, size, l, m)) {
                    rc = 1;
                    break;
                }
                std::printf("%-20s loop %9.1f MiB/s   stand-in %9.1f MiB/s   ratio %.3f\n", c.name, l, m,
                            l > 0 ? m / l : 0.0);
            }
            dm({"remove", "bench"});
        }
        dm_request req;
        req.args = {"__shutdown"};
        dm_reply rep;
        bool running = false;
        std::string error;
        dm_call_if_running(req, rep, running, error);
        // Wait for the daemon to let go of its mount before the directory goes.
        for (int i = 0; i < 500 && ::access((work + "/run/ctl.sock").c_str(), F_OK) == 0; ++i)
            ::usleep(10000);
    }
    ::unlink(image.c_str());
    std::string rm = "rm -rf '" + work + "'";
    if (std::system(rm.c_str()) != 0)
        std::fprintf(stderr, "bench_dm_linear: could not remove %s\n", work.c_str());
    ::umount2("/dev/mapper", MNT_DETACH);
    return rc;
}
