#pragma once
// Mounting a virtual disk's file systems: the disk device with its snapshot
// overlay, its partitions, its LVM volume groups, and every file system
// mounted read-only on "<mnt_dir>/<base>/<n>", n counting the mounted
// volumes from 0, partitions first. Whole mount sequences are serialised
// across threads and processes by an exclusive flock on the devices lock
// file.

#include "common/errdesc.hpp"
#include "mounter/disk_device.hpp"
#include "mounter/disk_record.hpp"
#include "mounter/owners.hpp"
#include "mounter/volgroups.hpp"

#include <string>
#include <vector>

inline constexpr const char *DEVICES_LOCK_FILE = "/var/tolvane/dm_devices.lck";

// What vdsk_mount made for one disk. Released in reverse member order: the
// mounts, the logical volumes, the partition mappings, the disk device.
struct vdsk_mounted_t {
    disk_device_t device;
    partition_mapping partitions;
    volgroup_activation volumes;
    std::vector<mount_owner> mounts;
};

// Mounts the disk of the descriptor `vdsk_path` below `mnt_dir`. On success
// `vdskdesc` describes it and `*made` owns it until vdsk_umount; on failure
// nothing is left and the record is zero. Volumes that do not mount are
// skipped, so a disk with no file system mounts nothing and succeeds.
// `root`: the containment root of the disk's chain (see vmdk_open).
errdesc_t *vdsk_mount(const char *mnt_dir, const char *vdsk_path, vdskdesc_t *vdskdesc,
                      vdsk_mounted_t *made, const char *root = nullptr);
// Undoes vdsk_mount: every step runs whatever an earlier one reported, and
// the first failure is returned. A zero record (a failed vdsk_mount) is
// accepted and nothing is done.
errdesc_t *vdsk_umount(const char *mnt_dir, vdskdesc_t *vdskdesc, vdsk_mounted_t *made);

// The option argument of mount for a volume, or EINVAL for a UFS volume of
// a partition type that is not a BSD one.
errdesc_t *vdsk_mount_options(fs_type_t fstype, fs_subtype_t fssubtype, const char **options);

// Mounts every VOL_FILESYS partition and logical volume of the record; the
// mounts go to `*mounts`. Never fails: a volume that does not mount is
// logged and skipped, and the next one takes its number.
errdesc_t *vdsk_do_mount(const char *mnt_dir, vdskdesc_t *vdskdesc,
                         std::vector<mount_owner> *mounts);
// Unmounts, lazily and with force, every entry of "<mnt_dir>/<dmbase>" in
// reverse alphabetical order, removing each directory, then the disk
// directory. Works from the directory tree: an owner in `*mounts` for one
// of its entries is the one released, owners for entries that are gone are
// released after them. A null `dmbase` or a missing directory: nothing to do.
errdesc_t *vdsk_do_umount(const char *mnt_dir, const char *dmbase,
                          std::vector<mount_owner> *mounts);
