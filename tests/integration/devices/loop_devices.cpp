// Loop devices and device-mapper removal on the real machine. They need root
// and the appliance sandbox: tests/integration/test_image_devices.sh runs them
// inside platform/sandbox.

#include "common/programs.hpp"
#include "mounter/dm_names.hpp"
#include "mounter/loopdev.hpp"
#include "mounter/owners.hpp"
#include "mounter/run_program.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace
{

bool exists(const std::string &path)
{
    return access(path.c_str(), F_OK) == 0;
}

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

TEST_F(LoopSandbox, MissingFileFailsWithoutALoopDevice)
{
    std::string dev;
    errdesc_t *err = vdsk_assign_next_loop_dev(&dev, (dir + "/absent").c_str(), 1, 120);
    ASSERT_NE(err, nullptr);
    EXPECT_TRUE(dev.empty());
}

TEST_F(LoopSandbox, CheckAndRemoveTakesTheDeviceAway)
{
    std::string loop;
    ASSERT_EQ(vdsk_assign_next_loop_dev(&loop, file.c_str(), 1, 120), nullptr);
    const std::string table = dir + "/table";
    std::ofstream(table) << "0 2048 linear " << loop << " 0\n";
    std::string name;
    ASSERT_EQ(dm_mk_unique_name("rfstest", &name), nullptr);
    const char *create[] = {tol_program_path(tol_program_t::dmsetup), "create", name.c_str(),
                            table.c_str(), nullptr};
    errdesc_t *err = run_program_wait(create, 0, 600);
    ASSERT_EQ(err, nullptr) << err->string;
    const std::string path = std::string(DM_ROOT) + "/" + name;
    ASSERT_TRUE(exists(path));

    // The name is now taken: the next one differs.
    std::string other;
    ASSERT_EQ(dm_mk_unique_name("rfstest", &other), nullptr);
    EXPECT_NE(other, name);

    EXPECT_EQ(dm_check_and_remove(path.c_str()), nullptr);
    EXPECT_FALSE(exists(path));
    EXPECT_EQ(vdsk_release_loop_dev(&loop), nullptr);
}

} // namespace
