#pragma once
// Copy-on-write exception store of the snapshot target, in the layout of the
// kernel's persistent store: chunk 0 holds the header; metadata areas of
// (chunk bytes / 16) exceptions follow, each directly followed by the data
// chunks that it describes. An exception whose new chunk is 0 ends the list.
// The transient ("N") store keeps its exceptions in memory only.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace rfsdm {

// Byte-addressed access to the copy-on-write device.
struct cow_io {
    virtual ~cow_io() = default;
    virtual int read(void *buf, size_t n, uint64_t off) = 0;        // 0 or -errno
    virtual int write(const void *buf, size_t n, uint64_t off) = 0; // 0 or -errno
    virtual uint64_t size_bytes() const = 0;
};

inline constexpr uint32_t snap_magic = 0x70416e53; // "SnAp"
inline constexpr uint32_t snap_disk_version = 1;
inline constexpr uint64_t snap_header_chunks = 1;

#pragma pack(push, 1)
struct snap_disk_header {
    uint32_t magic;
    uint32_t valid;
    uint32_t version;
    uint32_t chunk_size; // sectors
};
struct snap_disk_exception {
    uint64_t old_chunk;
    uint64_t new_chunk;
};
#pragma pack(pop)
static_assert(sizeof(snap_disk_header) == 16);
static_assert(offsetof(snap_disk_header, chunk_size) == 12);
static_assert(sizeof(snap_disk_exception) == 16);
static_assert(offsetof(snap_disk_exception, new_chunk) == 8);

class exception_store {
  public:
    exception_store(cow_io &cow, uint32_t chunk_sectors, bool persistent);

    // Reads (or, for a blank device, writes) the header and loads the
    // exceptions. -EINVAL with `error` for a corrupt store.
    int init(std::string &error);

    bool valid() const { return valid_; }
    bool persistent() const { return persistent_; }
    uint32_t chunk_sectors() const { return chunk_sectors_; }
    uint64_t chunk_bytes() const { return uint64_t(chunk_sectors_) * 512; }

    std::optional<uint64_t> lookup(uint64_t old_chunk) const;

    // Reserves the next free data chunk; -ENOSPC when the device is full.
    int allocate(uint64_t &new_chunk);

    // Records a finished copy: metadata is written after the data, so a
    // store that is read back never maps a chunk whose copy is incomplete.
    int commit(uint64_t old_chunk, uint64_t new_chunk);

    // Marks the store invalid in memory and, when persistent, on disk.
    void invalidate();

    // Sectors used by data and by metadata (header and areas), as the
    // kernel reports them in the status line.
    uint64_t allocated_sectors() const;
    uint64_t metadata_sectors() const;
    uint64_t total_sectors() const { return cow_.size_bytes() / 512; }
    size_t exception_count() const { return map_.size(); }

  private:
    uint64_t exceptions_per_area() const { return chunk_bytes() / sizeof(snap_disk_exception); }
    uint64_t area_location(uint64_t area) const { return snap_header_chunks + (exceptions_per_area() + 1) * area; }
    void skip_metadata();
    int write_header();
    int write_area();
    int zero_area(uint64_t area);
    int read_exceptions(std::string &error);

    cow_io &cow_;
    uint32_t chunk_sectors_;
    bool persistent_;
    bool valid_ = true;
    uint64_t next_free_ = 0;
    uint64_t current_area_ = 0;
    uint64_t current_committed_ = 0;
    std::vector<snap_disk_exception> area_; // in-memory copy of the current area
    std::unordered_map<uint64_t, uint64_t> map_;
};

} // namespace rfsdm
