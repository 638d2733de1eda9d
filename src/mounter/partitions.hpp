#pragma once
// Partitions of a block device: mapped as device-mapper devices by kpartx and
// classified with vol_id and, for file systems, the MBR type id from sfdisk.

#include "common/errdesc.hpp"
#include "common/types.hpp"
#include "mounter/disk_record.hpp"

// A row of the file-system table: the word the probe prints, and what it is.
struct fs_type_entry_t {
    fs_type_t fs_type;
    vol_type_t vol_type;
    const char *name;
};

// One row per fs_type_t value, in value order.
extern const fs_type_entry_t filesys_table[FS_TYPE_MAX];

// The first row whose name occurs anywhere in `fs_type_str`; row 0 if none.
const fs_type_entry_t *fs_name_to_entry(const char *fs_type_str);

// Probes one device with "vol_id -t"; both outputs are 0 unless recognised.
// Exit code 4 of the probe counts as success.
errdesc_t *get_vol_fs_type(const char *pdev_path, vol_type_t *vtype, fs_type_t *fstype);

// The MBR type id of partition `partnum` of device `vol`, through sfdisk.
errdesc_t *vdsk_get_fs_subtype(const char *vol, fs_subtype_t *fssubtype, int partnum);

// Fills `part_map` with the partitions of the device at `dsk_path` found as
// /dev/mapper/<last component>p<N>; with `create_part_dev` kpartx first
// creates them (its failure leaves `part_map` untouched).
errdesc_t *vdsk_get_partitions_ex(const char *dsk_path, part_map_t *part_map,
                                  tol_bool_t create_part_dev);

// With `delete_part_dev` removes the partition devices; always empties
// `part_map`. The result is that of kpartx.
errdesc_t *vdsk_free_partitions_ex(const char *dsk_path, part_map_t *part_map,
                                   tol_bool_t delete_part_dev);

// The partitions of an open disk's device-mapper device (/dev/mapper/<base>)
// into its part_map; devices are made and removed when the disk has its
// snapshot device. Freeing a record without a base device does nothing.
errdesc_t *vdsk_get_partitions(vdskdesc_t *vdskdesc);
errdesc_t *vdsk_free_partitions(vdskdesc_t *vdskdesc);

// vdsk_get_partitions_ex looking for partition devices in `dm_dir`.
errdesc_t *vdsk_get_partitions_at(const char *dm_dir, const char *dsk_path, part_map_t *part_map,
                                  tol_bool_t create_part_dev);
