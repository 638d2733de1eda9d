#pragma once
// On-disk headers of the two sparse extent layouts: the hosted sparse extent
// ("KDMV") and the COWD extent of VMFS snapshots. All integers are
// little-endian; the records are read as they lie on disk.

#include "common/errdesc.hpp"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <sys/types.h>

// The records below are used in place, without byte swapping.
static_assert(std::endian::native == std::endian::little);

inline constexpr uint32_t SPARSE_MAGIC = 0x564d444b; // "KDMV"
inline constexpr uint32_t COWD_MAGIC = 0x44574F43;   // "COWD"
inline constexpr uint32_t SPARSE_VERSION = 1;
inline constexpr uint32_t COWD_VERSION = 1;
inline constexpr uint32_t COWD_FLAGS = 3;
// A COWD grain table always has this many entries.
inline constexpr uint32_t COWD_GTES_PER_GT = 4096;
// Bytes read from the start of every sparse or COWD extent file.
inline constexpr size_t EXTENT_HDR_READ_SIZE = 2050;

#pragma pack(push, 1)
struct sparsehdr_t {
    uint32_t magic;
    uint32_t version;
    uint32_t flags;
    uint64_t capacity;  // sectors
    uint64_t grainsize; // sectors
    uint64_t descoffset;
    uint64_t descsize;
    uint32_t numgtespergt;
    uint64_t rgdoffset;
    uint64_t gdoffset; // sectors from the start of the file
    uint64_t overhead;
    uint8_t uncleanshutdown;
    uint8_t singleendlinechar;
    uint8_t nonendlinechar;
    uint8_t doubleendlinechar1;
    uint8_t doubleendlinechar2;
    uint8_t pad[435];
};

struct cowdisk_root_t {
    uint32_t cylinders;
    uint32_t heads;
    uint32_t sectors;
};

struct cowdisk_child_t {
    char parentFileName[532];
    uint32_t parentGeneration;
};

struct cowdiskhdr_t {
    uint32_t magic;
    uint32_t version;
    uint32_t flags;
    uint32_t numsectors; // sectors
    uint32_t grainsize;  // sectors
    uint32_t gdoffset;   // sectors from the start of the file
    uint32_t numgdentries;
    uint32_t freesector;
    union {
        cowdisk_root_t root;
        cowdisk_child_t child;
    } u;
    uint32_t generation;
    char name[532];
    char description[532];
    uint32_t savedGeneration;
    char reserved[8];
    uint32_t uncleanShutdown;
    char padding[396];
    char padding2[2];
};
#pragma pack(pop)

static_assert(sizeof(sparsehdr_t) == 512);
static_assert(offsetof(sparsehdr_t, version) == 4);
static_assert(offsetof(sparsehdr_t, flags) == 8);
static_assert(offsetof(sparsehdr_t, capacity) == 12);
static_assert(offsetof(sparsehdr_t, grainsize) == 20);
static_assert(offsetof(sparsehdr_t, descoffset) == 28);
static_assert(offsetof(sparsehdr_t, descsize) == 36);
static_assert(offsetof(sparsehdr_t, numgtespergt) == 44);
static_assert(offsetof(sparsehdr_t, rgdoffset) == 48);
static_assert(offsetof(sparsehdr_t, gdoffset) == 56);
static_assert(offsetof(sparsehdr_t, overhead) == 64);
static_assert(offsetof(sparsehdr_t, uncleanshutdown) == 72);
static_assert(offsetof(sparsehdr_t, doubleendlinechar2) == 76);
static_assert(offsetof(sparsehdr_t, pad) == 77);

static_assert(sizeof(cowdiskhdr_t) == 2050);
static_assert(sizeof(cowdiskhdr_t::u) == 536);
static_assert(offsetof(cowdiskhdr_t, numsectors) == 12);
static_assert(offsetof(cowdiskhdr_t, grainsize) == 16);
static_assert(offsetof(cowdiskhdr_t, gdoffset) == 20);
static_assert(offsetof(cowdiskhdr_t, numgdentries) == 24);
static_assert(offsetof(cowdiskhdr_t, freesector) == 28);
static_assert(offsetof(cowdiskhdr_t, u) == 32);
static_assert(offsetof(cowdiskhdr_t, generation) == 568);
static_assert(offsetof(cowdiskhdr_t, name) == 572);
static_assert(offsetof(cowdiskhdr_t, description) == 1104);
static_assert(offsetof(cowdiskhdr_t, savedGeneration) == 1636);
static_assert(offsetof(cowdiskhdr_t, reserved) == 1640);
static_assert(offsetof(cowdiskhdr_t, uncleanShutdown) == 1648);
static_assert(offsetof(cowdiskhdr_t, padding) == 1652);
static_assert(offsetof(cowdiskhdr_t, padding2) == 2048);

// Reads exactly `count` bytes at `offset` without moving the file offset.
// Returns 0 when every byte was read; VMDK_SHORT_READ when the file ends
// first (a truncated extent must fail, never make a caller wait or loop);
// otherwise the errno of the failed read (an interrupted read is resumed).
inline constexpr int VMDK_SHORT_READ = -1;
int vmdk_pread_exact(int fd, void *buf, size_t count, off_t offset);

// The error of a read that met the end of the file of extent `name` while
// reading `what`.
errdesc_t *vmdk_short_read_error(const char *name, const char *what, size_t count, off_t offset);

// Header checks: null when the header is one the system reads, otherwise an
// EINVAL naming `what` (the extent's name) and the offending field.
errdesc_t *vmdk_check_sparsehdr(const sparsehdr_t *hdr, const char *what);
errdesc_t *vmdk_check_cowdiskhdr(const cowdiskhdr_t *hdr, const char *what);
