// Positioned reads of extent files and the checks of sparse and COWD headers.

#include "vmdk/extent_header.hpp"

#include <cerrno>
#include <cinttypes>
#include <unistd.h>

int vmdk_pread_exact(int fd, void *buf, size_t count, off_t offset)
{
    auto *p = static_cast<char *>(buf);
    size_t done = 0;
    while (done < count) {
        ssize_t n = pread(fd, p + done, count - done, offset + static_cast<off_t>(done));
        if (n < 0)
            return errno;
        if (n == 0)
            return VMDK_SHORT_READ;
        done += static_cast<size_t>(n);
    }
    return 0;
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
