#pragma once
// The eleven FUSE handlers of recovery_fs and the attribute and statistics
// functions behind them. Handlers run concurrently on FUSE worker threads.

#include "common/errdesc.hpp"
#include "common/types.hpp"

#include <cstdint>
#include <fuse.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

inline constexpr size_t RECOVERY_DEBUG_PATH_SIZE = 8192;

// Debug counters: the last path seen by getattr, open and release, and how
// many consecutive times it came again. They only feed the log.
extern char prev_getattr_path[RECOVERY_DEBUG_PATH_SIZE];
extern int prev_getattr_path_count;
extern char prev_open_path[RECOVERY_DEBUG_PATH_SIZE];
extern int prev_open_path_count;
extern char prev_close_path[RECOVERY_DEBUG_PATH_SIZE];
extern int prev_close_path_count;

uint32_t fs_ino_hash(const char *path);

// Passed as the priority of a failure that the handler answers without
// logging (the client's answer is all that the failure means).
inline constexpr int RECOVERY_FS_UNLOGGED = -1;

// The one place where handlers turn a failure into their answer: logs `err`
// once at `priority` (unless RECOVERY_FS_UNLOGGED) and returns the negated
// errno. The system's own numbers (1000 and up) and a child's exit code mean
// nothing to the kernel and become EIO.
int recovery_fs_error(errdesc_t *err, int priority);

errdesc_t *recovery_fs_getattr_impl(const char *path, const char *shadow_path, struct stat *stbuf,
                                    tol_bool_t follow_link, const char *scratch_path);
errdesc_t *recovery_fs_statvfs_impl(const char *path, const char *shadow_path,
                                    struct statvfs *stbuf);

int recovery_fs_getattr(const char *path, struct stat *stbuf);
int recovery_fs_readlink(const char *path, char *buf, size_t size);
int recovery_fs_open(const char *path, struct fuse_file_info *fi);
int recovery_fs_read(const char *path, char *buf, size_t size, off_t offset,
                     struct fuse_file_info *fi);
// read with the reply as buffers: the device runs of a flat image go to the
// kernel as descriptor pieces (spliced, not copied through this process);
// everything else is read into memory as `read` does.
int recovery_fs_read_buf(const char *path, struct fuse_bufvec **bufp, size_t size, off_t offset,
                         struct fuse_file_info *fi);
int recovery_fs_statfs(const char *path, struct statvfs *stbuf);
int recovery_fs_release(const char *path, struct fuse_file_info *fi);
int recovery_fs_getxattr(const char *path, const char *name, char *value, size_t size);
int recovery_fs_listxattr(const char *path, char *list, size_t size);
int recovery_fs_opendir(const char *path, struct fuse_file_info *fi);
int recovery_fs_readdir(const char *path, void *buf, fuse_fill_dir_t filler, off_t offset,
                        struct fuse_file_info *fi);
int recovery_fs_releasedir(const char *path, struct fuse_file_info *fi);
