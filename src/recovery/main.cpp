// recovery_fs: mounts a read-only view of the appliance's scratch tree.

#include "common/files.hpp"
#include "common/logging.hpp"
#include "common/spawn.hpp"
#include "common/unique_fd.hpp"
#include "recovery/crash.hpp"
#include "recovery/recovery_cookie.hpp"
#include "recovery/recovery_ops.hpp"
#include "recovery/recovery_options.hpp"
#include "recovery/threads.hpp"

#include <atomic>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <chrono>
#include <dirent.h>
#include <fcntl.h>
#include <fuse.h>
#include <fuse_lowlevel.h>
#include <libgen.h>
#include <poll.h>
#include <string>
#include <thread>
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

// The absolute form of every path option: libfuse's daemonizing changes to
// "/", so a relative path would name something else in the serving process.
// Kept for the whole run, as the options point at them.
void make_absolute(char *&option, std::string &keep)
{
    if (!option)
        return;
    keep = absolute(option);
    if (keep[0] != '/') {
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof(cwd)))
            keep = std::string(cwd) + "/" + keep;
    }
    option = keep.data();
}

struct absolute_options_t {
    std::string mount_point, scratch, volumes, log_dir;
} absolute_options;

// How long shutdown waits for each thread. The controller thread touches no
// cookie, so shutdown goes on without it; it ends a second after the script
// that it may be running has had its grace. The eviction thread must have
// ended before the final release.
constexpr int CONTROLLER_JOIN_SECONDS = SPAWN_SHUTDOWN_GRACE_MS / 1000 + 1;
constexpr int EVICT_JOIN_SECONDS = 5;

// Watches the FUSE session from the serving process, so that shutdown begins
// the moment the mount goes or a signal ends the loop: the main thread then
// still waits in the loop for handlers that may be running programs, which
// get only their short grace from then on. Started with the threads, stopped
// when the loop has returned, before libfuse closes the device and frees the
// session.
//
// After a signal the connection stays up while handlers finish, and nothing
// serves it any more: a handler that opens a file through this very mount (a
// view's image) would wait for ever. So when the loop has not ended soon
// after the grace, the watch severs the connection: the device descriptor is
// pointed at /dev/null, the kernel ends the connection with its last
// descriptor, and such an open fails. libfuse then closes the descriptor and
// unmounts as it does after any signal. (The descriptor is still libfuse's
// own then: the watch has ended before libfuse closes it.)
class session_watch_t
{
  public:
    session_watch_t() = default;
    session_watch_t(const session_watch_t &) = delete;
    session_watch_t &operator=(const session_watch_t &) = delete;
    ~session_watch_t() { stop(); }

    void start(struct fuse *fuse)
    {
        struct fuse_chan *chan = fuse_session_next_chan(fuse_get_session(fuse), nullptr);
        if (!chan)
            return;
        fuse_ = fuse;
        fd_ = fuse_chan_fd(chan);
        thread_ = std::thread([this] { run(); });
    }

    void stop()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
    }

  private:
    static constexpr int POLL_MS = 200;
    static constexpr int SEVER_AFTER_MS = SPAWN_SHUTDOWN_GRACE_MS + 1000;

    // Whether the kernel has ended the connection (unmounted).
    bool connection_ended(int timeout_ms) const
    {
        struct pollfd pfd = {fd_, 0, 0};
        return poll(&pfd, 1, timeout_ms) > 0 && (pfd.revents & (POLLERR | POLLHUP | POLLNVAL));
    }

    void run()
    {
        bool ended = false;
        while (!stop_ && !ended && !fuse_exited(fuse_))
            ended = connection_ended(POLL_MS);
        recovery_begin_shutdown();
        for (int waited = 0; !stop_ && waited < SEVER_AFTER_MS; waited += POLL_MS)
            std::this_thread::sleep_for(std::chrono::milliseconds(POLL_MS));
        if (stop_ || connection_ended(0))
            return;
        ts_printf("the loop has not ended %d ms into shutdown: severing the connection\n",
                  SEVER_AFTER_MS);
        unique_fd null_fd(open("/dev/null", O_RDWR | O_CLOEXEC));
        if (null_fd.get() >= 0)
            dup2(null_fd.get(), fd_);
    }

    struct fuse *fuse_ = nullptr;
    int fd_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
} session_watch;

// Signals blocked in the threads made while it lives, so that libfuse's
// handlers run on the main thread, which is the one that its loop wakes.
class signals_blocked_t
{
  public:
    signals_blocked_t()
    {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, &saved_);
    }
    ~signals_blocked_t() { pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }
    signals_blocked_t(const signals_blocked_t &) = delete;
    signals_blocked_t &operator=(const signals_blocked_t &) = delete;

  private:
    sigset_t saved_;
};

} // namespace

// Runs in the serving process: without -f, libfuse has forked by now, and
// threads made before that fork would have stayed in the launcher, which
// exits.
void recovery_fs_init(struct fuse *fuse)
{
    // Daemonizing pointed standard output and error at /dev/null.
    if (fs_options.log_dir)
        logrotate_hndlr(SIGHUP);
    signals_blocked_t blocked;
    evict_thr_start();
    controller_thr_start();
    session_watch.start(fuse);
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

// False when a thread had to be left running.
bool recovery_fs_shutdown()
{
    recovery_begin_shutdown();
    const bool controller_ended = controller_thr_shutdown(CONTROLLER_JOIN_SECONDS);
    const bool evict_ended = evict_thr_shutdown(EVICT_JOIN_SECONDS);
    close_view_files();
    if (evict_ended)
        recovery_fs_release_all();
    else
        ts_printf("ERROR: an eviction pass is still running: images and views left in place\n");
    return controller_ended && evict_ended;
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
    make_absolute(fs_options.log_dir, absolute_options.log_dir);
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

    make_absolute(fs_options.recovery_mount_point, absolute_options.mount_point);
    make_absolute(fs_options.scratch_mount_point, absolute_options.scratch);
    make_absolute(fs_options.recovery_volumes_mount_point, absolute_options.volumes);

    // fuse_main in its three parts: mounting (and, without -f, daemonizing),
    // the loop, unmounting. The threads start between the first two, in the
    // process that serves; the session watch ends between the last two.
    char *mountpoint = nullptr;
    int multithreaded = 0;
    struct fuse *fuse = fuse_setup(args.argc, args.argv, &recovery_fs_oper,
                                   sizeof(recovery_fs_oper), &mountpoint, &multithreaded, nullptr);
    if (fuse) {
        recovery_fs_init(fuse);
        multithreaded ? fuse_loop_mt(fuse) : fuse_loop(fuse);
        session_watch.stop();
        fuse_teardown(fuse, mountpoint);
    }

    const bool threads_ended = recovery_fs_shutdown();
    tol_exit();
    if (!threads_ended) {
        // A thread still running must not meet the destructors of exit.
        fflush(nullptr);
        _exit(0);
    }
    return 0;
}
