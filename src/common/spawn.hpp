#pragma once
// The one way external programs run: full path, argument vector, no shell,
// optional pipes, and a time limit in seconds.

#include "common/errdesc.hpp"

#include <sys/types.h>

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
