#include "image/toldev_io.hpp"

#include "common/files.hpp"
#include "common/logging.hpp"
#include "controller/settings.hpp"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <vector>

namespace
{

constexpr int CLOSE_WAITS = 10; // one-second waits for the bitmap's users

// Counters of one tol_dev_read call, added to the device's statistics when
// the call ends on any path, so that an error keeps what was counted.
struct read_counters {
    tol_dev_stats_t &dst;
    uint64_t inuse_tests = 0;
    uint64_t runs = 0;
    uint64_t sectors_read = 0;
    uint64_t sectors_skipped = 0;
    uint64_t io_bytes = 0;

    explicit read_counters(tol_dev_stats_t &stats) : dst(stats) {}
    read_counters(const read_counters &) = delete;
    read_counters &operator=(const read_counters &) = delete;
    ~read_counters()
    {
        dst.inuse_tests += inuse_tests;
        dst.runs += runs;
        dst.sectors_read += sectors_read;
        dst.sectors_skipped += sectors_skipped;
        dst.io_bytes += io_bytes;
    }
};

// Sleeps one full second even when a child's end interrupts the sleep.
void sleep_one_second()
{
    struct timespec left = {1, 0};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

// Calls `run(used, from, to)` for each run of sectors [from, to) of one state
// in sectors [first, last] of `bitmap`, whose bit 0 is sector `base` (a
// multiple of 8). Whole bitmap bytes of the current run's state are passed
// over at once. Ends early, with false, when `run` returns false.
template <typename Run>
bool for_each_run(const uint8_t *bitmap, tol_sector_t base, tol_sector_t first, tol_sector_t last,
                  Run run)
{
    auto in_use = [&](tol_sector_t s) {
        const tol_sector_t bit = s - base;
        return ((bitmap[bit >> 3] >> (bit & 7)) & 1) != 0;
    };
    bool state = in_use(first);
    tol_sector_t run_start = first;
    for (tol_sector_t s = first + 1; s <= last; ++s) {
        if (((s - base) & 7) == 0 && s + 7 <= last &&
            bitmap[(s - base) >> 3] == (state ? 0xff : 0x00)) {
            s += 7;
            continue;
        }
        if (in_use(s) == state)
            continue;
        if (!run(state, run_start, s))
            return false;
        state = !state;
        run_start = s;
    }
    return run(state, run_start, last + 1);
}

// The kept chunk that starts at `start`, read from the file when missing
// (the least recently used one makes room). Null when the read fails.
const tol_bitmap_cache::chunk *bitmap_chunk(tol_dev_desc_t *pdev, off_t start, int *read_errno)
{
    tol_bitmap_cache &cache = pdev->bmap_cache;
    ++cache.clock;
    for (auto &c : cache.chunks)
        if (c.start == start) {
            c.used = cache.clock;
            return &c;
        }
    std::vector<uint8_t> bytes(TOL_BITMAP_CHUNK);
    ssize_t got;
    do
        got = pread(pdev->bmap_fd.get(), bytes.data(), bytes.size(), start);
    while (got < 0 && errno == EINTR);
    if (got < 0) {
        *read_errno = errno;
        return nullptr;
    }
    bytes.resize(static_cast<size_t>(got));
    bytes.shrink_to_fit();
    if (cache.chunks.size() >= TOL_BITMAP_CHUNKS_KEPT) {
        auto oldest =
            std::min_element(cache.chunks.begin(), cache.chunks.end(),
                             [](const auto &a, const auto &b) { return a.used < b.used; });
        cache.chunks.erase(oldest);
    }
    cache.chunks.push_back({start, std::move(bytes), cache.clock});
    return &cache.chunks.back();
}

// The runs of bytes [offset, end) in `bitmap`, whose bit 0 is sector `base`,
// clipped to that range (a partial sector goes with its sector's bit) and
// counted in `stats` with partial sectors whole.
void bitmap_runs(const uint8_t *bitmap, tol_sector_t base, off_t offset, off_t end,
                 tol_dev_stats_t &stats, std::vector<tol_dev_run> *runs)
{
    const tol_sector_t first = offset / TOL_SECTOR_SIZE;
    const tol_sector_t last = (end - 1) / TOL_SECTOR_SIZE;
    read_counters ctr(stats);
    ctr.inuse_tests += static_cast<uint64_t>(last - first + 1);
    for_each_run(bitmap, base, first, last, [&](bool used, tol_sector_t from, tol_sector_t to) {
        const off_t a = std::max<off_t>(from * TOL_SECTOR_SIZE, offset);
        const off_t b = std::min<off_t>(to * TOL_SECTOR_SIZE, end);
        runs->push_back({a, static_cast<size_t>(b - a), used});
        ++ctr.runs;
        (used ? ctr.sectors_read : ctr.sectors_skipped) += static_cast<uint64_t>(to - from);
        ctr.io_bytes += static_cast<uint64_t>(to - from) * TOL_SECTOR_SIZE;
        return true;
    });
}

// Copies the device's bytes of `runs` (used runs read, the rest zeros) to
// `buffer`. `rstats` gets the sectors delivered, partial ones whole; the
// bitmap covers whole bytes, so it may reach up to 7 sectors beyond the
// device: a short read there is the device's end, and only the whole
// sectors before it count. `*got` is the bytes delivered.
errdesc_t *copy_runs(const tol_dev_desc_t *pdev, const std::vector<tol_dev_run> &runs, char *buffer,
                     size_t *got, tol_read_stats_t *rstats)
{
    read_plan plan;
    size_t size = 0;
    for (const tol_dev_run &r : runs) {
        const long long first = r.offset / TOL_SECTOR_SIZE;
        const long long last = (r.offset + static_cast<off_t>(r.size) - 1) / TOL_SECTOR_SIZE;
        if (r.used)
            ts_dprintf(4, "tol_dev_read: in-use start/count/end - %lld %lld %lld\n", first,
                       last - first + 1, last);
        plan_add(&plan, {r.offset, r.size, !r.used, r.used ? pdev->fd.get() : -1, r.offset});
        size += r.size;
    }
    if (errdesc_t *err = plan_copy(plan, buffer, got))
        return tol_dev_read_error(pdev, err);
    if (runs.empty())
        return nullptr;
    const off_t end = runs.front().offset + static_cast<off_t>(*got);
    const tol_sector_t end_sector =
        *got == size ? (end + TOL_SECTOR_SIZE - 1) / TOL_SECTOR_SIZE : end / TOL_SECTOR_SIZE;
    for (const tol_dev_run &r : runs) {
        const tol_sector_t from = r.offset / TOL_SECTOR_SIZE;
        const tol_sector_t to = std::min<tol_sector_t>(
            (r.offset + static_cast<off_t>(r.size) + TOL_SECTOR_SIZE - 1) / TOL_SECTOR_SIZE,
            end_sector);
        if (to > from)
            (r.used ? rstats->sectors_read : rstats->sectors_skipped) += to - from;
    }
    return nullptr;
}

bool fits(const std::string &path)
{
    return path.size() < TOL_DEV_PATH_MAX;
}

} // namespace

std::unique_ptr<tol_dev_desc_t> tol_dev_open_at(const char *bitmap_dir, const char *device_path,
                                                const char *extended_error_path, bool lvm_enabled)
{
    auto pdev = std::make_unique<tol_dev_desc_t>();
    const char *slash = std::strrchr(device_path, '/');
    const std::string name_part = slash ? slash : device_path;

    // With LVM reads the data come from the duplicate that holds the table the
    // device was created with; the bitmap is still the device's own.
    std::string data_path = device_path;
    int bmap_flags = O_RDONLY;
    if (lvm_enabled)
        data_path += ".dup";
    else
        bmap_flags |= TOL_INUSE_BITMAP_OPEN_FLAG;

    if (!fits(data_path))
        return nullptr;
    pdev->fd.reset(open(data_path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!pdev->fd)
        return nullptr;

    const std::string bmap_path = std::string(bitmap_dir) + name_part;
    struct stat st;
    if (!fits(bmap_path) || stat(bmap_path.c_str(), &st) != 0)
        return nullptr;
    pdev->length = static_cast<tol_sector_t>(st.st_size) * 8;
    pdev->sector_size = TOL_SECTOR_SIZE;

    pdev->bmap_fd.reset(open(bmap_path.c_str(), bmap_flags | O_CLOEXEC));
    if (!pdev->bmap_fd) {
        ts_printf("tol_dev_open: failed to open %s, errno %d\n", bmap_path.c_str(), errno);
        return nullptr;
    }

    pdev->name = name_part;
    pdev->bmap_path = bmap_path;
    if (extended_error_path)
        pdev->extended_error_path = extended_error_path;
    return pdev;
}

std::unique_ptr<tol_dev_desc_t> tol_dev_open(const char *device_path,
                                             const char *extended_error_path)
{
    return tol_dev_open_at(TOL_INUSE_BITMAP_DIR, device_path, extended_error_path,
                           get_reg_settings()->lumiread_lvm_enabled == TOL_TRUE);
}

void tol_dev_close(std::unique_ptr<tol_dev_desc_t> *pdevp)
{
    std::unique_ptr<tol_dev_desc_t> pdev = std::move(*pdevp);
    pdevp->reset();
    if (!pdev)
        return;

    const tol_dev_stats_t &s = pdev->stats;
    ts_printf("PDEV_STATS for %s: %jd invocations, %jd inuse_tests, %jd runs, sectors_read %jd, "
              "sectors_skipped %jd, io_bytes %jd\n",
              pdev->name.c_str(), static_cast<intmax_t>(s.invocations.load()),
              static_cast<intmax_t>(s.inuse_tests.load()), static_cast<intmax_t>(s.runs.load()),
              static_cast<intmax_t>(s.sectors_read.load()),
              static_cast<intmax_t>(s.sectors_skipped.load()),
              static_cast<intmax_t>(s.io_bytes.load()));

    const std::string bmap_path = pdev->bmap_path;
    pdev->bmap_fd.reset();

    // The data device stays open until the bitmap's users have gone, so the
    // provider never sees the device vanish under a reader.
    int waits_left = CLOSE_WAITS;
    long count = 0;
    for (;;) {
        char text[33] = "";
        ssize_t n = getxattr(bmap_path.c_str(), TOL_DEV_REF_COUNT_XATTR, text, sizeof(text) - 1);
        if (n < 0) {
            ts_printf("WARNING: failed to get device ref count for %s, errno %d (waiting %d)\n",
                      bmap_path.c_str(), errno, waits_left);
            return; // pdev closes the device on the way out
        }
        text[n] = '\0';
        count = std::strtol(text, nullptr, 10);
        if (count == 0)
            break;
        if (--waits_left < 0)
            break;
        sleep_one_second();
    }
    if (count != 0)
        ts_printf("WARNING: device ref count for %s is not zero (ref_count/waiting %ld/%d)\n",
                  bmap_path.c_str(), count, waits_left);
}

void plan_add(read_plan *plan, const image_segment &seg)
{
    if (seg.size == 0)
        return;
    if (!plan->empty()) {
        image_segment &last = plan->back();
        const auto size = static_cast<off_t>(last.size);
        if (last.zeros == seg.zeros && last.offset + size == seg.offset &&
            (seg.zeros || (last.fd == seg.fd && last.pos + size == seg.pos))) {
            last.size += seg.size;
            return;
        }
    }
    plan->push_back(seg);
}

errdesc_t *plan_copy(const read_plan &plan, char *buf, size_t *count)
{
    *count = 0;
    size_t done = 0;
    for (const image_segment &seg : plan) {
        size_t got = seg.size;
        if (seg.zeros)
            std::memset(buf + done, 0, seg.size);
        else if (errdesc_t *err = tol_pread(seg.fd, buf + done, seg.size, seg.pos, &got))
            return err;
        done += got;
        if (got < seg.size)
            break; // the file ends here
    }
    *count = done;
    return nullptr;
}

errdesc_t *tol_dev_read_error(const tol_dev_desc_t *pdev, const errdesc_t *err)
{
    return errdesc_set_extended_err(err->number, pdev->extended_error_path.empty()
                                                     ? nullptr
                                                     : pdev->extended_error_path.c_str());
}

errdesc_t *tol_dev_read(tol_dev_desc_t *pdev, char *buffer, const uint8_t *bitmap,
                        tol_sector_t bmap_base_sector, tol_sector_t start_sector,
                        tol_sector_t *sector_count, tol_read_stats_t *rstats)
{
    pdev->stats.invocations++;
    ts_dprintf(4, "tol_dev_read: bmap_base_sector = %lld, start_sector = %lld, end_sector = %lld\n",
               static_cast<long long>(bmap_base_sector), static_cast<long long>(start_sector),
               static_cast<long long>(start_sector + *sector_count - 1));
    if (start_sector >= pdev->length || *sector_count <= 0) {
        *sector_count = 0;
        return nullptr;
    }
    const tol_sector_t count = std::min(*sector_count, pdev->length - start_sector);
    std::vector<tol_dev_run> runs;
    bitmap_runs(bitmap, bmap_base_sector, start_sector * TOL_SECTOR_SIZE,
                (start_sector + count) * TOL_SECTOR_SIZE, pdev->stats, &runs);
    size_t got = 0;
    if (errdesc_t *err = copy_runs(pdev, runs, buffer, &got, rstats))
        return err;
    *sector_count = static_cast<tol_sector_t>(got / TOL_SECTOR_SIZE);
    return nullptr;
}

errdesc_t *optimize_byte_read(tol_dev_desc_t *pdev, char *buffer, size_t size, off_t offset,
                              uint64_t *bytes_read, uint64_t *bytes_skipped)
{
    *bytes_read = 0;
    *bytes_skipped = 0;
    std::vector<tol_dev_run> runs;
    if (errdesc_t *err = tol_dev_runs(pdev, offset, size, &runs))
        return err;
    size_t got = 0;
    tol_read_stats_t rstats{0, 0};
    if (errdesc_t *err = copy_runs(pdev, runs, buffer, &got, &rstats))
        return err;
    *bytes_read = static_cast<uint64_t>(rstats.sectors_read) * TOL_SECTOR_SIZE;
    *bytes_skipped = static_cast<uint64_t>(rstats.sectors_skipped) * TOL_SECTOR_SIZE;
    return nullptr;
}

errdesc_t *tol_dev_bitmap_window(tol_dev_desc_t *pdev, off_t first_byte, size_t count, uint8_t *out)
{
    std::lock_guard<std::mutex> guard(pdev->bmap_cache.lock);
    size_t done = 0;
    int read_errno = 0;
    while (done < count) {
        const off_t pos = first_byte + static_cast<off_t>(done);
        const off_t start = pos - pos % static_cast<off_t>(TOL_BITMAP_CHUNK);
        const tol_bitmap_cache::chunk *c = bitmap_chunk(pdev, start, &read_errno);
        const size_t skip = static_cast<size_t>(pos - start);
        if (!c || c->bytes.size() <= skip)
            break;
        const size_t n = std::min(count - done, c->bytes.size() - skip);
        std::memcpy(out + done, c->bytes.data() + skip, n);
        done += n;
    }
    if (done == count)
        return nullptr;
    const ssize_t got = read_errno ? -1 : static_cast<ssize_t>(done);
    return errdesc_set_fmt(
        EIO,
        "optimize_byte_read : pread size %lld bytes, start %lld, inuse_bitmap of "
        "%s returned %zd nbytes (errno = %d)\n",
        static_cast<long long>(count), static_cast<long long>(first_byte), pdev->name.c_str(), got,
        read_errno);
}

errdesc_t *tol_dev_runs(tol_dev_desc_t *pdev, off_t offset, size_t size,
                        std::vector<tol_dev_run> *runs, bool counted)
{
    runs->clear();
    const tol_sector_t first = offset / TOL_SECTOR_SIZE;
    if (size == 0 || first >= pdev->length)
        return nullptr; // end of data
    tol_dev_stats_t ignored{};
    tol_dev_stats_t &stats = counted ? pdev->stats : ignored;
    stats.invocations++;
    const off_t end = offset + static_cast<off_t>(size);
    const tol_sector_t last = (end - 1) / TOL_SECTOR_SIZE;
    const off_t first_byte = first / 8;
    std::vector<uint8_t> window(static_cast<size_t>(last / 8 - first_byte + 1));
    if (errdesc_t *err = tol_dev_bitmap_window(pdev, first_byte, window.size(), window.data()))
        return err;
    bitmap_runs(window.data(), first_byte * 8, offset, end, stats, runs);
    return nullptr;
}
