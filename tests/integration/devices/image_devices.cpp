// The merged change-block device, partitions and bitmap reads on real block
// devices. They need root and the appliance sandbox (device-mapper, kpartx,
// vol_id and the bitmap provider stand-ins): tests/integration/test_image_devices.sh
// runs them inside platform/sandbox.

#include "controller/settings.hpp"
#include "image/tol_vdsk_header.hpp"
#include "image/toldev_io.hpp"
#include "image/tolcbt.hpp"
#include "mounter/partitions.hpp"
#include "unit/image/cbt_test_util.hpp"
#include "unit/image/image_test_util.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

constexpr int64_t MiB = 1 << 20;
constexpr int64_t FLAT_SIZE = 10 * MiB;

// Flat content: non-zero in the first half, zero in the second, so that the
// bitmap has unused runs.
char flat_byte(int64_t pos)
{
    return pos < FLAT_SIZE / 2 ? static_cast<char>(pos % 251 + 1) : 0;
}

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
        std::vector<char> image(static_cast<size_t>(FLAT_SIZE));
        for (int64_t i = 0; i < FLAT_SIZE; ++i)
            image[static_cast<size_t>(i)] = flat_byte(i);
        // An MBR with one partition at 1 MiB; sectors 1 to 2047 zero.
        std::memset(image.data(), 0, 2048 * 512);
        mbr_t mbr{};
        mbr.part_entry[0].type = 0x83;
        mbr.part_entry[0].first_sector_lba = 2048;
        mbr.part_entry[0].number_of_sectors = 4096;
        mbr.mbr_signature = MBR_SIGNATURE;
        std::memcpy(image.data(), &mbr, sizeof(mbr));
        write_file(flat, image);
        expected = image;
    }

    void TearDown() override { get_reg_settings()->cbt_debug_enabled = TOL_FALSE; }

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

TEST_F(DeviceSandbox, NoChangesReadsTheFlatLoopDevice)
{
    make_changes({});
    std::unique_ptr<tolcbt_merge_handle_t> h;
    errdesc_t *err = get_merged_tolcbt(flat.c_str(), cbt.c_str(), &h);
    ASSERT_EQ(err, nullptr) << err->string;
    EXPECT_EQ(h->device_path(), h->flat_loop.path());
    EXPECT_TRUE(h->tolcbt_loop.empty());
    EXPECT_TRUE(h->table.empty());
    EXPECT_TRUE(h->device.empty());
    EXPECT_EQ(read_device(h->device_path(), static_cast<size_t>(FLAT_SIZE)), expected);
    const std::string loop = h->flat_loop.path();
    release_merged_tolcbt(&h);
    EXPECT_FALSE(loop_attached(loop));
}

TEST_F(DeviceSandbox, DebugModeKeepsTheTableFile)
{
    get_reg_settings()->cbt_debug_enabled = TOL_TRUE;
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

TEST_F(DeviceSandbox, FailedCreateUndoesEverything)
{
    // A changed range shorter than a sector makes a zero-length target,
    // which device-mapper refuses.
    make_changes({{0, 100, CBT_MAGIC_EXTENT_LAST}});
    std::unique_ptr<tolcbt_merge_handle_t> h;
    errdesc_t *err = get_merged_tolcbt(flat.c_str(), cbt.c_str(), &h);
    ASSERT_NE(err, nullptr);
    EXPECT_NE(err->number, 0);
    EXPECT_EQ(h, nullptr);
    // No loop device is left on either file.
    for (int i = 0; i < 256; ++i) {
        std::string backing =
            read_text("/sys/block/loop" + std::to_string(i) + "/loop/backing_file");
        EXPECT_EQ(backing.find(dir.path()), std::string::npos) << "loop" << i << " " << backing;
    }
}

TEST_F(DeviceSandbox, BadChangeBlockFileSetsNothingUp)
{
    auto bytes = make_cbt({{0, 4096, CBT_MAGIC_EXTENT_LAST}});
    bytes.resize(bytes.size() - 1); // data area cut short
    write_file(cbt, bytes);
    std::unique_ptr<tolcbt_merge_handle_t> h;
    errdesc_t *err = get_merged_tolcbt(flat.c_str(), cbt.c_str(), &h);
    ASSERT_NE(err, nullptr);
    EXPECT_EQ(err->number, EINVAL);
    EXPECT_EQ(h, nullptr);
}

TEST_F(DeviceSandbox, PartitionsRecoveryHeaderAndBitmapReadsOfTheMergedDevice)
{
    // The recovery header in sector 2 of the flat file.
    tol_vdsk_header_t hdr{};
    std::memcpy(hdr.magic_begin, "RVHD", 4);
    std::memcpy(hdr.magic_end, "RVHD", 4);
    hdr.version = 2;
    hdr.type = TOL_VDSK_HEADER_TYPE_VMDK;
    hdr.data.v2.size = static_cast<uint32_t>(FLAT_SIZE / 512);
    std::memcpy(expected.data() + 1024, &hdr, sizeof(hdr));
    write_file(flat, expected);
    make_changes({{3 * MiB, 8192, CBT_MAGIC_EXTENT_LAST}});

    std::unique_ptr<tolcbt_merge_handle_t> h;
    errdesc_t *err = get_merged_tolcbt(flat.c_str(), cbt.c_str(), &h);
    ASSERT_EQ(err, nullptr) << err->string;

    int fd = open(h->device_path().c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    uint32_t sector = 0;
    EXPECT_EQ(find_free_sector_by_partition(fd, &sector), nullptr);
    EXPECT_EQ(sector, 2u);
    tol_vdsk_header_t got;
    EXPECT_EQ(read_tol_vdsk_header(fd, &got), nullptr);
    EXPECT_EQ(+got.data.v2.size, FLAT_SIZE / 512);
    close(fd);

    part_map_t map;
    err = vdsk_get_partitions_ex(h->device_path().c_str(), &map, TOL_TRUE);
    ASSERT_EQ(err, nullptr) << err->string;
    ASSERT_EQ(map.count, 1u);
    const std::string part = map.part[0].name;
    EXPECT_EQ(part, h->device_path() + "p1");
    EXPECT_TRUE(exists(part));
    EXPECT_EQ(vdsk_free_partitions_ex(h->device_path().c_str(), &map, TOL_TRUE), nullptr);
    EXPECT_EQ(map.count, 0u);
    EXPECT_FALSE(exists(part));

    // Reads through the provider's bitmap equal plain reads of the device.
    auto pdev = tol_dev_open(h->device_path().c_str(), flat.c_str());
    ASSERT_NE(pdev, nullptr);
    EXPECT_EQ(pdev->length, FLAT_SIZE / 512);
    std::mt19937 rng(4);
    uint64_t skipped_total = 0;
    for (int i = 0; i < 200; ++i) {
        const off_t offset = static_cast<off_t>(rng() % static_cast<uint64_t>(FLAT_SIZE - 1));
        const size_t size =
            1 + rng() % std::min<size_t>(256 << 10, static_cast<size_t>(FLAT_SIZE - offset));
        std::vector<char> buf(size);
        uint64_t rd = 0, sk = 0;
        err = optimize_byte_read(pdev.get(), buf.data(), size, offset, &rd, &sk);
        ASSERT_EQ(err, nullptr) << err->string;
        ASSERT_EQ(std::memcmp(buf.data(), expected.data() + offset, size), 0)
            << offset << "+" << size;
        skipped_total += sk;
    }
    EXPECT_GT(skipped_total, 0u) << "the zero half of the disk is never read";
    auto started = std::chrono::steady_clock::now();
    tol_dev_close(&pdev);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3))
        << "the bitmap's reference count drops once it is closed";

    release_merged_tolcbt(&h);
}

} // namespace
