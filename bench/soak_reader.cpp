// Reader threads of the soak run: each thread opens an image of the mount,
// reads a few ranges of random offset and length, compares every byte with
// the expected content, and closes it again, until the time is up. The
// images that the threads pick from are a window that moves over the list,
// so that images fall idle for long enough to be evicted and are opened
// again later. Prints the totals; exit status 1 when any read failed or
// differed. Used by bench/soak.sh.
//
// Usage: bench_soak_reader SECONDS THREADS LIST [--window N] [--shift SECONDS]
// LIST: one "MOUNTED-PATH EXPECTED-PATH" line per image.

#include "common/unique_fd.hpp"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <random>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

using soak_clock = std::chrono::steady_clock;

constexpr int READS_PER_OPEN = 8;
constexpr size_t MAX_READ = 256 * 1024;
constexpr int STEP = 4; // images the window moves by at each shift
constexpr int ERRORS_SHOWN = 10;

struct image_t {
    std::string mounted;
    unique_fd expected;
    off_t size = 0;
};

struct totals_t {
    std::atomic<uint64_t> bytes{0};
    std::atomic<uint64_t> reads{0};
    std::atomic<uint64_t> opens{0};
    std::atomic<uint64_t> errors{0};
};

struct run_t {
    std::vector<image_t> images;
    soak_clock::time_point start;
    soak_clock::time_point end;
    int window = 16;
    int shift_seconds = 20;
    totals_t totals;
    std::mutex report_mutex;
};

// Counts a failure and shows the first few: the image, then what happened.
void report_error(run_t &run, const image_t &image, const std::string &what)
{
    if (run.totals.errors.fetch_add(1) >= ERRORS_SHOWN)
        return;
    std::lock_guard lock(run.report_mutex);
    std::fprintf(stderr, "soak: %s: %s\n", image.mounted.c_str(), what.c_str());
}

// The image a thread reads next: one of the window's, which starts further
// along the list at every shift.
size_t pick_image(run_t &run, std::mt19937_64 &rng)
{
    auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(soak_clock::now() - run.start);
    size_t count = run.images.size();
    size_t first = static_cast<size_t>(elapsed.count() / run.shift_seconds) * STEP;
    size_t window = std::min(count, static_cast<size_t>(run.window));
    return (first + rng() % window) % count;
}

// One range of one open image, compared with the expected bytes.
void read_range(run_t &run, const image_t &image, int fd, std::mt19937_64 &rng,
                std::vector<char> &got, std::vector<char> &want)
{
    off_t offset = static_cast<off_t>(rng() % static_cast<uint64_t>(image.size));
    size_t length = 1 + rng() % MAX_READ;
    ssize_t n = pread(fd, got.data(), length, offset);
    if (n < 0) {
        report_error(run, image, "read at " + std::to_string(offset) + ": " + std::strerror(errno));
        return;
    }
    ssize_t m = pread(image.expected.get(), want.data(), length, offset);
    run.totals.reads++;
    run.totals.bytes += static_cast<uint64_t>(n);
    if (n != m) {
        report_error(run, image,
                     "read at " + std::to_string(offset) + " gave " + std::to_string(n) + " bytes");
        return;
    }
    if (std::memcmp(got.data(), want.data(), static_cast<size_t>(n)) != 0)
        report_error(run, image,
                     "read at " + std::to_string(offset) + " of " + std::to_string(n) +
                         " bytes differs");
}

void reader(run_t &run, unsigned seed)
{
    std::mt19937_64 rng(seed);
    std::vector<char> got(MAX_READ), want(MAX_READ);
    while (soak_clock::now() < run.end) {
        const image_t &image = run.images[pick_image(run, rng)];
        unique_fd fd(open(image.mounted.c_str(), O_RDONLY | O_CLOEXEC));
        if (!fd) {
            report_error(run, image, std::string("open: ") + std::strerror(errno));
            continue;
        }
        run.totals.opens++;
        for (int i = 0; i < READS_PER_OPEN; ++i)
            read_range(run, image, fd.get(), rng, got, want);
    }
}

bool load_images(const char *list, std::vector<image_t> &images)
{
    std::ifstream in(list);
    std::string mounted, expected;
    while (in >> mounted >> expected) {
        image_t image;
        image.mounted = mounted;
        image.expected = unique_fd(open(expected.c_str(), O_RDONLY | O_CLOEXEC));
        struct stat st;
        if (!image.expected || fstat(image.expected.get(), &st) != 0 || st.st_size == 0) {
            std::fprintf(stderr, "soak: cannot use %s\n", expected.c_str());
            return false;
        }
        image.size = st.st_size;
        images.push_back(std::move(image));
    }
    return !images.empty();
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s SECONDS THREADS LIST [--window N] [--shift SECONDS]\n",
                     argv[0]);
        return 2;
    }
    run_t run;
    const int seconds = std::atoi(argv[1]);
    const int threads = std::atoi(argv[2]);
    for (int i = 4; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--window") == 0)
            run.window = std::max(1, std::atoi(argv[i + 1]));
        else if (std::strcmp(argv[i], "--shift") == 0)
            run.shift_seconds = std::max(1, std::atoi(argv[i + 1]));
    }
    if (!load_images(argv[3], run.images))
        return 2;

    run.start = soak_clock::now();
    run.end = run.start + std::chrono::seconds(seconds);
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back(reader, std::ref(run), 1000u + static_cast<unsigned>(t));
    for (std::thread &t : pool)
        t.join();

    std::printf("bytes_read %llu\nreads %llu\nopens %llu\nerrors %llu\n",
                static_cast<unsigned long long>(run.totals.bytes.load()),
                static_cast<unsigned long long>(run.totals.reads.load()),
                static_cast<unsigned long long>(run.totals.opens.load()),
                static_cast<unsigned long long>(run.totals.errors.load()));
    return run.totals.errors.load() == 0 ? 0 : 1;
}
