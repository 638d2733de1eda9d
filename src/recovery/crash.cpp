#include "recovery/crash.hpp"

#include "common/errdesc.hpp"
#include "common/files.hpp"
#include "common/logging.hpp"
#include "common/programs.hpp"
#include "common/spawn.hpp"
#include "controller/settings.hpp"
#include "mounter/dm_names.hpp"
#include "mounter/run_program.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <memory>
#include <mntent.h>
#include <set>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

constexpr int CRASH_TIMEOUT = 120;
// Removal rounds: a device held for a moment after what sat on it went is
// removed in a later round.
constexpr int MAPPER_ROUNDS = 4;
// How long start-up waits, in all, for devices to be let go by the file
// systems unmounted lazily above them (a FUSE file system's daemon ends a
// moment after its unmount). One that a client still holds is not waited for
// beyond this.
constexpr int RELEASE_WAIT_MS = 10000;

// Depth of a name in the stack of devices: logical volumes and partition
// mappings sit on disk devices, the snapshot ".top" on the disk device, the
// disk device on its ".dup"... removal goes from the top down.
int stack_level(const std::string &name)
{
    switch (dm_parse_name(name).kind) {
    case dm_name_kind_t::volume:
        return 0;
    case dm_name_kind_t::partition:
    case dm_name_kind_t::loop_partition:
        return 1;
    case dm_name_kind_t::top:
        return 2;
    case dm_name_kind_t::dup:
        return 4;
    default:
        return 3;
    }
}

// Devices whose removal failed during this start-up. A device still held by
// another process stays until that process lets go; trying it again (in the
// second run, over the mount point) would only wait for it once more.
std::set<std::string> &held_devices()
{
    static std::set<std::string> held;
    return held;
}

std::vector<std::string> list_dm_devices()
{
    std::vector<std::string> names;
    const char *cmd[] = {tol_program_path(tol_program_t::dmsetup), "ls", nullptr};
    errdesc_t *err = run_program_read(cmd, SPAWN_QUIET, CRASH_TIMEOUT, [&names](FILE *out) {
        char line[4096];
        while (fgets(line, sizeof(line), out)) {
            char name[4096];
            if (sscanf(line, "%4095s", name) == 1)
                names.emplace_back(name);
        }
    });
    // A tool that cannot list (no device-mapper in this kernel) leaves
    // nothing of ours to remove.
    (void)err;
    return names;
}

bool at_or_below(const std::string &dir, const std::string &path)
{
    if (path.empty())
        return false;
    const std::string prefix = path.back() == '/' ? path : path + "/";
    return dir == path || dir.starts_with(prefix);
}

struct mount_t {
    std::string dir;
    std::string source;
    std::string type;
};

// The mount table of this namespace, in mount order.
std::vector<mount_t> mount_table()
{
    std::vector<mount_t> mounts;
    FILE *table = setmntent("/proc/self/mounts", "r");
    if (!table)
        return mounts;
    while (struct mntent *m = getmntent(table))
        mounts.push_back(mount_t{m->mnt_dir, m->mnt_fsname, m->mnt_type});
    endmntent(table);
    return mounts;
}

// The file a loop device ("/dev/loopN") is attached to; empty when none.
std::string loop_backing_file(const std::string &device)
{
    const std::string name = device.substr(device.rfind('/') + 1);
    std::ifstream in("/sys/block/" + name + "/loop/backing_file");
    std::string file;
    if (in)
        std::getline(in, file);
    return file;
}

// The loop devices' files as they were named before this start aborted the
// dead mount at the mount point: a file on a detached mount is named from
// that mount's root afterwards ("/vm1/disk-flat.vmdk").
std::map<std::string, std::string> &loop_files_before()
{
    static std::map<std::string, std::string> files;
    return files;
}

void note_loop_files()
{
    std::map<std::string, std::string> &files = loop_files_before();
    files.clear();
    std::unique_ptr<DIR, int (*)(DIR *)> dir(opendir("/sys/block"), closedir);
    if (!dir)
        return;
    while (const dirent *de = readdir(dir.get())) {
        const std::string device = std::string("/dev/") + de->d_name;
        if (std::string file = loop_backing_file(device); !file.empty())
            files[device] = file;
    }
}

bool names_file(const std::string &named, const std::string &file)
{
    return named == file || named == file + " (deleted)";
}

// Whether a loop device still holds the file that the record names (a file
// deleted since is shown with " (deleted)").
bool loop_still_ours(const made_entry_t &loop)
{
    const std::string file = loop_backing_file(loop.name);
    if (file.empty())
        return false;
    const auto &before = loop_files_before();
    const auto it = before.find(loop.name);
    return names_file(file, loop.backing) ||
           (it != before.end() && names_file(it->second, loop.backing));
}

bool contains(const std::vector<made_entry_t> &entries, made_kind_t kind, const std::string &name)
{
    return std::any_of(entries.begin(), entries.end(),
                       [&](const made_entry_t &e) { return e.kind == kind && e.name == name; });
}

// The FUSE mount at this instance's mount point is replaced, whoever served
// it. Its connection is aborted first: a killed run's thread that waited for
// an answer from that very mount (an image read through it) cannot end
// before, and with it neither the run's hold on its record. Nothing here
// looks into the mount (a stat would wait for that answer too).
void abort_fuse_at(const std::string &mount_point)
{
    for (const mount_t &m : mount_table()) {
        if (m.dir != mount_point || !m.type.starts_with("fuse"))
            continue;
        if (umount2(m.dir.c_str(), MNT_FORCE | MNT_DETACH) != 0)
            errdesc_log(errdesc_set_str(errno, m.dir.c_str()), TOL_PRIO_ERROR);
    }
}

// Deepest first and lazily: a client that holds a file must not keep the
// devices below the mount. Then the devices that those mounts held are given
// a moment to be let go.
void unmount_dead(const std::vector<made_entry_t> &made, const std::vector<made_entry_t> &live,
                  const char *path)
{
    std::vector<std::string> dirs;
    std::vector<std::string> devices;
    for (const mount_t &m : mount_table()) {
        if (contains(live, made_kind_t::mount, m.dir))
            continue;
        if (!contains(made, made_kind_t::mount, m.dir) && !at_or_below(m.dir, path))
            continue;
        dirs.push_back(m.dir);
        if (m.source.starts_with("/dev/"))
            devices.push_back(m.source);
    }
    for (const std::string &dir : crash_unmount_order(std::move(dirs)))
        if (umount2(dir.c_str(), MNT_DETACH) != 0)
            errdesc_log(errdesc_set_str(errno, dir.c_str()), TOL_PRIO_ERROR);
    for (const made_entry_t &e : made)
        if (e.kind == made_kind_t::mount)
            rmdir(e.name.c_str()); // the numbered directory; a mount point stays
    int budget = RELEASE_WAIT_MS;
    for (const std::string &device : devices)
        dm_wait_released(device, &budget);
}

// The names to remove: the dead runs' own devices (those the grammar calls
// ours), what kpartx and LVM made on them, and the partition mappings of
// their loop devices - none that a running process recorded.
std::vector<std::string> dead_dm_names(const std::vector<made_entry_t> &made,
                                       const std::vector<made_entry_t> &live)
{
    std::set<std::string> bases;
    std::vector<std::string> loops;
    for (const made_entry_t &e : made) {
        if (e.kind == made_kind_t::dm && crash_is_our_dm_name(e.name))
            bases.insert(e.name);
        if (e.kind == made_kind_t::loop && loop_still_ours(e))
            loops.push_back(e.name.substr(e.name.rfind('/') + 1));
    }
    std::vector<std::string> ours;
    for (std::string &name : list_dm_devices()) {
        if (contains(live, made_kind_t::dm, name) || held_devices().contains(name) ||
            !crash_is_our_dm_name(name, loops))
            continue;
        const dm_name_parts_t parts = dm_parse_name(name);
        if (bases.contains(name) || bases.contains(parts.base) ||
            parts.kind == dm_name_kind_t::loop_partition)
            ours.push_back(std::move(name));
    }
    return ours;
}

// A logical volume's node and group directory, which the LVM tools made.
void remove_volume_nodes(const std::string &name)
{
    const dm_name_parts_t parts = dm_parse_name(name);
    if (parts.kind != dm_name_kind_t::volume)
        return;
    const std::string dir = "/dev/" + parts.group;
    unlink((dir + "/" + parts.volume).c_str());
    rmdir(dir.c_str());
}

void remove_dead_devices(std::vector<std::string> ours)
{
    const char *dmsetup = tol_program_path(tol_program_t::dmsetup);
    std::set<std::string> &held = held_devices();
    std::set<std::string> retry; // empty in the first round: every device of ours
    for (int round = 0; round < MAPPER_ROUNDS && !ours.empty(); ++round) {
        int top_removed = INT_MAX; // the highest level that lost a device
        std::vector<std::pair<std::string, errnum_t>> failed;
        for (const std::string &name : crash_removal_order(std::move(ours))) {
            // Not forced: a device still held keeps its table, so what it
            // sits on stays in use and keeps its device number until the
            // next start. Forced to an error table, it let those go, and a
            // new device given the same number got the same partition UUID
            // from kpartx as the held mapping, which the kernel refused.
            const char *cmd[] = {dmsetup, "remove", name.c_str(), nullptr};
            if (errdesc_t *err = run_program_wait(cmd, SPAWN_QUIET, CRASH_TIMEOUT)) {
                failed.emplace_back(name, err->number);
                continue;
            }
            top_removed = std::min(top_removed, stack_level(name));
            remove_volume_nodes(name);
        }
        // A device is tried again only when something that may have sat on it
        // went in this round (a probe set off by that removal may have held it
        // for a moment). Any other one is held by a process: it stays, and
        // start-up does not wait for it again.
        ours.clear();
        for (const auto &[name, number] : failed) {
            if (stack_level(name) > top_removed && round < MAPPER_ROUNDS - 1) {
                ours.push_back(name);
                continue;
            }
            errdesc_log(errdesc_set_fmt(number, "%s: still in use, left in place", name.c_str()),
                        TOL_PRIO_ERROR);
            held.insert(name);
        }
    }
}

void detach_dead_loops(const std::vector<made_entry_t> &made)
{
    const char *losetup = tol_program_path(tol_program_t::losetup);
    for (const made_entry_t &e : made) {
        if (e.kind != made_kind_t::loop || !loop_still_ours(e))
            continue;
        const char *cmd[] = {losetup, "-d", e.name.c_str(), nullptr};
        run_program_wait(cmd, SPAWN_QUIET, CRASH_TIMEOUT);
    }
}

void remove_dead_files(const std::vector<made_entry_t> &made)
{
    for (const made_entry_t &e : made)
        if (e.kind == made_kind_t::file && unlink(e.name.c_str()) != 0 && errno != ENOENT)
            errdesc_log(errdesc_set_str(errno, e.name.c_str()), TOL_PRIO_INFO);
}

// Whether an object of a dead run is still there.
bool still_there(const made_entry_t &e, const std::vector<mount_t> &mounts,
                 const std::vector<std::string> &devices)
{
    switch (e.kind) {
    case made_kind_t::mount:
        return std::any_of(mounts.begin(), mounts.end(),
                           [&](const mount_t &m) { return m.dir == e.name; });
    case made_kind_t::dm:
        return crash_is_our_dm_name(e.name) &&
               std::find(devices.begin(), devices.end(), e.name) != devices.end();
    case made_kind_t::loop:
        return loop_still_ours(e);
    case made_kind_t::file:
        return access(e.name.c_str(), F_OK) == 0;
    }
    return false;
}

} // namespace

bool crash_is_our_dm_name(const std::string &name, const std::vector<std::string> &our_loops)
{
    const dm_name_parts_t parts = dm_parse_name(name);
    if (parts.kind != dm_name_kind_t::loop_partition)
        return parts.kind != dm_name_kind_t::none;
    return std::find(our_loops.begin(), our_loops.end(), parts.base) != our_loops.end();
}

std::vector<std::string> crash_removal_order(std::vector<std::string> names)
{
    std::stable_sort(names.begin(), names.end(), [](const std::string &a, const std::string &b) {
        return stack_level(a) < stack_level(b);
    });
    return names;
}

std::vector<std::string> crash_unmount_order(std::vector<std::string> dirs)
{
    // Later mounts first among equals: the table lists mounts in mount order.
    std::reverse(dirs.begin(), dirs.end());
    std::stable_sort(dirs.begin(), dirs.end(), [](const std::string &a, const std::string &b) {
        return std::count(a.begin(), a.end(), '/') > std::count(b.begin(), b.end(), '/');
    });
    return dirs;
}

void crash_recover_made(const char *record_dir, const char *path)
{
    std::vector<made_record_file_t> dead;
    std::vector<made_entry_t> live;
    made_records_scan(record_dir, &dead, &live);
    std::vector<made_entry_t> made;
    for (const made_record_file_t &record : dead)
        made.insert(made.end(), record.entries.begin(), record.entries.end());

    unmount_dead(made, live, path);
    remove_dead_devices(dead_dm_names(made, live));
    detach_dead_loops(made);
    remove_dead_files(made);

    const std::vector<mount_t> mounts = mount_table();
    const std::vector<std::string> devices =
        dead.empty() ? std::vector<std::string>{} : list_dm_devices();
    for (made_record_file_t &record : dead) {
        std::vector<made_entry_t> left;
        for (const made_entry_t &e : record.entries)
            if (still_there(e, mounts, devices))
                left.push_back(e);
        if (errdesc_t *err = made_record_replace(&record, left))
            errdesc_log(err, TOL_PRIO_ERROR);
    }
}

int is_table_merge_file(const struct dirent *entry)
{
    const char *dot = strrchr(entry->d_name, '.');
    return dot && strcmp(dot, ".dm_table_merge") == 0;
}

void crash_recover_merge_files()
{
    if (!get_reg_settings()->cbt_debug_enabled)
        return;
    struct dirent **entries = nullptr;
    int count = scandir(merge_file_dir, &entries, is_table_merge_file, alphasort);
    if (count < 0) {
        errdesc_log(errdesc_set_str(errno, merge_file_dir), TOL_PRIO_INFO);
        return;
    }
    for (int i = count - 1; i >= 0; --i) {
        std::string file = std::string(merge_file_dir) + "/" + entries[i]->d_name;
        if (unlink(file.c_str()) != 0)
            errdesc_log(errdesc_set_str(errno, file.c_str()), TOL_PRIO_INFO);
        free(entries[i]);
    }
    free(entries);
}

void crash_recover_nfs()
{
    const char *exportfs = tol_program_path(tol_program_t::exportfs);
    const char *unexport[] = {exportfs, "-ua", nullptr};
    const char *reexport[] = {exportfs, "-a", nullptr};
    run_program_wait(unexport, SPAWN_QUIET, CRASH_TIMEOUT);
    run_program_wait(reexport, SPAWN_QUIET, CRASH_TIMEOUT);
}

void recovery_fs_crash_recover(const char *path, const crash_scope_t &scope)
{
    note_loop_files();
    abort_fuse_at(scope.mount_point);
    crash_recover_made(MADE_RECORD_DIR, path);
    crash_recover_merge_files();
    crash_recover_nfs();
}
