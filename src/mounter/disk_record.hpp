#pragma once
// Records that the volume mounter and the open cookies share: partitions and
// logical volumes, partition maps, volume groups, a disk's device-mapper
// devices, and the classification enumerations.

#include "common/errdesc.hpp"
#include "vmdk/vmdkdesc.hpp"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

inline constexpr uint32_t PARTLOGVOL_MAGIC = 0xCCBBAAFF;
inline constexpr uint32_t PART_MAP_MAGIC = 0xDDCCBBAA;
inline constexpr uint32_t VOLGRP_MAP_MAGIC = 0xCCBBAAFF;
inline constexpr uint32_t VDSKDESC_MAGIC = 0xFFEEDDCC;

inline constexpr uint32_t PART_MAP_MAX = 20;  // partitions 1 to 19 are probed
inline constexpr uint32_t VOLGRP_LV_MAX = 20; // logical volumes per group
inline constexpr uint32_t VOLGRP_MAP_MAX = 4; // volume groups per disk

// The device-mapper directory and the delimiter of partition device names.
inline constexpr const char *dmroot = "/dev/mapper";
inline constexpr const char *partdelim = "p";

enum vol_type_t : int {
    VOL_UNKNOWN = 0,
    VOL_FILESYS = 1,     // a file system that is mounted
    VOL_UNMOUNTABLE = 2, // recognised, never mounted
    VOL_LVM = 3,         // holds an LVM physical volume
};

enum fs_type_t : int {
    FS_TYPE_UNKNOWN = 0,
    FS_TYPE_VFAT = 1,
    FS_TYPE_NTFS = 2,
    FS_TYPE_EXT2 = 3,
    FS_TYPE_EXT3 = 4,
    FS_TYPE_EXT4 = 5,
    FS_TYPE_UFS = 6,
    FS_TYPE_LVM2 = 7,
    FS_TYPE_SWAP = 8,
    FS_TYPE_MD = 9,
    FS_TYPE_XFS = 10, // after the others: their values stay
    FS_TYPE_MAX = 11, // the number of types
};

// The MBR partition type id; ids without a name are stored as their number.
enum fs_subtype_t : int {
    FS_SUBTYPE_UNKNOWN = 0,
    FS_SUBTYPE_UFS_FREEBSD = 0xA5,
    FS_SUBTYPE_UFS_OPENBSD = 0xA6,
    FS_SUBTYPE_UFS_NETBSD = 0xA9,
};

// One partition or logical volume. Empty strings stand for "none".
struct partlogvol_t {
    uint32_t magic = 0;
    uint32_t version = 0;
    vol_type_t vtype = VOL_UNKNOWN;
    fs_type_t fstype = FS_TYPE_UNKNOWN;
    fs_subtype_t fssubtype = FS_SUBTYPE_UNKNOWN;
    std::string name;    // the device path
    std::string mnt_dir; // where it was mounted; empty when none was assigned
};

// The partitions of one device: entries 0 to count-1 in ascending partition
// number, the others cleared.
struct part_map_t {
    uint32_t magic = 0;
    uint32_t version = 0;
    uint32_t count = 0;
    uint32_t max_count = 0;
    partlogvol_t part[PART_MAP_MAX];
};

struct volgrp_map_t {
    uint32_t magic = 0;
    uint32_t version = 0;
    uint32_t count = 0;
    uint32_t max_count = 0;
    partlogvol_t logvol[VOLGRP_LV_MAX];
    std::string name;    // the group's name as found on the disk
    std::string newname; // its name while the disk is mounted
};

// The device-mapper devices of one disk; an empty string: not there.
struct dmdesc_t {
    uint32_t magic = 0;
    uint32_t version = 0;
    std::string base;    // unique name of the disk device under /dev/mapper
    std::string dup;     // base + ".dup": holds the table the disk was created with
    std::string top;     // base + ".top": the snapshot device
    std::string storage; // the snapshot's copy-on-write store file
    std::string loop;    // loop device attached to the store file
};

using vdsk_uuid_t = uint64_t;

enum vdsk_type_t : int {
    VD_UNKNOWN = 0,
    VD_VMDK = 1, // the only kind supported
    VD_VHD = 2,
};

// One statistics entry; no part of the system reads them.
struct gen_stat_t {
    std::string name;
    std::string value;
};

struct vdsk_stat_t {
    uint32_t magic = 0;
    uint32_t version = 0;
    std::vector<gen_stat_t> snapshot;
    std::vector<gen_stat_t> filesys;
};

// One open virtual disk. The owner allocates it, vdsk_open fills it and
// vdsk_close empties it again; one thread at a time uses it.
struct vdskdesc_t {
    uint32_t magic = 0;
    uint32_t version = 0;
    vdsk_uuid_t uuid = 0; // the descriptor's CID; never 0 in an open record
    vdsk_type_t type = VD_UNKNOWN;
    struct {
        std::unique_ptr<vmdkdesc_t> vmdkdesc; // the open descriptor (VD_VMDK)
    } desc;
    std::string vdsk_path;        // the descriptor path given to vdsk_mount
    std::string name;             // uuid in "%jx": prefix of the disk's device-mapper names
    std::string vdsk_extent_path; // full path of the first extent file
    dmdesc_t dmdesc;
    part_map_t part_map;
    uint32_t volgrp_map_count = 0;
    volgrp_map_t volgrp_map[VOLGRP_MAP_MAX];
    vdsk_stat_t vdsk_stat;
};

// Fills `vdskdesc` for the descriptor at `vdsk_path`; on failure the record
// is left cleared. `root`: the containment root of the disk's chain (see
// vmdk_open); null for none.
errdesc_t *vdsk_open(const char *vdsk_path, vdskdesc_t *vdskdesc, const char *root = nullptr);
// Releases everything the record holds and clears it.
void vdsk_close(vdskdesc_t *vdskdesc);
// The image kind of the file at `vdsk_path`: VD_VMDK when it opens as a
// VMDK descriptor, otherwise the error of that open.
errdesc_t *vdsk_get_type(const char *vdsk_path, vdsk_type_t *type, const char *root = nullptr);

// Checks that every program the mounter runs has an executable path; once
// per process. Missing programs are logged, and runs of them fail later.
void setup_cmds();
