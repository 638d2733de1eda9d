// Volume groups and mounts of a disk: the rewritten LVM metadata, the
// deactivation budget, the mount options and the unmount order.

#include "fake_programs.hpp"
#include "mounter/vmount.hpp"
#include "mounter/volgroups.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <sstream>

namespace
{

using file_ptr = std::unique_ptr<FILE, int (*)(FILE *)>;

std::string rewrite(const std::string &metadata, std::string *pv_uuid, int *pv_count)
{
    file_ptr in(fmemopen(const_cast<char *>(metadata.data()), metadata.size(), "r"), fclose);
    char *buf = nullptr;
    size_t len = 0;
    FILE *out = open_memstream(&buf, &len);
    EXPECT_EQ(lvm_rewrite_ids(in.get(), out, "123456", pv_uuid, pv_count), nullptr);
    fclose(out);
    std::string text(buf, len);
    free(buf);
    return text;
}

TEST(LvmMetadata, EveryIdentifierGetsTheTailAndTheFirstPhysicalVolumeIsNamed)
{
    const std::string metadata = "vg0 {\n"
                                 "\tid = \"aaaaaa-bbbb-cccc-dddd-eeee-ffff-gggggg\"\n"
                                 "\tseqno = 3\n"
                                 "\tphysical_volumes {\n"
                                 "\t\tpv0 {\n"
                                 "\t\t\tid = \"PPPPPP-bbbb-cccc-dddd-eeee-ffff-hhhhhh\"\n"
                                 "\t\t\tdevice = \"/dev/sda5\"\n"
                                 "\t\t}\n"
                                 "\t}\n"
                                 "\t\troot {\n"
                                 "\t\t\tid = \"LLLLLL-bbbb-cccc-dddd-eeee-ffff-iiiiii\"\n"
                                 "\tshort id = \"abc\"\n"
                                 "}\n";
    std::string pv;
    int pvs = 0;
    const std::string out = rewrite(metadata, &pv, &pvs);
    std::istringstream want(metadata), got(out);
    std::string a, b;
    while (std::getline(want, a) && std::getline(got, b)) {
        if (a.find("id = \"") != std::string::npos && a.size() > 44) {
            const size_t at = a.find("id = ") + 38;
            EXPECT_EQ(b.substr(at, 6), "123456") << b;
            EXPECT_EQ(b.substr(0, at) + b.substr(at + 6), a.substr(0, at) + a.substr(at + 6));
        } else {
            EXPECT_EQ(a, b) << "lines without a full identifier are copied unchanged";
        }
    }
    EXPECT_EQ(pv, "PPPPPP-bbbb-cccc-dddd-eeee-ffff-123456");
    EXPECT_EQ(pvs, 1);
}

using Deactivation = FakePrograms;

TEST_F(Deactivation, BudgetOfFiveRunsEveryVolumeAtLeastOnce)
{
    const struct {
        std::vector<int> codes; // exit codes of the lvchange runs, in turn
        std::vector<size_t> runs;
        int want_number;
    } cases[] = {
        {{5}, {5, 1, 1}, 5},
        {{0, 5, 5, 5, 5, 0}, {1, 4, 1}, 0},
        {{0}, {1, 1, 1}, 0},
    };
    for (const auto &c : cases) {
        std::remove((dir / "calls").c_str());
        answer("lvchange--config", c.codes);
        auto owner = volgroup_activation::adopt({"/dev/g/a", "/dev/g/b", "/dev/g/c"}, "x");
        errdesc_t *err = owner.release();
        EXPECT_EQ(err ? err->number : 0, c.want_number);
        std::vector<size_t> runs(3);
        for (const auto &call : calls())
            runs[call.back() - 'a'] += call.rfind("lvchange --config x -an ", 0) == 0;
        EXPECT_EQ(runs, c.runs);
        EXPECT_TRUE(owner.empty());
    }
}

TEST(MountOptions, ByFileSystemAndPartitionType)
{
    const struct {
        fs_type_t fstype;
        int subtype;
        const char *want; // null: refused
    } cases[] = {
        {FS_TYPE_UFS, 0xa5, "-oro,ufstype=44bsd"},
        {FS_TYPE_UFS, 0xa6, "-oro,ufstype=44bsd"},
        {FS_TYPE_UFS, 0xa9, "-oro,ufstype=44bsd"},
        {FS_TYPE_UFS, 0xa8, nullptr},
        {FS_TYPE_NTFS, 7, "-oro,streams_interface=windows"},
        {FS_TYPE_EXT3, 0x83, "-oro"},
        {FS_TYPE_VFAT, 0xc, "-oro"},
        {FS_TYPE_XFS, 0, "-oro,nouuid"},
        {FS_TYPE_SWAP, 0x82, nullptr},
    };
    for (const auto &c : cases) {
        const char *options = nullptr;
        errdesc_t *err =
            vdsk_mount_options(c.fstype, static_cast<fs_subtype_t>(c.subtype), &options);
        if (!c.want) {
            ASSERT_NE(err, nullptr);
            EXPECT_EQ(err->number, EINVAL);
            continue;
        }
        ASSERT_EQ(err, nullptr);
        EXPECT_STREQ(options, c.want);
    }
    const char *options = nullptr;
    errdesc_t *err = vdsk_mount_options(FS_TYPE_UFS, static_cast<fs_subtype_t>(0xa8), &options);
    EXPECT_STREQ(err->string, "Cannot mount fstype=6, fssubtype=a8");
}

using Unmount = FakePrograms;

TEST_F(Unmount, ReverseAlphabeticalOrderThenTheDiskDirectory)
{
    const std::string mnt = dir / "mnt";
    const std::string disk = mnt + "/base.1";
    for (int n = 0; n < 12; ++n)
        std::filesystem::create_directories(disk + "/" + std::to_string(n));
    std::vector<mount_owner> owned;
    owned.push_back(mount_owner::adopt(disk + "/3"));
    ASSERT_EQ(vdsk_do_umount(mnt.c_str(), "base.1", &owned), nullptr);
    std::string order;
    for (const auto &call : calls())
        order += call.substr(call.rfind('/') + 1) + " ";
    EXPECT_EQ(order, "9 8 7 6 5 4 3 2 11 10 1 0 ");
    EXPECT_FALSE(std::filesystem::exists(disk));
    EXPECT_TRUE(owned.empty());
    EXPECT_EQ(vdsk_do_umount(mnt.c_str(), "base.1", &owned), nullptr)
        << "a missing disk directory is no error";
}

} // namespace
