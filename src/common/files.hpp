#pragma once
// Directory creation and removal, descriptor and stream closing with logging,
// whole-buffer positioned I/O that survives signals, FUSE unmount, mode checks.

#include "common/errdesc.hpp"

#include <cstdio>
#include <memory>
#include <sys/stat.h>
#include <sys/types.h>

int mkdirp(const char *pathname, mode_t mode);
errdesc_t *rmdirr(const char *pathname);

void tol_safe_close(int *fd);
void tol_close_on_exec();
void tol_safe_fclose(FILE **fp);

errdesc_t *tol_pread(int fd, void *vbuf, size_t count, off_t offset, size_t *rcntp);
errdesc_t *tol_pwrite(int fd, const void *vbuf, size_t count, off_t offset, size_t *rcntp);

errdesc_t *fuse_umount(const char *mnt_path);
void tns_check_statb(const char *what, const char *where, const struct stat *statb,
                     tol_bool_t verbose);

// A stream closed with tol_safe_fclose (drained, failures logged) when its
// owner goes away.
struct tol_fclose_deleter {
    void operator()(FILE *fp) const { tol_safe_fclose(&fp); }
};
using unique_file = std::unique_ptr<FILE, tol_fclose_deleter>;
