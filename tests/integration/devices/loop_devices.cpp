// Loop device owners on the real machine. They need root and the appliance
// sandbox: tests/integration/test_image_devices.sh runs them inside
// platform/sandbox. Device-mapper removal runs at every unmount of the image
// tests (no device is left), unique names in the unit tests.

#include "mounter/loopdev.hpp"
#include "mounter/owners.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <fstream>
#include <unistd.h>

namespace
{

std::string backing_file(const std::string &dev)
{
    std::ifstream in("/sys/block/" + dev.substr(dev.rfind('/') + 1) + "/loop/backing_file");
    std::string line;
    std::getline(in, line);
    return line;
}

class LoopSandbox : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        file = dir + "/image";
        std::ofstream(file) << std::string(1 << 20, 'a');
    }
    rfs_test::temp_dir tmp{"rfs-loop"};
    std::string dir = tmp.path(), file;
};

TEST_F(LoopSandbox, ReadWriteOwnersGetTwoDevicesAndDetachThem)
{
    loop_attachment a, b;
    ASSERT_EQ(loop_attachment::attach(file.c_str(), false, 120, &a), nullptr);
    ASSERT_EQ(loop_attachment::attach(file.c_str(), false, 120, &b), nullptr);
    EXPECT_NE(a.path(), b.path());
    int fd = open(a.path().c_str(), O_WRONLY);
    EXPECT_GE(fd, 0);
    if (fd >= 0)
        close(fd);
    const std::string first = a.path(), second = b.path();
    a = std::move(b); // detaches the first
    EXPECT_TRUE(backing_file(first).empty());
    EXPECT_EQ(a.release(), nullptr);
    EXPECT_TRUE(backing_file(second).empty());
}

} // namespace
