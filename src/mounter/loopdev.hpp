#pragma once
// Attaching files to free loop devices and detaching them, through losetup.
// Loop devices are shared with every other user of the machine, so both
// operations retry a lost race.

#include "common/errdesc.hpp"

#include <string>

inline constexpr int LOOPDEV_ATTEMPTS = 11;

// Attaches `file` to the next free loop device (read-only when `rdonly` is 1)
// and stores the device's path in `*loopdev`. `timeout` (seconds) bounds each
// losetup run.
errdesc_t *vdsk_assign_next_loop_dev(std::string *loopdev, const char *file, int rdonly,
                                     int timeout);

// Detaches the loop device named by `*loopdev`; `*loopdev` is empty
// afterwards whatever the outcome.
errdesc_t *vdsk_release_loop_dev(std::string *loopdev);
