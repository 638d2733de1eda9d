// Open cookies, the open list, the validation of flat images, and the
// opens, reads and closes of image files through per-open FUSE handles. A
// flat image is served from a block device built once per cookie: the merged
// change-block device, or a read-only loop device over the flat file.

#include "recovery/recovery_cookie.hpp"

#include "common/files.hpp"
#include "common/logging.hpp"
#include "controller/settings.hpp"
#include "image/tol_uuid.hpp"
#include "image/tol_vdsk_header.hpp"
#include "mounter/loopdev.hpp"
#include "mounter/partitions.hpp"
#include "vmdk/vmdk_open.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <inttypes.h>
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

// An error kept by value: descriptors are per thread, and the steps that
// follow the failing one may set new errors before the result is returned.
class kept_error_t
{
  public:
    void keep(const errdesc_t *err)
    {
        number_ = err->number;
        text_ = err->string;
    }
    errdesc_t *raise() const
    {
        if (number_ == 0)
            return nullptr;
        return _intern_errdesc_set_str(number_, text_.c_str(), __LINE__, __FILE_NAME__);
    }

  private:
    errnum_t number_ = 0;
    std::string text_;
};

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

namespace
{

constexpr const char *TRY_LATER = "Recovery is probably in progress, please try again later.";

// The expected size of a flat image from its descriptor: the sum of its
// extents. 0 when there is no readable descriptor (nothing to compare).
errdesc_t *descriptor_expected_size(const char *flat_path, uintmax_t *expected)
{
    *expected = 0;
    char ascii_path[TOL_PATH_MAX];
    if (get_ascii_vmdk_path(flat_path, ascii_path, sizeof(ascii_path)))
        return errdesc_set_fmt(ENOENT, "no descriptor path for %s", flat_path);
    if (access(ascii_path, R_OK) != 0)
        return nullptr;
    auto desc = std::make_unique<vmdkdesc_t>();
    if (vmdk_open(ascii_path, desc.get()))
        return errdesc_set_fmt(EBUSY, "%s file is invalid. %s", ascii_path, TRY_LATER);
    uintmax_t sectors = 0;
    for (uint32_t i = 0; i < desc->extentdesccount && i < desc->extentdesc.size(); ++i)
        if (desc->extentdesc[i])
            sectors += desc->extentdesc[i]->extentsize;
    vmdk_close(desc.get());
    *expected = sectors * TOL_SECTOR_SIZE;
    return nullptr;
}

// Compares the change identifier of a change-block file ("<uuid>/<suffix>")
// with the recovery header of its flat image.
errdesc_t *check_change_id(const tol_vdsk_header_t &flat, const cbt_file_header_t &cbt,
                           const char *shadow_path)
{
    const bool debug = get_reg_settings()->cbt_debug_enabled;
    if (debug) {
        ts_printf("validate_vmdk_flat: on-disk tol_vdsk_header:\n");
        dump_tol_vdsk_header(&flat);
    }
    std::string changeid(cbt.changeid, strnlen(cbt.changeid, sizeof(cbt.changeid)));
    tol_uuid_t cbt_uuid;
    bool parsed = uuid_str_to_value(changeid.c_str(), &cbt_uuid);
    const tol_uuid_t &flat_uuid =
        flat.version == 1 ? flat.data.v1.change_id : flat.data.v2.change_id;
    std::string flat_text = uuid_value_to_str(&flat_uuid);

    size_t slash = changeid.rfind('/');
    long cbt_suffix =
        slash == std::string::npos ? -1 : strtol(changeid.c_str() + slash + 1, nullptr, 10);
    if (debug) {
        if (flat.version == 1)
            ts_printf("validate_vmdk_flat: tolcbt changeid: %s\n", changeid.c_str());
        else
            ts_printf("validate_vmdk_flat: tolcbt changeid: %s, change suffix: %d\n",
                      changeid.c_str(), static_cast<int>(cbt_suffix));
    }
    if (!parsed || memcmp(cbt_uuid.value, flat_uuid.value, sizeof(flat_uuid.value)) != 0)
        return errdesc_set_fmt(EIO,
                               "The changeid %s in the flat file %s does not match the changeid "
                               "%s in the change block file.",
                               flat_text.c_str(), shadow_path, changeid.c_str());
    if (flat.version == 1)
        return nullptr;

    // A version-2 header carries a change suffix, so a change-block file
    // without one cannot be shown to belong to this image: refused like a
    // mismatch rather than accepted on the change id alone.
    uint32_t flat_suffix = flat.data.v2.change_suffix;
    if (slash == std::string::npos || cbt_suffix != static_cast<long>(flat_suffix))
        return errdesc_set_fmt(EIO,
                               "The change suffix %d in the flat file %s does not match the "
                               "change suffix %d in the change block file.",
                               static_cast<int>(flat_suffix), shadow_path,
                               static_cast<int>(cbt_suffix));
    return nullptr;
}

} // namespace

errdesc_t *validate_vmdk_flat(const char *path, const char *shadow_path, const char *scratch_path)
{
    struct stat st;
    if (stat(shadow_path, &st) != 0)
        return errdesc_set_fmt(errno, "stat failed: %s", shadow_path);
    const uintmax_t size = static_cast<uintmax_t>(st.st_size);
    if (size % TOL_SECTOR_SIZE != 0)
        return errdesc_set_fmt(EBUSY, "%s file has incorrect size %ju. %s", shadow_path, size,
                               TRY_LATER);

    unique_fd fd(open(shadow_path, O_RDONLY | O_CLOEXEC));
    if (!fd)
        return errdesc_set_fmt(errno, "Cannot open file %s.", shadow_path);
    tol_vdsk_header_t header;
    bool has_header = read_tol_vdsk_header(fd.get(), &header) == nullptr &&
                      (header.version == 1 || header.version == 2);
    fd.reset();

    uintmax_t expected = 0;
    if (has_header) {
        expected = static_cast<uintmax_t>(header.version == 1 ? header.data.v1.size
                                                              : header.data.v2.size) *
                   TOL_SECTOR_SIZE;
    } else {
        // The descriptor lies beside the flat file's place in the tree, also
        // when movara.json has relocated the flat file itself.
        std::string in_tree = std::string(scratch_path) + "/" + path;
        if (errdesc_t *err = descriptor_expected_size(in_tree.c_str(), &expected))
            return err;
    }
    if (expected != 0 && expected != size)
        return errdesc_set_fmt(EBUSY, "Expect %ju bytes in %s but found %ju bytes. %s", expected,
                               shadow_path, size, TRY_LATER);

    char cbt_path[TOL_PATH_MAX];
    if (get_tolcbt_vmdk_path(path, scratch_path, cbt_path, sizeof(cbt_path)))
        return errdesc_set_fmt(ENOENT, "no change-block path for %s", path);
    struct stat cbt_st;
    if (stat(cbt_path, &cbt_st) != 0) {
        if (errno == ENOENT)
            return nullptr;
        return errdesc_set_fmt(errno, "Cannot access file %s", cbt_path);
    }

    std::unique_ptr<cbt_file_header_t> cbt;
    cbt_extent_list_t list;
    errdesc_t *err = read_tolcbt_header(cbt_path, &cbt, &list);
    if (!err && !list.empty() && cbt->tolcbt_file_size != cbt_st.st_size)
        err = errdesc_set_fmt(EBUSY, "Expect %ju bytes in %s but found %ju bytes. %s",
                              static_cast<uintmax_t>(cbt->tolcbt_file_size), cbt_path,
                              static_cast<uintmax_t>(cbt_st.st_size), TRY_LATER);
    if (!err && !list.empty() && has_header)
        err = check_change_id(header, *cbt, shadow_path);
    free_cbt_header(&cbt);
    cbt_list_free(&list);
    return err;
}

errdesc_t *recovery_new_cookie(recovery_cookie_t *cookie, const char *scratch_path)
{
    cookie->type = recovery_infer_file_type(cookie->path.c_str());
    if (cookie->type == RECOVERY_FILE_TYPE_VMDK_FLAT) {
        if (errdesc_t *err =
                validate_vmdk_flat(cookie->path.c_str(), cookie->shadow_path.c_str(), scratch_path))
            return err;
        ts_printf("successfully validated %s\n", cookie->shadow_path.c_str());
        cookie->can_optimize = TOL_TRUE;
    }
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
    if (cookie->pdev)
        tol_dev_close(&cookie->pdev);

    // Partition mappings sit on the merged or loop device: they go first.
    kept_error_t partitions_result;
    if (!cookie->devicemapper_path.empty()) {
        if (errdesc_t *err = vdsk_free_partitions_ex(cookie->devicemapper_path.c_str(),
                                                     &cookie->part_map, TOL_TRUE)) {
            errdesc_log(err, TOL_PRIO_ERROR);
            partitions_result.keep(err);
        }
        cookie->devicemapper_path.clear();
    }
    if (cookie->merge_handle)
        release_merged_tolcbt(&cookie->merge_handle);

    bool had_loop = !cookie->loopdev_path.empty();
    kept_error_t loop_result;
    if (had_loop) {
        if (errdesc_t *err = vdsk_release_loop_dev(&cookie->loopdev_path)) {
            errdesc_log(err, TOL_PRIO_ERROR);
            loop_result.keep(err);
        }
        cookie->loopdev_path.clear();
    }

    if (!cookie->vdskdesc)
        return had_loop ? loop_result.raise() : partitions_result.raise();
    // Views are unmounted by the volume mounter, which this build does not
    // link in: a view cookie never gets a disk record here, and one that
    // claims it is refused rather than leaked.
    return errdesc_set_fmt(ERR_NOT_SUPPORTED, "cannot unmount the view '%s'", cookie->path.c_str());
}

errdesc_t *recovery_evict()
{
    if (!recovery_open_list_ready())
        return nullptr;
    open_list_lock lock;
    if (list_count(recovery_open_list.list) == 0)
        return nullptr;
    return recovery_evict_intern(TOL_FALSE);
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

namespace
{

// Builds (once per cookie) the device that serves a flat image and names it
// in `*device`: the merged device when a change-block file is readable, a
// read-only loop device otherwise; maps its partitions and opens it for
// optimised reads. The caller holds the open-list lock and the cookie.
errdesc_t *prepare_flat_device(recovery_cookie_t *cookie, const char *path,
                               const char *scratch_path, std::string *device)
{
    char cbt_path[TOL_PATH_MAX];
    if (errdesc_t *err = get_tolcbt_vmdk_path(path, scratch_path, cbt_path, sizeof(cbt_path)))
        return err;
    const char *shadow = cookie->shadow_path.c_str();
    if (access(cbt_path, R_OK) == 0) {
        if (!cookie->merge_handle)
            if (errdesc_t *err = get_merged_tolcbt(shadow, cbt_path, &cookie->merge_handle))
                return err;
        *device = cookie->merge_handle->device_path();
    } else {
        if (cookie->loopdev_path.empty())
            if (errdesc_t *err = vdsk_assign_next_loop_dev(&cookie->loopdev_path, shadow, 1,
                                                           RECOVERY_LOOP_TIMEOUT))
                return err;
        *device = cookie->loopdev_path;
    }

    if (cookie->devicemapper_path.empty()) {
        cookie->devicemapper_path = *device;
        if (errdesc_t *err = vdsk_get_partitions_ex(device->c_str(), &cookie->part_map, TOL_TRUE))
            return err;
    }

    if (cookie->can_optimize && !cookie->pdev) {
        if (get_reg_settings()->lumiread_optimize)
            cookie->pdev = tol_dev_open(device->c_str(), nullptr);
        if (!cookie->pdev)
            cookie->can_optimize = TOL_FALSE; // for the cookie's whole life
    }
    return nullptr;
}

// Whether handles of `device` may read through the cookie's optimised
// device. The device kind can change within a cookie's life (a change-block
// file that appears after the first open gets its merged device at a later
// open), and the bitmap device, built once, then serves the old kind only.
bool pdev_serves(const recovery_cookie_t *cookie, const std::string &device)
{
    if (!cookie->can_optimize || !cookie->pdev)
        return false;
    const std::string &name = cookie->pdev->name; // "/<last component>"
    return device.size() >= name.size() &&
           device.compare(device.size() - name.size(), name.size(), name) == 0;
}

// Decides, on the first open, which sector holds the recovery header; it
// reads as zeros from then on. Nothing is hidden when none is found.
void find_replacement_sector(recovery_cookie_t *cookie, int fd)
{
    if (cookie->ref != 1 || cookie->buffered_data.buffer)
        return;
    uint32_t sector = TOL_VDSK_NO_SECTOR;
    if (find_free_sector_by_partition(fd, &sector) || sector == TOL_VDSK_NO_SECTOR)
        return;
    auto *zeros = static_cast<char *>(calloc(1, TOL_SECTOR_SIZE));
    if (!zeros)
        return;
    cookie->buffered_data.offset = static_cast<off_t>(sector) * TOL_SECTOR_SIZE;
    cookie->buffered_data.size = TOL_SECTOR_SIZE;
    cookie->buffered_data.buffer = zeros;
}

} // namespace

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

    const bool flat = cookie->type == RECOVERY_FILE_TYPE_VMDK_FLAT;
    std::string device = shadow_path;
    errdesc_t *err = flat ? prepare_flat_device(cookie, path, scratch_path, &device) : nullptr;
    unique_fd fd;
    if (!err) {
        fd.reset(open(device.c_str(), O_RDONLY | O_CLOEXEC));
        if (!fd)
            err = errdesc_set_fmt(errno, "Cannot open file %s.", device.c_str());
    }
    fuse_fh_t *fh = nullptr;
    if (!err) {
        bool optimize = pdev_serves(cookie, device);
        fh = fuse_fh_new(fd.get(), optimize ? cookie->pdev.get() : nullptr,
                         optimize ? TOL_TRUE : TOL_FALSE, path, path);
        if (!fh)
            err = errdesc_set_fmt(ENOMEM, "Cannot make a handle for %s", path);
    }
    if (!err) {
        fd.release(); // the handle's now; closed at release
        // The device keeps its normal read-ahead: without it every cold
        // sequential request waits for the loop device in turn (measured: a
        // third of the pass-through rate); random reads stay small anyway.
        if (flat)
            find_replacement_sector(cookie, fh->fd);
        if (cookie->buffered_data.buffer)
            fh->buffered_data = cookie->buffered_data; // shared, never freed by the handle
        *fh_slot = reinterpret_cast<uintptr_t>(fh);
        return nullptr;
    }

    // A failed open gives its reference back. The cookie and its devices are
    // torn down only when no other handle holds it: handles that are open
    // read from its merged or loop device and its optimised device, so a
    // later open that fails (a change-block file that appeared since the
    // first open and cannot be merged, a device that cannot be opened) must
    // leave them in place. Whatever the failing step built half-way its
    // builder has undone; what it completed stays with the cookie until the
    // eviction that comes once every handle has gone.
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
    uint64_t bytes_read = 0;
    uint64_t bytes_skipped = 0;
    if (size == 0)
        return 0;
    if (fh->optimize) {
        // The bitmap window of a request must lie inside the bitmap: a read
        // that runs past the device's end (the last page of an image whose
        // size is not a multiple of the page size, or any read with direct
        // I/O) is cut at the end, as a plain read of the device would be.
        uint64_t end = static_cast<uint64_t>(fh->pdev->length) * TOL_SECTOR_SIZE;
        uint64_t from = static_cast<uint64_t>(offset);
        size_t want = from >= end ? 0 : static_cast<size_t>(std::min<uint64_t>(size, end - from));
        if (want > 0)
            err = optimize_byte_read(fh->pdev, buf, want, offset, &bytes_read, &bytes_skipped);
        // Partial head and tail sectors count as whole ones there; the
        // client gets exactly the bytes that were asked for and exist.
        bytes_read = std::min<uint64_t>(bytes_read + bytes_skipped, want);
        bytes_skipped = 0;
    } else {
        size_t got = 0;
        err = tol_pread(fh->fd, buf, size, offset, &got);
        bytes_read = got;
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
            bytes_read += static_cast<uint64_t>(std::max<int64_t>(covered, 0));
        }
    }

    if (err) {
        errdesc_log(err, TOL_PRIO_ERROR);
        return -err->number;
    }
    return static_cast<int>(std::min<uint64_t>(bytes_read + bytes_skipped, size));
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
