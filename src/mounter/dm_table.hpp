#pragma once
// The device-mapper table of a VMDK disk: flat extents map whole, sparse
// extents are resolved grain by grain down the disk's chain of snapshots,
// each grain from the newest disk that holds it. The table is written
// straight into a descriptor (the pipe to "dmsetup create"), never held in
// memory; one grain table per disk of the chain is in memory at a time.
//
// Lines: "%ju %ju linear %s %ju\n" (disk sector, length, loop device, sector
// in that device) and "%ju %ju zero\n" for grains that no disk of the chain
// holds (the oldest disk being sparse): those read as zeros.

#include "common/errdesc.hpp"
#include "vmdk/vmdkdesc.hpp"

#include <cstdint>

inline constexpr uint32_t DMTDESC_MAGIC = 0xABCDEFAB;

// The state of one emission.
struct dmtdesc_t {
    uint32_t magic = 0;
    uint32_t version = 0;
    uint64_t size = 0;         // sectors of the line about to be written
    uint64_t grainsize = 0;    // sectors; a flat extent's size for a flat line
    uint64_t numgtespergt = 0; // entries per grain table of the current extent
    uint64_t gd_index = 0;     // grain directory entry being resolved
    uint64_t dm_offset = 0;    // first sector of the next line in the disk device
    uint64_t extent_offset = 0;
    uint32_t extent_index = 0;
    uint32_t ancestor_index = 0; // chain position of the disk supplying the run
    uint32_t zeros = 0;          // upper bound, in grains, of the current run
    const char *loopdev = nullptr;
};

// Loads the disk's chain and opens the extent files of the disks that its
// table uses, newest first; `*chain_len` receives their number. A disk read
// from the datastore file system (datastore_direct false) is used alone, its
// first extent read as flat. On failure nothing stays open or loaded.
errdesc_t *vmdk_open_dm_chain(vmdkdesc_t *vmdkdesc, uint32_t *chain_len);
// Closes the extent files that vmdk_open_dm_chain opened; the chain stays.
void vmdk_close_dm_chain(vmdkdesc_t *vmdkdesc, uint32_t chain_len);
// Disk `index` of the chain (0: the disk itself).
vmdkdesc_t *vmdk_chain_disk(vmdkdesc_t *vmdkdesc, uint32_t index);

// Writes the table of an opened chain into `fd`. Every extent of the first
// `chain_len` disks must name its device in `loopdev`. Fails with a text
// naming the extent for kinds the table cannot map, unreadable or corrupt
// grain tables, extent files shorter than what they must hold, and chains
// whose disks differ in grain geometry. What was written before a failure is
// to be discarded by the reader.
errdesc_t *vmdk_emit_dm_table(int fd, vmdkdesc_t *vmdkdesc, uint32_t chain_len);
