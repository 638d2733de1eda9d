#include "image/mbr.hpp"

#include <cerrno>
#include <cstring>
#include <unistd.h>

errdesc_t *read_sector(int fd, off_t byte_offset, size_t *length, void *buffer)
{
    // Positioned reads leave the descriptor's offset alone, so the caller's
    // descriptor may be shared with concurrent readers.
    if (byte_offset < 0)
        return errdesc_set(EINVAL);
    auto *out = static_cast<char *>(buffer);
    size_t done = 0;
    while (done < *length) {
        ssize_t n = pread(fd, out + done, *length - done, byte_offset + static_cast<off_t>(done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errdesc_set(errno);
        }
        if (n == 0)
            break;
        done += static_cast<size_t>(n);
    }
    *length = done;
    return nullptr;
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
