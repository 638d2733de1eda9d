// File-system operations.

#include "recovery/recovery_ops.hpp"

#include "common/files.hpp"
#include "common/logging.hpp"
#include "common/strings.hpp"
#include "common/unique_fd.hpp"
#include "controller/settings.hpp"
#include "image/flat_image.hpp"
#include "recovery/fuse_fh.hpp"
#include "recovery/recovery_cookie.hpp"
#include "recovery/recovery_options.hpp"
#include "recovery/recovery_path.hpp"
#include "recovery/recovery_vol.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <exception>
#include <fcntl.h>
#include <mutex>
#include <new>
#include <string>
#include <sys/mman.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <vector>

char prev_getattr_path[RECOVERY_DEBUG_PATH_SIZE] = "INITIAL GETATTR";
int prev_getattr_path_count = 0;
char prev_open_path[RECOVERY_DEBUG_PATH_SIZE] = "INITIAL OPEN";
int prev_open_path_count = 0;
char prev_close_path[RECOVERY_DEBUG_PATH_SIZE] = "INITIAL CLOSE";
int prev_close_path_count = 0;

namespace
{

// One lock for the three counters keeps each update inside its buffer.
std::mutex debug_counter_lock;

bool debug_counters_on()
{
    return get_reg_settings()->debug_level > 2;
}

// Counts `path` against the stored one. When it differs, hands back the
// stored path and count (for the caller's log line) and starts over.
bool debug_counter_advance(char *stored, int *count, const char *path, std::string *prev,
                           int *prev_count)
{
    std::lock_guard<std::mutex> guard(debug_counter_lock);
    if (strcmp(stored, path) == 0) {
        *count += 1;
        return false;
    }
    *prev = stored;
    *prev_count = *count;
    *count = 0;
    tol_safe_strncpy(stored, path, RECOVERY_DEBUG_PATH_SIZE);
    return true;
}

const char *scratch()
{
    return fs_options.scratch_mount_point;
}

// A view path, served from the file-level view, unless views are hidden.
bool is_view_path(const char *path)
{
    return !fs_options.hide_file_level_view && recovery_is_vmdk_volume_file(path, scratch());
}

// The mount directory of the `.volume` directory itself (FUSE path kept whole).
bool vol_top_mount_dir(const char *path, char *mount_dir)
{
    return format_path(mount_dir, TOL_PATH_MAX, "%s/%s", fs_options.recovery_volumes_mount_point,
                       path);
}

errdesc_t *view_access(const char *path, char *resolved)
{
    return recovery_vol_access(path, fs_options.recovery_mount_point, scratch(),
                               fs_options.recovery_volumes_mount_point, resolved,
                               fs_options.ignore_tolcbt_files);
}

// View access whose reference is given back at once: the handler only
// needs the resolved path.
errdesc_t *view_resolve(const char *path, char *resolved)
{
    if (errdesc_t *err = view_access(path, resolved))
        return err;
    return recovery_vol_decrement_ref_cnt(path);
}

errdesc_t *name_too_long(const char *path)
{
    return errdesc_set_fmt(ENAMETOOLONG, "Path too long: %.256s...", path);
}

// The file that serves `path`: the resolved path inside a view (whose
// reference is given back at once), the scratch file otherwise.
errdesc_t *plain_target(const char *path, char *target)
{
    if (is_view_path(path))
        return view_resolve(path, target);
    path_buf_t buf;
    if (!translate_path(path, &buf))
        return name_too_long(path);
    strcpy(target, buf.path_buf);
    return nullptr;
}

// The file that serves `path` for the xattr calls: the mount directory for
// the `.volume` directory itself, the resolved path inside a view, the
// scratch file otherwise.
errdesc_t *xattr_target(const char *path, char *target)
{
    if (is_view_path(path) && recovery_is_vol_dir_top(path)) {
        if (!vol_top_mount_dir(path, target))
            return name_too_long(path);
        return recovery_create_mount_point(path, target, scratch());
    }
    return plain_target(path, target);
}

fuse_fh_t *handle_of(struct fuse_file_info *fi)
{
    auto *fh = reinterpret_cast<fuse_fh_t *>(static_cast<uintptr_t>(fi->fh));
    if (fh && !fuse_fh_valid(fh))
        abort();
    return fh;
}

// Zero pieces of a reply are spliced from this memory file, which is all
// hole, as device pieces are from the device: nothing is filled or copied
// here. Made once; -1 when it cannot be made (zero pieces are then memory).
constexpr size_t ZERO_FILE_SIZE = size_t{1} << 20;

unique_fd make_zero_file()
{
    unique_fd fd(memfd_create("recovery_fs-zeros", MFD_CLOEXEC));
    if (fd && ftruncate(fd.get(), static_cast<off_t>(ZERO_FILE_SIZE)) != 0)
        fd.reset();
    return fd;
}

int zero_file()
{
    static const unique_fd fd = make_zero_file();
    return fd.get();
}

// A reply vector of `count` buffers (at least one), all empty memory.
struct fuse_bufvec *new_bufvec(size_t count)
{
    const size_t bytes = sizeof(struct fuse_bufvec) + (count - 1) * sizeof(struct fuse_buf);
    auto *v = static_cast<struct fuse_bufvec *>(calloc(1, bytes));
    if (v)
        v->count = count;
    return v;
}

// FUSE frees every memory piece of a reply and then the vector itself.
void free_bufvec(struct fuse_bufvec *v)
{
    for (size_t i = 0; i < v->count; ++i)
        free(v->buf[i].mem);
    free(v);
}

// The reply read into one memory buffer through the ordinary read handler.
int read_into_memory(const char *path, struct fuse_bufvec **bufp, size_t size, off_t offset,
                     struct fuse_file_info *fi)
{
    struct fuse_bufvec *v = new_bufvec(1);
    void *mem = size ? malloc(size) : nullptr;
    if (!v || (size && !mem)) {
        free(v);
        free(mem);
        return recovery_fs_error(errdesc_set(ENOMEM), TOL_PRIO_ERROR);
    }
    int n = recovery_fs_read(path, static_cast<char *>(mem), size, offset, fi);
    if (n < 0) {
        free(v);
        free(mem);
        return n;
    }
    v->buf[0].mem = mem;
    v->buf[0].size = static_cast<size_t>(n);
    *bufp = v;
    return 0;
}

} // namespace

int recovery_fs_error(errdesc_t *err, int priority)
{
    if (priority != RECOVERY_FS_UNLOGGED)
        errdesc_log(err, priority);
    if (err->origin == ERRDESC_FROM_CHILD || err->number >= ERR_BASE || err->number <= 0)
        return -EIO;
    return -err->number;
}

uint32_t fs_ino_hash(const char *path)
{
    uint32_t hash = 5381;
    for (const char *p = path; *p; ++p) {
        // Each byte as a signed char, widened with its sign.
        int32_t c = static_cast<signed char>(*p);
        hash = (hash * 33) ^ static_cast<uint32_t>(c);
    }
    return hash;
}

errdesc_t *recovery_fs_getattr_impl(const char *path, const char *shadow_path, struct stat *stbuf,
                                    tol_bool_t follow_link, const char *scratch_path)
{
    recovery_file_type_t type = recovery_infer_file_type(path);
    if (recovery_open_list.saved_stat(path, stbuf))
        return nullptr;

    int rc = follow_link ? stat(shadow_path, stbuf) : lstat(shadow_path, stbuf);
    if (rc != 0)
        return errdesc_set_fmt(errno, "stat failed: %s", shadow_path);

    // A flat disk changes through its change-block file: report its times.
    if (type == RECOVERY_FILE_TYPE_VMDK_FLAT) {
        char tolcbt_path[TOL_PATH_MAX];
        if (errdesc_t *err =
                get_tolcbt_vmdk_path(path, scratch_path, tolcbt_path, sizeof(tolcbt_path)))
            return err;
        struct stat cbt;
        if (stat(tolcbt_path, &cbt) == 0) {
            stbuf->st_mtim.tv_sec = cbt.st_mtim.tv_sec;
            stbuf->st_ctim.tv_sec = cbt.st_ctim.tv_sec;
        }
    }
    stbuf->st_ino = fs_ino_hash(path);
    recovery_open_list.save_stat(path, *stbuf);
    return nullptr;
}

errdesc_t *recovery_fs_statvfs_impl(const char *path, const char *shadow_path,
                                    struct statvfs *stbuf)
{
    (void)path;
    if (statvfs(shadow_path, stbuf) != 0)
        return errdesc_set_str(errno, shadow_path);
    // Nothing can be written here: no free space, no free inodes.
    stbuf->f_bfree = 0;
    stbuf->f_bavail = 0;
    stbuf->f_ffree = 0;
    stbuf->f_favail = 0;
    stbuf->f_flag |= ST_RDONLY;
    return nullptr;
}

namespace
{

int getattr_body(const char *path, struct stat *stbuf)
{
    if (debug_counters_on()) {
        ts_printf("recovery_fs_getattr(path %s, st_data %p)\n", path, static_cast<void *>(stbuf));
        std::string prev;
        int count;
        if (debug_counter_advance(prev_getattr_path, &prev_getattr_path_count, path, &prev, &count))
            ts_printf("recovery_fs_getattr: previous path (%s) opened %d consecutive times\n",
                      prev.c_str(), count);
    }

    if (is_view_path(path)) {
        char target[TOL_PATH_MAX];
        errdesc_t *err;
        if (recovery_is_vol_dir_top(path)) {
            // Only make sure that the empty mount directory exists; entering
            // the directory is what mounts the view.
            err = vol_top_mount_dir(path, target)
                      ? recovery_create_mount_point(path, target, scratch())
                      : name_too_long(path);
        } else {
            err = view_resolve(path, target);
        }
        if (!err)
            err = recovery_fs_getattr_impl(path, target, stbuf, TOL_FALSE, scratch());
        return err ? recovery_fs_error(err, RECOVERY_FS_UNLOGGED) : 0;
    }

    path_buf_t buf;
    errdesc_t *err = translate_path(path, &buf)
                         ? recovery_fs_getattr_impl(path, buf.path_buf, stbuf, TOL_TRUE, scratch())
                         : name_too_long(path);
    if (err)
        return recovery_fs_error(err, RECOVERY_FS_UNLOGGED);
    if (debug_counters_on())
        tns_check_statb(path, "recovery_fs_getattr", stbuf, TOL_FALSE);
    return 0;
}

int readlink_body(const char *path, char *buf, size_t size)
{
    ts_dprintf(3, "recovery_fs_readlink(path %s)\n", path);
    if (size == 0)
        return -EINVAL;
    char target[TOL_PATH_MAX];
    if (errdesc_t *err = plain_target(path, target))
        return recovery_fs_error(err, RECOVERY_FS_UNLOGGED);
    ssize_t len = readlink(target, buf, size - 1);
    if (len < 0)
        return -errno;
    buf[len] = '\0';
    convert_to_relative_path(target, buf, size);
    return 0;
}

int open_body(const char *path, struct fuse_file_info *fi)
{
    if (debug_counters_on()) {
        ts_printf("recovery_fs_open(path %s, fuse_file_info %p)\n", path, static_cast<void *>(fi));
        std::string prev;
        int count;
        if (debug_counter_advance(prev_open_path, &prev_open_path_count, path, &prev, &count))
            ts_printf("recovery_fs_open: previous path (%s) opened %d consecutive times\n",
                      prev.c_str(), count);
    }
    constexpr int write_flags = O_WRONLY | O_RDWR | O_CREAT | O_EXCL | O_TRUNC | O_APPEND;
    if (fs_options.is_readonly && (fi->flags & write_flags))
        return -EROFS;

    if (is_view_path(path)) {
        char resolved[TOL_PATH_MAX];
        if (errdesc_t *err = view_access(path, resolved)) {
            ts_printf("recovery_fs_open: recovery_vol_access failed on '%s'\n", path);
            return recovery_fs_error(err, RECOVERY_FS_UNLOGGED);
        }
        int fd = open(resolved, O_RDONLY);
        if (fd < 0) {
            int saved = errno;
            ts_printf("recovery_fs_open: '.volume' open failed on '%s', errno = %d\n", path, saved);
            recovery_vol_decrement_ref_cnt(path);
            return -saved;
        }
        fuse_fh_t *fh = fuse_fh_new(fd, nullptr, path, path);
        if (!fh) {
            close(fd);
            recovery_vol_decrement_ref_cnt(path);
            return -ENOMEM;
        }
        fi->fh = reinterpret_cast<uintptr_t>(fh); // the view reference stays held until release
        return 0;
    }

    // Whatever the cause, a refused image is an I/O error to the client.
    path_buf_t buf;
    uint64_t slot = 0;
    errdesc_t *err = translate_path(path, &buf)
                         ? recovery_fs_open_impl(path, buf.path_buf, &slot, scratch())
                         : name_too_long(path);
    if (err) {
        recovery_fs_error(err, TOL_PRIO_ERROR);
        return -EIO;
    }
    fi->fh = slot;
    if (const fuse_fh_t *fh = handle_of(fi))
        fi->keep_cache = fh->keep_cache;
    return 0;
}

int read_body(const char *path, char *buf, size_t size, off_t offset, struct fuse_file_info *fi)
{
    uint64_t slot = fi->fh;
    size_t count = 0;
    errdesc_t *err = recovery_read(buf, size, offset, &slot, &count);
    if (!err)
        return static_cast<int>(count);
    ts_printf("recovery_fs_read: recovery_fs_read_impl failed on '%s', errno = %d\n", path,
              err->number);
    return recovery_fs_error(err, TOL_PRIO_ERROR);
}

int read_buf_body(const char *path, struct fuse_bufvec **bufp, size_t size, off_t offset,
                  struct fuse_file_info *fi)
{
    const fuse_fh_t *fh = handle_of(fi);
    const flat_image *image = fh ? fh->image : nullptr;
    // A read that starts inside the hidden sector must succeed even when the
    // device read under it fails, which only a read of our own can tell.
    const off_t hidden = image ? image->hidden_offset() : -1;
    if (!image || (hidden >= 0 && offset >= hidden && offset < hidden + TOL_SECTOR_SIZE))
        return read_into_memory(path, bufp, size, offset, fi);

    std::vector<image_segment> segments;
    if (errdesc_t *err = image->segments(size, offset, &segments)) {
        ts_printf("recovery_fs_read: recovery_fs_read_impl failed on '%s', errno = %d\n", path,
                  err->number);
        return recovery_fs_error(err, TOL_PRIO_ERROR);
    }
    image->read_ahead(offset, size);
    // A zero piece longer than the zero file takes several buffers.
    const int zeros = zero_file();
    size_t count = 0;
    for (const auto &seg : segments)
        count += seg.zeros && zeros >= 0 ? (seg.size + ZERO_FILE_SIZE - 1) / ZERO_FILE_SIZE : 1;
    struct fuse_bufvec *v = new_bufvec(std::max<size_t>(count, 1));
    if (!v)
        return recovery_fs_error(errdesc_set(ENOMEM), TOL_PRIO_ERROR);
    const auto fd_flags = static_cast<enum fuse_buf_flags>(FUSE_BUF_IS_FD | FUSE_BUF_FD_SEEK);
    size_t i = 0;
    for (const auto &seg : segments) {
        if (seg.zeros && zeros >= 0) {
            for (size_t done = 0; done < seg.size; done += ZERO_FILE_SIZE)
                v->buf[i++] = {std::min(seg.size - done, ZERO_FILE_SIZE), fd_flags, nullptr, zeros,
                               0};
            continue;
        }
        struct fuse_buf &b = v->buf[i++];
        b.size = seg.size;
        if (seg.zeros) {
            b.mem = calloc(1, seg.size);
            if (!b.mem) {
                free_bufvec(v);
                return recovery_fs_error(errdesc_set(ENOMEM), TOL_PRIO_ERROR);
            }
            continue;
        }
        // Spliced by FUSE straight from the page cache of the file (or device) that holds it.
        b.flags = fd_flags;
        b.fd = seg.fd;
        b.pos = seg.pos;
    }
    *bufp = v;
    return 0;
}

int statfs_body(const char *path, struct statvfs *stbuf)
{
    ts_dprintf(3, "recovery_fs_statfs(path %s, st_buf %p)\n", path, static_cast<void *>(stbuf));
    errdesc_t *err;
    if (is_view_path(path)) {
        char resolved[TOL_PATH_MAX];
        err = view_resolve(path, resolved);
        if (!err)
            err = recovery_fs_statvfs_impl(path, resolved, stbuf);
    } else {
        path_buf_t buf;
        err = translate_path(path, &buf) ? recovery_fs_statvfs_impl(path, buf.path_buf, stbuf)
                                         : name_too_long(path);
    }
    return err ? recovery_fs_error(err, TOL_PRIO_ERROR) : 0;
}

int release_body(const char *path, struct fuse_file_info *fi)
{
    if (debug_counters_on()) {
        ts_printf("recovery_fs_release(path %s, fuse_file_info %p)\n", path,
                  static_cast<void *>(fi));
        std::string prev;
        int count;
        if (debug_counter_advance(prev_close_path, &prev_close_path_count, path, &prev, &count))
            ts_printf("recovery_fs_release: previous path (%s) closed %d consecutive times\n",
                      prev.c_str(), count);
    }

    if (is_view_path(path)) {
        char resolved[TOL_PATH_MAX];
        if (errdesc_t *err = view_resolve(path, resolved))
            return recovery_fs_error(err, RECOVERY_FS_UNLOGGED);
        fuse_fh_t *fh = handle_of(fi);
        fi->fh = 0;
        if (!fh) {
            errdesc_log(errdesc_set_fmt(ESTALE, "NULL fh for %s\n", path), TOL_PRIO_ERROR);
        } else {
            if (fh->fd >= 0)
                close(fh->fd);
            fh->fd = -1;
            fuse_fh_destroy(&fh);
        }
        // The reference that the open took.
        if (errdesc_t *err = recovery_vol_decrement_ref_cnt(path))
            return recovery_fs_error(err, RECOVERY_FS_UNLOGGED);
        return 0;
    }

    path_buf_t buf;
    const char *shadow = translate_path(path, &buf) ? buf.path_buf : "";
    uint64_t slot = fi->fh;
    errdesc_t *err = recovery_fs_release_impl(path, shadow, &slot);
    fi->fh = slot;
    return err ? recovery_fs_error(err, TOL_PRIO_ERROR) : 0;
}

int getxattr_body(const char *path, const char *name, char *value, size_t size)
{
    ts_dprintf(3, "recovery_fs_getxattr(path %s, name %s, size %zd)\n", path, name,
               static_cast<ssize_t>(size));
    char target[TOL_PATH_MAX];
    if (errdesc_t *err = xattr_target(path, target))
        return recovery_fs_error(err, RECOVERY_FS_UNLOGGED);
    ssize_t res = getxattr(target, name, value, size);
    return res < 0 ? -errno : static_cast<int>(res);
}

int listxattr_body(const char *path, char *list, size_t size)
{
    ts_dprintf(3, "recovery_fs_listxattr(path %s, size %zd)\n", path, static_cast<ssize_t>(size));
    char target[TOL_PATH_MAX];
    if (errdesc_t *err = xattr_target(path, target))
        return recovery_fs_error(err, RECOVERY_FS_UNLOGGED);
    ssize_t res = listxattr(target, list, size);
    return res < 0 ? -errno : static_cast<int>(res);
}

int opendir_body(const char *path, struct fuse_file_info *fi)
{
    ts_dprintf(3, "recovery_fs_opendir(path %s, fuse_file_info %p)\n", path,
               static_cast<void *>(fi));
    DIR *dp = nullptr;
    int saved = ENAMETOOLONG;
    if (is_view_path(path)) {
        char resolved[TOL_PATH_MAX];
        if (errdesc_t *err = view_access(path, resolved))
            return recovery_fs_error(err, RECOVERY_FS_UNLOGGED);
        dp = opendir(resolved);
        saved = errno;
        if (!dp)
            recovery_vol_decrement_ref_cnt(path); // no handle keeps the reference
    } else {
        path_buf_t buf;
        if (translate_path(path, &buf)) {
            dp = opendir(buf.path_buf);
            saved = errno;
        }
    }
    if (!dp)
        return recovery_fs_error(errdesc_set_str(saved, path), TOL_PRIO_ERROR);
    fi->fh = reinterpret_cast<uintptr_t>(dp);
    return 0;
}

int readdir_body(const char *path, void *buf, fuse_fill_dir_t filler, off_t offset,
                 struct fuse_file_info *fi)
{
    ts_dprintf(3,
               "recovery_fs_readdir(path %s, buf %p, filler %p, offset %jd, fuse_file_info %p)\n",
               path, buf, reinterpret_cast<void *>(filler), static_cast<intmax_t>(offset),
               static_cast<void *>(fi));
    auto *dp = reinterpret_cast<DIR *>(static_cast<uintptr_t>(fi->fh));
    // The whole directory goes to the filler in one call, whatever the offset.
    rewinddir(dp);
    errno = 0;
    struct dirent *de = readdir(dp);
    if (!de)
        return recovery_fs_error(errdesc_set_str(errno, path), TOL_PRIO_ERROR);

    const bool view_dir = is_view_path(path);
    for (; de; de = readdir(dp)) {
        ts_dprintf(3, "    recovery_fs_readdir(%s): got %s\n", path, de->d_name);
        char entry_path[TOL_PATH_MAX];
        char resolved[TOL_PATH_MAX];
        struct stat st;
        errdesc_t *err = nullptr;
        if (!format_path(entry_path, sizeof(entry_path), "%s/%s", path, de->d_name)) {
            err = name_too_long(path);
        } else if (view_dir) {
            if ((err = view_access(entry_path, resolved)))
                return recovery_fs_error(err, RECOVERY_FS_UNLOGGED);
            if ((err = recovery_vol_decrement_ref_cnt(path)))
                return recovery_fs_error(err, RECOVERY_FS_UNLOGGED);
            err = recovery_fs_getattr_impl(entry_path, resolved, &st, TOL_FALSE, scratch());
        } else {
            path_buf_t pbuf;
            if (!translate_path(entry_path, &pbuf)) {
                err = name_too_long(entry_path);
            } else {
                strcpy(resolved, pbuf.path_buf);
                err = recovery_fs_getattr_impl(entry_path, resolved, &st, TOL_TRUE, scratch());
            }
        }
        if (err) {
            errdesc_log(err, TOL_PRIO_ERROR);
            continue;
        }

        // The `.volume` entry goes right before its descriptor.
        if (!fs_options.hide_file_level_view && recovery_is_mountable_vmdk_file(path, de->d_name)) {
            char vol_name[TOL_PATH_MAX];
            struct stat vol_st;
            if (recovery_vol_create_entry(vol_name, &vol_st, path, scratch(),
                                          fs_options.recovery_volumes_mount_point,
                                          de->d_name) == 0) {
                if (filler(buf, vol_name, &vol_st, 0))
                    return -ENOMEM;
            } else {
                ts_dprintf(0, "recovery_fs_readdir: Failed to create '.volume' entry for %s\n",
                           resolved);
            }
        }

        bool listed =
            S_ISDIR(st.st_mode) ||
            (!fs_options.hide_image_files && recovery_is_visible_file(entry_path)) ||
            (!fs_options.hide_file_level_view && recovery_is_vmdk_volume_file(resolved, scratch()));
        if (!listed) {
            ts_dprintf(3, "recovery_fs_readdir: skipping %s\n", resolved);
            continue;
        }
        if (debug_counters_on())
            tns_check_statb(entry_path, "recovery_fs_readdir", &st, TOL_FALSE);
        if (filler(buf, de->d_name, &st, 0))
            return -ENOMEM;
    }
    return 0;
}

int releasedir_body(const char *path, struct fuse_file_info *fi)
{
    ts_dprintf(3, "recovery_fs_releasedir(path %s, fuse_file_info %p)\n", path,
               static_cast<void *>(fi));
    auto *dp = reinterpret_cast<DIR *>(static_cast<uintptr_t>(fi->fh));
    fi->fh = ~uint64_t{0};
    if (dp && closedir(dp) != 0)
        return recovery_fs_error(errdesc_set_str(errno, path), TOL_PRIO_ERROR);
    if (is_view_path(path)) {
        if (errdesc_t *err = recovery_vol_decrement_ref_cnt(path))
            return recovery_fs_error(err, RECOVERY_FS_UNLOGGED);
    }
    return 0;
}

// Handlers run on FUSE worker threads: an exception that left one would end
// the daemon and leave its mounts and devices behind. Each is answered here,
// in one log line.
template <typename Body> int guarded(const char *op, const char *path, Body &&body) noexcept
{
    try {
        return body();
    } catch (const std::bad_alloc &) {
        ts_printf("ERROR: %s(%s): out of memory\n", op, path);
        return -ENOMEM;
    } catch (const std::exception &e) {
        ts_printf("ERROR: %s(%s): %s\n", op, path, e.what());
    } catch (...) {
        ts_printf("ERROR: %s(%s): unknown exception\n", op, path);
    }
    return -EIO;
}

} // namespace

int recovery_fs_getattr(const char *path, struct stat *stbuf)
{
    return guarded("recovery_fs_getattr", path, [&] { return getattr_body(path, stbuf); });
}

int recovery_fs_readlink(const char *path, char *buf, size_t size)
{
    return guarded("recovery_fs_readlink", path, [&] { return readlink_body(path, buf, size); });
}

int recovery_fs_open(const char *path, struct fuse_file_info *fi)
{
    return guarded("recovery_fs_open", path, [&] { return open_body(path, fi); });
}

int recovery_fs_read(const char *path, char *buf, size_t size, off_t offset,
                     struct fuse_file_info *fi)
{
    return guarded("recovery_fs_read", path,
                   [&] { return read_body(path, buf, size, offset, fi); });
}

int recovery_fs_read_buf(const char *path, struct fuse_bufvec **bufp, size_t size, off_t offset,
                         struct fuse_file_info *fi)
{
    return guarded("recovery_fs_read_buf", path,
                   [&] { return read_buf_body(path, bufp, size, offset, fi); });
}

int recovery_fs_statfs(const char *path, struct statvfs *stbuf)
{
    return guarded("recovery_fs_statfs", path, [&] { return statfs_body(path, stbuf); });
}

int recovery_fs_release(const char *path, struct fuse_file_info *fi)
{
    return guarded("recovery_fs_release", path, [&] { return release_body(path, fi); });
}

int recovery_fs_getxattr(const char *path, const char *name, char *value, size_t size)
{
    return guarded("recovery_fs_getxattr", path,
                   [&] { return getxattr_body(path, name, value, size); });
}

int recovery_fs_listxattr(const char *path, char *list, size_t size)
{
    return guarded("recovery_fs_listxattr", path, [&] { return listxattr_body(path, list, size); });
}

int recovery_fs_opendir(const char *path, struct fuse_file_info *fi)
{
    return guarded("recovery_fs_opendir", path, [&] { return opendir_body(path, fi); });
}

int recovery_fs_readdir(const char *path, void *buf, fuse_fill_dir_t filler, off_t offset,
                        struct fuse_file_info *fi)
{
    return guarded("recovery_fs_readdir", path,
                   [&] { return readdir_body(path, buf, filler, offset, fi); });
}

int recovery_fs_releasedir(const char *path, struct fuse_file_info *fi)
{
    return guarded("recovery_fs_releasedir", path, [&] { return releasedir_body(path, fi); });
}
