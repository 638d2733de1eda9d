#pragma once
// Reads of a block device through its in-use bitmap (Lumiread): unused
// sectors read as zeros without touching the device, and each run of used
// sectors is one device read.

#include "common/errdesc.hpp"
#include "common/types.hpp"
#include "common/unique_fd.hpp"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <vector>

inline constexpr uint32_t TOL_DEV_DESC_MAGIC = 0x20100415;

// The bitmap provider publishes one bitmap file per block device here, named
// after the last component of the device path.
inline constexpr const char *TOL_INUSE_BITMAP_DIR = "/inuse_bitmap";
// Extended attribute of a bitmap file: its number of users, decimal text.
inline constexpr const char *TOL_DEV_REF_COUNT_XATTR = "dev_ref_count";
// Open flag that tells the bitmap provider the open is a reader's.
inline constexpr int TOL_INUSE_BITMAP_OPEN_FLAG = 0x10000000;
// Both paths that tol_dev_open builds must fit this, terminator included.
inline constexpr size_t TOL_DEV_PATH_MAX = 128;

// Counters of one open device. FUSE reads run concurrently, so they are
// atomic; they feed only the statistics line.
struct tol_dev_stats_t {
    std::atomic<uint64_t> invocations{0};     // requests read through the bitmap
    std::atomic<uint64_t> inuse_tests{0};     // bits examined
    std::atomic<uint64_t> runs{0};            // runs of equal bits handled
    std::atomic<uint64_t> sectors_read{0};    // sectors read from the device
    std::atomic<uint64_t> sectors_skipped{0}; // sectors filled without reading
    std::atomic<uint64_t> io_bytes{0};        // bytes delivered, read or filled
};

// The bitmap is read from its file in chunks that are kept: a request costs
// a copy from memory, not a round trip through the provider. One chunk
// covers 16 MiB of device: a provider may compute the bitmap from the device
// itself, so a bigger chunk makes the first read of a region (a mount's
// scattered metadata reads) pay for scanning far more than it reads. The
// chunks kept (1 MiB) cover 4 GiB, so random reads over an image of that
// size go back to the provider once per chunk; least recently used go first.
inline constexpr size_t TOL_BITMAP_CHUNK = 4 * 1024;
inline constexpr size_t TOL_BITMAP_CHUNKS_KEPT = 256;

struct tol_bitmap_cache {
    struct chunk {
        off_t start = 0;            // byte of the bitmap file, a multiple of the chunk size
        std::vector<uint8_t> bytes; // fewer than a chunk at the file's end
        uint64_t used = 0;          // `clock` at the last use
    };
    std::mutex lock;
    std::vector<chunk> chunks;
    uint64_t clock = 0;
};

struct tol_dev_desc_t {
    uint32_t magic = TOL_DEV_DESC_MAGIC;
    std::string name;        // last component of the device path with its "/"
    unique_fd fd;            // the data device, read-only
    unique_fd bmap_fd;       // the bitmap file
    tol_sector_t length = 0; // sectors served: bitmap size times 8
    int sector_size = TOL_SECTOR_SIZE;
    tol_dev_stats_t stats;
    std::string extended_error_path; // empty: read errors are not looked up
    std::string bmap_path;           // the bitmap file that `name` designates
    tol_bitmap_cache bmap_cache;
};

// Statistics of one request; the caller zeroes it before the request.
struct tol_read_stats_t {
    tol_sector_t sectors_read;
    tol_sector_t sectors_skipped;
};

// Opens `device_path` (absolute) with its bitmap; null when either cannot be
// opened. `extended_error_path` may be null. With the setting
// lumiread_lvm_enabled the data come from `device_path` + ".dup".
std::unique_ptr<tol_dev_desc_t> tol_dev_open(const char *device_path,
                                             const char *extended_error_path);

// tol_dev_open with the bitmap directory and the .dup choice given, for
// callers (and tests) that do not use the provider's directory.
std::unique_ptr<tol_dev_desc_t> tol_dev_open_at(const char *bitmap_dir, const char *device_path,
                                                const char *extended_error_path, bool lvm_enabled);

// Logs the statistics line, closes the bitmap, waits up to 10 seconds for
// the bitmap's users to go, closes the device and frees the descriptor. The
// caller's pointer is null afterwards.
void tol_dev_close(std::unique_ptr<tol_dev_desc_t> *pdev);

// Reads `*sector_count` sectors from `start_sector` into `buffer`, one device
// read per run of used sectors and zeros for unused runs. `bitmap` holds the
// bits from `bmap_base_sector` (a multiple of 8, at most `start_sector`) on.
// On return `*sector_count` is the number delivered (fewer at the device end).
errdesc_t *tol_dev_read(tol_dev_desc_t *pdev, char *buffer, const uint8_t *bitmap,
                        tol_sector_t bmap_base_sector, tol_sector_t start_sector,
                        tol_sector_t *sector_count, tol_read_stats_t *rstats);

// Copies bytes [first_byte, first_byte + count) of the bitmap into `out`,
// through the kept chunks. A bitmap file shorter than that fails with EIO.
errdesc_t *tol_dev_bitmap_window(tol_dev_desc_t *pdev, off_t first_byte, size_t count,
                                 uint8_t *out);

// One run of sectors with equal in-use bits, as a byte range of the device.
struct tol_dev_run {
    off_t offset;
    size_t size;
    bool used;
};

// The runs that cover bytes [offset, offset + size) of the device, clipped to
// that range (a partial sector goes with its sector's bit), for readers that
// fetch used runs themselves. Counted in the statistics as one request,
// unless `counted` is false (a look-ahead that reads nothing); nothing when
// the range starts at or beyond the device's end; fails like
// optimize_byte_read when it ends beyond the bitmap.
errdesc_t *tol_dev_runs(tol_dev_desc_t *pdev, off_t offset, size_t size,
                        std::vector<tol_dev_run> *runs, bool counted = true);

// A piece of a read: `size` bytes of the image from `offset`, which are the
// bytes of `fd` (a file under the device, or the device) from `pos`, or
// `size` zero bytes.
struct image_segment {
    off_t offset;
    size_t size;
    bool zeros;
    int fd = -1;
    off_t pos = 0;
};

// The pieces of one read, in order and without gaps. The FUSE reply splices
// them from their files; plan_copy copies them.
using read_plan = std::vector<image_segment>;

// Appends a piece; one that continues the last (same kind, and for file
// bytes the same file at the next position) is joined to it.
void plan_add(read_plan *plan, const image_segment &seg);

// Copies the plan's bytes to `buf`, the first piece's first byte at
// buf[0]. `*count` is what was delivered: short where a file ends, 0 when a
// read fails.
errdesc_t *plan_copy(const read_plan &plan, char *buf, size_t *count);

// A failed device read of `pdev`, looked up under its extended error path.
errdesc_t *tol_dev_read_error(const tol_dev_desc_t *pdev, const errdesc_t *err);

// Fills `buffer` with `size` (> 0) bytes of the device from byte `offset`.
// The outputs count whole sectors times 512: read, and filled with zeros. A
// range that starts at or beyond the device's end delivers nothing.
errdesc_t *optimize_byte_read(tol_dev_desc_t *pdev, char *buffer, size_t size, off_t offset,
                              uint64_t *bytes_read, uint64_t *bytes_skipped);
