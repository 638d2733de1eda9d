// Child processes: fork, pipes, exec without a shell, and waiting with a
// time limit.

#include "common/spawn.hpp"

#include "common/files.hpp"
#include "common/strings.hpp"
#include "common/unique_fd.hpp"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

pthread_once_t sigchld_once = PTHREAD_ONCE_INIT;

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
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid || (r < 0 && errno != EINTR))
            return;
        struct timespec pause = {0, 10 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
}

int64_t monotonic_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Pauses one second; returns true early when `child_fd` (a process
// descriptor, or -1) reports that the child has ended.
bool pause_one_second(int child_fd)
{
    const int64_t deadline = monotonic_ms() + 1000;
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
    int status;
    while (waitpid(pid, &status, options) < 0) {
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

    // The child is polled once per second of the limit. A process descriptor
    // lets the pause end early when the child ends, so that a quick program
    // does not cost a whole second; without one the pause is a plain sleep.
    unique_fd child_fd(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
    bool woke_on_end = false;

    int remaining = timeout;
    while (remaining > 0) {
        int status;
        pid_t r = waitpid(pid, &status, options | WNOHANG);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            return errdesc_set_str(errno, str);
        }
        if (r == pid)
            return errdesc_exit_status(status, str);
        if (woke_on_end)
            child_fd.reset(); // it said "ended" but is not: sleep plainly from now on
        woke_on_end = false;

        // Signals (another child's end, SIGHUP) cut the pause short: pause
        // out the rest of the second, so the limit stays in whole seconds.
        if (pause_one_second(child_fd.get())) {
            woke_on_end = true;
            continue;
        }
        remaining--;
    }

    kill(pid, SIGKILL);
    reap_killed(pid);
    return errdesc_set_str(ETIME, str);
}

child_process::~child_process() { kill_and_reap(); }

void child_process::kill_and_reap()
{
    if (pid_ <= 0)
        return;
    kill(pid_, SIGKILL);
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
