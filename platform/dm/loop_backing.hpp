#pragma once
// The regular file behind a loop device, for stand-ins that do the device's
// I/O on the file itself instead of a second time through the loop driver.

#include "common/unique_fd.hpp"

#include <cstdint>
#include <sys/types.h>

namespace rfsdm {

struct loop_backing {
    unique_fd file;      // open with the flags asked for; empty when there is none
    uint64_t offset = 0; // where the device's byte 0 lies in the file
    bool read_only = false;
};

// When `loop_fd`, a descriptor of block device `rdev`, is a loop device over
// a regular file, opens that file. It must be the very file the device holds
// (same inode and file system), else the result is empty.
loop_backing open_loop_backing(int loop_fd, dev_t rdev, int flags);

} // namespace rfsdm
