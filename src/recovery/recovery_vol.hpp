#pragma once
// The file-level view of a disk: the `.volume` entry beside each descriptor,
// its mount directory under the volume path, and the translation of paths
// inside a view into paths below that directory.

#include "common/errdesc.hpp"
#include "common/types.hpp"

#include <sys/stat.h>

inline constexpr mode_t RECOVERY_MOUNT_DIR_MODE = 0755;

// Resolves the view path `path` into `out` (4096 bytes). While automatic
// mounting is on, a success holds one reference on the view for the caller.
errdesc_t *recovery_vol_access(const char *path, const char *mount_point, const char *scratch_path,
                               const char *volume_path, char *out, tol_bool_t ignore_tolcbt_files);
errdesc_t *recovery_vol_decrement_ref_cnt(const char *path);

// Prepares the `.volume` entry for the descriptor `name` in the scratch
// directory `dir_path`: its name (buffer of at least 255 bytes) and the
// attributes of its mount directory. 0, or -1 after logging why not.
int recovery_vol_create_entry(char *entry_name, struct stat *stbuf, const char *dir_path,
                              const char *scratch_path, const char *volume_path, const char *name);
errdesc_t *recovery_create_mount_point(const char *path, const char *mount_dir,
                                       const char *scratch_path);
