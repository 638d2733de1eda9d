// Opening and closing disk records.

#include "mounter/disk_record.hpp"
#include "mounter/partitions.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace
{

class DiskRecord : public ::testing::Test
{
  protected:
    std::string descriptor(const std::string &cid, bool with_extent = true)
    {
        std::string path = dir + "/disk.vmdk";
        std::ofstream out(path);
        out << "# Disk DescriptorFile\nversion=1\nencoding=\"UTF-8\"\nCID=" << cid
            << "\nparentCID=ffffffff\ncreateType=\"monolithicFlat\"\n\n# Extent description\n";
        if (with_extent)
            out << "RW 2048 FLAT \"disk-flat.vmdk\" 0\n";
        out << "\n# The Disk Data Base\n#DDB\n\nddb.adapterType = \"lsilogic\"\n";
        std::ofstream(dir + "/disk-flat.vmdk") << "";
        return path;
    }

    static bool cleared(const vdskdesc_t &d)
    {
        return d.magic == 0 && d.version == 0 && d.uuid == 0 && d.type == VD_UNKNOWN &&
               !d.desc.vmdkdesc && d.vdsk_path.empty() && d.name.empty() &&
               d.vdsk_extent_path.empty();
    }

    rfs_test::temp_dir tmp{"rfs-vdsk"};
    std::string dir = tmp.path();
};

TEST_F(DiskRecord, OpenNamesTheDiskAfterItsCid)
{
    const std::string path = descriptor("0abcdef1");
    vdskdesc_t d;
    errdesc_t *err = vdsk_open(path.c_str(), &d);
    ASSERT_EQ(err, nullptr) << err->string;
    EXPECT_EQ(d.magic, VDSKDESC_MAGIC);
    EXPECT_EQ(d.version, 1u);
    EXPECT_EQ(d.type, VD_VMDK);
    EXPECT_EQ(d.uuid, 0x0abcdef1u);
    EXPECT_EQ(d.name, "abcdef1") << "no leading zeros";
    EXPECT_EQ(d.vdsk_path, path);
    EXPECT_EQ(d.vdsk_extent_path, dir + "/disk-flat.vmdk");
    ASSERT_NE(d.desc.vmdkdesc, nullptr);

    vdsk_close(&d);
    EXPECT_TRUE(cleared(d));
}

TEST_F(DiskRecord, CidZeroIsRefusedAndLeavesTheRecordCleared)
{
    const std::string path = descriptor("00000000");
    vdskdesc_t d;
    d.name = "old";
    errdesc_t *err = vdsk_open(path.c_str(), &d);
    ASSERT_NE(err, nullptr);
    EXPECT_EQ(err->number, EINVAL);
    EXPECT_EQ(std::string(err->string).rfind("Invalid vdsk uuid", 0), 0u) << err->string;
    EXPECT_TRUE(cleared(d));
}

TEST_F(DiskRecord, MissingDescriptorGivesTheOpenError)
{
    vdskdesc_t d;
    errdesc_t *err = vdsk_open((dir + "/absent.vmdk").c_str(), &d);
    ASSERT_NE(err, nullptr);
    EXPECT_TRUE(cleared(d));
}

TEST_F(DiskRecord, FreeingPartitionsWithoutABaseDeviceDoesNothing)
{
    vdskdesc_t d;
    d.part_map.count = 0;
    EXPECT_EQ(vdsk_free_partitions(&d), nullptr);
}

} // namespace
