// Positioned reads of extent files and the checks of sparse and COWD headers.

#include "vmdk/extent_header.hpp"

#include "common/files.hpp"

#include <cerrno>
#include <cinttypes>
#include <unistd.h>

int vmdk_pread_exact(int fd, void *buf, size_t count, off_t offset)
{
    size_t got = 0;
    if (errdesc_t *err = tol_pread(fd, buf, count, offset, &got))
        return err->number;
    return got < count ? VMDK_SHORT_READ : 0;
}

errdesc_t *vmdk_short_read_error(const char *name, const char *what, size_t count, off_t offset)
{
    return errdesc_set_fmt(EIO, "%s: file ends before the end of its %s (%zu bytes at offset %jd)",
                           name, what, count, static_cast<intmax_t>(offset));
}

errdesc_t *vmdk_check_sparsehdr(const sparsehdr_t *hdr, const char *what)
{
    if (hdr->magic != SPARSE_MAGIC)
        return errdesc_set_fmt(EINVAL, "%s: not a hosted sparse extent (magic 0x%08x)", what,
                               hdr->magic);
    if (hdr->version != SPARSE_VERSION)
        return errdesc_set_fmt(EINVAL, "%s: unsupported hosted sparse extent version %u", what,
                               hdr->version);
    return nullptr;
}

errdesc_t *vmdk_check_cowdiskhdr(const cowdiskhdr_t *hdr, const char *what)
{
    if (hdr->magic != COWD_MAGIC)
        return errdesc_set_fmt(EINVAL, "%s: not a COWD extent (magic 0x%08x)", what, hdr->magic);
    if (hdr->version != COWD_VERSION)
        return errdesc_set_fmt(EINVAL, "%s: unsupported COWD extent version %u", what,
                               hdr->version);
    if (hdr->flags != COWD_FLAGS)
        return errdesc_set_fmt(EINVAL, "%s: unsupported COWD extent flags %u", what, hdr->flags);
    return nullptr;
}
