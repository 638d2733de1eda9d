#pragma once
// The handle that an open image file carries through FUSE from open to
// release. It points at the cookie's optimised device without owning it, and
// may share the cookie's override block (the hidden recovery-header sector).

#include "common/types.hpp"

#include <cstdint>
#include <sys/types.h>

struct tol_dev_desc_t; // a device opened with its in-use bitmap

inline constexpr uint32_t FUSE_FH_MAGIC = 0xF0005500;
inline constexpr uint32_t FUSE_FH_VERSION = 1;

// A block of bytes that reads in place of the image's content at `offset`.
struct fuse_fh_buffer_t {
    off_t offset;
    uint32_t size;
    char *buffer; // null when there is no override
};

struct fuse_fh_t {
    uint32_t magic;
    uint32_t version;
    tol_bool_t optimize; // reads go through the in-use bitmap (exactly when pdev is set)
    int fd;              // owned by the caller, not by the handle
    tol_dev_desc_t *pdev;
    fuse_fh_buffer_t buffered_data;
    char *path;
    char *extended_error_path; // may be null
};

// A new handle for `fd` (at least 0); copies both paths. Null when out of
// memory or when `fd` is negative.
fuse_fh_t *fuse_fh_new(int fd, tol_dev_desc_t *pdev, tol_bool_t optimize, const char *path,
                       const char *extended_error_path);
// Frees the handle and its two strings and clears the caller's pointer. It
// closes neither `fd` nor `pdev`, which belong to the caller.
void fuse_fh_destroy(fuse_fh_t **fh);
// Whether `fh` is a live handle (magic and version intact).
bool fuse_fh_valid(const fuse_fh_t *fh);
