#pragma once
// The command-line options of recovery_fs: one global record, the FUSE option
// template table that fills it, the option callback and the usage text.

#include "common/types.hpp"

#include <cstdio>
#include <fuse.h>
#include <fuse_opt.h>

// Filled by fuse_opt_parse, which writes `char *` and `int` slots by offset:
// keep the record standard-layout. String fields point at the static
// defaults or at copies made by the parser; they live for the whole run.
struct recovery_fs_options {
    char *recovery_mount_point;
    char *scratch_mount_point;
    char *recovery_volumes_mount_point;
    char *log_dir;
    tol_bool_t hide_image_files;
    tol_bool_t hide_file_level_view;
    tol_bool_t ignore_tolcbt_files;
    tol_bool_t is_readonly;
    tol_bool_t show_help;
    tol_bool_t show_version;
};

static_assert(sizeof(tol_bool_t) == sizeof(int), "fuse_opt stores option values as int");

extern recovery_fs_options fs_options;
extern const char *const recovery_fs_version;
extern const struct fuse_opt recovery_fs_opts[];

// Frees the parser's copies and puts every field back to its default. Only
// for records filled by the parser (tests; main keeps them for the run).
void recovery_fs_options_reset(recovery_fs_options *opts);

void usage(const char *progname);
// Writes the usage text to `out`; `usage` is this on standard output.
void usage_to(FILE *out, const char *progname);

int recovery_fs_parse_opt(void *data, const char *arg, int key, struct fuse_args *outargs);
