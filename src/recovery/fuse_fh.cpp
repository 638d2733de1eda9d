// Per-open FUSE file handles.

#include "recovery/fuse_fh.hpp"

#include <cstdlib>
#include <cstring>

bool fuse_fh_valid(const fuse_fh_t *fh)
{
    return fh && fh->magic == FUSE_FH_MAGIC && fh->version == FUSE_FH_VERSION;
}

fuse_fh_t *fuse_fh_new(int fd, const flat_image *image, const char *path,
                       const char *extended_error_path)
{
    if ((fd < 0 && !image) || !path)
        return nullptr;
    // calloc/free because the handle travels through FUSE as a bare integer
    // and its release path is fuse_fh_destroy, never a destructor.
    auto *fh = static_cast<fuse_fh_t *>(calloc(1, sizeof(fuse_fh_t)));
    if (!fh)
        return nullptr;
    fh->magic = FUSE_FH_MAGIC;
    fh->version = FUSE_FH_VERSION;
    fh->fd = fd;
    fh->image = image;
    fh->path = strdup(path);
    fh->extended_error_path = extended_error_path ? strdup(extended_error_path) : nullptr;
    if (!fh->path || (extended_error_path && !fh->extended_error_path)) {
        fuse_fh_destroy(&fh);
        return nullptr;
    }
    return fh;
}

void fuse_fh_destroy(fuse_fh_t **fhp)
{
    if (!fhp || !*fhp)
        return;
    fuse_fh_t *fh = *fhp;
    *fhp = nullptr;
    if (!fuse_fh_valid(fh))
        abort(); // a destroyed or foreign record: never happens in a correct program
    free(fh->path);
    free(fh->extended_error_path);
    memset(fh, 0, sizeof(*fh));
    free(fh);
}
