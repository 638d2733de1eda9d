// recovery_fs: mounts a read-only view of the appliance's scratch tree.

#include "common/files.hpp"
#include "common/logging.hpp"
#include "recovery/crash.hpp"
#include "recovery/recovery_cookie.hpp"
#include "recovery/recovery_ops.hpp"
#include "recovery/recovery_options.hpp"
#include "recovery/threads.hpp"

#include <cstdio>
#include <cstdlib>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <fuse.h>
#include <libgen.h>
#include <string>
#include <unistd.h>

namespace
{

const struct fuse_operations recovery_fs_oper = [] {
    struct fuse_operations oper = {};
    oper.getattr = recovery_fs_getattr;
    oper.readlink = recovery_fs_readlink;
    oper.open = recovery_fs_open;
    oper.read = recovery_fs_read;
    oper.read_buf = recovery_fs_read_buf;
    oper.statfs = recovery_fs_statfs;
    oper.release = recovery_fs_release;
    oper.getxattr = recovery_fs_getxattr;
    oper.listxattr = recovery_fs_listxattr;
    oper.opendir = recovery_fs_opendir;
    oper.readdir = recovery_fs_readdir;
    oper.releasedir = recovery_fs_releasedir;
    return oper;
}();

constexpr int DIR_ACCESS_MODE = R_OK | X_OK;
constexpr mode_t DIR_CREATE_MODE = 0744;

// Makes sure that `path` is a searchable directory, creating it if needed.
bool prepare_directory(const char *path)
{
    std::string probe = std::string(path) + "/.";
    if (access(probe.c_str(), DIR_ACCESS_MODE) == 0)
        return true;
    if (mkdirp(path, DIR_CREATE_MODE) == 0)
        return true;
    perror(path);
    return false;
}

// The absolute form of a path, for comparing it with loop devices' backing
// files. A path that cannot be resolved itself (not made yet, or the dead
// mount of a killed run, which answers ENOTCONN) keeps its last name below
// its resolved directory; the path itself when that fails too.
std::string absolute(const char *path)
{
    char buf[PATH_MAX];
    if (realpath(path, buf))
        return buf;
    std::string dir_copy(path), base_copy(path);
    const char *dir = dirname(dir_copy.data());
    const char *base = basename(base_copy.data());
    if (!realpath(dir, buf))
        return path;
    return std::string(buf) + (buf[1] ? "/" : "") + base;
}

} // namespace

void recovery_fs_init()
{
    evict_thr_start();
    controller_thr_start();
}

// A client that still held a file inside a view when the loop ended never
// sends its release: our descriptor of that file would keep the guest file
// system, and so the view's devices, busy after the lazy unmount. The loop
// has ended, so no handler uses these descriptors any more.
void close_view_files()
{
    char volumes[PATH_MAX];
    if (!realpath(fs_options.recovery_volumes_mount_point, volumes))
        return;
    const std::string below = std::string(volumes) + "/";
    DIR *dir = opendir("/proc/self/fd");
    if (!dir)
        return;
    const int own = dirfd(dir);
    while (const struct dirent *entry = readdir(dir)) {
        const int fd = atoi(entry->d_name);
        char target[PATH_MAX];
        const std::string link = std::string("/proc/self/fd/") + entry->d_name;
        const ssize_t n = readlink(link.c_str(), target, sizeof(target) - 1);
        if (entry->d_name[0] == '.' || fd == own || n <= 0)
            continue;
        target[n] = '\0';
        if (std::strncmp(target, below.c_str(), below.size()) == 0) {
            ts_printf("closing %s, still open at shutdown\n", target);
            close(fd);
        }
    }
    closedir(dir);
}

void recovery_fs_shutdown()
{
    // Both threads have ended when their shutdown returns, so the final
    // release never overlaps an eviction pass.
    controller_thr_shutdown();
    evict_thr_shutdown();
    close_view_files();
    recovery_fs_release_all();
}

// The argument vector handed to FUSE, freed on every way out of main.
class fuse_args_owner
{
  public:
    fuse_args_owner(int argc, char *argv[]) : args_(FUSE_ARGS_INIT(argc, argv)) {}
    ~fuse_args_owner() { fuse_opt_free_args(&args_); }
    fuse_args_owner(const fuse_args_owner &) = delete;
    fuse_args_owner &operator=(const fuse_args_owner &) = delete;
    struct fuse_args *get() { return &args_; }

  private:
    struct fuse_args args_;
};

int main(int argc, char *argv[])
{
    fuse_args_owner owner(argc, argv);
    struct fuse_args &args = *owner.get();
    if (fuse_opt_parse(&args, &fs_options, recovery_fs_opts, recovery_fs_parse_opt) == -1) {
        fprintf(stderr, "Invalid arguments\n");
        usage(argv[0]);
        return 1;
    }

    // Logging keeps the name for the whole run (syslog identity, log file).
    std::string self(argv[0]);
    const std::string name = basename(self.data());
    toldesc_t toldesc = {name.c_str(), fs_options.log_dir};
    tol_startup(&toldesc);

    if (!fs_options.recovery_mount_point) {
        fprintf(stderr, "Mount point must be provided\n");
        usage(argv[0]);
        return 1;
    }
    if (fs_options.show_version) {
        printf("recovery_fs version %s\n", recovery_fs_version);
        return 0;
    }
    if (fs_options.show_help) {
        usage(argv[0]);
        return 0;
    }
    if (!fs_options.is_readonly) {
        fprintf(stderr, "The ``--writable'' option is not currently supported.\n");
        return 1;
    }

    fuse_opt_add_arg(&args, "-oro");
    // Image data is spliced from the device to the kernel, not copied here.
    // Not moved: a moved page leaves the device's page cache, and the next
    // open (which starts with an empty cache of its own) reads it again.
    fuse_opt_add_arg(&args, "-osplice_write");

    // What an earlier run left behind goes before anything is prepared.
    crash_scope_t scope{absolute(fs_options.scratch_mount_point),
                        absolute(fs_options.recovery_mount_point),
                        absolute(fs_options.recovery_volumes_mount_point)};
    recovery_fs_crash_recover(fs_options.recovery_volumes_mount_point, scope);
    recovery_fs_crash_recover(fs_options.recovery_mount_point, scope);
    // From here on, what this run makes is recorded for the next start's recovery.
    if (errdesc_t *err = made_record_enable())
        errdesc_log(err, TOL_PRIO_ERROR);

    if (!prepare_directory(fs_options.scratch_mount_point))
        return 1;
    if (!prepare_directory(fs_options.recovery_mount_point))
        return 1;
    std::string volumes_probe = std::string(fs_options.recovery_volumes_mount_point) + "/.";
    if (access(volumes_probe.c_str(), DIR_ACCESS_MODE) == 0) {
        if (errdesc_t *err = rmdirr(fs_options.recovery_volumes_mount_point)) {
            (void)err; // rmdirr has logged the cause
            ts_printf("ERROR: Could not remove contents of '%s'\n",
                      fs_options.recovery_volumes_mount_point);
        }
    }

    recovery_fs_init();
    fuse_main_real(args.argc, args.argv, &recovery_fs_oper, sizeof(recovery_fs_oper), nullptr);

    recovery_fs_shutdown();
    tol_exit();
    return 0;
}
