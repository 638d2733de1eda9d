#pragma once
// The one way external programs run: full path, argument vector, no shell,
// optional pipes, and a time limit in seconds.

#include "common/errdesc.hpp"

#include <sys/types.h>
#include <utility>

enum spawn_options_t : int {
    SPAWN_READ = 2,
    SPAWN_WRITE = 4,
    SPAWN_WAIT = 8,
    SPAWN_QUIET = 32,
    SPAWN_RELAY = 64,
    // The child leads a process group of its own; a time limit or shutdown
    // kills the whole group, so a program's own children that still hold its
    // output go with it. For scripts: a mount helper's daemon must survive.
    SPAWN_GROUP = 128,
};

inline constexpr int SPAWN_TIMEOUT = 120;      // every run but the long ones
inline constexpr int SPAWN_TIMEOUT_LONG = 600; // device creation, loop attach
inline constexpr int SPAWN_CMDLINE_MAX = 16384;

errdesc_t *spawn_env(const char *const cmd[], int options, int *rfd, int *wfd, pid_t *pid,
                     int timeout, char *const envp[]);
errdesc_t *spawn(const char *const cmd[], int options, int *rfd, int *wfd, pid_t *pid,
                 int timeout);
errdesc_t *spawn_wait(pid_t pid, int options, const char *str, int timeout);

// Reads a child's output from `fd` into `buf` (at most `max` bytes) until end
// of file. A program, or one of its own children, that keeps the pipe open
// cannot hold the caller: the read ends with ETIME when the limit (`timeout`
// seconds from now, cut short by a shutdown as for spawn_wait) has passed.
// `*got` receives the number of bytes read in every case.
errdesc_t *spawn_read(pid_t pid, int fd, char *buf, size_t max, size_t *got, int timeout,
                      const char *str);

// Shutdown of the process's programs, so that teardown ends in bounded time
// even when a program hangs. From spawn_shutdown_begin() on, a program that
// is already running gets SPAWN_SHUTDOWN_GRACE_MS more and a program started
// later (teardown's own) at most SPAWN_SHUTDOWN_CAP_MS, and none runs past
// SPAWN_SHUTDOWN_BUDGET_MS after the start of shutdown by more than
// SPAWN_SHUTDOWN_FLOOR_MS; then it (its group with SPAWN_GROUP) is killed,
// whether its caller is waiting for it or still reading its output, and the
// wait reports ETIME. The first call counts; the others do nothing.
inline constexpr int SPAWN_SHUTDOWN_GRACE_MS = 2000;
inline constexpr int SPAWN_SHUTDOWN_CAP_MS = 2000;
inline constexpr int SPAWN_SHUTDOWN_BUDGET_MS = 6000;
inline constexpr int SPAWN_SHUTDOWN_FLOOR_MS = 500;
void spawn_shutdown_begin();
bool spawn_shutting_down();
// Back to normal limits (tests).
void spawn_shutdown_reset();

// Owner of a started child: unless it was waited for (wait) or given away
// (release), the child is killed and collected when the owner goes away, so
// an early return never leaves a running program or a zombie behind.
class child_process {
  public:
    child_process() = default;
    explicit child_process(pid_t pid) : pid_(pid) {}
    child_process(const child_process &) = delete;
    child_process &operator=(const child_process &) = delete;
    child_process(child_process &&o) noexcept : pid_(std::exchange(o.pid_, -1)) {}
    child_process &operator=(child_process &&o) noexcept
    {
        if (this != &o) {
            kill_and_reap();
            pid_ = std::exchange(o.pid_, -1);
        }
        return *this;
    }
    ~child_process();

    pid_t get() const { return pid_; }
    pid_t *out() { return &pid_; } // for spawn's `pid` argument
    explicit operator bool() const { return pid_ > 0; }
    pid_t release() { return std::exchange(pid_, -1); }
    // spawn_wait for the child (options 0); the owner lets go of it either way.
    errdesc_t *wait(const char *str, int timeout);
    void kill_and_reap();

  private:
    pid_t pid_ = -1;
};
