// Options record, option table, option callback and usage text.

#include "recovery/recovery_options.hpp"

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace
{

char default_scratch_mount_point[] = "/scratch";
char default_volumes_mount_point[] = "/var/tolvane/recover";

// Read-only, the appliance's directories, everything else off.
constexpr recovery_fs_options default_options()
{
    return recovery_fs_options{
        .recovery_mount_point = nullptr,
        .scratch_mount_point = default_scratch_mount_point,
        .recovery_volumes_mount_point = default_volumes_mount_point,
        .log_dir = nullptr,
        .hide_image_files = TOL_FALSE,
        .hide_file_level_view = TOL_FALSE,
        .ignore_tolcbt_files = TOL_FALSE,
        .is_readonly = TOL_TRUE,
        .show_help = TOL_FALSE,
        .show_version = TOL_FALSE,
    };
}

#define RECOVERY_FS_OPT(t, field, v)                                                               \
    {                                                                                              \
        t, offsetof(recovery_fs_options, field), v                                                 \
    }

} // namespace

constinit recovery_fs_options fs_options = default_options();

const char *const recovery_fs_version = "0.1 09/10/2010";

const struct fuse_opt recovery_fs_opts[] = {
    RECOVERY_FS_OPT("-L %s", log_dir, 0),
    RECOVERY_FS_OPT("--log-dir %s", log_dir, 0),
    RECOVERY_FS_OPT("-P %s", scratch_mount_point, 0),
    RECOVERY_FS_OPT("--scratch-path=%s", scratch_mount_point, 0),
    RECOVERY_FS_OPT("--volume-path=%s", recovery_volumes_mount_point, 0),
    RECOVERY_FS_OPT("--hide-image-files", hide_image_files, 1),
    RECOVERY_FS_OPT("--hide-file-level-view", hide_file_level_view, 1),
    RECOVERY_FS_OPT("--ignore-tolcbt-files", ignore_tolcbt_files, 1),
    RECOVERY_FS_OPT("-W", is_readonly, 0),
    RECOVERY_FS_OPT("--writable", is_readonly, 0),
    RECOVERY_FS_OPT("-h", show_help, 1),
    RECOVERY_FS_OPT("--help", show_help, 1),
    RECOVERY_FS_OPT("-V", show_version, 1),
    RECOVERY_FS_OPT("--version", show_version, 1),
    FUSE_OPT_END,
};

void recovery_fs_options_reset(recovery_fs_options *opts)
{
    // Every string that is not a static default is a parser copy.
    for (char **field : {&opts->recovery_mount_point, &opts->scratch_mount_point,
                         &opts->recovery_volumes_mount_point, &opts->log_dir}) {
        if (*field != default_scratch_mount_point && *field != default_volumes_mount_point)
            free(*field);
    }
    *opts = default_options();
}

void usage_to(FILE *out, const char *progname)
{
    fprintf(out,
            "usage: %s [-L log-dir] [-P scratch-mount-point] [-W] [-D] mountpoint [options]\n"
            "\n"
            "   Exports the recovery file system\n"
            "\n"
            "general options:\n"
            "   -L log-dir             log directory\n"
            "   -P path                scratch-mount-point (default: /scratch)\n"
            "   --scratch-path=path    scratch-mount-point (default: /scratch)\n"
            "   --volume-path=path     volume-mount-point (default: /var/tolvane/recover)\n"
            "   --hide-image-files     show only file level view ('.volume' directories only)\n"
            "   --hide-file-level-view show only image files (no file-level view)\n"
            "   --ignore-tolcbt-files  ignore \"-tolcbt\" files\n"
            "   -W --writable          allow write operations\n"
            "   -o opt,[opt...]        (FUSE) mount options\n"
            "   -h  --help             print help\n"
            "   -V  --version          print version\n"
            "\n",
            progname);
}

void usage(const char *progname)
{
    usage_to(stdout, progname);
}

int recovery_fs_parse_opt(void *data, const char *arg, int key, struct fuse_args *outargs)
{
    auto *opts = static_cast<recovery_fs_options *>(data);
    switch (key) {
    case FUSE_OPT_KEY_NONOPT:
        // The first non-option argument is the mount point; later ones are
        // left for FUSE to judge.
        if (!opts->recovery_mount_point)
            opts->recovery_mount_point = strdup(arg);
        return 1;
    case FUSE_OPT_KEY_OPT:
        return 1; // FUSE's own options (-o, -f, -d, -s ...) pass through
    default:
        // The table has no key-only templates, so this is a guard.
        fprintf(stderr, "Unknown option: %s\n", arg);
        usage(outargs && outargs->argc > 0 ? outargs->argv[0] : "recovery_fs");
        exit(1);
    }
}
