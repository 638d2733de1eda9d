// Open cookies, the open list, and plain opens, reads and closes of image
// files through per-open FUSE handles.

#include "recovery/recovery_cookie.hpp"

#include "common/files.hpp"
#include "common/logging.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

recovery_open_list_t recovery_open_list = {};

namespace
{

recovery_cookie_t *checked_cookie(void *element)
{
    auto *cookie = static_cast<recovery_cookie_t *>(element);
    if (!cookie || cookie->magic != RECOVERY_COOKIE_MAGIC ||
        cookie->version != RECOVERY_RECORD_VERSION)
        abort(); // a destroyed or foreign record: never happens in a correct program
    return cookie;
}

fuse_fh_t *handle_from_slot(const uint64_t *fh_slot)
{
    auto *fh = reinterpret_cast<fuse_fh_t *>(static_cast<uintptr_t>(*fh_slot));
    if (fh && !fuse_fh_valid(fh))
        abort(); // the slot holds something that is not our handle
    return fh;
}

// Walk state of the saved-attribute lookups (run under the list's lock).
struct saved_stat_walk_t {
    const char *path;
    struct stat *out;      // copy the saved record here (get)
    const struct stat *in; // save this record (save)
    bool found;
};

tol_bool_t saved_stat_iter(void *user, void *element)
{
    auto *walk = static_cast<saved_stat_walk_t *>(user);
    recovery_cookie_t *cookie = checked_cookie(element);
    if (cookie->path != walk->path)
        return TOL_TRUE;
    if (!cookie->is_view()) {
        if (walk->out && cookie->stat) {
            *walk->out = *cookie->stat;
            walk->found = true;
        } else if (walk->in && !cookie->stat) {
            cookie->stat = std::make_unique<struct stat>(*walk->in);
        }
    }
    return TOL_FALSE;
}

// Removes a cookie that nobody references any more and frees it. The caller
// holds the open-list lock and not the cookie's mutex.
void discard_cookie(recovery_cookie_t *cookie)
{
    list_delete(recovery_open_list.list, cookie);
    if (errdesc_t *err = recovery_do_evict(cookie)) {
        errdesc_log(err, TOL_PRIO_ERROR);
        return; // its devices could not be released: keep the record
    }
    recovery_free_cookie(&cookie);
}

} // namespace

void recovery_open_list_init()
{
    recovery_open_list = {};
    recovery_open_list.magic = RECOVERY_OPEN_LIST_MAGIC;
    recovery_open_list.version = RECOVERY_RECORD_VERSION;
    pthread_mutex_init(&recovery_open_list.mutex, nullptr);
    recovery_open_list.list = list_new();
}

bool recovery_open_list_ready()
{
    return recovery_open_list.magic == RECOVERY_OPEN_LIST_MAGIC &&
           recovery_open_list.version == RECOVERY_RECORD_VERSION && recovery_open_list.list;
}

tol_bool_t recovery_open_contains_iter(void *user, void *element)
{
    auto *lookup = static_cast<recovery_contains_s *>(user);
    if (lookup->magic != RECOVERY_LOOKUP_MAGIC)
        abort();
    recovery_cookie_t *cookie = checked_cookie(element);
    if (cookie->path != lookup->path)
        return TOL_TRUE;
    lookup->cookie = cookie;
    return TOL_FALSE;
}

errdesc_t *recovery_get_cookie(const char *path, const char *scratch_path, const char *shadow_path,
                               recovery_contains_s *lookup)
{
    *lookup = recovery_contains_s{RECOVERY_LOOKUP_MAGIC, RECOVERY_RECORD_VERSION,
                                  RECOVERY_FILE_TYPE_UNKNOWN, path, nullptr};
    if (!recovery_open_list_ready())
        return errdesc_set_fmt(EINVAL, "open list not initialised");
    list_iter(recovery_open_list.list, lookup, recovery_open_contains_iter);
    if (lookup->cookie) {
        lookup->path.clear();
        return nullptr;
    }
    // Only an opener or a view access, which know what serves the path, may
    // make a cookie; a release that finds none has nothing to give back.
    if (!shadow_path)
        return errdesc_set_fmt(ENOENT, "no cookie for %s", path);

    auto cookie = std::make_unique<recovery_cookie_t>();
    cookie->path = std::move(lookup->path);
    cookie->shadow_path = shadow_path;
    recovery_cookie_t *raw = cookie.release();
    if (errdesc_t *err = recovery_new_cookie(raw, scratch_path)) {
        recovery_free_cookie(&raw);
        return err;
    }
    list_add(recovery_open_list.list, raw);
    raw->stamp = time(nullptr);
    lookup->cookie = raw;
    return nullptr;
}

errdesc_t *recovery_new_cookie(recovery_cookie_t *cookie, const char *scratch_path)
{
    (void)scratch_path; // used by the validation of flat images (see below)
    cookie->type = recovery_infer_file_type(cookie->path.c_str());
    // Flat images are validated here against their recovery header or
    // descriptor and their change-block file (validate_vmdk_flat), which
    // also allows optimised reads (can_optimize). That arrives with the
    // header and change-block readers; until then flat images are accepted
    // as they are and read plainly.
    cookie->mutex = std::make_unique<std::mutex>();
    if (list_count(recovery_open_list.list) >= RECOVERY_MAX_COOKIES)
        return recovery_evict_intern(TOL_TRUE);
    return nullptr;
}

void recovery_free_cookie(recovery_cookie_t **cookiep)
{
    recovery_cookie_t *cookie = *cookiep;
    *cookiep = nullptr;
    if (!cookie)
        return;
    checked_cookie(cookie);
    free(cookie->buffered_data.buffer);
    cookie->magic = 0;
    delete cookie; // strings, mutex and saved attributes go with it
}

tol_bool_t recovery_evict_iter(void *user, void *element)
{
    auto *evict = static_cast<recovery_evict_s *>(user);
    if (evict->magic != RECOVERY_LOOKUP_MAGIC)
        abort();
    recovery_cookie_t *cookie = checked_cookie(element);
    // Never wait here: a view access may hold this mutex while it waits for
    // an open through our own mount, which needs the open-list lock we hold.
    if (!cookie->mutex->try_lock())
        return TOL_TRUE;
    bool idle = cookie->ref == 0 && evict->stamp - cookie->stamp > RECOVERY_IDLE_SECONDS;
    if (idle && (!evict->cookie || cookie->stamp < evict->cookie->stamp))
        evict->cookie = cookie;
    cookie->mutex->unlock();
    return TOL_TRUE;
}

errdesc_t *recovery_evict_intern(tol_bool_t force)
{
    recovery_evict_s evict = {RECOVERY_LOOKUP_MAGIC, RECOVERY_RECORD_VERSION,
                              RECOVERY_FILE_TYPE_UNKNOWN, force ? INT32_MAX : time(nullptr),
                              nullptr};
    list_iter(recovery_open_list.list, &evict, recovery_evict_iter);
    recovery_cookie_t *cookie = evict.cookie;
    if (!cookie)
        return errdesc_set(EMFILE);

    errdesc_t *err;
    {
        std::lock_guard<std::mutex> guard(*cookie->mutex);
        list_delete(recovery_open_list.list, cookie);
        err = recovery_do_evict(cookie);
    }
    if (!err)
        recovery_free_cookie(&cookie);
    return err;
}

errdesc_t *recovery_do_evict(recovery_cookie_t *cookie)
{
    ts_dprintf(1, "recovery_do_evict: evicting '%s'\n", cookie->path.c_str());
    // The device layers are torn down here, in this order: the optimised
    // read device, the partition mappings, the merged change-block device,
    // the loop device, and for a view its mounted disk. This version builds
    // none of them, so a cookie that claims one is refused rather than
    // silently leaked.
    if (cookie->pdev || !cookie->devicemapper_path.empty() || cookie->merge_handle ||
        !cookie->loopdev_path.empty() || cookie->vdskdesc)
        return errdesc_set_fmt(ERR_NOT_SUPPORTED, "cannot tear down the devices of '%s'",
                               cookie->path.c_str());
    return nullptr;
}

void recovery_fs_release_all()
{
    if (!recovery_open_list_ready())
        return;
    while (void *element = list_pop(recovery_open_list.list)) {
        recovery_cookie_t *cookie = checked_cookie(element);
        if (errdesc_t *err = recovery_do_evict(cookie))
            errdesc_log(err, TOL_PRIO_ERROR);
        recovery_free_cookie(&cookie);
    }
    list_free(&recovery_open_list.list);
    pthread_mutex_destroy(&recovery_open_list.mutex);
    recovery_open_list.magic = 0;
}

bool recovery_cookie_get_saved_stat(const char *path, struct stat *stbuf)
{
    if (!recovery_open_list_ready())
        return false;
    saved_stat_walk_t walk = {path, stbuf, nullptr, false};
    list_iter(recovery_open_list.list, &walk, saved_stat_iter);
    return walk.found;
}

void recovery_cookie_save_stat(const char *path, const struct stat *stbuf)
{
    if (!recovery_open_list_ready())
        return;
    saved_stat_walk_t walk = {path, nullptr, stbuf, false};
    list_iter(recovery_open_list.list, &walk, saved_stat_iter);
}

errdesc_t *recovery_fs_open_impl(const char *path, const char *shadow_path, uint64_t *fh_slot,
                                 const char *scratch_path)
{
    open_list_lock lock;
    recovery_contains_s lookup;
    if (errdesc_t *err = recovery_get_cookie(path, scratch_path, shadow_path, &lookup)) {
        errdesc_log(err, TOL_PRIO_ERROR);
        return errdesc_set_str(ENOENT, path);
    }
    recovery_cookie_t *cookie = lookup.cookie;
    std::unique_lock<std::mutex> cookie_lock(*cookie->mutex);
    cookie->ref += 1;
    cookie->stamp = time(nullptr);

    // Flat images (RECOVERY_FILE_TYPE_VMDK_FLAT) are served from a block
    // device built once per cookie: the merged change-block device when a
    // change-block file is readable, a read-only loop device otherwise, with
    // its partitions mapped, the optimised read device (pdev) when Lumiread
    // is on, and the recovery-header sector hidden behind the cookie's
    // replacement buffer. Those layers arrive with the device modules; until
    // then every image, flat or not, is read plainly from its scratch file.
    int fd = open(shadow_path, O_RDONLY);
    errdesc_t *err = nullptr;
    fuse_fh_t *fh = nullptr;
    if (fd < 0) {
        err = errdesc_set_fmt(errno, "Cannot open file %s: %s", shadow_path, strerror(errno));
    } else {
        fh = fuse_fh_new(fd, cookie->pdev, cookie->can_optimize, path, path);
        if (!fh) {
            close(fd);
            err = errdesc_set_fmt(ENOMEM, "Cannot make a handle for %s", path);
        }
    }
    if (!err) {
        if (cookie->buffered_data.buffer)
            fh->buffered_data = cookie->buffered_data; // shared, never freed by the handle
        *fh_slot = reinterpret_cast<uintptr_t>(fh);
        return nullptr;
    }

    // The open failed: give the reference back, and drop the cookie when no
    // other handle uses it (nothing else can lock it while we hold the
    // open-list lock).
    errdesc_log(err, TOL_PRIO_ERROR);
    cookie->ref -= 1;
    bool unused = cookie->ref <= 0;
    cookie_lock.unlock();
    if (unused)
        discard_cookie(cookie);
    return errdesc_set_str(ENOENT, path);
}

int recovery_fs_read_impl(char *buf, size_t size, off_t offset, uint64_t *fh_slot)
{
    fuse_fh_t *fh = handle_from_slot(fh_slot);
    if (!fh) {
        errdesc_t *err = errdesc_set(ESTALE);
        errdesc_log(err, TOL_PRIO_ERROR);
        return -err->number;
    }

    errdesc_t *err = nullptr;
    size_t bytes_read = 0;
    size_t bytes_skipped = 0;
    if (fh->optimize) {
        // Optimised reads through the in-use bitmap arrive with the device
        // reader; no handle of this version is made with `optimize` set.
        err = errdesc_set_fmt(ERR_NOT_SUPPORTED, "optimised reads are not available for %s",
                              fh->path);
    } else {
        err = tol_pread(fh->fd, buf, size, offset, &bytes_read);
    }

    // Overlay the replacement block (the hidden recovery-header sector).
    const fuse_fh_buffer_t &repl = fh->buffered_data;
    if (repl.buffer) {
        int64_t s = repl.offset;
        int64_t l = repl.size;
        int64_t o = offset;
        int64_t n = static_cast<int64_t>(size);
        bool overlaps = o + n >= s && s + l > o;
        if (overlaps && (!err || s <= o)) {
            int64_t d = s - o;
            int64_t dst = std::max<int64_t>(d, 0);
            int64_t src = std::max<int64_t>(-d, 0);
            int64_t copied = std::min(n - dst, l - src);
            if (copied > 0)
                memcpy(buf + dst, repl.buffer + src, static_cast<size_t>(copied));
            else
                copied = 0;
            if (err) {
                err = nullptr; // the replacement bytes stand in for the failed read
                bytes_read = 0;
                bytes_skipped = 0;
            }
            int64_t covered = dst + copied - static_cast<int64_t>(bytes_read + bytes_skipped);
            bytes_read += static_cast<size_t>(std::max<int64_t>(covered, 0));
        }
    }

    if (err) {
        errdesc_log(err, TOL_PRIO_ERROR);
        return -err->number;
    }
    return static_cast<int>(bytes_read + bytes_skipped);
}

errdesc_t *recovery_fs_release_impl(const char *path, const char *shadow_path, uint64_t *fh_slot)
{
    (void)shadow_path;
    fuse_fh_t *fh = handle_from_slot(fh_slot);
    *fh_slot = 0;
    if (!fh) {
        errdesc_log(errdesc_set_fmt(ESTALE, "NULL fh for %s\n", path), TOL_PRIO_ERROR);
    } else if (fh->fd >= 0) {
        tol_safe_close(&fh->fd);
    }

    open_list_lock lock;
    recovery_contains_s lookup;
    errdesc_t *err = recovery_get_cookie(path, nullptr, nullptr, &lookup);
    if (err) {
        fuse_fh_destroy(&fh);
        return err;
    }
    recovery_cookie_t *cookie = lookup.cookie;
    std::lock_guard<std::mutex> guard(*cookie->mutex);
    if (cookie->ref > 0)
        cookie->ref -= 1;
    cookie->stamp = time(nullptr);
    fuse_fh_destroy(&fh); // the device and the replacement buffer stay with the cookie
    return nullptr;
}
