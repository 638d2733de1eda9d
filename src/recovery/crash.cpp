#include "recovery/crash.hpp"

#include "common/errdesc.hpp"
#include "common/files.hpp"
#include "common/logging.hpp"
#include "common/programs.hpp"
#include "common/spawn.hpp"
#include "controller/settings.hpp"
#include "mounter/run_program.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mntent.h>
#include <regex>
#include <set>
#include <sstream>

namespace
{

constexpr int CRASH_TIMEOUT = 120;
// Removal rounds: a device held for a moment after what sat on it went is
// removed in a later round.
constexpr int MAPPER_ROUNDS = 4;

// Depth of a name in the stack of devices: logical volumes and partition
// mappings sit on disk devices, the snapshot ".top" on the disk device, the
// disk device on its ".dup"... removal goes from the top down.
int stack_level(const std::string &name)
{
    static const std::regex partition("(\\.[0-9]+|^loop[0-9]+)p[0-9]+$");
    if (name.find('-') != std::string::npos)
        return 0; // a logical volume
    if (std::regex_search(name, partition))
        return 1; // a partition mapping
    if (name.ends_with(".top"))
        return 2;
    if (name.ends_with(".dup"))
        return 4;
    return 3;
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

bool below(const std::string &file, const std::string &dir)
{
    if (dir.empty())
        return false;
    std::string prefix = dir.back() == '/' ? dir : dir + "/";
    return file.starts_with(prefix);
}

// Our loop devices by name ("loopN"), from sysfs: no program needed, and
// the kernel's own record of the file rather than a tool's abbreviation.
// Every loop device the kernel has counts, not a fixed range of numbers.
std::vector<std::string> list_our_loop_devices(const crash_scope_t &scope)
{
    std::vector<std::string> ours;
    DIR *dir = opendir("/sys/block");
    if (!dir)
        return ours;
    while (struct dirent *entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (!name.starts_with("loop"))
            continue;
        std::ifstream in("/sys/block/" + name + "/loop/backing_file");
        std::string file;
        if (in && std::getline(in, file) && crash_is_our_backing_file(file, scope))
            ours.push_back(std::move(name));
    }
    closedir(dir);
    std::sort(ours.begin(), ours.end());
    return ours;
}

} // namespace

bool crash_is_our_dm_name(const std::string &name, const std::vector<std::string> &our_loops)
{
    static const std::regex ours("^(cbt|[0-9a-f]+)\\.[0-9]{1,6}(\\.dup|\\.top|p[0-9]+(--?.*)?)?$");
    static const std::regex loop_partition("^(loop[0-9]+)p[0-9]+$");
    if (std::regex_match(name, ours))
        return true;
    std::smatch m;
    if (!std::regex_match(name, m, loop_partition))
        return false;
    return std::find(our_loops.begin(), our_loops.end(), m[1].str()) != our_loops.end();
}

bool crash_is_our_backing_file(const std::string &file, const crash_scope_t &scope)
{
    if (below(file, scope.scratch_path) || below(file, scope.mount_point) ||
        below(file, scope.volume_path))
        return true;
    if (!below(file, merge_file_dir) ||
        file.find('/', strlen(merge_file_dir) + 1) != std::string::npos)
        return false;
    return file.ends_with(".tolstorage") || file.ends_with(".dm_table_merge");
}

std::vector<std::string> crash_removal_order(std::vector<std::string> names)
{
    std::stable_sort(names.begin(), names.end(), [](const std::string &a, const std::string &b) {
        return stack_level(a) < stack_level(b);
    });
    return names;
}

void crash_recover_get_mounted(const char *path, bool *mounted)
{
    *mounted = false;
    // A machine without systemd (a container, a fresh chroot) may have no
    // /etc/mtab; the kernel's own list is the same table.
    FILE *mtab = setmntent(etcmtab, "r");
    if (!mtab)
        mtab = setmntent("/proc/self/mounts", "r");
    if (!mtab)
        return;
    size_t len = strlen(path);
    while (struct mntent *m = getmntent(mtab))
        if (strncmp(m->mnt_dir, path, len) == 0)
            *mounted = true;
    endmntent(mtab);
}

void crash_recover_mapper(const crash_scope_t &scope)
{
    const char *dmsetup = tol_program_path(tol_program_t::dmsetup);
    const std::vector<std::string> our_loops = list_our_loop_devices(scope);
    std::set<std::string> &held = held_devices();
    std::set<std::string> retry; // empty in the first round: every device of ours
    for (int round = 0; round < MAPPER_ROUNDS; ++round) {
        std::vector<std::string> ours;
        for (std::string &name : list_dm_devices())
            if (crash_is_our_dm_name(name, our_loops) && !held.contains(name) &&
                (round == 0 || retry.contains(name)))
                ours.push_back(std::move(name));
        if (ours.empty())
            return;
        int top_removed = INT_MAX; // the highest level that lost a device
        std::vector<std::pair<std::string, errnum_t>> failed;
        for (const std::string &name : crash_removal_order(std::move(ours))) {
            // Not forced: a device still held keeps its table, so what it
            // sits on stays in use and keeps its device number until the
            // next start. Forced to an error table, it let those go, and a
            // new device given the same number got the same partition UUID
            // from kpartx as the held mapping, which the kernel refused.
            const char *cmd[] = {dmsetup, "remove", name.c_str(), nullptr};
            if (errdesc_t *err = run_program_wait(cmd, SPAWN_QUIET, CRASH_TIMEOUT))
                failed.emplace_back(name, err->number);
            else
                top_removed = std::min(top_removed, stack_level(name));
        }
        // A device is tried again only when something that may have sat on it
        // went in this round (a probe set off by that removal may have held it
        // for a moment). Any other one is held by a process: it stays, and
        // start-up does not wait for it again.
        retry.clear();
        for (const auto &[name, number] : failed) {
            if (stack_level(name) > top_removed && round < MAPPER_ROUNDS - 1) {
                retry.insert(name);
                continue;
            }
            errdesc_log(errdesc_set_fmt(number, "%s: still in use, left in place", name.c_str()),
                        TOL_PRIO_ERROR);
            held.insert(name);
        }
        if (retry.empty())
            return;
    }
}

void crash_recover_loop(const crash_scope_t &scope)
{
    const char *losetup = tol_program_path(tol_program_t::losetup);
    for (const std::string &name : list_our_loop_devices(scope)) {
        const std::string device = "/dev/" + name;
        const char *cmd[] = {losetup, "-d", device.c_str(), nullptr};
        run_program_wait(cmd, SPAWN_QUIET, CRASH_TIMEOUT);
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

void crash_recover_fuse(const char *path, bool mounted)
{
    if (!mounted)
        return;
    if (errdesc_t *err = fuse_umount(path))
        errdesc_log(err, TOL_PRIO_ERROR);
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
    bool mounted = false;
    crash_recover_get_mounted(path, &mounted);
    crash_recover_mapper(scope);
    crash_recover_loop(scope);
    crash_recover_merge_files();
    crash_recover_fuse(path, mounted);
    crash_recover_nfs();
}
