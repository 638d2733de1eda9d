#pragma once
// The handle that an open file carries through FUSE from open to release.
// A flat image's handle reads through the cookie's image, which it does not
// own: the cookie cannot be evicted while the handle holds its reference.

#include <cstdint>

class flat_image;

inline constexpr uint32_t FUSE_FH_MAGIC = 0xF0005500;
inline constexpr uint32_t FUSE_FH_VERSION = 1;

struct fuse_fh_t {
    uint32_t magic;
    uint32_t version;
    int fd;                  // owned by the caller, not by the handle; -1 for an image
    const flat_image *image; // a flat image's devices, or null
    char *path;
    char *extended_error_path; // may be null
    // The kernel may keep the pages it cached for earlier opens of the file:
    // they came from this very image (set by the opener, false by default).
    bool keep_cache;
};

// A new handle that reads `fd` (at least 0) or, when `fd` is -1, `image`;
// copies both paths. Null when out of memory or given nothing to read.
fuse_fh_t *fuse_fh_new(int fd, const flat_image *image, const char *path,
                       const char *extended_error_path);
// Frees the handle and its two strings and clears the caller's pointer. It
// closes neither `fd` nor `image`, which belong to the caller.
void fuse_fh_destroy(fuse_fh_t **fh);
// Whether `fh` is a live handle (magic and version intact).
bool fuse_fh_valid(const fuse_fh_t *fh);
