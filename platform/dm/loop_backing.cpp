#include "loop_backing.hpp"

#include <fcntl.h>
#include <fstream>
#include <linux/loop.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace rfsdm {

namespace {
constexpr unsigned loop_major = 7;
}

loop_backing open_loop_backing(int loop_fd, dev_t rdev, int flags)
{
    loop_backing b;
    loop_info64 info{};
    if (major(rdev) != loop_major || ::ioctl(loop_fd, LOOP_GET_STATUS64, &info) < 0)
        return b;
    std::ifstream in("/sys/block/loop" + std::to_string(minor(rdev)) + "/loop/backing_file");
    std::string path;
    if (!std::getline(in, path) || path.empty() || path[0] != '/')
        return b;
    unique_fd f(::open(path.c_str(), flags | O_CLOEXEC));
    struct stat st{};
    if (!f || ::fstat(f.get(), &st) < 0 || !S_ISREG(st.st_mode) || st.st_ino != info.lo_inode ||
        st.st_dev != info.lo_device)
        return b;
    b.file = std::move(f);
    b.offset = info.lo_offset;
    b.read_only = (info.lo_flags & LO_FLAGS_READ_ONLY) != 0;
    return b;
}

} // namespace rfsdm
