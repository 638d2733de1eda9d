#pragma once
// One served flat disk: the device that shows its current content (the
// merged change-block device, or a read-only loop device over the flat
// file), the partition mappings of that device, the device opened for reads
// with its in-use bitmap, and the sector of the appliance's recovery header,
// which reads as zeros. Owned by an open cookie and shared by the opens that
// read through it.

#include "common/errdesc.hpp"
#include "common/unique_fd.hpp"
#include "image/tolcbt.hpp"
#include "image/toldev_io.hpp"
#include "mounter/owners.hpp"

#include <cstddef>
#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

// The files that belong to one flat disk.
struct flat_image_paths {
    std::string flat;       // the flat file itself
    std::string descriptor; // its descriptor, for the expected size
    std::string tolcbt;     // its change-block file, which may not exist
};

// Checks a flat file against its recovery header (or its descriptor) and its
// change-block file. Every refusal makes the open fail; the EBUSY refusals
// ask the user to try again later.
errdesc_t *validate_vmdk_flat(const flat_image_paths &paths);

// The device opened with its in-use bitmap; closing it logs its statistics
// and waits for the bitmap's users.
class bitmap_device
{
  public:
    bitmap_device() = default;
    explicit bitmap_device(std::unique_ptr<tol_dev_desc_t> dev) : dev_(std::move(dev)) {}
    ~bitmap_device() { release(); }
    bitmap_device(bitmap_device &&) noexcept = default;
    bitmap_device &operator=(bitmap_device &&other) noexcept;
    bitmap_device(const bitmap_device &) = delete;
    bitmap_device &operator=(const bitmap_device &) = delete;

    tol_dev_desc_t *get() const { return dev_.get(); }
    void release();

  private:
    std::unique_ptr<tol_dev_desc_t> dev_;
};

// A stretch of the device that a file holds unchanged: the device's bytes
// from `start` on, `length` of them, are the file's from `offset`.
struct file_extent {
    off_t start;
    off_t length;
    int fd;
    off_t offset;
};

class flat_image
{
  public:
    // Serves `paths.flat`: through the merged device when the change-block
    // file is readable, else through a read-only loop device; maps the
    // device's partitions and, with `optimize` and the setting
    // lumiread_optimize, reads it through its in-use bitmap. On failure
    // everything built so far is released and `*out` stays null.
    static errdesc_t *open(const flat_image_paths &paths, bool optimize,
                           std::unique_ptr<flat_image> *out);

    // Assembles an image from parts that are already there (tests, tools).
    flat_image(loop_attachment loop, std::unique_ptr<tolcbt_merge_handle_t> merged,
               partition_mapping partitions, unique_fd fd, bitmap_device bitmap);

    // The device that readers open.
    const std::string &device_path() const { return device_path_; }
    // Whether reads go through the in-use bitmap.
    bool optimized() const { return bitmap_.get() != nullptr; }
    // The byte offset of the sector that reads as zeros, or -1.
    off_t hidden_offset() const { return hidden_offset_; }

    // The plan of a read of `size` bytes from `offset`, cut at the device's
    // end: runs the bitmap marks unused and the recovery-header sector are
    // zeros, the rest is the device's bytes, taken from the files under it
    // where it has them. No device I/O. A read whose last sector lies beyond
    // the in-use bitmap fails with EIO. The FUSE reply splices the plan,
    // except for reads that start inside the hidden sector: only `read` can
    // forgive a failing device read there.
    errdesc_t *segments(size_t size, off_t offset, read_plan *out) const;
    // Copies the plan into `buf`; `*count` is what was delivered, fewer at
    // the end of the device. A read that starts inside the recovery-header
    // sector succeeds with that sector's zeros even when the device read
    // after them fails.
    errdesc_t *read(char *buf, size_t size, off_t offset, size_t *count) const;
    // Starts the kernel reading the used runs of the next few MiB once reads
    // follow each other as a stream, when reads go through the bitmap:
    // the device's own read-ahead starts over at every skipped run, so a
    // half-unused image would read cold in short strides. Only a hint.
    void read_ahead(off_t offset, size_t size) const;
    // Serves the device's bytes from the files under it, which `extents`
    // map from byte 0 to at least the device's end, in order and without
    // gaps; the image keeps `files`. Refused (false, nothing changes) when
    // they do not cover the device so.
    bool read_from_files(std::vector<unique_fd> files, std::vector<file_extent> extents);

    // Tears the image down in the order readers depend on it: read device,
    // partition mappings, merged device, loop device. Every step runs; a
    // failing one is logged with priority 3. The result is that of the loop
    // device when there was one, else that of the partition mappings.
    errdesc_t *release();

  private:
    // Members in the order they are built; destruction runs the teardown.
    loop_attachment loop_;
    std::unique_ptr<tolcbt_merge_handle_t> merged_;
    partition_mapping partitions_;
    unique_fd fd_;
    bitmap_device bitmap_;
    // The files under the device (the flat file under a loop device, and the
    // change-block file under a merged one) and where the device's bytes lie
    // in them: the same bytes, read without the device's own trip through the
    // block layer (which halves cold random reads), and on the stand-ins
    // without the device-mapper daemon's. Empty: the device is read.
    std::vector<unique_fd> files_;
    std::vector<file_extent> extents_;
    std::string device_path_;
    off_t size_ = 0;

    // The bytes of a request that lie before the device's end: a read is cut
    // there, as a plain read of the device would be.
    size_t within(size_t size, off_t offset) const
    {
        return offset >= size_
                   ? 0
                   : static_cast<size_t>(std::min<off_t>(static_cast<off_t>(size), size_ - offset));
    }
    // The descriptor device bytes are read from when no file has them.
    int device_fd() const { return bitmap_.get() ? bitmap_.get()->fd.get() : fd_.get(); }
    // Calls fn(fd, pos, at, n) for the pieces of the device's bytes [at, at + size).
    template <typename F> void map_device(off_t at, size_t size, F fn) const;

    off_t hidden_offset_ = -1;
    // Where the last read ended, and how far the used runs after it have been
    // asked for (read_ahead).
    mutable std::atomic<off_t> last_end_{-1};
    mutable std::atomic<off_t> ahead_{0};
    mutable std::atomic<int> streak_{0}; // reads in a row that followed the one before
};
