#include "mounter/dm_table.hpp"

#include "common/logging.hpp"
#include "common/types.hpp"
#include "vmdk/graindir.hpp"
#include "vmdk/vmdk_open.hpp"

#include <algorithm>
#include <cstdarg>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

bool is_sparse_kind(extenttype_t t)
{
    return (t & (ET_SPARSE | ET_VMFSSPARSE | ET_SESPARSE)) != 0;
}

// Flat kinds of the disk itself; below a sparse extent raw device maps are
// not accepted.
bool is_flat_kind(extenttype_t t, bool own)
{
    return (t & (ET_FLAT | ET_VMFS)) != 0 || (own && t == ET_VMFSRDM);
}

// Lines go out in blocks: the table is streamed, and a block keeps the
// number of writes to the pipe small for tables of many lines.
class table_writer
{
  public:
    explicit table_writer(int fd) : fd_(fd) {}

    errdesc_t *line(const char *fmt, ...) __attribute__((format(printf, 2, 3)))
    {
        if (len_ + LINE_MAX_LEN > sizeof(buf_))
            if (errdesc_t *err = flush())
                return err;
        va_list ap;
        va_start(ap, fmt);
        int n = vsnprintf(buf_ + len_, LINE_MAX_LEN, fmt, ap);
        va_end(ap);
        if (n < 0 || n >= static_cast<int>(LINE_MAX_LEN))
            return errdesc_set_str(ERR_OVERFLOW, "device-mapper table line too long");
        len_ += static_cast<size_t>(n);
        return nullptr;
    }

    errdesc_t *flush()
    {
        size_t done = 0;
        while (done < len_) {
            ssize_t n = write(fd_, buf_ + done, len_ - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return errdesc_set_str(errno, "writing the device-mapper table");
            done += static_cast<size_t>(n);
        }
        len_ = 0;
        return nullptr;
    }

  private:
    // A loop device path and three numbers.
    static constexpr size_t LINE_MAX_LEN = VMDK_PATH_MAX + 96;
    int fd_;
    size_t len_ = 0;
    char buf_[64 * 1024];
};

struct emission_t {
    dmtdesc_t d;
    table_writer *out;
    vmdkdesc_t *const *chain; // chain[0] is the disk itself
    uint32_t chain_len;
    // Extent file sizes in sectors of the chain's extent `extent_index`.
    uint64_t file_sectors[VMDK_MAX_ANCESTORS];
};

errdesc_t *vmdk_emit(emission_t *em)
{
    dmtdesc_t &d = em->d;
    errdesc_t *err =
        d.loopdev ? em->out->line("%ju %ju linear %s %ju\n", static_cast<uintmax_t>(d.dm_offset),
                                  static_cast<uintmax_t>(d.size), d.loopdev,
                                  static_cast<uintmax_t>(d.extent_offset))
                  : em->out->line("%ju %ju zero\n", static_cast<uintmax_t>(d.dm_offset),
                                  static_cast<uintmax_t>(d.size));
    d.dm_offset += d.size;
    d.size = d.grainsize;
    return err;
}

std::string extent_path(const vmdkdesc_t *disk, const extentdesc_t *e)
{
    return vmdk_get_path(e->extentname, disk->dirname);
}

// A flat extent file must hold its declared size; a longer one is served up
// to that size.
errdesc_t *check_flat_file(const vmdkdesc_t *disk, const extentdesc_t *e)
{
    std::string path = extent_path(disk, e);
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return errdesc_set_fmt(errno, "Cannot stat extent file %s", path.c_str());
    const intmax_t expected = static_cast<intmax_t>(e->extentsize * TOL_SECTOR_SIZE);
    if (static_cast<intmax_t>(st.st_size) < expected)
        return errdesc_set_fmt(EIO,
                               "Flat file %s of size %jd do not match with the expected "
                               "extent size %jd",
                               path.c_str(), static_cast<intmax_t>(st.st_size), expected);
    if (static_cast<intmax_t>(st.st_size) > expected)
        ts_printf("Flat file %s of size %jd do not match with the expected extent size %jd "
                  "specified in the disk descriptor.\n",
                  path.c_str(), static_cast<intmax_t>(st.st_size), expected);
    return nullptr;
}

errdesc_t *vmdk_emit_dm_table_flat(emission_t *em)
{
    vmdkdesc_t *disk = em->chain[0];
    extentdesc_t *e = disk->extentdesc[em->d.extent_index].get();
    if (errdesc_t *err = check_flat_file(disk, e))
        return err;
    em->d.grainsize = e->extentsize;
    em->d.size = e->extentsize;
    em->d.extent_offset = 0;
    em->d.loopdev = e->loopdev.c_str();
    return vmdk_emit(em);
}

// First sector of extent e within its disk, as the descriptor declares.
uint64_t extent_start(const vmdkdesc_t *d, uint32_t e)
{
    uint64_t start = 0;
    for (uint32_t i = 0; i < e; i++)
        start += d->extentdesc[i]->extentsize;
    return start;
}

// Checks extent e of every ancestor against the disk's and returns, through
// `used`, how many disks resolution may reach: a flat ancestor holds every
// grain, so nothing below it is ever read.
//
// Ancestors must share the disk's grain geometry: one directory index and
// one grain size address the same sectors in every disk of the chain. A
// chain whose geometry differs is refused rather than read wrong.
errdesc_t *check_chain_extent(emission_t *em, uint32_t *used)
{
    const uint32_t e = em->d.extent_index;
    const vmdkdesc_t *disk = em->chain[0];
    const graindir_t &top = disk->extentdesc[e]->graindir;
    const uint64_t grains = top.capacity / top.grainsize;
    for (uint32_t k = 0; k < em->chain_len; k++) {
        const vmdkdesc_t *d = em->chain[k];
        if (e >= d->extentdesccount || !d->extentdesc[e])
            return errdesc_set_fmt(EINVAL, "%s has no extent %u under extent %u of %s",
                                   d->filename.c_str(), e, e, disk->filename.c_str());
        const extentdesc_t *x = d->extentdesc[e].get();
        // Extent e of every disk must cover the same sectors of the disk:
        // from the same start, and, unless it is its disk's last extent (a
        // disk grown after the snapshot), at least as far.
        const bool last_extent = e + 1 == d->extentdesccount;
        if (extent_start(d, e) != extent_start(disk, e) ||
            (!last_extent && x->extentsize < grains * top.grainsize))
            return errdesc_set_fmt(ERR_NOT_SUPPORTED,
                                   "extent %s of %s does not cover the sectors of extent %s of "
                                   "%s: chains whose extents differ are not supported",
                                   x->extentname, d->filename.c_str(),
                                   disk->extentdesc[e]->extentname, disk->filename.c_str());
        if (k > 0 && is_flat_kind(x->extenttype, false)) {
            if (x->extentsize < grains * top.grainsize)
                return errdesc_set_fmt(EINVAL,
                                       "flat extent %s of %s has %ju sectors, the "
                                       "snapshot over it %ju",
                                       x->extentname, d->filename.c_str(),
                                       static_cast<uintmax_t>(x->extentsize),
                                       static_cast<uintmax_t>(grains * top.grainsize));
            if (errdesc_t *err = check_flat_file(d, x))
                return err;
            *used = k + 1;
            return nullptr;
        }
        if (!is_sparse_kind(x->extenttype))
            return errdesc_set_fmt(ERR_NOT_SUPPORTED,
                                   "extent %s of %s is of kind %s, which a snapshot chain cannot "
                                   "map",
                                   x->extentname, d->filename.c_str(),
                                   extenttype_name(x->extenttype));
        const graindir_t &gd = x->graindir;
        if (gd.magic != GRAINDIR_MAGIC || gd.gd_entry_count == 0)
            return errdesc_set_fmt(EINVAL, "extent %s of %s has no grain directory", x->extentname,
                                   d->filename.c_str());
        if (gd.grainsize != top.grainsize || gd.numgtespergt != top.numgtespergt)
            return errdesc_set_fmt(ERR_NOT_SUPPORTED,
                                   "extent %s of %s has grains of %u sectors and %u per grain "
                                   "table, the snapshot %s %u and %u: chains of differing grain "
                                   "geometry are not supported",
                                   x->extentname, d->filename.c_str(), gd.grainsize,
                                   gd.numgtespergt, disk->filename.c_str(), top.grainsize,
                                   top.numgtespergt);
        struct stat st;
        if (fstat(x->fd, &st) != 0)
            return errdesc_set_extended_err(errno, extent_path(d, x).c_str());
        em->file_sectors[k] = static_cast<uint64_t>(st.st_size) / TOL_SECTOR_SIZE;
    }
    *used = em->chain_len;
    return nullptr;
}

// Reads grain table g of every sparse disk that resolution may reach and
// refuses entries that point outside their extent file: a corrupt table
// must fail the table, not become a mapping past the end of a loop device.
errdesc_t *fill_grain_tables(emission_t *em, uint32_t used, uint32_t n)
{
    const uint32_t e = em->d.extent_index;
    const uint32_t g = static_cast<uint32_t>(em->d.gd_index);
    for (uint32_t k = 0; k < used; k++) {
        vmdkdesc_t *d = em->chain[k];
        extentdesc_t *x = d->extentdesc[e].get();
        if (!is_sparse_kind(x->extenttype))
            continue;
        if (!d->gtbuf || d->gtbuf_count < n)
            return errdesc_set_fmt(EINVAL, "%s: no grain-table buffer for extent %s",
                                   d->filename.c_str(), x->extentname);
        if (g >= x->graindir.gd_entry_count) {
            // An ancestor smaller than the snapshot holds nothing here.
            std::fill_n(d->gtbuf.get(), n, 0u);
            continue;
        }
        if (errdesc_t *err = vmdk_fill_gtbuf(d, e, g))
            return err;
        for (uint32_t i = 0; i < n; i++) {
            const uint64_t entry = d->gtbuf[i];
            if (entry != 0 && entry + em->d.grainsize > em->file_sectors[k])
                return errdesc_set_fmt(EIO,
                                       "grain %ju of extent %s of %s lies at sector %ju, "
                                       "beyond the end of the file (%ju sectors)",
                                       static_cast<uintmax_t>(g) * em->d.numgtespergt + i,
                                       x->extentname, d->filename.c_str(),
                                       static_cast<uintmax_t>(entry),
                                       static_cast<uintmax_t>(em->file_sectors[k]));
        }
    }
    return nullptr;
}

// Grains from i on, at most `limit`, that `gt` does not hold.
uint32_t vmdk_compute_zeros(const uint32_t *gt, uint32_t i, uint32_t limit)
{
    uint32_t c = 0;
    while (c < limit && gt[i + c] == 0)
        c++;
    return c;
}

// Grains from i on, at most `limit`, stored one after the other in the file.
uint32_t vmdk_compute_contiguous(const uint32_t *gt, uint32_t i, uint32_t limit, uint64_t grainsize)
{
    uint32_t c = 1;
    while (c < limit && gt[i + c] != 0 &&
           static_cast<uint64_t>(gt[i + c]) == gt[i + c - 1] + grainsize)
        c++;
    return c;
}

uint64_t vmdk_compute_extent_offset(const dmtdesc_t &d, uint32_t i)
{
    return (d.gd_index * d.numgtespergt + i) * d.grainsize;
}

// The run of grains from i that chain position `ancestor_index` supplies.
errdesc_t *vmdk_emit_dm_table_contiguous(emission_t *em, uint32_t i, uint32_t *run)
{
    dmtdesc_t &d = em->d;
    vmdkdesc_t *src = em->chain[d.ancestor_index];
    extentdesc_t *x = src->extentdesc[d.extent_index].get();
    if (is_sparse_kind(x->extenttype)) {
        *run = vmdk_compute_contiguous(src->gtbuf.get(), i, d.zeros, d.grainsize);
        d.extent_offset = src->gtbuf[i];
    } else {
        *run = d.zeros;
        d.extent_offset = vmdk_compute_extent_offset(d, i);
    }
    d.size = *run * d.grainsize;
    d.loopdev = x->loopdev.c_str();
    return vmdk_emit(em);
}

// Resolves the grains from i down the chain: the newest disk that holds
// grain i supplies a run that never covers a grain a newer disk holds.
// Grains that no disk holds, the oldest one being sparse, read as zeros:
// a line of the `zero` target, never a mapping to the start of the oldest
// extent file.
errdesc_t *vmdk_emit_dm_table_zeros(emission_t *em, uint32_t used, uint32_t i, uint32_t *run)
{
    dmtdesc_t &d = em->d;
    for (d.ancestor_index = 0; d.ancestor_index < used; d.ancestor_index++) {
        vmdkdesc_t *k = em->chain[d.ancestor_index];
        if (!is_sparse_kind(k->extentdesc[d.extent_index]->extenttype) || k->gtbuf[i] != 0)
            return vmdk_emit_dm_table_contiguous(em, i, run);
        d.zeros = vmdk_compute_zeros(k->gtbuf.get(), i, d.zeros);
    }
    *run = d.zeros;
    d.size = *run * d.grainsize;
    d.loopdev = nullptr;
    return vmdk_emit(em);
}

errdesc_t *vmdk_emit_dm_table_sparse(emission_t *em)
{
    dmtdesc_t &d = em->d;
    const graindir_t &gd = em->chain[0]->extentdesc[d.extent_index]->graindir;
    if (gd.magic != GRAINDIR_MAGIC || gd.gd_entry_count == 0)
        return errdesc_set_fmt(EINVAL, "extent %s of %s has no grain directory",
                               em->chain[0]->extentdesc[d.extent_index]->extentname,
                               em->chain[0]->filename.c_str());
    d.grainsize = gd.grainsize;
    d.numgtespergt = gd.numgtespergt;
    uint32_t used = 0;
    if (errdesc_t *err = check_chain_extent(em, &used))
        return err;

    const uint64_t grains = gd.capacity / gd.grainsize;
    for (d.gd_index = 0; d.gd_index < gd.gd_entry_count; d.gd_index++) {
        const uint64_t first = d.gd_index * gd.numgtespergt;
        if (first >= grains)
            break;
        const uint32_t n =
            static_cast<uint32_t>(std::min<uint64_t>(gd.numgtespergt, grains - first));
        if (errdesc_t *err = fill_grain_tables(em, used, n))
            return err;
        for (uint32_t i = 0, run = 0; i < n; i += run) {
            d.zeros = n - i;
            if (errdesc_t *err = vmdk_emit_dm_table_zeros(em, used, i, &run))
                return err;
        }
    }
    return nullptr;
}

} // namespace

vmdkdesc_t *vmdk_chain_disk(vmdkdesc_t *vmdkdesc, uint32_t index)
{
    if (index == 0)
        return vmdkdesc;
    return vmdkdesc->vmdk_ancestor_array ? vmdkdesc->vmdk_ancestor_array[index] : nullptr;
}

errdesc_t *vmdk_open_dm_chain(vmdkdesc_t *vmdkdesc, uint32_t *chain_len)
{
    *chain_len = 0;
    if (errdesc_t *err = vmdk_get_ancestors(vmdkdesc, 0, &vmdkdesc->vmdk_ancestor_array))
        return err;
    uint32_t len = 1;
    if (vmdkdesc->datastore_direct) {
        while (vmdkdesc->vmdk_ancestor_array[len])
            len++;
    } else {
        vmdkdesc->extentdesc[0]->extenttype = ET_FLAT;
    }
    for (uint32_t k = 0; k < len; k++) {
        if (errdesc_t *err = vmdk_open_extentfiles(vmdk_chain_disk(vmdkdesc, k))) {
            errdesc_keeper keep;
            vmdk_close_dm_chain(vmdkdesc, k);
            vmdk_free_ancestors(vmdkdesc);
            return err;
        }
    }
    *chain_len = len;
    return nullptr;
}

void vmdk_close_dm_chain(vmdkdesc_t *vmdkdesc, uint32_t chain_len)
{
    for (uint32_t k = 0; k < chain_len; k++)
        vmdk_close_extentfiles(vmdk_chain_disk(vmdkdesc, k));
}

errdesc_t *vmdk_emit_dm_table(int fd, vmdkdesc_t *vmdkdesc, uint32_t chain_len)
{
    if (vmdkdesc->magic != VMDK_MAGIC)
        return errdesc_set_fmt(EINVAL, "VMDK descriptor %s is not open",
                               vmdkdesc->filename.c_str());
    auto out = std::make_unique<table_writer>(fd);
    auto em = std::make_unique<emission_t>();
    em->d.magic = DMTDESC_MAGIC;
    em->d.version = 1;
    em->out = out.get();
    em->chain_len = chain_len;
    vmdkdesc_t *self[1] = {vmdkdesc};
    em->chain = chain_len > 1 ? vmdkdesc->vmdk_ancestor_array.get() : self;

    for (uint32_t e = 0; e < vmdkdesc->extentdesccount; e++) {
        em->d.extent_index = e;
        const extentdesc_t *x = vmdkdesc->extentdesc[e].get();
        errdesc_t *err = nullptr;
        if (is_flat_kind(x->extenttype, true))
            err = vmdk_emit_dm_table_flat(em.get());
        else if (is_sparse_kind(x->extenttype))
            err = vmdk_emit_dm_table_sparse(em.get());
        else
            err = errdesc_set_fmt(
                ERR_NOT_SUPPORTED, "extent %s of %s is of kind %s, which cannot be mapped",
                x->extentname, vmdkdesc->filename.c_str(), extenttype_name(x->extenttype));
        if (err)
            return err;
    }
    if (em->d.dm_offset == 0)
        return errdesc_set_fmt(EINVAL, "%s maps no sector", vmdkdesc->filename.c_str());
    return out->flush();
}
