#pragma once
// Classification of names by suffix, the view-path tests, and the translation
// of FUSE paths into the scratch tree (with movara.json relocation of missing
// flat files), plus the path normalisation used for link targets.
//
// Every function here is reentrant: it reads only its arguments, the options
// record (read-only after start-up) and the file system.

#include "common/errdesc.hpp"
#include "common/types.hpp"

#include <cstddef>

// A translated path: at most 4095 bytes plus the terminator.
struct path_buf_t {
    char path_buf[TOL_PATH_MAX];
};

enum recovery_file_type_t : int {
    RECOVERY_FILE_TYPE_UNKNOWN = 0,
    RECOVERY_FILE_TYPE_VMDK_FLAT = 1,
    RECOVERY_FILE_TYPE_VMDK_ASCII = 2,
    RECOVERY_FILE_TYPE_VMTX = 3,
    RECOVERY_FILE_TYPE_VMX = 4,
    RECOVERY_FILE_TYPE_VMDK_TOLCBT = 5,
    RECOVERY_FILE_TYPE_VMDK_VOLUME = 6,
    RECOVERY_FILE_TYPE_CFG = 7,
};

// The name of the relocation file in a machine's scratch directory.
inline constexpr const char *MOVARA_JSON_NAME = "movara.json";
// A relocation file holds one short member; anything larger is not one.
inline constexpr size_t MOVARA_JSON_MAX = 64 * 1024;

recovery_file_type_t recovery_infer_file_type(const char *name);
tol_bool_t recovery_is_visible_file(const char *name);
tol_bool_t recovery_is_mountable_vmdk_file(const char *path, const char *name);
tol_bool_t recovery_is_vmdk_volume_file(const char *path, const char *scratch_mount_point);
tol_bool_t recovery_is_vol_dir_top(const char *path);

errdesc_t *get_vol_path(char *vol_path, const char *path);
errdesc_t *get_ascii_vmdk_path(const char *flat_path, char *ascii_path, size_t ascii_path_size);
errdesc_t *get_tolcbt_vmdk_path(const char *flat_path, const char *scratch_path, char *tolcbt_path,
                                size_t tolcbt_path_size);

tol_bool_t recovery_follow_movara_link(const char *path, char *new_path, const char *scratch_path);

// Fills `buf` with the scratch path that serves the FUSE path `path` and
// returns `buf`. Returns null when the result would not fit in 4096 bytes;
// callers answer ENAMETOOLONG.
char *translate_path(const char *path, path_buf_t *buf);

// A new normalised copy of `in` (free() it), or null when out of memory.
char *normalize_path(const char *in);
void convert_to_relative_path(const char *cwd, char *buf, size_t len);
