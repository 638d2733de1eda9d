#pragma once
// The recovery header that the appliance writes into one free sector between
// the MBR and the first partition of a flat disk: layout, search, reading
// and text dump.

#include "common/errdesc.hpp"
#include "image/mbr.hpp"
#include "image/tol_uuid.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

inline constexpr char TOL_VDSK_HEADER_MAGIC[4] = {'R', 'V', 'H', 'D'};
inline constexpr uint8_t TOL_VDSK_HEADER_TYPE_VMDK = 1;
inline constexpr uint8_t TOL_VDSK_HEADER_TYPE_VHD = 2;

// `attributes` bits.
inline constexpr uint8_t TOL_VDSK_ATTR_CBT_ENABLED = 0x01;
inline constexpr uint8_t TOL_VDSK_ATTR_THIN = 0x02;
inline constexpr uint8_t TOL_VDSK_ATTR_WRITE_THROUGH = 0x04;
inline constexpr uint8_t TOL_VDSK_ATTR_SPLIT = 0x08;
inline constexpr uint8_t TOL_VDSK_ATTR_EAGERLY_SCRUB = 0x10;
inline constexpr uint8_t TOL_VDSK_ATTR_PERSISTENT = 0x20;

// The header lives in one of these sectors, below the first partition.
inline constexpr uint32_t TOL_VDSK_HEADER_FIRST_SECTOR = 2;
inline constexpr uint32_t TOL_VDSK_HEADER_LAST_SECTOR = 16;
inline constexpr uint32_t TOL_VDSK_NO_SECTOR = 0xFFFFFFFF;

#pragma pack(push, 1)
struct vmdk_tol_vdsk_header_v1 {
    uint32_t cid;
    uint32_t size; // sectors
    uint8_t attributes;
    uint8_t createtype;
    tol_uuid_t disk_uuid;
    tol_uuid_t vm_uuid;
    tol_uuid_t ds_uuid;
    tol_uuid_t change_id;
    uint16_t change_suffix;
    uint32_t snapshot_time;
    char varstrings[422];
};

struct vmdk_tol_vdsk_header_v2 {
    uint32_t cid;
    uint32_t size; // sectors
    uint8_t attributes;
    uint8_t createtype;
    tol_uuid_t disk_uuid;
    tol_uuid_t vm_uuid;
    tol_uuid_t ds_uuid;
    tol_uuid_t change_id;
    uint32_t change_suffix;
    uint32_t snapshot_time;
    char varstrings[420];
};

struct tol_vdsk_header_t {
    char magic_begin[4];
    uint8_t version; // layout of `data`: 1 or 2
    uint8_t type;    // TOL_VDSK_HEADER_TYPE_*
    union {
        vmdk_tol_vdsk_header_v1 v1;
        vmdk_tol_vdsk_header_v2 v2;
    } data;
    char magic_end[4];
};
#pragma pack(pop)

// Offsets below are from the start of the sector.
static_assert(sizeof(vmdk_tol_vdsk_header_v1) == 502);
static_assert(sizeof(vmdk_tol_vdsk_header_v2) == 502);
static_assert(sizeof(tol_vdsk_header_t) == 512);
static_assert(offsetof(tol_vdsk_header_t, version) == 4);
static_assert(offsetof(tol_vdsk_header_t, type) == 5);
static_assert(offsetof(tol_vdsk_header_t, data) == 6);
static_assert(offsetof(tol_vdsk_header_t, magic_end) == 508);
static_assert(6 + offsetof(vmdk_tol_vdsk_header_v1, size) == 10);
static_assert(6 + offsetof(vmdk_tol_vdsk_header_v1, attributes) == 14);
static_assert(6 + offsetof(vmdk_tol_vdsk_header_v1, createtype) == 15);
static_assert(6 + offsetof(vmdk_tol_vdsk_header_v1, disk_uuid) == 16);
static_assert(6 + offsetof(vmdk_tol_vdsk_header_v1, vm_uuid) == 32);
static_assert(6 + offsetof(vmdk_tol_vdsk_header_v1, ds_uuid) == 48);
static_assert(6 + offsetof(vmdk_tol_vdsk_header_v1, change_id) == 64);
static_assert(6 + offsetof(vmdk_tol_vdsk_header_v1, change_suffix) == 80);
static_assert(6 + offsetof(vmdk_tol_vdsk_header_v1, snapshot_time) == 82);
static_assert(6 + offsetof(vmdk_tol_vdsk_header_v1, varstrings) == 86);
static_assert(6 + offsetof(vmdk_tol_vdsk_header_v2, change_id) == 64);
static_assert(6 + offsetof(vmdk_tol_vdsk_header_v2, change_suffix) == 80);
static_assert(6 + offsetof(vmdk_tol_vdsk_header_v2, snapshot_time) == 84);
static_assert(6 + offsetof(vmdk_tol_vdsk_header_v2, varstrings) == 88);

// Both magic fields hold "RVHD"; version and type are not judged.
bool is_tol_vdsk_header(const tol_vdsk_header_t *header);

// A sector that holds a header or only zeros; unreadable means unavailable.
bool is_sector_available(int fd, uint32_t sector);

// The first available sector from 2 to 16 below the first partition, or
// TOL_VDSK_NO_SECTOR with an EIO error.
errdesc_t *find_free_sector_by_partition(int fd, uint32_t *sector);

// Finds the header's sector and reads it; an all-zero sector gives ENODATA.
errdesc_t *read_tol_vdsk_header(int fd, tol_vdsk_header_t *header);

// Strings 0 to 3 of the header's `varstrings` (path, datastore, hypervisor,
// machine); each output may be null. False when the last string asked for
// is not in the area; it is then empty.
bool get_vmdk_variable_strings(const tol_vdsk_header_t *header, std::string *s0, std::string *s1,
                               std::string *s2, std::string *s3);

// Text dump to standard output, or to `out`.
void dump_tol_vdsk_header(const tol_vdsk_header_t *header);
void dump_tol_vdsk_header_to(FILE *out, const tol_vdsk_header_t *header);
