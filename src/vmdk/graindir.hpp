#pragma once
// Grain directories of sparse and COWD extents, and the grain-table buffer
// that holds one grain table of an open descriptor at a time.

#include "common/errdesc.hpp"
#include "vmdk/vmdkdesc.hpp"

#include <cstdint>
#include <memory>

// Largest grain table accepted, in entries. Real extents use 512 (hosted
// sparse) or 4096 (COWD); the cap keeps a hostile header from turning the
// grain-table buffer into an allocation of gigabytes.
inline constexpr uint32_t VMDK_MAX_GTES_PER_GT = 65536;
// Largest grain directory accepted, in entries (16 MiB). The biggest real one,
// a 2 TiB COWD extent with one-sector grains, has 2^20 entries; a hostile
// capacity with tiny grains must not become a huge allocation and read.
inline constexpr uint32_t VMDK_MAX_GD_ENTRIES = 1u << 22;
// All grain directories of one disk together (they are held at once).
inline constexpr uint64_t VMDK_MAX_GD_BYTES_PER_DISK = 32u << 20;

// Reads the header and grain directory of every sparse extent of an open
// descriptor whose extent files are open, then allocates the grain-table
// buffer (also after a failure). Stops at the first failure.
errdesc_t *vmdk_open_graindir(vmdkdesc_t *vmdkdesc);

// Load a grain directory from a header already read (and checked).
errdesc_t *vmdk_read_graindir_sparsehdr(int fd, const sparsehdr_t *sparsehdr, graindir_t *graindir);
errdesc_t *vmdk_read_graindir_cowdiskhdr(int fd, const cowdiskhdr_t *cowdiskhdr,
                                         graindir_t *graindir);
// Loads gd_entry_count = ceil(capacity / (grainsize * numgtespergt)) entries
// at byte `offset` of the extent file.
errdesc_t *vmdk_read_graindir_common(int extent_fd, uint64_t offset, uint32_t capacity,
                                     uint32_t grainsize, uint32_t numgtespergt,
                                     graindir_t *graindir);

// Releases every extent's grain directory. Returns null.
errdesc_t *vmdk_close_graindir(vmdkdesc_t *vmdkdesc);

// A new buffer of the first extent's numgtespergt entries, or null when that
// is 0 or there is no extent.
std::unique_ptr<uint32_t[]> vmdk_get_gtbuf(const vmdkdesc_t *vmdkdesc);
void vmdk_free_gtbuf(vmdkdesc_t *vmdkdesc);

// Fills gtbuf with the grain table that entry `graindir_index` of the grain
// directory of extent `extent_index` points to; zeros for an entry of 0.
// Only the grains within the capacity of the last table are meaningful:
// (capacity / grainsize) % numgtespergt of them, or all when that is 0.
errdesc_t *vmdk_fill_gtbuf(vmdkdesc_t *vmdkdesc, uint32_t extent_index, uint32_t graindir_index);
