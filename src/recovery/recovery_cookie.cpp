// Open cookies, the open list, and the opens, reads and closes of image
// files through per-open FUSE handles. A flat image is served from the
// devices of its cookie's flat_image, built at the first open.

#include "recovery/recovery_cookie.hpp"

#include "common/files.hpp"
#include "common/kept_error.hpp"
#include "common/logging.hpp"
#include "recovery/fuse_fh.hpp"
#include "recovery/recovery_ops.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

recovery_open_list_t recovery_open_list;

recovery_cookie_t *recovery_open_list_t::find(const std::string &path)
{
    for (const auto &cookie : entries_)
        if (cookie->path == path)
            return cookie.get();
    return nullptr;
}

size_t recovery_open_list_t::size()
{
    return entries_.size();
}

void recovery_open_list_t::add(std::unique_ptr<recovery_cookie_t> cookie)
{
    std::lock_guard<std::mutex> guard(entries_lock_);
    entries_.push_back(std::move(cookie));
}

std::unique_ptr<recovery_cookie_t> recovery_open_list_t::remove(recovery_cookie_t *cookie)
{
    std::lock_guard<std::mutex> guard(entries_lock_);
    auto it = std::find_if(entries_.begin(), entries_.end(),
                           [cookie](const auto &entry) { return entry.get() == cookie; });
    if (it == entries_.end())
        return nullptr;
    std::unique_ptr<recovery_cookie_t> removed = std::move(*it);
    entries_.erase(it);
    return removed;
}

std::vector<std::unique_ptr<recovery_cookie_t>> recovery_open_list_t::remove_all()
{
    std::lock_guard<std::mutex> guard(entries_lock_);
    return std::exchange(entries_, {});
}

recovery_cookie_t *recovery_open_list_t::eviction_candidate(time_t now)
{
    recovery_cookie_t *candidate = nullptr;
    time_t candidate_stamp = 0;
    for (const auto &cookie : entries_) {
        // Never wait here: a view access may hold this mutex while it waits
        // for an open through our own mount, which needs the open-list lock.
        std::unique_lock<std::mutex> guard(cookie->mutex, std::try_to_lock);
        if (!guard.owns_lock())
            continue;
        bool idle = cookie->ref == 0 && now - cookie->stamp > RECOVERY_IDLE_SECONDS;
        if (idle && (!candidate || cookie->stamp < candidate_stamp)) {
            candidate = cookie.get();
            candidate_stamp = cookie->stamp;
        }
    }
    return candidate;
}

bool recovery_open_list_t::saved_stat(const std::string &path, struct stat *out)
{
    std::lock_guard<std::mutex> guard(entries_lock_);
    recovery_cookie_t *cookie = find(path);
    if (!cookie || cookie->is_view() || !cookie->stat)
        return false;
    *out = *cookie->stat;
    return true;
}

void recovery_open_list_t::save_stat(const std::string &path, const struct stat &st)
{
    std::lock_guard<std::mutex> guard(entries_lock_);
    recovery_cookie_t *cookie = find(path);
    if (cookie && !cookie->is_view() && !cookie->stat)
        cookie->stat = std::make_unique<struct stat>(st);
}

namespace
{

fuse_fh_t *handle_from_slot(const uint64_t *fh_slot)
{
    auto *fh = reinterpret_cast<fuse_fh_t *>(static_cast<uintptr_t>(*fh_slot));
    if (fh && !fuse_fh_valid(fh))
        abort(); // the slot holds something that is not our handle
    return fh;
}

// The files of the flat image that the FUSE path `path` names. The
// descriptor lies beside the flat file's place in the tree, also when
// movara.json has relocated the flat file itself.
errdesc_t *flat_paths(const char *path, const char *shadow_path, const char *scratch_path,
                      flat_image_paths *out)
{
    char buf[TOL_PATH_MAX];
    std::string in_tree = std::string(scratch_path) + "/" + path;
    if (get_ascii_vmdk_path(in_tree.c_str(), buf, sizeof(buf)))
        return errdesc_set_fmt(ENOENT, "no descriptor path for %s", path);
    out->descriptor = buf;
    if (get_tolcbt_vmdk_path(path, scratch_path, buf, sizeof(buf)))
        return errdesc_set_fmt(ENOENT, "no change-block path for %s", path);
    out->tolcbt = buf;
    out->flat = shadow_path;
    return nullptr;
}

} // namespace

errdesc_t *validate_vmdk_flat(const char *path, const char *shadow_path, const char *scratch_path)
{
    flat_image_paths paths;
    if (errdesc_t *err = flat_paths(path, shadow_path, scratch_path, &paths))
        return err;
    return validate_vmdk_flat(paths);
}

errdesc_t *recovery_get_cookie(const char *path, const char *scratch_path, const char *shadow_path,
                               recovery_cookie_t **out)
{
    *out = recovery_open_list.find(path);
    if (*out)
        return nullptr;
    // Only an opener or a view access, which know what serves the path, may
    // make a cookie; a release that finds none has nothing to give back.
    if (!shadow_path)
        return errdesc_set_fmt(ENOENT, "no cookie for %s", path);

    auto cookie = std::make_unique<recovery_cookie_t>();
    cookie->path = path;
    cookie->shadow_path = shadow_path;
    if (errdesc_t *err = recovery_new_cookie(cookie.get(), scratch_path))
        return err;
    cookie->stamp = time(nullptr);
    *out = cookie.get();
    recovery_open_list.add(std::move(cookie));
    return nullptr;
}

errdesc_t *recovery_new_cookie(recovery_cookie_t *cookie, const char *scratch_path)
{
    cookie->type = recovery_infer_file_type(cookie->path.c_str());
    if (cookie->type == RECOVERY_FILE_TYPE_VMDK_FLAT) {
        if (errdesc_t *err =
                validate_vmdk_flat(cookie->path.c_str(), cookie->shadow_path.c_str(), scratch_path))
            return err;
        ts_printf("successfully validated %s\n", cookie->shadow_path.c_str());
        cookie->can_optimize = true;
    }
    if (recovery_open_list.size() >= RECOVERY_MAX_COOKIES)
        return recovery_evict_intern(true);
    return nullptr;
}

errdesc_t *recovery_evict_intern(bool force)
{
    recovery_cookie_t *cookie =
        recovery_open_list.eviction_candidate(force ? INT32_MAX : time(nullptr));
    if (!cookie)
        return errdesc_set(EMFILE);
    std::unique_ptr<recovery_cookie_t> evicted;
    std::lock_guard<std::mutex> guard(cookie->mutex);
    evicted = recovery_open_list.remove(cookie);
    return recovery_do_evict(cookie);
}

errdesc_t *recovery_do_evict(recovery_cookie_t *cookie)
{
    ts_dprintf(1, "recovery_do_evict: evicting '%s'\n", cookie->path.c_str());
    kept_error result; // the first failure
    for (auto *image : {&cookie->merged_image, &cookie->loop_image}) {
        errdesc_t *err = *image ? (*image)->release() : nullptr;
        if (result.empty())
            result.keep(err);
    }
    if (!cookie->vdskdesc)
        return result.raise();
    ts_printf("unmounting %s\n", cookie->path.c_str());
    if (!cookie->vdsk_made)
        cookie->vdsk_made = std::make_unique<vdsk_mounted_t>();
    errdesc_t *err =
        vdsk_umount(cookie->shadow_path.c_str(), cookie->vdskdesc.get(), cookie->vdsk_made.get());
    kept_error unmount(err);
    if (err)
        errdesc_log(err, TOL_PRIO_ERROR);
    cookie->vdsk_made.reset();
    cookie->vdskdesc.reset();
    cookie->is_mounted = false;
    return unmount.raise();
}

void recovery_discard_cookie(recovery_cookie_t *cookie)
{
    std::unique_ptr<recovery_cookie_t> discarded = recovery_open_list.remove(cookie);
    if (errdesc_t *err = recovery_do_evict(cookie))
        errdesc_log(err, TOL_PRIO_ERROR);
}

errdesc_t *recovery_evict()
{
    std::lock_guard<std::mutex> lock(recovery_open_list.lock);
    if (recovery_open_list.size() == 0)
        return nullptr;
    return recovery_evict_intern(false);
}

void recovery_fs_release_all()
{
    std::lock_guard<std::mutex> lock(recovery_open_list.lock);
    auto cookies = recovery_open_list.remove_all();
    std::stable_partition(cookies.begin(), cookies.end(),
                          [](const auto &cookie) { return cookie->is_view(); });
    for (auto &cookie : cookies)
        if (errdesc_t *err = recovery_do_evict(cookie.get()))
            errdesc_log(err, TOL_PRIO_ERROR);
}

errdesc_t *recovery_fs_open_impl(const char *path, const char *shadow_path, uint64_t *fh_slot,
                                 const char *scratch_path)
{
    std::lock_guard<std::mutex> lock(recovery_open_list.lock);
    recovery_cookie_t *cookie;
    if (errdesc_t *err = recovery_get_cookie(path, scratch_path, shadow_path, &cookie))
        return err;
    std::unique_lock<std::mutex> cookie_lock(cookie->mutex);
    cookie->ref += 1;
    cookie->stamp = time(nullptr);

    // A flat image is read from the image of the kind that its change-block
    // file calls for now, built once per cookie; other files are read from
    // the scratch file.
    errdesc_t *err = nullptr;
    unique_fd fd;
    const flat_image *image = nullptr;
    const bool flat = cookie->type == RECOVERY_FILE_TYPE_VMDK_FLAT;
    if (flat) {
        flat_image_paths paths;
        err = flat_paths(path, shadow_path, scratch_path, &paths);
        std::unique_ptr<flat_image> *slot = nullptr;
        if (!err) {
            slot = access(paths.tolcbt.c_str(), R_OK) == 0 ? &cookie->merged_image
                                                           : &cookie->loop_image;
            if (!*slot)
                err = flat_image::open(paths, cookie->can_optimize, slot);
        }
        if (!err)
            image = slot->get();
    } else {
        fd.reset(open(shadow_path, O_RDONLY | O_CLOEXEC));
        if (!fd)
            err = errdesc_set_fmt(errno, "Cannot open file %s.", shadow_path);
    }
    fuse_fh_t *fh = nullptr;
    if (!err) {
        fh = fuse_fh_new(flat ? -1 : fd.get(), image, path, path);
        if (!fh)
            err = errdesc_set_fmt(ENOMEM, "Cannot make a handle for %s", path);
    }
    if (!err) {
        // What the kernel cached for this file stays valid as long as every
        // open read this same image: a new cookie, or a change-block file
        // that appeared, makes it drop its pages.
        fh->keep_cache = image && cookie->last_opened == image &&
                         !(cookie->loop_image && cookie->merged_image);
        if (image)
            cookie->last_opened = image;
        fd.release(); // the handle's now; closed at release
        *fh_slot = reinterpret_cast<uintptr_t>(fh);
        return nullptr;
    }

    // A failed open gives its reference back. The cookie is torn down only
    // when no other handle holds it: open handles read from its devices.
    cookie->ref -= 1;
    bool unused = cookie->ref <= 0;
    cookie_lock.unlock();
    if (unused) {
        kept_error kept(err);
        recovery_discard_cookie(cookie);
        return kept.raise();
    }
    return err;
}

errdesc_t *recovery_read(char *buf, size_t size, off_t offset, const uint64_t *fh_slot,
                         size_t *count)
{
    *count = 0;
    fuse_fh_t *fh = handle_from_slot(fh_slot);
    if (!fh)
        return errdesc_set(ESTALE);
    if (fh->image)
        return fh->image->read(buf, size, offset, count);
    return tol_pread(fh->fd, buf, size, offset, count);
}

int recovery_fs_read_impl(char *buf, size_t size, off_t offset, uint64_t *fh_slot)
{
    size_t count = 0;
    if (errdesc_t *err = recovery_read(buf, size, offset, fh_slot, &count))
        return recovery_fs_error(err, RECOVERY_FS_UNLOGGED);
    return static_cast<int>(count);
}

errdesc_t *recovery_fs_release_impl(const char *path, const char *shadow_path, uint64_t *fh_slot)
{
    (void)shadow_path;
    fuse_fh_t *fh = handle_from_slot(fh_slot);
    *fh_slot = 0;
    if (!fh)
        errdesc_log(errdesc_set_fmt(ESTALE, "NULL fh for %s\n", path), TOL_PRIO_ERROR);
    else if (fh->fd >= 0)
        tol_safe_close(&fh->fd);

    std::lock_guard<std::mutex> lock(recovery_open_list.lock);
    recovery_cookie_t *cookie;
    errdesc_t *err = recovery_get_cookie(path, nullptr, nullptr, &cookie);
    if (err) {
        fuse_fh_destroy(&fh);
        return err;
    }
    std::lock_guard<std::mutex> guard(cookie->mutex);
    if (cookie->ref > 0)
        cookie->ref -= 1;
    cookie->stamp = time(nullptr);
    fuse_fh_destroy(&fh); // the image stays with the cookie
    return nullptr;
}
