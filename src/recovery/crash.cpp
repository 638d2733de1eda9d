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
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mntent.h>
#include <regex>
#include <sstream>

namespace
{

constexpr int CRASH_TIMEOUT = 120;
// Removal rounds: a device in use by another one is removed in a later round.
constexpr int MAPPER_ROUNDS = 4;

// Depth of a name in the stack of devices: logical volumes and partition
// mappings sit on disk devices, the snapshot ".top" on the disk device, the
// disk device on its ".dup"... removal goes from the top down.
int stack_level(const std::string &name)
{
    if (name.find('-') != std::string::npos)
        return 0; // a logical volume
    if (std::regex_search(name, std::regex("\\.[0-9]+p[0-9]+$")))
        return 1; // a partition mapping
    if (name.ends_with(".top"))
        return 2;
    if (name.ends_with(".dup"))
        return 4;
    return 3;
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

// Loop devices with their backing files, from sysfs (no program needed, and
// the kernel's own record of the file rather than a tool's abbreviation).
std::vector<std::pair<std::string, std::string>> list_loop_devices()
{
    std::vector<std::pair<std::string, std::string>> loops;
    for (int n = 0; n < 256; ++n) {
        std::ifstream in("/sys/block/loop" + std::to_string(n) + "/loop/backing_file");
        std::string file;
        if (in && std::getline(in, file) && !file.empty())
            loops.emplace_back("/dev/loop" + std::to_string(n), file);
    }
    return loops;
}

} // namespace

bool crash_is_our_dm_name(const std::string &name)
{
    static const std::regex ours("^(cbt|[0-9a-f]+)\\.[0-9]{1,6}(\\.dup|\\.top|p[0-9]+(--?.*)?)?$");
    return std::regex_match(name, ours);
}

bool crash_is_our_backing_file(const std::string &file, const crash_scope_t &scope)
{
    if (below(file, scope.scratch_path) || below(file, scope.mount_point) ||
        below(file, scope.volume_path))
        return true;
    if (!below(file, merge_file_dir) || file.find('/', strlen(merge_file_dir) + 1) != std::string::npos)
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
    FILE *mtab = setmntent(etcmtab, "r");
    if (!mtab)
        return;
    size_t len = strlen(path);
    while (struct mntent *m = getmntent(mtab))
        if (strncmp(m->mnt_dir, path, len) == 0)
            *mounted = true;
    endmntent(mtab);
}

void crash_recover_mapper()
{
    const char *dmsetup = tol_program_path(tol_program_t::dmsetup);
    for (int round = 0; round < MAPPER_ROUNDS; ++round) {
        std::vector<std::string> ours;
        for (std::string &name : list_dm_devices())
            if (crash_is_our_dm_name(name))
                ours.push_back(std::move(name));
        if (ours.empty())
            return;
        bool last = round == MAPPER_ROUNDS - 1;
        for (const std::string &name : crash_removal_order(std::move(ours))) {
            const char *cmd[] = {dmsetup, "remove", "-f", name.c_str(), nullptr};
            errdesc_t *err = run_program_wait(cmd, SPAWN_QUIET, CRASH_TIMEOUT);
            if (err && last)
                errdesc_log(err, TOL_PRIO_ERROR);
        }
    }
}

void crash_recover_loop(const crash_scope_t &scope)
{
    const char *losetup = tol_program_path(tol_program_t::losetup);
    for (const auto &[device, file] : list_loop_devices()) {
        if (!crash_is_our_backing_file(file, scope))
            continue;
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
    if (mounted)
        fuse_umount(path);
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
    crash_recover_mapper();
    crash_recover_loop(scope);
    crash_recover_merge_files();
    crash_recover_fuse(path, mounted);
    crash_recover_nfs();
}
