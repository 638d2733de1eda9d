#include "image/mbr.hpp"

#include "common/files.hpp"

#include <cerrno>
#include <cstring>

errdesc_t *read_sector(int fd, off_t byte_offset, size_t *length, void *buffer)
{
    // Positioned reads leave the descriptor's offset alone, so the caller's
    // descriptor may be shared with concurrent readers.
    if (byte_offset < 0)
        return errdesc_set(EINVAL);
    return tol_pread(fd, buffer, *length, byte_offset, length);
}

errdesc_t *read_mbr(int fd, mbr_t *mbr)
{
    std::memset(mbr, 0, sizeof(*mbr));
    size_t length = sizeof(*mbr);
    if (errdesc_t *err = read_sector(fd, 0, &length, mbr))
        return err;
    if (length < sizeof(*mbr))
        return errdesc_set(ENODATA);
    return nullptr;
}

bool is_valid_mbr(const mbr_t *mbr)
{
    return mbr->mbr_signature == MBR_SIGNATURE;
}
