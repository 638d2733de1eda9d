// File-level view access.

#include "recovery/recovery_vol.hpp"

#include "common/files.hpp"
#include "common/logging.hpp"
#include "common/strings.hpp"
#include "controller/settings.hpp"
#include "recovery/recovery_cookie.hpp"
#include "recovery/recovery_path.hpp"

#include <cerrno>
#include <cstring>
#include <string>
#include <unistd.h>

namespace
{

constexpr const char VOLUME_SUFFIX[] = ".volume";
constexpr size_t VOLUME_SUFFIX_LEN = sizeof(VOLUME_SUFFIX) - 1;
constexpr size_t NAME_LIMIT = 255; // a name within a directory stays below this

} // namespace

errdesc_t *recovery_vol_access(const char *path, const char *mount_point, const char *scratch_path,
                               const char *volume_path, char *out, tol_bool_t ignore_tolcbt_files)
{
    (void)mount_point;
    (void)scratch_path;
    (void)ignore_tolcbt_files;
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

    // Automatic mounting finds or makes the view cookie, mounts the disk's
    // file systems below the mount directory (at most three attempts) and
    // holds a reference for the caller. The disk mounter it needs is not
    // part of this version, so a view cannot be entered while the setting
    // is on: say so instead of showing an empty directory as if mounted.
    ts_printf("ERROR: recovery_vol_access: file-level views cannot be mounted by this version, "
              "'%s' stays unavailable\n",
              vol_path);
    errdesc_t *err = errdesc_set_fmt(ENOENT, "Could not mount file system view for: %s", vol_path);
    errdesc_log(err, TOL_PRIO_ERROR);
    return err;
}

errdesc_t *recovery_vol_decrement_ref_cnt(const char *path)
{
    if (!get_reg_settings()->recover_automount_enabled)
        return nullptr;

    char vol_path[TOL_PATH_MAX];
    errdesc_t *err = get_vol_path(vol_path, path);
    if (!err) {
        std::lock_guard<std::mutex> lock(recovery_open_list.lock);
        recovery_cookie_t *cookie;
        err = recovery_get_cookie(vol_path, nullptr, nullptr, &cookie);
        if (!err) {
            std::lock_guard<std::mutex> guard(cookie->mutex);
            if (!cookie->is_mounted)
                cookie->ref = 0;
            else
                cookie->ref -= 1;
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
