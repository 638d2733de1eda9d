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
};

inline constexpr int SPAWN_TIMEOUT = 120;      // every run but the long ones
inline constexpr int SPAWN_TIMEOUT_LONG = 600; // device creation, loop attach
inline constexpr int SPAWN_CMDLINE_MAX = 16384;

errdesc_t *spawn_env(const char *const cmd[], int options, int *rfd, int *wfd, pid_t *pid,
                     int timeout, char *const envp[]);
errdesc_t *spawn(const char *const cmd[], int options, int *rfd, int *wfd, pid_t *pid,
                 int timeout);
errdesc_t *spawn_wait(pid_t pid, int options, const char *str, int timeout);

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
