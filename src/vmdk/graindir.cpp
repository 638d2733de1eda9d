// Grain directories and grain tables of sparse (KDMV) and COWD extents.

#include "vmdk/graindir.hpp"

#include "common/types.hpp"

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cmath>
#include <cstring>
#include <sys/stat.h>

namespace
{

constexpr uint32_t GRAINDIR_VERSION = 1;

bool is_sparse_type(extenttype_t t)
{
    return (t & (ET_SPARSE | ET_VMFSSPARSE | ET_SESPARSE)) != 0;
}

// The header must be the one the descriptor's extent type names.
errdesc_t *load_extent_graindir(extentdesc_t *e)
{
    int rc = vmdk_pread_exact(e->fd, &e->hdr, EXTENT_HDR_READ_SIZE, 0);
    if (rc == VMDK_SHORT_READ)
        return vmdk_short_read_error(e->extentname, "header", EXTENT_HDR_READ_SIZE, 0);
    if (rc != 0)
        return errdesc_set_extended_err(rc, e->extentname);

    if (e->extenttype == ET_SPARSE) {
        if (errdesc_t *err = vmdk_check_sparsehdr(&e->hdr.sparse, e->extentname))
            return err;
        return vmdk_read_graindir_sparsehdr(e->fd, &e->hdr.sparse, &e->graindir);
    }
    if (errdesc_t *err = vmdk_check_cowdiskhdr(&e->hdr.cowd, e->extentname))
        return err;
    return vmdk_read_graindir_cowdiskhdr(e->fd, &e->hdr.cowd, &e->graindir);
}

} // namespace

errdesc_t *vmdk_read_graindir_common(int extent_fd, uint64_t offset, uint32_t capacity,
                                     uint32_t grainsize, uint32_t numgtespergt,
                                     graindir_t *graindir)
{
    *graindir = graindir_t{};
    graindir->magic = GRAINDIR_MAGIC;
    graindir->version = GRAINDIR_VERSION;
    graindir->capacity = capacity;
    graindir->grainsize = grainsize;
    graindir->numgtespergt = numgtespergt;

    auto refuse = [graindir](errdesc_t *err) {
        *graindir = graindir_t{};
        return err;
    };
    if (grainsize == 0 || numgtespergt == 0)
        return refuse(errdesc_set_fmt(EINVAL,
                                      "invalid grain geometry: grain size %u, %u entries "
                                      "per grain table",
                                      grainsize, numgtespergt));
    if (numgtespergt > VMDK_MAX_GTES_PER_GT)
        return refuse(errdesc_set_fmt(EINVAL, "grain tables of %u entries exceed the limit of %u",
                                      numgtespergt, VMDK_MAX_GTES_PER_GT));

    double count = std::ceil(static_cast<double>(capacity) /
                             (static_cast<double>(grainsize) * static_cast<double>(numgtespergt)));
    if (count > VMDK_MAX_GD_ENTRIES)
        return refuse(errdesc_set_fmt(EINVAL,
                                      "grain directory of %.0f entries exceeds the limit of %u",
                                      count, VMDK_MAX_GD_ENTRIES));
    uint32_t n = static_cast<uint32_t>(count);
    size_t bytes = static_cast<size_t>(n) * sizeof(uint32_t);
    if (offset > static_cast<uint64_t>(INT64_MAX) - bytes)
        return refuse(
            errdesc_set_fmt(EINVAL, "grain directory offset %" PRIu64 " out of range", offset));

    // Sized from the header: the file must hold the whole directory before
    // any memory is taken for it.
    struct stat st;
    if (fstat(extent_fd, &st) != 0)
        return refuse(errdesc_set(errno));
    if (S_ISREG(st.st_mode) && offset + bytes > static_cast<uint64_t>(st.st_size))
        return refuse(errdesc_set_fmt(EIO,
                                      "file ends before the end of its grain directory (%zu bytes "
                                      "at offset %" PRIu64 ", file of %jd bytes)",
                                      bytes, offset, static_cast<intmax_t>(st.st_size)));

    auto entries = std::make_unique<uint32_t[]>(n);
    int rc = vmdk_pread_exact(extent_fd, entries.get(), bytes, static_cast<off_t>(offset));
    if (rc == VMDK_SHORT_READ)
        return refuse(errdesc_set_fmt(EIO,
                                      "file ends before the end of its grain directory (%zu bytes "
                                      "at offset %" PRIu64 ")",
                                      bytes, offset));
    if (rc != 0)
        return refuse(errdesc_set(rc));

    graindir->gd_entry_count = n;
    graindir->gd_entry = std::move(entries);
    graindir->gt_entry_count = n * numgtespergt;
    return nullptr;
}

errdesc_t *vmdk_read_graindir_sparsehdr(int fd, const sparsehdr_t *sparsehdr, graindir_t *graindir)
{
    if (sparsehdr->gdoffset > UINT64_MAX / TOL_SECTOR_SIZE) {
        *graindir = graindir_t{};
        return errdesc_set_fmt(EINVAL, "grain directory sector %" PRIu64 " out of range",
                               static_cast<uint64_t>(sparsehdr->gdoffset));
    }
    // The grain arithmetic is 32-bit; cutting a larger value to its low bits
    // would read a different disk than the one described, so refuse it.
    if (sparsehdr->capacity > UINT32_MAX || sparsehdr->grainsize > UINT32_MAX) {
        *graindir = graindir_t{};
        return errdesc_set_fmt(
            EFBIG, "capacity %" PRIu64 " or grain size %" PRIu64 " sectors beyond 32 bits",
            static_cast<uint64_t>(sparsehdr->capacity),
            static_cast<uint64_t>(sparsehdr->grainsize));
    }
    return vmdk_read_graindir_common(
        fd, sparsehdr->gdoffset * TOL_SECTOR_SIZE, static_cast<uint32_t>(sparsehdr->capacity),
        static_cast<uint32_t>(sparsehdr->grainsize), sparsehdr->numgtespergt, graindir);
}

errdesc_t *vmdk_read_graindir_cowdiskhdr(int fd, const cowdiskhdr_t *cowdiskhdr,
                                         graindir_t *graindir)
{
    return vmdk_read_graindir_common(
        fd, static_cast<uint64_t>(cowdiskhdr->gdoffset) * TOL_SECTOR_SIZE, cowdiskhdr->numsectors,
        cowdiskhdr->grainsize, COWD_GTES_PER_GT, graindir);
}

errdesc_t *vmdk_open_graindir(vmdkdesc_t *vmdkdesc)
{
    errdesc_t *err = nullptr;
    uint64_t total = 0; // directories stay loaded together: bound their sum
    for (uint32_t i = 0; i < vmdkdesc->extentdesccount; i++) {
        extentdesc_t *e = vmdkdesc->extentdesc[i].get();
        if (e->fd < 0) {
            err = errdesc_set_str(EBADF, e->extentname);
            break;
        }
        if (!is_sparse_type(e->extenttype))
            continue;
        err = load_extent_graindir(e);
        if (err)
            break;
        total += static_cast<uint64_t>(e->graindir.gd_entry_count) * sizeof(uint32_t);
        if (total > VMDK_MAX_GD_BYTES_PER_DISK) {
            err = errdesc_set_fmt(EFBIG, "%s: grain directories of more than %ju bytes",
                                  vmdkdesc->filename.c_str(),
                                  static_cast<uintmax_t>(VMDK_MAX_GD_BYTES_PER_DISK));
            break;
        }
    }
    vmdkdesc->gtbuf = vmdk_get_gtbuf(vmdkdesc);
    vmdkdesc->gtbuf_count = vmdkdesc->gtbuf ? vmdkdesc->extentdesc[0]->graindir.numgtespergt : 0;
    return err;
}

errdesc_t *vmdk_close_graindir(vmdkdesc_t *vmdkdesc)
{
    for (uint32_t i = 0; i < vmdkdesc->extentdesccount; i++) {
        if (vmdkdesc->extentdesc[i])
            vmdkdesc->extentdesc[i]->graindir = graindir_t{};
    }
    return nullptr;
}

std::unique_ptr<uint32_t[]> vmdk_get_gtbuf(const vmdkdesc_t *vmdkdesc)
{
    if (vmdkdesc->extentdesccount == 0 || !vmdkdesc->extentdesc[0])
        return nullptr;
    uint32_t n = vmdkdesc->extentdesc[0]->graindir.numgtespergt;
    if (n == 0)
        return nullptr;
    return std::make_unique<uint32_t[]>(n);
}

void vmdk_free_gtbuf(vmdkdesc_t *vmdkdesc)
{
    vmdkdesc->gtbuf.reset();
    vmdkdesc->gtbuf_count = 0;
}

errdesc_t *vmdk_fill_gtbuf(vmdkdesc_t *vmdkdesc, uint32_t extent_index, uint32_t graindir_index)
{
    if (extent_index >= vmdkdesc->extentdesccount || !vmdkdesc->extentdesc[extent_index])
        return errdesc_set_fmt(ERR_OUT_OF_RANGE, "no extent %u in %s", extent_index,
                               vmdkdesc->filename.c_str());
    extentdesc_t *e = vmdkdesc->extentdesc[extent_index].get();
    const graindir_t &gd = e->graindir;
    if (gd.magic != GRAINDIR_MAGIC || gd.version != GRAINDIR_VERSION || gd.gd_entry_count == 0)
        return errdesc_set_fmt(EINVAL, "%s: no grain directory loaded", e->extentname);
    if (graindir_index >= gd.gd_entry_count)
        return errdesc_set_fmt(ERR_OUT_OF_RANGE, "%s: grain directory entry %u of %u",
                               e->extentname, graindir_index, gd.gd_entry_count);
    if (!vmdkdesc->gtbuf)
        return errdesc_set_fmt(EINVAL, "%s: no grain-table buffer", vmdkdesc->filename.c_str());
    // The buffer is sized from the first extent; a larger table would not fit.
    if (gd.numgtespergt > vmdkdesc->gtbuf_count)
        return errdesc_set_fmt(ERR_OUT_OF_RANGE,
                               "%s: grain tables of %u entries, the first extent's have %u",
                               e->extentname, gd.numgtespergt, vmdkdesc->gtbuf_count);

    size_t n = static_cast<size_t>(gd.numgtespergt) * sizeof(uint32_t);
    uint32_t sector = gd.gd_entry[graindir_index];
    if (sector == 0) {
        memset(vmdkdesc->gtbuf.get(), 0, n);
        return nullptr;
    }
    off_t offset = static_cast<off_t>(static_cast<uint64_t>(sector) * TOL_SECTOR_SIZE);
    int rc = vmdk_pread_exact(e->fd, vmdkdesc->gtbuf.get(), n, offset);
    if (rc == VMDK_SHORT_READ)
        return vmdk_short_read_error(e->extentname, "grain table", n, offset);
    if (rc != 0)
        return errdesc_set_extended_err(rc, e->extentname);
    return nullptr;
}
