// Loop devices, device-mapper removal, partition mapping, mounts and the
// merged change-block device against scripted programs: argument lists,
// retries, exit codes and teardown after a failing step.

#include "fake_programs.hpp"
#include "image/tolcbt.hpp"
#include "mounter/dm_names.hpp"
#include "mounter/loopdev.hpp"
#include "mounter/owners.hpp"
#include "mounter/partitions.hpp"
#include "unit/common/test_support.hpp"
#include "unit/image/cbt_test_util.hpp"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>

namespace
{

using Calls = std::vector<std::string>;

bool exists(const std::string &path)
{
    return access(path.c_str(), F_OK) == 0;
}

using LoopDevices = FakePrograms;

TEST_F(LoopDevices, AttachPassesReadOnlyAndRetriesOnlyALostRace)
{
    const struct {
        const char *what;
        bool read_only;
        std::vector<int> attach_codes; // of the attaching run, in turn
        int want_number;               // 0: attached
        size_t attach_runs;
    } cases[] = {
        {"read-only", true, {0}, 0, 1},
        {"read-write", false, {0}, 0, 1},
        {"device taken meanwhile (1, then 2)", true, {1, 2, 0}, 0, 3},
        {"other failure", true, {5}, 5, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        std::remove((dir / "calls").c_str());
        answer("losetup-f", {0}, {"/dev/loop7"});
        answer(c.read_only ? "losetup-r" : "losetup_dev_loop7", c.attach_codes);
        loop_attachment loop;
        errdesc_t *err = loop_attachment::attach("/img/disk-flat.vmdk", c.read_only, 30, &loop);
        const std::string attach = c.read_only ? "losetup -r /dev/loop7 /img/disk-flat.vmdk"
                                               : "losetup /dev/loop7 /img/disk-flat.vmdk";
        Calls want;
        for (size_t i = 0; i < c.attach_runs; ++i)
            want.insert(want.end(), {"losetup -f", attach});
        EXPECT_EQ(calls(), want);
        if (c.want_number == 0) {
            ASSERT_EQ(err, nullptr) << err->string;
            EXPECT_EQ(loop.path(), "/dev/loop7");
            loop.release();
        } else {
            ASSERT_NE(err, nullptr);
            EXPECT_EQ(err->number, c.want_number);
            EXPECT_TRUE(loop.empty());
        }
    }
}

TEST_F(LoopDevices, DetachRetriesExitCodeOneTenTimesAndForgetsThePath)
{
    answer("losetup-d", {1});
    std::string dev = "/dev/loop250";
    errdesc_t *err = nullptr;
    const std::string out = rfs_test::capture_stdout([&] { err = vdsk_release_loop_dev(&dev); });
    ASSERT_NE(err, nullptr);
    EXPECT_EQ(err->number, 1);
    EXPECT_TRUE(dev.empty());
    EXPECT_EQ(calls(), Calls(LOOPDEV_ATTEMPTS, "losetup -d /dev/loop250"));
    for (int i = 1; i < LOOPDEV_ATTEMPTS; ++i)
        EXPECT_NE(out.find("vdsk_release_loop_dev retried (" + std::to_string(i) +
                           "): loosetup -d /dev/loop250\n"),
                  std::string::npos)
            << i;
    EXPECT_EQ(out.find("retried (0)"), std::string::npos);
}

TEST_F(LoopDevices, ErrorTexts)
{
    const std::string stays = dir / "stays";
    std::ofstream(stays) << "";
    answer("dmsetupremove", {3});
    std::string dev;
    const struct {
        std::function<errdesc_t *()> run;
        int number; // 0: success
        std::string text;
    } cases[] = {
        {[&] { return vdsk_assign_next_loop_dev(&dev, "/img/x-flat.vmdk", 1, 30); }, ENOENT,
         "Failed to find the next available loop device for /img/x-flat.vmdk"},
        {[&] { return dm_check_and_remove(stays.c_str()); }, EBADF, stays},
        {[&] { return dm_check_and_remove((dir / "gone").c_str()); }, 0, ""},
        // A failing program: its exit code, its command line as the text.
        {[] { return dm_remove_forced("/dev/mapper/x"); }, 3,
         dir / "dmsetup remove -f /dev/mapper/x "},
    };
    for (const auto &c : cases) {
        errdesc_t *err = nullptr;
        rfs_test::capture_stdout([&] { err = c.run(); });
        EXPECT_EQ(err ? err->number : 0, c.number) << c.text;
        EXPECT_EQ(err ? std::string(err->string) : "", c.text);
    }
}

using PartitionMapping = FakePrograms;

TEST_F(PartitionMapping, ProbesClassifyAndAFailedSubtypeProbeIsNeverMounted)
{
    const struct {
        const char *what;
        int vol_id_code;
        const char *word;
        int sfdisk_code;
        vol_type_t vtype;
        fs_type_t fstype;
        int subtype;
    } cases[] = {
        {"file system", 0, "ext4", 0, VOL_FILESYS, FS_TYPE_EXT4, 0x83},
        {"subtype probe fails", 0, "ext4", 1, VOL_UNKNOWN, FS_TYPE_EXT4, 0},
        {"nothing recognised (4)", 4, "", 0, VOL_UNKNOWN, FS_TYPE_UNKNOWN, 0},
        {"probe failure", 2, "ext4", 0, VOL_UNKNOWN, FS_TYPE_UNKNOWN, 0},
        {"volume group member", 0, "LVM2_member", 0, VOL_LVM, FS_TYPE_UNKNOWN, 0},
        {"swap", 0, "swap", 0, VOL_UNMOUNTABLE, FS_TYPE_UNKNOWN, 0},
        {"word found inside another", 0, "ext4dev", 0, VOL_FILESYS, FS_TYPE_EXT4, 0x83},
        {"case matters", 0, "lvm2_member", 0, VOL_UNKNOWN, FS_TYPE_UNKNOWN, 0},
        {"xfs", 0, "xfs", 0, VOL_FILESYS, FS_TYPE_XFS, 0x83},
    };
    std::ofstream(dir / "disk7p1") << "";
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        std::remove((dir / "calls").c_str());
        answer("vol_id-t", {c.vol_id_code}, {c.word});
        answer("sfdisk--print-id", {c.sfdisk_code}, {c.sfdisk_code ? "" : "83"});
        part_map_t map;
        const std::string log = rfs_test::capture_stdout([&] {
            ASSERT_EQ(
                vdsk_get_partitions_at(dir.path().c_str(), "/dev/loop7/disk7", &map, TOL_TRUE),
                nullptr);
        });
        // Only a real probe failure is worth a warning; 4 says "nothing found".
        EXPECT_EQ(log.find("WARNING") != std::string::npos &&
                      log.find("vol_id -t") != std::string::npos,
                  c.vol_id_code != 0 && c.vol_id_code != 4)
            << log;
        ASSERT_EQ(map.count, 1u);
        EXPECT_EQ(map.part[0].vtype, c.vtype);
        EXPECT_EQ(map.part[0].fstype, c.fstype);
        EXPECT_EQ(+map.part[0].fssubtype, c.subtype);
        Calls want = {"kpartx -pp -a /dev/loop7/disk7", "vol_id -t " + dir / "disk7p1"};
        if (c.fstype != FS_TYPE_UNKNOWN) // a file system: its partition type is read
            want.push_back("sfdisk --print-id --force /dev/loop7/disk7 1");
        EXPECT_EQ(calls(), want);
    }
}

TEST_F(PartitionMapping, OwnerMapsAndUnmapsAndAFailedMapHoldsNothing)
{
    answer("kpartx-pp", {0, 0, 1});
    partition_mapping mapping;
    ASSERT_EQ(partition_mapping::map("/dev/mapper/cbt.1", &mapping), nullptr);
    EXPECT_EQ(mapping.device(), "/dev/mapper/cbt.1");
    EXPECT_EQ(mapping.release(), nullptr);
    EXPECT_TRUE(mapping.empty());

    errdesc_t *err = nullptr;
    rfs_test::capture_stdout([&] { err = partition_mapping::map("/dev/mapper/cbt.2", &mapping); });
    ASSERT_NE(err, nullptr);
    EXPECT_EQ(err->number, 1);
    EXPECT_TRUE(mapping.empty());
    // What kpartx mapped before it failed goes with the failure.
    EXPECT_EQ(calls(),
              (Calls{"kpartx -pp -a /dev/mapper/cbt.1", "kpartx -pp -d /dev/mapper/cbt.1",
                     "kpartx -pp -a /dev/mapper/cbt.2", "kpartx -pp -d /dev/mapper/cbt.2"}));
}

using Teardown = FakePrograms;

TEST_F(Teardown, MountIsUnmountedLazilyAndItsDirectoryRemovedEvenWhenBusy)
{
    answer("umount-fl", {0, 16});
    for (int code : {0, 16}) {
        const std::string mnt = dir / ("mnt" + std::to_string(code));
        ASSERT_EQ(mkdir(mnt.c_str(), 0755), 0);
        mount_owner mount = mount_owner::adopt(mnt);
        errdesc_t *err = mount.release();
        EXPECT_EQ(err ? err->number : 0, code);
        EXPECT_FALSE(exists(mnt));
        EXPECT_EQ(calls().back(), "umount -fl " + mnt);
    }
}

TEST_F(Teardown, AFailingRemovalStopsNoLaterStepAndKeepsTheCallersError)
{
    answer("dmsetupremove", {1});
    const std::string table = dir / "cbt.9.dm_table_merge";
    std::ofstream(table) << "0 8 linear /dev/loop7 0\n";
    std::string log;
    errdesc_t *pending = errdesc_set_fmt(ERR_IO, "the caller's error");
    {
        auto h = std::make_unique<tolcbt_merge_handle_t>();
        h->flat_loop = loop_attachment::adopt("/dev/loop7");
        h->tolcbt_loop = loop_attachment::adopt("/dev/loop8");
        h->table = temp_file(table);
        h->device = dm_device::adopt("cbt.9");
        EXPECT_EQ(h->device_path(), "/dev/mapper/cbt.9");
        log = rfs_test::capture_stdout([&] { release_merged_tolcbt(&h); });
        EXPECT_EQ(h, nullptr);
    }
    EXPECT_EQ(calls(), (Calls{"dmsetup remove -f /dev/mapper/cbt.9", "losetup -d /dev/loop8",
                              "losetup -d /dev/loop7"}));
    EXPECT_FALSE(exists(table));
    EXPECT_NE(log.find("WARNING [thread:"), std::string::npos) << log;
    EXPECT_EQ(pending->number, ERR_IO);
    EXPECT_STREQ(pending->string, "the caller's error");
}

TEST_F(Teardown, FailedCreateUndoesEverythingItMade)
{
    rfs_test::write_file(dir / "disk-flat.vmdk", std::string(1 << 20, 'f'));
    const auto cbt = make_cbt({{4096, 4096, CBT_MAGIC_EXTENT_LAST}});
    rfs_test::write_file(dir / "disk-tolcbt.vmdk", std::string(cbt.begin(), cbt.end()));
    answer("losetup-f", {0}, {"/dev/loop7", "/dev/loop8"});
    answer("dmsetupcreate", {1});
    answer("dmsetupremove", {1});

    std::unique_ptr<tolcbt_merge_handle_t> h;
    errdesc_t *err = nullptr;
    rfs_test::capture_stdout([&] {
        err = get_merged_tolcbt((dir / "disk-flat.vmdk").c_str(),
                                (dir / "disk-tolcbt.vmdk").c_str(), &h);
    });
    ASSERT_NE(err, nullptr);
    EXPECT_EQ(err->number, 1) << "the create's error, not the removal's";
    EXPECT_EQ(h, nullptr);

    const Calls made = calls();
    ASSERT_EQ(made.size(), 8u);
    const std::string create = made[4];
    ASSERT_EQ(create.rfind("dmsetup create cbt.", 0), 0u) << create;
    const std::string name = create.substr(15, create.find(' ', 15) - 15);
    EXPECT_EQ(create, "dmsetup create " + name + " /tmp/" + name + ".dm_table_merge");
    EXPECT_FALSE(exists("/tmp/" + name + ".dm_table_merge"));
    EXPECT_EQ(Calls(made.begin() + 5, made.end()),
              (Calls{"dmsetup remove -f /dev/mapper/" + name, "losetup -d /dev/loop8",
                     "losetup -d /dev/loop7"}));
}

} // namespace
