// Child processes: fork, pipes, exec without a shell, and waiting with a
// time limit.

#include "common/spawn.hpp"

#include "common/files.hpp"
#include "common/strings.hpp"
#include "common/unique_fd.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <thread>
#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

pthread_once_t sigchld_once = PTHREAD_ONCE_INIT;

int64_t monotonic_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// The children started here and not yet collected, and the shutdown of the
// process. Collecting a child and signalling one both happen under the lock,
// so a process id is never signalled once it was collected (and possibly
// reused). Children that others start (libfuse's unmount helper) are not in
// it and are never signalled.
class child_table
{
  public:
    // Never destroyed: the shutdown's enforcer may still run at exit.
    static child_table &get()
    {
        static child_table *table = new child_table;
        return *table;
    }

    void add(pid_t pid, bool group)
    {
        std::lock_guard lock(mutex_);
        children_[pid] = {monotonic_ms(), group, false};
    }

    // waitpid without blocking; a collected child is forgotten. `*killed`
    // tells whether the shutdown's enforcer had killed it.
    pid_t collect(pid_t pid, int *status, int options, bool *killed)
    {
        std::lock_guard lock(mutex_);
        pid_t r = waitpid(pid, status, options | WNOHANG);
        auto it = children_.find(pid);
        *killed = it != children_.end() && it->second.killed;
        if (r == pid && it != children_.end())
            children_.erase(it);
        return r;
    }

    void kill_child(pid_t pid)
    {
        std::lock_guard lock(mutex_);
        auto it = children_.find(pid);
        if (it == children_.end())
            return;
        signal_locked(pid, it->second);
    }

    // When the wait for `pid` must end because of the shutdown (INT64_MAX
    // when none has begun).
    int64_t shutdown_end(pid_t pid)
    {
        std::lock_guard lock(mutex_);
        auto it = children_.find(pid);
        return end_locked(it == children_.end() ? monotonic_ms() : it->second.started);
    }

    void begin_shutdown()
    {
        std::lock_guard lock(mutex_);
        if (shutdown_at_ != 0)
            return;
        shutdown_at_ = monotonic_ms();
        // The enforcer kills what nobody waits for: a child whose caller is
        // still reading its output.
        if (!enforcer_running_) {
            enforcer_running_ = true;
            std::thread([this] { enforce(); }).detach();
        }
    }

    bool shutting_down()
    {
        std::lock_guard lock(mutex_);
        return shutdown_at_ != 0;
    }

    void reset_shutdown()
    {
        std::unique_lock lock(mutex_);
        shutdown_at_ = 0;
        // The enforcer sees it within one round; wait, so that a test that
        // begins again gets a fresh one.
        while (enforcer_running_) {
            lock.unlock();
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            lock.lock();
        }
    }

  private:
    struct child_t {
        int64_t started;
        bool group;
        bool killed;
    };

    int64_t end_locked(int64_t started) const
    {
        if (shutdown_at_ == 0)
            return INT64_MAX;
        int64_t end = started < shutdown_at_ ? shutdown_at_ + SPAWN_SHUTDOWN_GRACE_MS
                                             : started + SPAWN_SHUTDOWN_CAP_MS;
        return std::min(end, std::max(shutdown_at_ + SPAWN_SHUTDOWN_BUDGET_MS,
                                      started + SPAWN_SHUTDOWN_FLOOR_MS));
    }

    static void signal_locked(pid_t pid, child_t &child)
    {
        if (child.group)
            kill(-pid, SIGKILL);
        kill(pid, SIGKILL);
        child.killed = true;
    }

    void enforce()
    {
        std::unique_lock lock(mutex_);
        while (shutdown_at_ != 0) {
            const int64_t now = monotonic_ms();
            for (auto &[pid, child] : children_) {
                if (!child.killed && now >= end_locked(child.started))
                    signal_locked(pid, child);
            }
            lock.unlock();
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            lock.lock();
        }
        enforcer_running_ = false;
    }

    std::mutex mutex_;
    std::map<pid_t, child_t> children_;
    int64_t shutdown_at_ = 0;
    bool enforcer_running_ = false;
};

void sigchld_noop(int) {}

// Children must stay waitable even if someone set SIGCHLD to SIG_IGN, and
// their end should wake sleepers in spawn_wait. SA_RESTART keeps the signal
// from cutting short the reads of other threads (a stream read that fails
// with EINTR would look like end of output); sleeps are woken regardless.
void install_sigchld_handler()
{
    struct sigaction sa = {};
    sa.sa_handler = sigchld_noop;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGCHLD, &sa, nullptr);
}

// The command line text: every element followed by one blank.
bool build_cmdline(const char *const cmd[], char *buf, size_t buflen)
{
    size_t used = 0;
    buf[0] = '\0';
    for (int i = 0; cmd[i]; i++) {
        size_t len = strlen(cmd[i]);
        if (used + len + 1 >= buflen)
            return false;
        memcpy(buf + used, cmd[i], len);
        buf[used + len] = ' ';
        used += len + 1;
        buf[used] = '\0';
    }
    return true;
}

void close_end(int &fd)
{
    if (fd >= 0)
        tol_safe_close(&fd);
}

// Runs in the forked child: only system calls from here on.
[[noreturn]] void run_child(const char *const cmd[], int options, int out[2], int in[2],
                            char *const envp[])
{
    if (options & SPAWN_GROUP)
        setpgid(0, 0);
    if (options & SPAWN_QUIET) {
        int null_fd = open("/dev/null", O_WRONLY);
        if (null_fd >= 0 && null_fd != STDERR_FILENO) {
            dup2(null_fd, STDERR_FILENO);
            close(null_fd);
        }
    }
    if (out[0] >= 0)
        close(out[0]);
    if (out[1] >= 0 && out[1] != STDOUT_FILENO && dup2(out[1], STDOUT_FILENO) < 0)
        _exit(errno);
    if (in[1] >= 0)
        close(in[1]);
    if (in[0] >= 0 && in[0] != STDIN_FILENO && dup2(in[0], STDIN_FILENO) < 0)
        _exit(errno);
    tol_close_on_exec();

    // A FUSE worker thread blocks every signal and FUSE ignores SIGPIPE; the
    // program should start with the defaults.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGPIPE, SIG_DFL);

    char *const *argv = const_cast<char *const *>(cmd);
    if (envp)
        execve(cmd[0], argv, envp);
    else
        execv(cmd[0], argv);
    _exit(errno);
}

// Closes the relayed descriptors in the caller, exactly once, whatever the
// outcome of the call.
struct relay_guard {
    int *rfd = nullptr;
    int *wfd = nullptr;
    ~relay_guard()
    {
        if (rfd)
            close_end(*rfd);
        if (wfd)
            close_end(*wfd);
    }
};

} // namespace

errdesc_t *spawn_env(const char *const cmd[], int options, int *rfd, int *wfd, pid_t *pid,
                     int timeout, char *const envp[])
{
    pthread_once(&sigchld_once, install_sigchld_handler);

    relay_guard relay;
    if (options & SPAWN_RELAY) {
        relay.rfd = rfd;
        relay.wfd = wfd;
    }
    if (pid)
        *pid = -1;

    if (!cmd || !cmd[0])
        return errdesc_set_str(EINVAL, "spawn: empty command");
    char cmdline[SPAWN_CMDLINE_MAX];
    if (!build_cmdline(cmd, cmdline, sizeof(cmdline)))
        return errdesc_set_str(E2BIG, cmdline);

    int out[2] = {-1, -1}; // child's stdout -> caller
    int in[2] = {-1, -1};  // caller -> child's stdin
    if (options & SPAWN_READ) {
        if (pipe(out) != 0)
            return errdesc_set_str(errno, cmdline);
    } else if (options & SPAWN_WRITE) {
        if (pipe(in) != 0)
            return errdesc_set_str(errno, cmdline);
    }
    if (options & SPAWN_RELAY) {
        if (rfd)
            out[1] = *rfd;
        if (wfd)
            in[0] = *wfd;
    }

    pid_t child = fork();
    if (pid)
        *pid = child;
    if (child == 0)
        run_child(cmd, options, out, in, envp);
    if (child > 0) {
        // Also here: a kill of the group must not miss a child that has not
        // run yet.
        if (options & SPAWN_GROUP)
            setpgid(child, child);
        child_table::get().add(child, options & SPAWN_GROUP);
    }

    errdesc_t *err = nullptr;
    if (child < 0)
        err = errdesc_set_str(errno, cmdline);

    if (options & SPAWN_RELAY) {
        // relay_guard closes them; they are no longer ends of this call.
        if (rfd)
            out[1] = -1;
        if (wfd)
            in[0] = -1;
    }
    if (!err && (options & (SPAWN_READ | SPAWN_WRITE))) {
        if (out[0] >= 0) {
            close_end(out[1]);
            if (rfd)
                *rfd = std::exchange(out[0], -1);
            else
                close_end(out[0]);
        }
        if (in[1] >= 0) {
            close_end(in[0]);
            if (wfd)
                *wfd = std::exchange(in[1], -1);
            else
                close_end(in[1]);
        }
    }

    if (!err && (options & SPAWN_WAIT))
        err = spawn_wait(child, 0, cmdline, timeout);

    if (err) {
        close_end(out[0]);
        close_end(out[1]);
        close_end(in[0]);
        close_end(in[1]);
    }
    return err;
}

errdesc_t *spawn(const char *const cmd[], int options, int *rfd, int *wfd, pid_t *pid, int timeout)
{
    return spawn_env(cmd, options, rfd, wfd, pid, timeout, nullptr);
}

namespace {

// After SIGKILL the child ends at once unless it sits in an uninterruptible
// wait; collect it within a short while, but never hang on such a child.
void reap_killed(pid_t pid)
{
    for (int i = 0; i < 100; i++) {
        int status;
        bool killed;
        pid_t r = child_table::get().collect(pid, &status, 0, &killed);
        if (r == pid || (r < 0 && errno != EINTR))
            return;
        struct timespec pause = {0, 10 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
}

// Pauses `ms`; returns true early when `child_fd` (a process descriptor, or
// -1) reports that the child has ended.
bool pause_ms(int child_fd, int64_t ms)
{
    const int64_t deadline = monotonic_ms() + ms;
    for (;;) {
        int64_t left = deadline - monotonic_ms();
        if (left <= 0)
            return false;
        if (child_fd >= 0) {
            struct pollfd pfd = {child_fd, POLLIN, 0};
            int n = poll(&pfd, 1, static_cast<int>(left));
            if (n > 0)
                return true;
            if (n == 0 || errno == EINTR)
                continue;
            // poll itself failed: finish the pause as a sleep
        }
        struct timespec pause = {static_cast<time_t>(left / 1000),
                                 static_cast<long>(left % 1000) * 1000000};
        nanosleep(&pause, nullptr);
    }
}

errdesc_t *wait_unlimited(pid_t pid, int options, const char *str)
{
    // Waits without collecting, so that the collection happens under the
    // table's lock.
    siginfo_t info;
    while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT | options) < 0) {
        if (errno != EINTR)
            return errdesc_set_str(errno, str);
    }
    int status;
    bool killed;
    while (child_table::get().collect(pid, &status, options, &killed) < 0) {
        if (errno != EINTR)
            return errdesc_set_str(errno, str);
    }
    return errdesc_exit_status(status, str);
}

} // namespace

errdesc_t *spawn_wait(pid_t pid, int options, const char *str, int timeout)
{
    if (!str)
        str = "";
    // No caller waits without a limit; treat it as waiting for the end.
    if (timeout <= 0)
        return wait_unlimited(pid, options, str);

    // The child is polled at least once per second. A process descriptor
    // lets the pause end early when the child ends, so that a quick program
    // does not cost a whole second; without one the pause is a plain sleep.
    // Signals (another child's end, SIGHUP) cut a pause short; the limit is
    // a point in time, so they do not shorten it.
    child_table &table = child_table::get();
    unique_fd child_fd(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
    const int64_t limit_end = monotonic_ms() + static_cast<int64_t>(timeout) * 1000;
    bool woke_on_end = false;
    for (;;) {
        int status;
        bool killed;
        pid_t r = table.collect(pid, &status, options, &killed);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            return errdesc_set_str(errno, str);
        }
        if (r == pid && killed)
            return errdesc_set_str(ETIME, str); // by the shutdown's enforcer
        if (r == pid)
            return errdesc_exit_status(status, str);
        if (woke_on_end)
            child_fd.reset(); // it said "ended" but is not: sleep plainly from now on
        const int64_t left = std::min(limit_end, table.shutdown_end(pid)) - monotonic_ms();
        if (left <= 0)
            break;
        woke_on_end = pause_ms(child_fd.get(), std::min<int64_t>(left, 1000));
    }

    table.kill_child(pid);
    reap_killed(pid);
    return errdesc_set_str(ETIME, str);
}

errdesc_t *spawn_read(pid_t pid, int fd, char *buf, size_t max, size_t *got, int timeout,
                      const char *str)
{
    child_table &table = child_table::get();
    const int64_t limit_end = monotonic_ms() + static_cast<int64_t>(timeout) * 1000;
    *got = 0;
    while (*got < max) {
        const int64_t left = std::min(limit_end, table.shutdown_end(pid)) - monotonic_ms();
        if (left <= 0)
            return errdesc_set_str(ETIME, str ? str : "");
        // Short rounds: a shutdown that begins meanwhile shortens the limit.
        struct pollfd pfd = {fd, POLLIN, 0};
        int n = poll(&pfd, 1, static_cast<int>(std::min<int64_t>(left, 250)));
        if (n < 0 && errno != EINTR)
            return errdesc_set_str(errno, str ? str : "");
        if (n <= 0)
            continue;
        ssize_t r = read(fd, buf + *got, max - *got);
        if (r == 0)
            break;
        if (r < 0 && errno != EINTR && errno != EAGAIN)
            return errdesc_set_str(errno, str ? str : "");
        if (r > 0)
            *got += static_cast<size_t>(r);
    }
    return nullptr;
}

void spawn_shutdown_begin()
{
    child_table::get().begin_shutdown();
}

bool spawn_shutting_down()
{
    return child_table::get().shutting_down();
}

void spawn_shutdown_reset()
{
    child_table::get().reset_shutdown();
}

child_process::~child_process() { kill_and_reap(); }

void child_process::kill_and_reap()
{
    if (pid_ <= 0)
        return;
    child_table::get().kill_child(pid_);
    reap_killed(pid_);
    pid_ = -1;
}

errdesc_t *child_process::wait(const char *str, int timeout)
{
    pid_t pid = std::exchange(pid_, -1);
    if (pid <= 0)
        return errdesc_set_str(ECHILD, str ? str : "");
    return spawn_wait(pid, 0, str, timeout);
}
