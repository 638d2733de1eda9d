#pragma once
// The arithmetic of in-use bitmaps, kept apart from the FUSE front end so that
// it can be tested without a mount. One bit per 512-byte sector; byte k, bit j
// (least significant first) stands for sector 8k + j; 1 means in use.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace inuse {

constexpr uint64_t sector_size = 512;
constexpr uint64_t sectors_per_byte = 8;

// Bytes of the bitmap of a device of `sectors` sectors: the last byte may be partial.
constexpr uint64_t bitmap_size(uint64_t sectors) { return (sectors + sectors_per_byte - 1) / sectors_per_byte; }

// Sectors of a device of `bytes` bytes; a trailing partial sector counts.
constexpr uint64_t sectors_of(uint64_t bytes) { return (bytes + sector_size - 1) / sector_size; }

inline bool sector_is_zero(const uint8_t *sector, size_t len)
{
    // Word-wise first: this runs over every byte the bitmap describes.
    size_t i = 0;
    for (; i + sizeof(uint64_t) <= len; i += sizeof(uint64_t)) {
        uint64_t w;
        std::memcpy(&w, sector + i, sizeof w);
        if (w != 0)
            return false;
    }
    for (; i < len; ++i)
        if (sector[i] != 0)
            return false;
    return true;
}

// Sets, in `bitmap` (whose bit 0 is sector `bitmap_first_sector`), the bits of
// the sectors of `data` that are not all zero. `data` starts at sector
// `data_first_sector` and holds `len` bytes; a short last sector is judged on
// the bytes present. Bits of all-zero sectors are left as they are.
inline void mark_used_sectors(const uint8_t *data, size_t len, uint64_t data_first_sector, uint8_t *bitmap,
                              uint64_t bitmap_first_sector)
{
    for (size_t off = 0; off < len; off += sector_size) {
        size_t n = std::min<size_t>(sector_size, len - off);
        if (sector_is_zero(data + off, n))
            continue;
        uint64_t bit = data_first_sector + off / sector_size - bitmap_first_sector;
        bitmap[bit / sectors_per_byte] |= static_cast<uint8_t>(1u << (bit % sectors_per_byte));
    }
}

// The device sectors [first, first + count) that a read of bitmap bytes
// [offset, offset + size) describes, clipped to a device of `sectors` sectors.
struct sector_range {
    uint64_t first = 0;
    uint64_t count = 0;
};

inline sector_range sectors_for_bitmap_read(uint64_t offset, uint64_t size, uint64_t sectors)
{
    sector_range r;
    r.first = offset * sectors_per_byte;
    if (r.first >= sectors)
        return {r.first, 0};
    r.count = std::min(size * sectors_per_byte, sectors - r.first);
    return r;
}

// Whether a directory entry of the device directory names a device.
inline bool is_device_name(std::string_view name)
{
    return !name.empty() && name != "." && name != ".." && name != "control" && name.find('/') == name.npos;
}

} // namespace inuse
