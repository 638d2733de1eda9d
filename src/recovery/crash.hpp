#pragma once
// Crash recovery at start: what an earlier run of recovery_fs (or its
// mounter) left behind — its device-mapper devices, its loop devices, its
// merge-table files, its FUSE mount — is removed before anything is mounted,
// and the NFS exports are renewed.
//
// Only what recovery_fs makes is removed: device-mapper devices with the
// names it gives, and loop devices over files of its own trees or its store
// and table files. A workstation's own LVM, encrypted mappings and loop
// devices stay untouched.

#include <dirent.h>
#include <string>
#include <vector>

inline constexpr const char *etcmtab = "/etc/mtab";
inline constexpr const char *merge_file_dir = "/tmp";

// The trees whose files recovery_fs attaches to loop devices.
struct crash_scope_t {
    std::string scratch_path;
    std::string mount_point;
    std::string volume_path;
};

// Runs every step for `path` (the volume path, then the mount point).
void recovery_fs_crash_recover(const char *path, const crash_scope_t &scope);

// Whether the mount table holds a mount at or below `path`.
void crash_recover_get_mounted(const char *path, bool *mounted);
// Our device-mapper devices, and the partition mappings that kpartx made on
// our loop devices, what sits on another device first.
void crash_recover_mapper(const crash_scope_t &scope);
void crash_recover_loop(const crash_scope_t &scope);
void crash_recover_merge_files();
void crash_recover_fuse(const char *path, bool mounted);
void crash_recover_nfs();
int is_table_merge_file(const struct dirent *entry);

// Whether a device-mapper name is one that recovery_fs gives: merged devices
// ("cbt.N"), disk devices ("HEX.N" with ".dup" and ".top"), their partition
// mappings ("...pK") and the logical volumes of renamed groups
// ("HEX.NpK--VG-LV"); and "loopNpK", the name kpartx gives a partition of a
// loop device, only when "loopN" is among `our_loops` (an image served
// without a merged device), so that the partitions of others' loop devices stay.
bool crash_is_our_dm_name(const std::string &name, const std::vector<std::string> &our_loops = {});
// Whether a loop device's backing file is one that recovery_fs attaches.
bool crash_is_our_backing_file(const std::string &file, const crash_scope_t &scope);
// Removal order for device-mapper names: what sits on a device goes first.
std::vector<std::string> crash_removal_order(std::vector<std::string> names);
