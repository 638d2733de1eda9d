#pragma once
// Running one of the mounter's programs with its output captured: start it,
// hand its output stream to the caller, drain and close the stream, then
// wait for the program with a time limit.

#include "common/errdesc.hpp"

#include <cstdio>
#include <functional>
#include <string>

// The elements of `cmd` joined, each followed by one blank.
std::string program_cmdline(const char *const cmd[]);

// Runs `cmd` with SPAWN_READ plus `extra_options` (SPAWN_QUIET), calls
// `consume` with the output stream, and returns the result of the wait.
errdesc_t *run_program_read(const char *const cmd[], int extra_options, int timeout,
                            const std::function<void(FILE *)> &consume);

// Runs `cmd` with SPAWN_WAIT plus `extra_options`.
errdesc_t *run_program_wait(const char *const cmd[], int extra_options, int timeout);

// Test seam for crash recovery: with RFS_TEST_KILL_AFTER=PROGRAM[:N] in the
// environment, the process kills itself with SIGKILL right after the Nth
// (default first) run of PROGRAM (a file name: "losetup", "mount"...) has
// returned, counting only runs made while the record of made objects is on.
// Called after every run of the mounter's programs.
void run_program_kill_point(const char *program);
