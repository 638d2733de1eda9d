// Opening and closing disk records.

#include "mounter/disk_record.hpp"
#include "mounter/partitions.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>

namespace
{

// A flat disk descriptor with `cid` in `dir`, with or without its extent line.
std::string write_descriptor(const std::string &dir, const std::string &cid, bool with_extent)
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

bool cleared(const vdskdesc_t &d)
{
    return d.magic == 0 && d.uuid == 0 && d.type == VD_UNKNOWN && !d.desc.vmdkdesc &&
           d.vdsk_path.empty() && d.name.empty() && d.vdsk_extent_path.empty();
}

TEST(DiskRecord, OpenNamesTheDiskAfterItsCidAndCloseClears)
{
    rfs_test::temp_dir tmp{"rfs-vdsk"};
    const std::string path = write_descriptor(tmp.path(), "0abcdef1", true);
    vdskdesc_t d;
    errdesc_t *err = vdsk_open(path.c_str(), &d);
    ASSERT_EQ(err, nullptr) << err->string;
    EXPECT_EQ(d.magic, VDSKDESC_MAGIC);
    EXPECT_EQ(d.type, VD_VMDK);
    EXPECT_EQ(d.uuid, 0x0abcdef1u);
    EXPECT_EQ(d.name, "abcdef1") << "no leading zeros";
    EXPECT_EQ(d.vdsk_path, path);
    EXPECT_EQ(d.vdsk_extent_path, tmp / "disk-flat.vmdk");
    ASSERT_NE(d.desc.vmdkdesc, nullptr);
    vdsk_close(&d);
    EXPECT_TRUE(cleared(d));

    // Without a device-mapper device there is nothing to free.
    EXPECT_EQ(vdsk_free_partitions(&d), nullptr);
}

TEST(DiskRecord, FailedOpenLeavesTheRecordCleared)
{
    const struct {
        const char *cid; // nullptr: no descriptor at all
        bool with_extent;
        errnum_t number; // 0: whatever the open gives
        const char *text;
    } cases[] = {
        {"00000000", true, EINVAL, "Invalid vdsk uuid"},
        {"0abcdef1", false, EINVAL, "Disk extent #0 is missing"},
        {nullptr, true, 0, nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.cid ? c.cid : "(no descriptor)");
        rfs_test::temp_dir tmp{"rfs-vdsk"};
        const std::string path =
            c.cid ? write_descriptor(tmp.path(), c.cid, c.with_extent) : tmp / "absent.vmdk";
        vdskdesc_t d;
        d.name = "old";
        errdesc_t *err = vdsk_open(path.c_str(), &d);
        ASSERT_NE(err, nullptr);
        if (c.number != 0) {
            EXPECT_EQ(err->number, c.number);
            EXPECT_STREQ(err->string, c.text);
        }
        EXPECT_TRUE(cleared(d));
    }
}

} // namespace
