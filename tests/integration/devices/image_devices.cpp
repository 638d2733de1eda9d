// The merged change-block device on real block devices. They need root and
// the appliance sandbox (device-mapper stand-in): tests/integration/test_image_devices.sh
// runs them inside platform/sandbox. What a client reads through the mount
// (no changes, refused change-block files, partitions, bitmap reads) is
// checked by the test_image_*.sh scripts.

#include "controller/settings.hpp"
#include "image/tolcbt.hpp"
#include "unit/image/cbt_test_util.hpp"
#include "unit/image/image_test_util.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

namespace
{

constexpr int64_t MiB = 1 << 20;
constexpr int64_t FLAT_SIZE = 10 * MiB;

bool exists(const std::string &path)
{
    return access(path.c_str(), F_OK) == 0;
}

// Whether a loop device still has a backing file. A detach while someone
// still holds the device (the device-mapper daemon letting go of a removed
// table) completes at the last close, so give it a moment.
bool loop_attached(const std::string &dev)
{
    const std::string backing =
        "/sys/block/" + dev.substr(dev.rfind('/') + 1) + "/loop/backing_file";
    for (int i = 0; i < 50 && exists(backing); ++i)
        usleep(100 * 1000);
    return exists(backing);
}

bool refuses_writes(const std::string &dev)
{
    int fd = open(dev.c_str(), O_WRONLY);
    if (fd < 0)
        return true;
    char sector[512] = {};
    bool refused = pwrite(fd, sector, sizeof(sector), 0) < 0;
    close(fd);
    return refused;
}

std::vector<char> read_device(const std::string &path, size_t size)
{
    std::vector<char> data(size);
    int fd = open(path.c_str(), O_RDONLY);
    EXPECT_GE(fd, 0) << path;
    if (fd < 0)
        return {};
    size_t done = 0;
    while (done < size) {
        ssize_t n = pread(fd, data.data() + done, size - done, static_cast<off_t>(done));
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    close(fd);
    data.resize(done);
    return data;
}

class DeviceSandbox : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        flat = dir.file("vm1-flat.vmdk");
        cbt = dir.file("vm1-tolcbt.vmdk");
        expected.resize(static_cast<size_t>(FLAT_SIZE));
        for (int64_t i = 0; i < FLAT_SIZE; ++i)
            expected[static_cast<size_t>(i)] = static_cast<char>(i % 251 + 1);
        write_file(flat, expected);
    }

    void TearDown() override
    {
        reg_settings_update([](reg_settings_t &s) { s.cbt_debug_enabled = TOL_FALSE; });
    }

    // Writes the change-block file and applies its extents to `expected`.
    void make_changes(const std::vector<extent_spec> &extents, int64_t data_offset = 4096)
    {
        write_file(cbt, make_cbt(extents, 512, data_offset));
        for (size_t i = 0; i < extents.size(); ++i)
            for (int64_t b = 0; b < extents[i].length; ++b)
                expected[static_cast<size_t>(extents[i].start + b)] = static_cast<char>(i + 1);
    }

    temp_dir dir;
    std::string flat, cbt;
    std::vector<char> expected;
};

TEST_F(DeviceSandbox, MergedDeviceShowsTheChangedBlocks)
{
    make_changes(
        {{1 * MiB, 64 << 10, CBT_MAGIC_EXTENT_MORE}, {4 * MiB, 4 << 10, CBT_MAGIC_EXTENT_LAST}});
    std::unique_ptr<tolcbt_merge_handle_t> h;
    errdesc_t *err = get_merged_tolcbt(flat.c_str(), cbt.c_str(), &h);
    ASSERT_EQ(err, nullptr) << err->string;
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h->device_path(), "/dev/mapper/" + h->device.name());
    EXPECT_TRUE(h->table.empty());
    EXPECT_FALSE(exists("/tmp/" + h->device.name() + ".dm_table_merge"))
        << "the table goes once the device exists";
    EXPECT_TRUE(exists("/sys/block/" + h->flat_loop.path().substr(5) + "/loop/backing_file"));
    EXPECT_TRUE(exists("/sys/block/" + h->tolcbt_loop.path().substr(5) + "/loop/backing_file"));

    EXPECT_EQ(read_device(h->device_path(), static_cast<size_t>(FLAT_SIZE) + 4096), expected);

    // The loop devices refuse writes (at the open, or at the write).
    for (const std::string &loop : {h->flat_loop.path(), h->tolcbt_loop.path()})
        EXPECT_TRUE(refuses_writes(loop)) << loop;

    const std::string device = h->device_path(), flat_loop = h->flat_loop.path(),
                      cbt_loop = h->tolcbt_loop.path();
    release_merged_tolcbt(&h);
    EXPECT_EQ(h, nullptr);
    EXPECT_FALSE(exists(device));
    EXPECT_FALSE(loop_attached(flat_loop));
    EXPECT_FALSE(loop_attached(cbt_loop));
}

TEST_F(DeviceSandbox, DebugModeKeepsTheTableFile)
{
    reg_settings_update([](reg_settings_t &s) { s.cbt_debug_enabled = TOL_TRUE; });
    make_changes({{0, 4096, CBT_MAGIC_EXTENT_LAST}}, 1024);
    std::unique_ptr<tolcbt_merge_handle_t> h;
    errdesc_t *err = get_merged_tolcbt(flat.c_str(), cbt.c_str(), &h);
    ASSERT_EQ(err, nullptr) << err->string;
    const std::string table = "/tmp/" + h->device.name() + ".dm_table_merge";
    EXPECT_EQ(read_text(table), "0 8 linear " + h->tolcbt_loop.path() + " 2\n8 20472 linear " +
                                    h->flat_loop.path() + " 8\n");
    release_merged_tolcbt(&h);
    EXPECT_TRUE(exists(table)) << "release leaves the table alone";
    unlink(table.c_str());
}

} // namespace
