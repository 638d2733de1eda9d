#include "mounter/vmount.hpp"

#include "common/files.hpp"
#include "common/kept_error.hpp"
#include "common/logging.hpp"
#include "common/programs.hpp"
#include "common/spawn.hpp"
#include "common/unique_fd.hpp"
#include "mounter/dm_names.hpp"
#include "mounter/made_record.hpp"
#include "mounter/partitions.hpp"
#include "mounter/run_program.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace
{

constexpr mode_t MOUNT_DIR_MODE = 0755;

// Opens the lock file itself, so the flock excludes other threads of this
// process as well as other processes. Waits as long as it takes.
errdesc_t *devices_lock(unique_fd *fd)
{
    // The directory belongs to the appliance; a workstation may lack it.
    std::string dir = DEVICES_LOCK_FILE;
    dir.erase(dir.rfind('/'));
    if (access(dir.c_str(), F_OK) != 0)
        mkdirp(dir.c_str(), MOUNT_DIR_MODE);
    unique_fd lock(open(DEVICES_LOCK_FILE, O_RDONLY | O_CREAT | O_CLOEXEC, 0777));
    if (!lock)
        return errdesc_set_extended_err(errno, DEVICES_LOCK_FILE);
    while (flock(lock.get(), LOCK_EX) != 0) {
        if (errno != EINTR)
            return errdesc_set_extended_err(errno, DEVICES_LOCK_FILE);
    }
    *fd = std::move(lock);
    return nullptr;
}

// Keeps the first failure of a teardown while the later steps run.
class first_error
{
  public:
    void note(errdesc_t *err)
    {
        if (err && kept_.empty())
            kept_.keep(err);
    }
    errdesc_t *raise() const { return kept_.raise(); }

  private:
    kept_error kept_;
};

errdesc_t *vdsk_do_mount_fs(const char *mnt_dir, const char *mnt_dev, fs_type_t fstype,
                            fs_subtype_t fssubtype, std::vector<mount_owner> *mounts)
{
    const char *options = nullptr;
    if (errdesc_t *err = vdsk_mount_options(fstype, fssubtype, &options))
        return err;
    if (mkdirp(mnt_dir, MOUNT_DIR_MODE) != 0 && errno != EEXIST)
        return errdesc_set_extended_err(errno, mnt_dir);
    const char *cmd[] = {tol_program_path(tol_program_t::mount), options, mnt_dev, mnt_dir,
                         nullptr};
    made_note(made_kind_t::mount, mnt_dir);
    if (errdesc_t *err = run_program_wait(cmd, 0, SPAWN_TIMEOUT_LONG)) {
        errdesc_keeper keep;
        if (rmdir(mnt_dir) == 0)
            made_forget(made_kind_t::mount, mnt_dir);
        return err;
    }
    mounts->push_back(mount_owner::adopt(mnt_dir));
    return nullptr;
}

// Mounts one volume as number `*n` when it is a file system.
void mount_volume(const char *mnt_dir, const std::string &base, partlogvol_t *vol, int *n,
                  std::vector<mount_owner> *mounts)
{
    if (vol->vtype != VOL_FILESYS)
        return;
    vol->mnt_dir = std::string(mnt_dir) + "/" + base + "/" + std::to_string(*n);
    if (errdesc_t *err = vdsk_do_mount_fs(vol->mnt_dir.c_str(), vol->name.c_str(), vol->fstype,
                                          vol->fssubtype, mounts)) {
        errdesc_log(err, TOL_PRIO_WARNING);
        return;
    }
    ++*n;
}

// The entries of `dir` that do not begin with ".", sorted; ENOENT when it
// does not exist.
errdesc_t *list_sorted(const std::string &dir, std::vector<std::string> *names)
{
    std::unique_ptr<DIR, int (*)(DIR *)> d(opendir(dir.c_str()), closedir);
    if (!d)
        return errdesc_set_str(errno, dir.c_str());
    while (const dirent *de = readdir(d.get())) {
        if (de->d_name[0] != '.')
            names->push_back(de->d_name);
    }
    std::sort(names->begin(), names->end());
    return nullptr;
}

// The device mounted on `dir`, from the mount table; empty when none.
std::string mount_source(const std::string &dir)
{
    std::unique_ptr<FILE, int (*)(FILE *)> table(fopen("/proc/self/mountinfo", "re"), fclose);
    if (!table)
        return std::string();
    char line[8192];
    std::string source;
    while (fgets(line, sizeof(line), table.get())) {
        char point[4096];
        const char *sep = strstr(line, " - ");
        char fstype[256], dev[4096];
        if (sscanf(line, "%*s %*s %*s %*s %4095s", point) != 1 || !sep ||
            sscanf(sep + 3, "%255s %4095s", fstype, dev) != 2)
            continue;
        if (dir == point)
            source = dev; // the last mount on a directory is the visible one
    }
    return source;
}

// A lazily unmounted file system lets go of its device a moment later (a
// FUSE one such as ntfs-3g when its daemon has ended), and the device
// cannot be removed before. Waits, bounded, until each device can be
// opened exclusively again (up to 10 s each); a mount that a client still
// holds keeps its device, and its removal then fails and is logged.
void wait_released(const std::vector<std::string> &devices)
{
    for (const auto &dev : devices) {
        int budget_ms = 10000;
        dm_wait_released(dev, &budget_ms);
    }
}

} // namespace

errdesc_t *vdsk_mount_options(fs_type_t fstype, fs_subtype_t fssubtype, const char **options)
{
    switch (fstype) {
    case FS_TYPE_UFS:
        if (fssubtype == FS_SUBTYPE_UFS_FREEBSD || fssubtype == FS_SUBTYPE_UFS_OPENBSD ||
            fssubtype == FS_SUBTYPE_UFS_NETBSD) {
            *options = "-oro,ufstype=44bsd";
            return nullptr;
        }
        return errdesc_set_fmt(EINVAL, "Cannot mount fstype=%x, fssubtype=%x", fstype, fssubtype);
    case FS_TYPE_NTFS:
        *options = "-oro,streams_interface=windows";
        return nullptr;
    case FS_TYPE_XFS:
        // Restore points of one guest share the file-system UUID, and XFS
        // refuses a second mount of a UUID without this.
        *options = "-oro,nouuid";
        return nullptr;
    case FS_TYPE_VFAT:
    case FS_TYPE_EXT2:
    case FS_TYPE_EXT3:
    case FS_TYPE_EXT4:
        *options = "-oro";
        return nullptr;
    default:
        return errdesc_set_fmt(EINVAL, "Cannot mount fstype=%x, fssubtype=%x", fstype, fssubtype);
    }
}

errdesc_t *vdsk_do_mount(const char *mnt_dir, vdskdesc_t *vdskdesc,
                         std::vector<mount_owner> *mounts)
{
    const std::string &base = vdskdesc->dmdesc.base;
    int n = 0;
    for (uint32_t p = 0; p < vdskdesc->part_map.count; ++p)
        mount_volume(mnt_dir, base, &vdskdesc->part_map.part[p], &n, mounts);
    for (uint32_t g = 0; g < vdskdesc->volgrp_map_count; ++g) {
        volgrp_map_t &vg = vdskdesc->volgrp_map[g];
        for (uint32_t v = 0; v < vg.count; ++v)
            mount_volume(mnt_dir, base, &vg.logvol[v], &n, mounts);
    }
    return nullptr;
}

errdesc_t *vdsk_do_umount(const char *mnt_dir, const char *dmbase, std::vector<mount_owner> *mounts)
{
    if (!dmbase || !*dmbase)
        return nullptr;
    const std::string disk_dir = std::string(mnt_dir) + "/" + dmbase;
    std::vector<std::string> names;
    if (errdesc_t *err = list_sorted(disk_dir, &names)) {
        if (err->number != ENOENT)
            return err;
        mounts->clear(); // nothing was mounted: the owners have nothing to find
        return nullptr;
    }
    // Lazy and forced: a client inside a view must not keep it mounted.
    kept_error last;
    std::vector<std::string> devices;
    for (auto it = names.rbegin(); it != names.rend(); ++it) {
        const std::string dir = disk_dir + "/" + *it;
        if (std::string dev = mount_source(dir); dev.rfind("/dev/", 0) == 0)
            devices.push_back(dev);
        auto owned = std::find_if(mounts->begin(), mounts->end(),
                                  [&](const mount_owner &m) { return m.dir() == dir; });
        mount_owner owner = owned == mounts->end() ? mount_owner::adopt(dir) : std::move(*owned);
        errdesc_t *err = owner.release();
        if (err)
            errdesc_log(err, TOL_PRIO_WARNING);
        last = kept_error(err);
    }
    for (auto &owner : *mounts) {
        if (owner.empty())
            continue;
        errdesc_t *err = owner.release();
        if (err)
            errdesc_log(err, TOL_PRIO_WARNING);
    }
    mounts->clear();
    wait_released(devices);
    if (rmdir(disk_dir.c_str()) != 0)
        return errdesc_set_extended_err(errno, disk_dir.c_str());
    return last.raise();
}

errdesc_t *vdsk_mount(const char *mnt_dir, const char *vdsk_path, vdskdesc_t *vdskdesc,
                      vdsk_mounted_t *made, const char *root)
{
    ts_dprintf(1, "vmount: requesting lock for %s\n", vdsk_path);
    unique_fd lock;
    if (errdesc_t *err = devices_lock(&lock)) {
        errdesc_log(err, TOL_PRIO_WARNING);
        ts_dprintf(0, "WARNING: vmount: failed to get lock for %s\n", vdsk_path);
        vdsk_close(vdskdesc);
        return err;
    }
    ts_dprintf(1, "vmount: got lock for %s\n", vdsk_path);

    errdesc_t *err = vdsk_setup(vdsk_path, vdskdesc, &made->device, root);
    if (!err) {
        const std::string disk = std::string(dmroot) + "/" + vdskdesc->dmdesc.base;
        err = partition_mapping::map(disk.c_str(), &made->partitions);
        if (!err) {
            vdskdesc->part_map = made->partitions.parts();
            err = vdsk_get_volgroups(vdskdesc, &made->volumes);
        }
        if (err) {
            // Reverse order of construction; the error of the failed step
            // is the one returned.
            errdesc_keeper keep;
            vdsk_free_volgroups(vdskdesc, &made->volumes);
            made->partitions.release();
            vdskdesc->part_map = part_map_t{};
            vdsk_unsetup(vdskdesc, &made->device);
        }
    }
    if (!err)
        vdsk_do_mount(mnt_dir, vdskdesc, &made->mounts);

    ts_dprintf(1, "vmount: releasing lock for %s\n", vdsk_path);
    lock.reset();
    ts_dprintf(1, "vmount: released lock for %s\n", vdsk_path);
    return err;
}

errdesc_t *vdsk_umount(const char *mnt_dir, vdskdesc_t *vdskdesc, vdsk_mounted_t *made)
{
    if (vdskdesc->magic == 0)
        return nullptr; // what a failed vdsk_mount leaves
    first_error first;
    first.note(vdsk_do_umount(mnt_dir, vdskdesc->dmdesc.base.c_str(), &made->mounts));
    first.note(vdsk_free_volgroups(vdskdesc, &made->volumes));
    first.note(made->partitions.release());
    vdskdesc->part_map = part_map_t{};
    first.note(vdsk_unsetup(vdskdesc, &made->device));
    return first.raise();
}
