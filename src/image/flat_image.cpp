#include "image/flat_image.hpp"

#include "common/files.hpp"
#include "common/kept_error.hpp"
#include "common/logging.hpp"
#include "controller/settings.hpp"
#include "image/tol_uuid.hpp"
#include "image/tol_vdsk_header.hpp"
#include "vmdk/vmdk_open.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

constexpr const char *TRY_LATER = "Recovery is probably in progress, please try again later.";
// Seconds that one losetup run may take when a flat file gets its loop device.
constexpr int LOOP_TIMEOUT = 600;

// The expected size of a flat file from its descriptor: the sum of its
// extents. 0 when there is no readable descriptor (nothing to compare).
errdesc_t *descriptor_expected_size(const std::string &descriptor, uintmax_t *expected)
{
    *expected = 0;
    if (descriptor.empty() || access(descriptor.c_str(), R_OK) != 0)
        return nullptr;
    auto desc = std::make_unique<vmdkdesc_t>();
    if (vmdk_open(descriptor.c_str(), desc.get()))
        return errdesc_set_fmt(EBUSY, "%s file is invalid. %s", descriptor.c_str(), TRY_LATER);
    uintmax_t sectors = 0;
    for (uint32_t i = 0; i < desc->extentdesccount && i < desc->extentdesc.size(); ++i)
        if (desc->extentdesc[i])
            sectors += desc->extentdesc[i]->extentsize;
    vmdk_close(desc.get());
    *expected = sectors * TOL_SECTOR_SIZE;
    return nullptr;
}

// Compares the change identifier of a change-block file ("<uuid>/<suffix>")
// with the recovery header of its flat file.
errdesc_t *check_change_id(const tol_vdsk_header_t &flat, const cbt_file_header_t &cbt,
                           const char *flat_path)
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
                               flat_text.c_str(), flat_path, changeid.c_str());
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
                               static_cast<int>(flat_suffix), flat_path,
                               static_cast<int>(cbt_suffix));
    return nullptr;
}

// Releases one owner early, logging a failure with priority 3.
template <typename Owner> kept_error release_step(Owner *owner)
{
    kept_error result;
    if (errdesc_t *err = owner->release()) {
        errdesc_log(err, TOL_PRIO_ERROR);
        result.keep(err);
    }
    return result;
}

} // namespace

errdesc_t *validate_vmdk_flat(const flat_image_paths &paths)
{
    const char *flat = paths.flat.c_str();
    struct stat st;
    if (stat(flat, &st) != 0)
        return errdesc_set_fmt(errno, "stat failed: %s", flat);
    const uintmax_t size = static_cast<uintmax_t>(st.st_size);
    if (size % TOL_SECTOR_SIZE != 0)
        return errdesc_set_fmt(EBUSY, "%s file has incorrect size %ju. %s", flat, size, TRY_LATER);

    unique_fd fd(open(flat, O_RDONLY | O_CLOEXEC));
    if (!fd)
        return errdesc_set_fmt(errno, "Cannot open file %s.", flat);
    tol_vdsk_header_t header;
    bool has_header = read_tol_vdsk_header(fd.get(), &header) == nullptr &&
                      (header.version == 1 || header.version == 2);
    fd.reset();

    uintmax_t expected = 0;
    if (has_header) {
        expected = static_cast<uintmax_t>(header.version == 1 ? header.data.v1.size
                                                              : header.data.v2.size) *
                   TOL_SECTOR_SIZE;
    } else if (errdesc_t *err = descriptor_expected_size(paths.descriptor, &expected)) {
        return err;
    }
    if (expected != 0 && expected != size)
        return errdesc_set_fmt(EBUSY, "Expect %ju bytes in %s but found %ju bytes. %s", expected,
                               flat, size, TRY_LATER);

    const char *cbt_path = paths.tolcbt.c_str();
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
        err = check_change_id(header, *cbt, flat);
    free_cbt_header(&cbt);
    cbt_list_free(&list);
    return err;
}

bitmap_device &bitmap_device::operator=(bitmap_device &&other) noexcept
{
    if (this != &other) {
        release();
        dev_ = std::move(other.dev_);
    }
    return *this;
}

void bitmap_device::release()
{
    if (dev_)
        tol_dev_close(&dev_);
}

flat_image::flat_image(loop_attachment loop, std::unique_ptr<tolcbt_merge_handle_t> merged,
                       partition_mapping partitions, unique_fd fd, bitmap_device bitmap)
    : loop_(std::move(loop)), merged_(std::move(merged)), partitions_(std::move(partitions)),
      fd_(std::move(fd)), bitmap_(std::move(bitmap))
{
    device_path_ = merged_ ? merged_->device_path() : loop_.path();
    struct stat st;
    if (fstat(fd_.get(), &st) == 0 && S_ISREG(st.st_mode))
        size_ = st.st_size;
    else
        size_ = std::max<off_t>(lseek(fd_.get(), 0, SEEK_END), 0);
    // Nothing is hidden when no sector can hold the recovery header.
    uint32_t sector = TOL_VDSK_NO_SECTOR;
    if (!find_free_sector_by_partition(fd_.get(), &sector) && sector != TOL_VDSK_NO_SECTOR)
        hidden_offset_ = static_cast<off_t>(sector) * TOL_SECTOR_SIZE;
}

namespace
{
// The file `path`, when it is what the loop device `loop_fd` reads from its
// first byte on; else nothing (the device is then read).
unique_fd open_backing_file(const std::string &path, int loop_fd)
{
    struct loop_info64 info = {};
    if (ioctl(loop_fd, LOOP_GET_STATUS64, &info) < 0 || info.lo_offset != 0)
        return {};
    unique_fd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st;
    if (!file || fstat(file.get(), &st) < 0 || !S_ISREG(st.st_mode) || st.st_ino != info.lo_inode ||
        st.st_dev != info.lo_device)
        return {};
    return file;
}

// The files under the device that `fd` reads and where its bytes lie in them:
// the flat file under a loop device; under a merged device, also the
// change-block file, as its table maps them. Nothing when a loop device does
// not show its file from byte 0 or a stretch is not whole sectors.
void find_files(const flat_image_paths &paths, const tolcbt_merge_handle_t *merged, int fd,
                std::vector<unique_fd> *files, std::vector<file_extent> *extents)
{
    if (!merged || merged->device.empty()) {
        unique_fd file = open_backing_file(paths.flat, fd);
        struct stat st;
        if (!file || fstat(file.get(), &st) < 0)
            return;
        extents->push_back({0, st.st_size, file.get(), 0});
        files->push_back(std::move(file));
        return;
    }
    unique_fd flat_loop(::open(merged->flat_loop.path().c_str(), O_RDONLY | O_CLOEXEC));
    unique_fd cbt_loop(::open(merged->tolcbt_loop.path().c_str(), O_RDONLY | O_CLOEXEC));
    if (!flat_loop || !cbt_loop)
        return;
    unique_fd flat = open_backing_file(paths.flat, flat_loop.get());
    unique_fd cbt = open_backing_file(paths.tolcbt, cbt_loop.get());
    if (!flat || !cbt)
        return;
    for (const merge_extent &m : merged->layout) {
        if (m.start % TOL_SECTOR_SIZE || m.length % TOL_SECTOR_SIZE || m.offset % TOL_SECTOR_SIZE) {
            extents->clear();
            return;
        }
        extents->push_back({m.start, m.length, (m.changed ? cbt : flat).get(), m.offset});
    }
    files->push_back(std::move(flat));
    files->push_back(std::move(cbt));
}
} // namespace

errdesc_t *flat_image::open(const flat_image_paths &paths, bool optimize,
                            std::unique_ptr<flat_image> *out)
{
    loop_attachment loop;
    std::unique_ptr<tolcbt_merge_handle_t> merged;
    if (access(paths.tolcbt.c_str(), R_OK) == 0) {
        if (errdesc_t *err = get_merged_tolcbt(paths.flat.c_str(), paths.tolcbt.c_str(), &merged))
            return err;
    } else if (errdesc_t *err =
                   loop_attachment::attach(paths.flat.c_str(), true, LOOP_TIMEOUT, &loop)) {
        return err;
    }
    const std::string device = merged ? merged->device_path() : loop.path();

    partition_mapping partitions;
    if (errdesc_t *err = partition_mapping::map(device.c_str(), &partitions))
        return err;
    unique_fd fd(::open(device.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd)
        return errdesc_set_fmt(errno, "Cannot open file %s.", device.c_str());
    // Without a bitmap the image is read plainly.
    bitmap_device bitmap;
    if (optimize && get_reg_settings()->lumiread_optimize)
        bitmap = bitmap_device(tol_dev_open(device.c_str(), nullptr));
    std::vector<unique_fd> files;
    std::vector<file_extent> extents;
    find_files(paths, merged.get(), fd.get(), &files, &extents);
    *out = std::make_unique<flat_image>(std::move(loop), std::move(merged), std::move(partitions),
                                        std::move(fd), std::move(bitmap));
    (*out)->read_from_files(std::move(files), std::move(extents));
    return nullptr;
}

bool flat_image::read_from_files(std::vector<unique_fd> files, std::vector<file_extent> extents)
{
    off_t covered = 0;
    for (const file_extent &e : extents) {
        const bool known = std::any_of(files.begin(), files.end(),
                                       [&e](const unique_fd &f) { return f.get() == e.fd; });
        if (!known || e.start != covered || e.length <= 0 || e.offset < 0)
            return false;
        covered += e.length;
    }
    if (covered < size_)
        return false;
    files_ = std::move(files);
    extents_ = std::move(extents);
    return true;
}

template <typename F> void flat_image::map_device(off_t at, size_t size, F fn) const
{
    if (extents_.empty())
        return fn(device_fd(), at, at, size);
    // The last extent that starts at or before `at`; the first starts at 0.
    auto it = std::upper_bound(extents_.begin(), extents_.end(), at,
                               [](off_t v, const file_extent &e) { return v < e.start; });
    const off_t end = at + static_cast<off_t>(size);
    for (--it; at < end && it != extents_.end(); ++it) {
        const off_t stop = std::min(end, it->start + it->length);
        fn(it->fd, it->offset + (at - it->start), at, static_cast<size_t>(stop - at));
        at = stop;
    }
}

errdesc_t *flat_image::read(char *buf, size_t size, off_t offset, size_t *count) const
{
    *count = 0;
    read_plan plan;
    errdesc_t *err = segments(size, offset, &plan);
    if (!err && (err = plan_copy(plan, buf, count)) && bitmap_.get())
        err = tol_dev_read_error(bitmap_.get(), err);
    // A read that starts inside the recovery-header sector succeeds, with
    // the sector's zeros only, even when the device read under it failed.
    const off_t hs = hidden_offset_;
    if (!err || hs < 0 || offset < hs || offset >= hs + TOL_SECTOR_SIZE)
        return err;
    *count = std::min(within(size, offset), static_cast<size_t>(hs + TOL_SECTOR_SIZE - offset));
    memset(buf, 0, *count);
    return nullptr;
}

errdesc_t *flat_image::segments(size_t size, off_t offset, read_plan *out) const
{
    out->clear();
    const size_t want = within(size, offset);
    if (want == 0)
        return nullptr;
    auto add_zeros = [out](off_t at, size_t n) { plan_add(out, {at, n, true, -1, 0}); };
    auto add_bytes = [this, out](off_t at, size_t n) {
        map_device(at, n, [out](int fd, off_t pos, off_t a, size_t len) {
            plan_add(out, {a, len, false, fd, pos});
        });
    };
    // The recovery-header sector cuts a device piece in three.
    const off_t hs = hidden_offset_;
    const off_t he = hs + TOL_SECTOR_SIZE;
    auto add_device = [&](off_t at, size_t n) {
        const off_t end = at + static_cast<off_t>(n);
        if (hs < 0 || end <= hs || he <= at)
            return add_bytes(at, n);
        add_bytes(at, static_cast<size_t>(std::max<off_t>(hs - at, 0)));
        const off_t z0 = std::max(at, hs);
        const off_t z1 = std::min(end, he);
        add_zeros(z0, static_cast<size_t>(z1 - z0));
        add_bytes(z1, static_cast<size_t>(std::max<off_t>(end - z1, 0)));
    };

    if (!bitmap_.get()) {
        add_device(offset, want);
        return nullptr;
    }
    std::vector<tol_dev_run> runs;
    if (errdesc_t *err = tol_dev_runs(bitmap_.get(), offset, want, &runs))
        return err;
    size_t covered = 0;
    for (const auto &r : runs) {
        if (r.used)
            add_device(r.offset, r.size);
        else
            add_zeros(r.offset, r.size);
        covered += r.size;
    }
    if (covered < want) {
        out->clear();
        return errdesc_set_fmt(EIO, "the in-use bitmap of %s ends at sector %jd",
                               bitmap_.get()->name.c_str(),
                               static_cast<intmax_t>(bitmap_.get()->length));
    }
    return nullptr;
}

errdesc_t *flat_image::release()
{
    bitmap_.release();
    fd_.reset();
    const bool had_partitions = !partitions_.empty();
    kept_error partitions_result = had_partitions ? release_step(&partitions_) : kept_error{};
    merged_.reset();
    const bool had_loop = !loop_.empty();
    kept_error loop_result = had_loop ? release_step(&loop_) : kept_error{};
    return had_loop ? loop_result.raise() : partitions_result.raise();
}

void flat_image::read_ahead(off_t offset, size_t size) const
{
    // The kernel has several requests of one stream in flight at once, so a
    // read counts as following the last one when it starts near its end.
    constexpr off_t window = 8 << 20;
    constexpr off_t near = 1 << 20;
    if (!bitmap_.get())
        return;
    // Random reads land near the last one now and then (one in five hundred
    // over a 1 GiB image); asking 8 MiB ahead for each of those cost random
    // cold reads a quarter of their speed. A stream is a few reads in a row.
    constexpr int stream = 4;
    const off_t end = offset + static_cast<off_t>(size);
    const off_t last = last_end_.exchange(end);
    if (offset < last - near || offset > last + near) {
        streak_ = 0;
        return;
    }
    if (++streak_ < stream)
        return;
    off_t from = ahead_.load();
    if (from < end || from > end + window)
        from = end;
    const off_t to = std::min(end + window, size_);
    if (to - from < window / 2)
        return; // most of the window has been asked for already
    ahead_.store(to);
    std::vector<tol_dev_run> runs;
    if (tol_dev_runs(bitmap_.get(), from, static_cast<size_t>(to - from), &runs, false))
        return; // past the bitmap: the read itself reports it
    for (const auto &r : runs)
        if (r.used)
            map_device(r.offset, r.size, [](int fd, off_t pos, off_t, size_t n) {
                posix_fadvise(fd, pos, static_cast<off_t>(n), POSIX_FADV_WILLNEED);
            });
}
