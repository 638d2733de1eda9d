// File-level view access.

#include "recovery/recovery_vol.hpp"

#include "common/files.hpp"
#include "common/logging.hpp"
#include "common/strings.hpp"
#include "controller/settings.hpp"
#include "recovery/recovery_cookie.hpp"
#include "recovery/recovery_path.hpp"

#include "common/unique_fd.hpp"
#include "mounter/vmount.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <string>
#include <unistd.h>
#include <vector>

namespace
{

constexpr const char VOLUME_SUFFIX[] = ".volume";
constexpr size_t VOLUME_SUFFIX_LEN = sizeof(VOLUME_SUFFIX) - 1;
constexpr size_t NAME_LIMIT = 255; // a name within a directory stays below this

} // namespace

namespace
{

// Finds (with a mount directory: makes) the view cookie of `vol_path` and
// locks its mutex. The open-list lock is never held while waiting for that
// mutex: a mount in progress holds it while it opens the image through this
// file system, and that open takes the open-list lock on another thread.
// The cookie is looked up again after each wait, since it may have been
// evicted meanwhile; holding its mutex before the open-list lock is let go
// keeps it from being evicted once found.
errdesc_t *lock_view_cookie(const char *vol_path, const char *scratch_path, const char *mount_dir,
                            recovery_cookie_t **out, std::unique_lock<std::mutex> *guard)
{
    useconds_t pause = 1000;
    for (;;) {
        {
            std::lock_guard<std::mutex> list(recovery_open_list.lock);
            recovery_cookie_t *cookie;
            if (errdesc_t *err = recovery_get_cookie(vol_path, scratch_path, mount_dir, &cookie))
                return err;
            std::unique_lock<std::mutex> locked(cookie->mutex, std::try_to_lock);
            if (locked.owns_lock()) {
                *out = cookie;
                *guard = std::move(locked);
                return nullptr;
            }
        }
        usleep(pause);
        pause = std::min<useconds_t>(pause * 2, 50000);
    }
}

// The descriptor, flat and raw-device-map paths of a view: `vol_path` with
// ".volume" replaced, below `root`.
std::string view_file(const char *root, const char *vol_path, const char *suffix)
{
    std::string path = std::string(root) + vol_path;
    path.replace(path.size() - VOLUME_SUFFIX_LEN, VOLUME_SUFFIX_LEN, suffix);
    return path;
}

// Opens the image that the mounter reads, so that its cookie (and with it
// the merged change-block device) stays while the mount runs.
bool open_view_image(const char *root, const char *vol_path, bool ignore_tolcbt_files,
                     std::vector<unique_fd> *fds)
{
    const std::string descriptor = view_file(root, vol_path, ".vmdk");
    const std::string flat = view_file(root, vol_path, "-flat.vmdk");
    const std::string rdm = view_file(root, vol_path, "-rdm.vmdk");
    if (ignore_tolcbt_files) {
        unique_fd fd(open(descriptor.c_str(), O_RDONLY | O_CLOEXEC));
        if (!fd) {
            ts_printf("ERROR: recovery_vol_access: Could not open %s\n", descriptor.c_str());
            return false;
        }
        fds->push_back(std::move(fd));
    } else {
        ts_dprintf(3, "Opening %s\n", flat.c_str());
    }
    unique_fd fd(open(flat.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        if (!ignore_tolcbt_files)
            ts_dprintf(3, "Opening %s\n", rdm.c_str());
        fd.reset(open(rdm.c_str(), O_RDONLY | O_CLOEXEC));
    }
    if (!fd) {
        ts_printf("ERROR: recovery_vol_access: Could not open %s or %s\n", flat.c_str(),
                  rdm.c_str());
        return false;
    }
    fds->push_back(std::move(fd));
    return true;
}

void undo_mount(const char *mount_dir, const char *mount_point, const char *vol_path,
                vdskdesc_t *vdsk, vdsk_mounted_t *made)
{
    if (errdesc_t *err = vdsk_umount(mount_dir, vdsk, made)) {
        ts_printf("ERROR: recovery_vol_access: vdsk_umount failed on %s%s.\n", mount_point,
                  vol_path);
        errdesc_log(err, TOL_PRIO_ERROR);
    }
}

// One mount attempt of a view whose cookie the caller has locked. True when
// the disk's file systems are mounted below the disk directory.
bool try_mount(recovery_cookie_t *cookie, const char *vol_path, const char *mount_dir,
               const char *mount_point, const char *scratch_path, bool ignore_tolcbt_files)
{
    const char *root = ignore_tolcbt_files ? scratch_path : mount_point;
    std::vector<unique_fd> held; // closed when the attempt ends
    if (!open_view_image(root, vol_path, ignore_tolcbt_files, &held))
        return false;

    const std::string descriptor = view_file(root, vol_path, ".vmdk");
    auto vdsk = std::make_unique<vdskdesc_t>();
    auto made = std::make_unique<vdsk_mounted_t>();
    ts_dprintf(2, "Mounting file-level view on %s\n", descriptor.c_str());
    // The chain comes from a backup: nothing it names may lie outside the
    // tree the view was opened from.
    if (errdesc_t *err = vdsk_mount(mount_dir, descriptor.c_str(), vdsk.get(), made.get(), root)) {
        ts_printf("ERROR: recovery_vol_access: vdsk_mount failed on %s%s.\n", mount_point,
                  vol_path);
        errdesc_log(err, TOL_PRIO_ERROR);
        undo_mount(mount_dir, mount_point, vol_path, vdsk.get(), made.get());
        return false;
    }
    if (vdsk->dmdesc.base.empty()) {
        ts_printf("ERROR: recovery_vol_access: dmdesc.base is NULL %s%s.\n", mount_point, vol_path);
        undo_mount(mount_dir, mount_point, vol_path, vdsk.get(), made.get());
        return false;
    }
    const std::string disk_dir = std::string(mount_dir) + "/" + vdsk->dmdesc.base;
    if (access(disk_dir.c_str(), F_OK) != 0) {
        // No file system of the disk could be mounted.
        ts_printf("ERROR: recovery_vol_access: Could not access mount_path %s.\n",
                  disk_dir.c_str());
        undo_mount(mount_dir, mount_point, vol_path, vdsk.get(), made.get());
        return false;
    }
    cookie->vdskdesc = std::move(vdsk);
    cookie->vdsk_made = std::move(made);
    return true;
}

} // namespace

errdesc_t *recovery_vol_access(const char *path, const char *mount_point, const char *scratch_path,
                               const char *volume_path, char *out, tol_bool_t ignore_tolcbt_files)
{
    char vol_path[TOL_PATH_MAX];
    if (errdesc_t *err = get_vol_path(vol_path, path))
        return err;
    const char *rest = path + strlen(vol_path);
    char mount_dir[TOL_PATH_MAX];
    if (!format_path(mount_dir, sizeof(mount_dir), "%s%s", volume_path, vol_path))
        return errdesc_set_fmt(ENAMETOOLONG, "Path too long: %s%.256s...", volume_path, vol_path);

    if (!get_reg_settings()->recover_automount_enabled) {
        // Nothing is mounted: the view shows its empty mount directory.
        if (!format_path(out, TOL_PATH_MAX, "%s/%s", mount_dir, rest))
            return errdesc_set_fmt(ENAMETOOLONG, "Path too long: %s/%.256s...", mount_dir, rest);
        return nullptr;
    }

    recovery_cookie_t *cookie = nullptr;
    std::unique_lock<std::mutex> guard;
    if (errdesc_t *err = lock_view_cookie(vol_path, scratch_path, mount_dir, &cookie, &guard)) {
        ts_printf("ERROR: recovery_vol_access: could not get cookie for '%s'", vol_path);
        errdesc_log(err, TOL_PRIO_ERROR);
        return errdesc_set_str(ENOENT, "could not get cookie");
    }
    ts_dprintf(3, "recovery_vol_access: got cookie: ref: %jd, is_mounted: %d, stamp: %zd\n",
               static_cast<intmax_t>(cookie->ref), cookie->is_mounted ? 1 : 0,
               static_cast<ssize_t>(cookie->stamp));
    if (cookie->ref > 10)
        ts_printf("WARNING: recovery_vol_access: Ref Count = %jd for '%s'\n",
                  static_cast<intmax_t>(cookie->ref), vol_path);

    if (!cookie->is_mounted) {
        tol_safe_strncpy(out, mount_dir, TOL_PATH_MAX);
        if (cookie->mount_attempts > 2) {
            // Three failed attempts: said once, then refused silently until
            // the cookie is evicted.
            if (cookie->mount_attempts == 3) {
                errdesc_t *err =
                    errdesc_set_fmt(ENOENT, "Mount retries exceeded for: %s", vol_path);
                errdesc_log(err, TOL_PRIO_ERROR);
                cookie->mount_attempts = 4;
                return err;
            }
            return errdesc_set(ENOENT);
        }
        ts_printf("mounting %s\n", vol_path);
        if (access(mount_dir, R_OK) != 0) {
            ts_dprintf(3, "recovery_vol_access: creating '%s' mount point.\n", mount_dir);
            if (mkdirp(mount_dir, RECOVERY_MOUNT_DIR_MODE) != 0) {
                ts_printf("ERROR: recovery_vol_access: could not create '%s' mount point.\n",
                          mount_dir);
                errdesc_t *err = errdesc_set_str(ENOENT, "could not create mount point");
                errdesc_log(err, TOL_PRIO_ERROR);
                return err;
            }
        }
        if (!try_mount(cookie, vol_path, mount_dir, mount_point, scratch_path,
                       ignore_tolcbt_files)) {
            cookie->mount_attempts += 1;
            errdesc_t *err =
                errdesc_set_fmt(ENOENT, "Could not mount file system view for: %s", vol_path);
            errdesc_log(err, TOL_PRIO_ERROR);
            return err;
        }
        ts_printf("successfully mounted %s\n", vol_path);
        cookie->is_mounted = true;
    }

    cookie->ref += 1;
    cookie->stamp = time(nullptr);
    if (!format_path(out, TOL_PATH_MAX, "%s/%s/%s", mount_dir,
                     cookie->vdskdesc->dmdesc.base.c_str(), rest)) {
        cookie->ref -= 1;
        return errdesc_set_fmt(ENAMETOOLONG, "Path too long: %s/%.256s...", mount_dir, rest);
    }
    return nullptr;
}

errdesc_t *recovery_vol_decrement_ref_cnt(const char *path)
{
    if (!get_reg_settings()->recover_automount_enabled)
        return nullptr;

    char vol_path[TOL_PATH_MAX];
    errdesc_t *err = get_vol_path(vol_path, path);
    if (!err) {
        recovery_cookie_t *cookie = nullptr;
        std::unique_lock<std::mutex> guard;
        err = lock_view_cookie(vol_path, nullptr, nullptr, &cookie, &guard);
        if (!err) {
            if (!cookie->is_mounted)
                cookie->ref = 0;
            else
                cookie->ref -= 1;
            cookie->stamp = time(nullptr);
            if (cookie->ref < 0) {
                cookie->ref = 0;
                err = errdesc_set_fmt(EIO, "Detected negative ref count for: %s", path);
            } else {
                ts_dprintf(5, "recovery_vol_decrement_ref_cnt: vol_path = %s, ref count = %jd\n",
                           vol_path, static_cast<intmax_t>(cookie->ref));
            }
        }
    }
    if (!err)
        return nullptr;
    errdesc_log(err, TOL_PRIO_ERROR);
    return errdesc_set_fmt(EIO, "Error in recovery_vol_decrement_ref_cnt: %s", path);
}

int recovery_vol_create_entry(char *entry_name, struct stat *stbuf, const char *dir_path,
                              const char *scratch_path, const char *volume_path, const char *name)
{
    size_t len = strlen(name);
    size_t stem = len >= 5 ? len - 5 : 0; // drop ".vmdk"
    if (stem + VOLUME_SUFFIX_LEN >= NAME_LIMIT) {
        ts_printf("ERROR: recovery_vol_create_entry: '.volume' name for %s is too long\n", name);
        return -1;
    }
    memcpy(entry_name, name, stem);
    strcpy(entry_name + stem, VOLUME_SUFFIX);

    char scratch_entry[TOL_PATH_MAX];
    char mount_dir[TOL_PATH_MAX];
    if (!format_path(scratch_entry, sizeof(scratch_entry), "%s/%s/%s", scratch_path, dir_path,
                     entry_name) ||
        !format_path(mount_dir, sizeof(mount_dir), "%s/%s/%s", volume_path, dir_path, entry_name)) {
        ts_printf("ERROR: recovery_vol_create_entry: path of %s in %s is too long\n", entry_name,
                  dir_path);
        return -1;
    }
    struct stat st;
    if (lstat(scratch_entry, &st) == 0) {
        ts_printf("ERROR: %s directory already exists, can't create .volume mount point.\n",
                  scratch_entry);
        return -1;
    }
    if (access(mount_dir, R_OK) != 0 && mkdirp(mount_dir, RECOVERY_MOUNT_DIR_MODE) != 0) {
        ts_printf("ERROR: could not create %s mount point.\n", mount_dir);
        return -1;
    }
    if (stat(mount_dir, stbuf) != 0) {
        ts_printf("ERROR: recovery_vol_create_entry: stat failed.\n");
        return -1;
    }
    if (!S_ISDIR(stbuf->st_mode)) {
        ts_printf("ERROR: recovery_vol_create_entry: %s is not a directory.\n", mount_dir);
        return -1;
    }
    return 0;
}

errdesc_t *recovery_create_mount_point(const char *path, const char *mount_dir,
                                       const char *scratch_path)
{
    if (access(mount_dir, R_OK) == 0)
        return nullptr;

    char vol_path[TOL_PATH_MAX];
    if (errdesc_t *err = get_vol_path(vol_path, path))
        return err;
    // The descriptor that the view belongs to: ".volume" becomes ".vmdk".
    std::string descriptor = std::string(scratch_path) + vol_path;
    descriptor.replace(descriptor.size() - VOLUME_SUFFIX_LEN, VOLUME_SUFFIX_LEN, ".vmdk");
    if (descriptor.size() >= TOL_PATH_MAX || access(descriptor.c_str(), R_OK) != 0) {
        ts_printf("recovery_create_mount_point: invalid .volume path: %s\n", path);
        return errdesc_set_fmt(ENOENT, "invalid .volume path: %s", path);
    }
    if (mkdirp(mount_dir, RECOVERY_MOUNT_DIR_MODE) != 0) {
        ts_printf("recovery_create_mount_point: could not create mount point for: %s\n", path);
        return errdesc_set_fmt(ENOENT, "could not create mount point for: %s", path);
    }
    return nullptr;
}
