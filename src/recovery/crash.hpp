#pragma once
// Crash recovery at start: what an earlier run of recovery_fs left behind -
// its guest mounts, logical volumes, partition mappings, disk devices,
// merged devices, loop devices, snapshot stores and table files, its FUSE
// mount - is removed before anything is mounted, and the NFS exports are
// renewed.
//
// What a run made is known from its record (mounter/made_record.hpp), not
// from names: a second recovery_fs that runs, and the devices that
// vmdk-mount made for an operator, carry the same kind of names and stay
// untouched, as do a workstation's own LVM, encrypted mappings and loop
// devices. The names are a guard on top: a recorded device-mapper name that
// recovery_fs would not give is never removed.

#include "mounter/made_record.hpp"

#include <dirent.h>
#include <string>
#include <vector>

inline constexpr const char *merge_file_dir = "/tmp";

// The trees of this instance.
struct crash_scope_t {
    std::string scratch_path;
    std::string mount_point;
    std::string volume_path;
};

// Runs every step for `path` (the volume path, then the mount point): the
// records of dead runs are undone, and whatever is mounted at or below
// `path` that no running process recorded is unmounted, deepest first and
// lazily.
void recovery_fs_crash_recover(const char *path, const crash_scope_t &scope);

// Undoes what the dead runs' records in `record_dir` list and the
// unrecorded mounts at or below `path`; a record keeps what could not be
// removed yet (a device still held), for the next start.
void crash_recover_made(const char *record_dir, const char *path);
void crash_recover_merge_files();
void crash_recover_nfs();
int is_table_merge_file(const struct dirent *entry);

// Whether a device-mapper name is one that recovery_fs gives (merged
// devices, disk devices with ".dup" and ".top") or that sits on one of them
// (partition mappings, logical volumes of renamed groups), or a partition
// mapping "loopNpK" of a loop device "loopN" among `our_loops`.
bool crash_is_our_dm_name(const std::string &name, const std::vector<std::string> &our_loops = {});
// Removal order for device-mapper names: what sits on a device goes first.
std::vector<std::string> crash_removal_order(std::vector<std::string> names);
// Mount points in removal order: deepest first, a directory mounted over
// several times once per mount.
std::vector<std::string> crash_unmount_order(std::vector<std::string> dirs);
