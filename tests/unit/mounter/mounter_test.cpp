// mounter unit tests, one section per subject.

#include "common/programs.hpp"
#include "image/tolcbt.hpp"
#include "mounter/disk_record.hpp"
#include "mounter/dm_names.hpp"
#include "mounter/dm_table.hpp"
#include "mounter/loopdev.hpp"
#include "mounter/made_record.hpp"
#include "mounter/owners.hpp"
#include "mounter/partitions.hpp"
#include "mounter/vmount.hpp"
#include "mounter/volgroups.hpp"
#include "support/temp_dir.hpp"
#include "unit/image/cbt_test_util.hpp"
#include "vmdk/vmdk_open.hpp"

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using rfs_test::outcome;

TEST(DmNames, PrefixDotNumberBelowAMillionThatNoDeviceHasAndRefusals)
{
    rfs_test::temp_dir tmp{"rfs-dmnames"};
    std::string first;
    const time_t before = time(nullptr);
    ASSERT_EQ(dm_mk_unique_name_in(tmp.path().c_str(), "1a2b3c", &first, 10), nullptr);
    const time_t after = time(nullptr);
    unsigned n = 0;
    char rest = 0;
    EXPECT_EQ(sscanf(first.c_str(), "1a2b3c.%u%c", &n, &rest), 1) << first;
    // The number is libc's rand_r seeded with the second of the call, whole
    // (others that know the second, like the bitmap provider, find the name).
    bool drawn = false;
    for (time_t t = before; t <= after; ++t) {
        unsigned seed = static_cast<unsigned>(t);
        drawn = drawn || n == static_cast<unsigned>(rand_r(&seed) % 1000000);
    }
    EXPECT_TRUE(drawn) << first;

    // Once the device exists, the next call (same second, same draw) gets another name.
    std::ofstream(tmp / first) << "";
    std::string second;
    ASSERT_EQ(dm_mk_unique_name_in(tmp.path().c_str(), "1a2b3c", &second, 10), nullptr);
    EXPECT_NE(second, first);

    // A filled output is refused and kept; with no attempts left, EEXIST.
    errdesc_t *err = dm_mk_unique_name_in(tmp.path().c_str(), "cbt", &second, 10);
    EXPECT_EQ(err ? err->number : 0, EINVAL);
    EXPECT_NE(second, "");
    second.clear();
    err = dm_mk_unique_name_in(tmp.path().c_str(), "cbt", &second, 0);
    EXPECT_EQ(err ? err->number : 0, EEXIST);
    EXPECT_EQ(second, "");
}

TEST(DmNames, GrammarGivesTheDeviceThatANameSitsOn)
{
    const dm_name_parts_t lv = dm_parse_name("1a2b3c.42p2--my--vg-root--x");
    EXPECT_EQ(lv.kind, dm_name_kind_t::volume);
    EXPECT_EQ(lv.base + " " + std::to_string(lv.partition) + " " + lv.group + " " + lv.volume,
              "1a2b3c.42 2 1a2b3c.42p2-my-vg root-x");
    EXPECT_EQ(dm_parse_name("cbt.7p3").base, "cbt.7");
    EXPECT_EQ(dm_parse_name("cbt.7p3").kind, dm_name_kind_t::partition);
    EXPECT_EQ(dm_parse_name("loop12p1").base, "loop12");
    EXPECT_EQ(dm_parse_name("ff.1.dup").kind, dm_name_kind_t::dup);
    EXPECT_EQ(dm_parse_name("cbt.7p3--vg-lv").kind, dm_name_kind_t::none); // no LVM on merged
}

TEST(MadeRecord, LinesRoundTripAndMalformedOnesAreSkipped)
{
    const made_entry_t loop{made_kind_t::loop, "/dev/loop3", "/mnt/a b/x\\y\nz-flat.vmdk"};
    const std::string line = made_format_line(true, loop);
    EXPECT_EQ(line, "+loop /dev/loop3 /mnt/a\\040b/x\\134y\\012z-flat.vmdk\n");
    bool made = false;
    made_entry_t back;
    ASSERT_TRUE(made_parse_line(line.substr(0, line.size() - 1), &made, &back));
    EXPECT_TRUE(made);
    EXPECT_EQ(back, loop);
    for (const char *bad : {"", "+loop /dev/loop3", "+dm", "*dm cbt.1", "+disk x",
                            "+dm cbt.1 extra", "+file /tmp/a\\09", "+file /tmp/a\\1"})
        EXPECT_FALSE(made_parse_line(bad, &made, &back)) << bad;

    // Forgetting takes the last one made; a line cut short by a kill is ignored.
    const std::string text = "+dm cbt.1\n+mount /v/a/0\n+dm cbt.1\ngarbage\n-dm cbt.1\n"
                             "+file /tmp/cbt.2.dm_table_merge\n-mount /v/a/0\n+dm cbt.3";
    EXPECT_EQ(made_parse_record(text),
              (std::vector<made_entry_t>{{made_kind_t::dm, "cbt.1", ""},
                                         {made_kind_t::file, "/tmp/cbt.2.dm_table_merge", ""}}));
}

// A child process that records two objects and forgets one, then waits for a
// byte on `go` before it exits. Daemonized, it goes on in a process of its
// own and the child exits at once, as libfuse's background fork does.
pid_t recording_child(const std::string &dir, int ready, int go, bool daemonize = false)
{
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    bool ok = made_record_enable(dir.c_str()) == nullptr && made_record_enabled();
    if (daemonize && fork() != 0)
        _exit(0);
    made_note(made_kind_t::loop, "/dev/loop9", "/s/d-flat.vmdk");
    made_note(made_kind_t::dm, "cbt.5");
    made_forget(made_kind_t::loop, "/dev/loop9");
    char c = ok ? 'y' : 'n';
    (void)!write(ready, &c, 1);
    (void)!read(go, &c, 1);
    _exit(0);
}

TEST(MadeRecord, ALiveOwnersRecordIsReadAndADeadOnesIsTakenReplacedAndRemoved)
{
    rfs_test::temp_dir tmp{"rfs-made"};
    const std::string dir = tmp.path() + "/records";
    int ready[2], go[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(go), 0);
    pid_t child = recording_child(dir, ready[1], go[0]);
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    EXPECT_EQ(c, 'y');

    std::vector<made_record_file_t> dead;
    std::vector<made_entry_t> live;
    made_records_scan(dir.c_str(), &dead, &live);
    EXPECT_TRUE(dead.empty());
    EXPECT_EQ(live, (std::vector<made_entry_t>{{made_kind_t::dm, "cbt.5", ""}}));

    ASSERT_EQ(write(go[1], "x", 1), 1);
    int status = 0;
    waitpid(child, &status, 0);
    live.clear();
    made_records_scan(dir.c_str(), &dead, &live);
    EXPECT_TRUE(live.empty());
    ASSERT_EQ(dead.size(), 1u);
    EXPECT_EQ(dead[0].entries, (std::vector<made_entry_t>{{made_kind_t::dm, "cbt.5", ""}}));

    // What is left stays for the next scan, still dead; nothing left, no record.
    const made_entry_t held{made_kind_t::dm, "cbt.5", ""};
    ASSERT_EQ(made_record_replace(&dead[0], {held}), nullptr);
    std::vector<made_record_file_t> again;
    made_records_scan(dir.c_str(), &again, &live);
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(again[0].entries, std::vector<made_entry_t>{held});
    ASSERT_EQ(made_record_replace(&again[0], {}), nullptr);
    EXPECT_TRUE(std::filesystem::is_empty(dir));

    // The lock outlives the process that took it in the daemon it forked,
    // and a scan does not wait for the gone process.
    child = recording_child(dir, ready[1], go[0], true);
    waitpid(child, &status, 0);
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    dead.clear();
    live.clear();
    const time_t before = time(nullptr);
    made_records_scan(dir.c_str(), &dead, &live);
    EXPECT_LE(time(nullptr) - before, 1);
    EXPECT_TRUE(dead.empty());
    EXPECT_EQ(live.size(), 1u);
    ASSERT_EQ(write(go[1], "x", 1), 1);
    for (int i = 0; i < 50 && dead.empty(); ++i) {
        usleep(100000);
        made_records_scan(dir.c_str(), &dead, &live);
    }
    EXPECT_EQ(dead.size(), 1u);
    for (int fd : {ready[0], ready[1], go[0], go[1]})
        close(fd);
}

// A flat disk descriptor with `cid` in `dir`, with or without its extent line.
std::string write_descriptor(const std::string &dir, const std::string &cid, bool with_extent)
{
    std::ofstream(dir + "/disk-flat.vmdk") << "";
    std::ofstream(dir + "/disk.vmdk") << "# Disk DescriptorFile\nversion=1\nCID=" << cid
                                      << "\nparentCID=ffffffff\ncreateType=\"monolithicFlat\"\n"
                                      << (with_extent ? "RW 2048 FLAT \"disk-flat.vmdk\" 0\n" : "");
    return dir + "/disk.vmdk";
}

TEST(DiskRecord, OpenNamesTheDiskAfterItsCidAndFailedOpenOrCloseClears)
{
    const struct {
        const char *cid; // nullptr: no descriptor at all
        bool with_extent;
        std::string error; // T: the directory
    } cases[] = {{"0abcdef1", true, ""},
                 {"00000000", true, "22 Invalid vdsk uuid"},
                 {"0abcdef1", false, "22 Disk extent #0 is missing"},
                 {nullptr, true, "2 T/absent.vmdk: No such file or directory"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.cid ? c.cid : "(no descriptor)");
        rfs_test::temp_dir tmp{"rfs-vdsk"};
        const std::string path =
            c.cid ? write_descriptor(tmp.path(), c.cid, c.with_extent) : tmp / "absent.vmdk";
        vdskdesc_t d;
        d.name = "old";
        errdesc_t *err = vdsk_open(path.c_str(), &d);
        EXPECT_EQ(outcome(err, tmp.path()), c.error);
        if (!err) {
            EXPECT_EQ(std::make_tuple(d.magic, d.type, d.uuid, d.name, d.vdsk_path),
                      std::make_tuple(VDSKDESC_MAGIC, VD_VMDK, 0x0abcdef1u, "abcdef1", path));
            EXPECT_EQ(d.vdsk_extent_path, tmp / "disk-flat.vmdk");
            EXPECT_NE(d.desc.vmdkdesc, nullptr);
            vdsk_close(&d);
            // Without a device-mapper device there is nothing to free.
            EXPECT_EQ(vdsk_free_partitions(&d), nullptr);
        }
        EXPECT_TRUE(d.magic == 0 && d.uuid == 0 && d.type == VD_UNKNOWN && !d.desc.vmdkdesc &&
                    d.vdsk_path.empty() && d.name.empty() && d.vdsk_extent_path.empty())
            << "cleared";
    }
}

// Scripted stand-ins for the programs of the program table while the fixture
// lives. Every run appends "NAME ARGS" to the file "calls". Runs keyed by the
// program and its first argument ("losetup-d", "dmsetupremove") answer with the
// exit codes and output lines of KEY.rc and KEY.out in turn, the last one
// repeating; without them a run prints nothing and exits 0.
using Calls = std::vector<std::string>;

class FakePrograms : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        for (const char *name :
             {"losetup", "dmsetup", "kpartx", "sfdisk", "vol_id", "umount", "lvchange"}) {
            std::ofstream(dir / name) << script;
            chmod((dir / name).c_str(), 0755);
        }
        tol_programs_set_root(dir.path().c_str());
    }
    void TearDown() override { tol_programs_set_root(nullptr); }

    // Runs keyed `key` answer with these exit codes and output lines in turn.
    void answer(const std::string &key, const std::vector<int> &codes,
                const std::vector<std::string> &lines = {})
    {
        std::ofstream rc(dir / (key + ".rc")), out(dir / (key + ".out"));
        for (int code : codes)
            rc << code << "\n";
        for (const auto &line : lines)
            out << line << "\n";
    }

    Calls calls() const
    {
        std::ifstream in(dir / "calls");
        Calls lines;
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        return lines;
    }

    rfs_test::temp_dir dir{"rfs-fakes"};

  private:
    static constexpr const char *script = R"SH(#!/bin/sh
d=$(dirname "$0")
key=$(basename "$0")$(printf '%s' "$1" | tr -c 'a-z0-9-' '_')
echo "$(basename "$0") $*" >> "$d/calls"
next() { [ -s "$1" ] || return 1; head -n 1 "$1"; [ "$(wc -l < "$1")" -gt 1 ] && sed -i 1d "$1"; return 0; }
next "$d/$key.out"
rc=$(next "$d/$key.rc") || rc=0
exit "$rc"
)SH";
};

using PartitionScan = FakePrograms; // the probes find nothing

TEST_F(PartitionScan, EntriesStayPackedInPartitionOrderAndFreeingClears)
{
    rfs_test::temp_dir tmp{"rfs-parts"};
    part_map_t map;
    ASSERT_EQ(vdsk_get_partitions_at(tmp.path().c_str(), "/dev/loop9", &map, TOL_FALSE), nullptr);
    EXPECT_EQ(map.count, 0u) << "a device without partitions";
    EXPECT_EQ(map.magic, PART_MAP_MAGIC);

    for (const char *n :
         {"cbt.42p1", "cbt.42p2", "cbt.42p5", "cbt.42p19", "cbt.42p20", "cbt.4p1", "cbt.42p"})
        std::ofstream(tmp / n) << "";
    map.part[7].name = "stale";
    ASSERT_EQ(vdsk_get_partitions_at(tmp.path().c_str(), "/dev/mapper/cbt.42", &map, TOL_FALSE),
              nullptr);
    ASSERT_EQ(map.count, 4u) << "partitions 1 to 19 only";
    const char *want[] = {"cbt.42p1", "cbt.42p2", "cbt.42p5", "cbt.42p19"};
    for (uint32_t i = 0; i < map.count; ++i) {
        EXPECT_EQ(map.part[i].name, tmp / want[i]);
        EXPECT_EQ(map.part[i].magic, PARTLOGVOL_MAGIC);
        EXPECT_TRUE(map.part[i].mnt_dir.empty());
    }
    EXPECT_TRUE(map.part[7].name.empty()) << "unused entries are cleared";

    map.part[1].mnt_dir = "/vol/2";
    ASSERT_EQ(vdsk_free_partitions_ex("/dev/mapper/cbt.42", &map, TOL_FALSE), nullptr);
    EXPECT_EQ(map.count, 0u);
    EXPECT_TRUE(map.part[0].name.empty());
    EXPECT_TRUE(map.part[1].mnt_dir.empty());
}

using LoopDevices = FakePrograms;

TEST_F(LoopDevices, AttachPassesReadOnlyAndRetriesOnlyALostRace)
{
    const struct {
        const char *what;
        bool read_only;
        std::vector<int> attach_codes; // one attaching run each, the last one repeating
        int want_number;               // 0: attached
    } cases[] = {{"read-only", true, {0}, 0},
                 {"read-write", false, {0}, 0},
                 {"device taken meanwhile (1, then 2)", true, {1, 2, 0}, 0},
                 {"other failure", true, {5}, 5}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        std::remove((dir / "calls").c_str());
        answer("losetup-f", {0}, {"/dev/loop7"});
        answer(c.read_only ? "losetup-r" : "losetup_dev_loop7", c.attach_codes);
        loop_attachment loop;
        errdesc_t *err = loop_attachment::attach("/img/disk-flat.vmdk", c.read_only, 30, &loop);
        const std::string attach =
            std::string(c.read_only ? "losetup -r" : "losetup") + " /dev/loop7 /img/disk-flat.vmdk";
        Calls want;
        for (size_t i = 0; i < c.attach_codes.size(); ++i)
            want.insert(want.end(), {"losetup -f", attach});
        EXPECT_EQ(calls(), want);
        EXPECT_EQ(err ? err->number : 0, c.want_number);
        EXPECT_EQ(loop.path(), c.want_number ? "" : "/dev/loop7");
        loop.release();
    }
}

TEST_F(LoopDevices, DetachRetriesExitCodeOneTenTimesAndForgetsThePath)
{
    answer("losetup-d", {1});
    std::string dev = "/dev/loop250";
    errdesc_t *err = nullptr;
    const std::string out = rfs_test::capture_stdout([&] { err = vdsk_release_loop_dev(&dev); });
    EXPECT_EQ(err ? err->number : 0, 1);
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
        std::string error;
    } cases[] = {
        {[&] { return vdsk_assign_next_loop_dev(&dev, "/img/x-flat.vmdk", 1, 30); },
         "2 Failed to find the next available loop device for /img/x-flat.vmdk"},
        {[&] { return dm_check_and_remove(stays.c_str()); }, "9 T/stays"},
        {[&] { return dm_check_and_remove((dir / "gone").c_str()); }, ""},
        // A failing program: its exit code, its command line as the text.
        {[] { return dm_remove_forced("/dev/mapper/x"); }, "3 T/dmsetup remove -f /dev/mapper/x "}};
    for (const auto &c : cases) {
        errdesc_t *err = nullptr;
        rfs_test::capture_stdout([&] { err = c.run(); });
        EXPECT_EQ(outcome(err, dir.path()), c.error);
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
    } cases[] = {{"file system", 0, "ext4", 0, VOL_FILESYS, FS_TYPE_EXT4, 0x83},
                 {"subtype probe fails", 0, "ext4", 1, VOL_UNKNOWN, FS_TYPE_EXT4, 0},
                 {"nothing recognised (4)", 4, "", 0, VOL_UNKNOWN, FS_TYPE_UNKNOWN, 0},
                 {"probe failure", 2, "ext4", 0, VOL_UNKNOWN, FS_TYPE_UNKNOWN, 0},
                 {"volume group member", 0, "LVM2_member", 0, VOL_LVM, FS_TYPE_UNKNOWN, 0},
                 {"swap", 0, "swap", 0, VOL_UNMOUNTABLE, FS_TYPE_UNKNOWN, 0},
                 {"word found inside another", 0, "ext4dev", 0, VOL_FILESYS, FS_TYPE_EXT4, 0x83},
                 {"case matters", 0, "lvm2_member", 0, VOL_UNKNOWN, FS_TYPE_UNKNOWN, 0},
                 {"xfs", 0, "xfs", 0, VOL_FILESYS, FS_TYPE_XFS, 0x83}};
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
        EXPECT_EQ(std::make_tuple(map.part[0].vtype, map.part[0].fstype, +map.part[0].fssubtype),
                  std::make_tuple(c.vtype, c.fstype, c.subtype));
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
    EXPECT_EQ(err ? err->number : 0, 1);
    EXPECT_TRUE(mapping.empty());
    // What kpartx mapped before it failed goes with the failure.
    EXPECT_EQ(calls(),
              (Calls{"kpartx -pp -a /dev/mapper/cbt.1", "kpartx -pp -d /dev/mapper/cbt.1",
                     "kpartx -pp -a /dev/mapper/cbt.2", "kpartx -pp -d /dev/mapper/cbt.2"}));
}

using Teardown = FakePrograms;

TEST_F(Teardown, OwnersReleaseWhenAssignedAnotherWhenGoneAndMountsLazilyEvenWhenBusy)
{
    loop_attachment loop = loop_attachment::adopt("/dev/loop7");
    loop = loop_attachment::adopt("/dev/loop8");
    EXPECT_EQ(calls(), Calls{"losetup -d /dev/loop7"});
    EXPECT_EQ(loop.release(), nullptr);
    EXPECT_EQ(calls(), (Calls{"losetup -d /dev/loop7", "losetup -d /dev/loop8"}));
    std::ofstream(dir / "table") << "";
    temp_file{dir / "table"};
    EXPECT_FALSE(std::filesystem::exists(dir / "table"));

    answer("umount-fl", {0, 16});
    for (int code : {0, 16}) {
        const std::string mnt = dir / ("mnt" + std::to_string(code));
        ASSERT_EQ(mkdir(mnt.c_str(), 0755), 0);
        mount_owner mount = mount_owner::adopt(mnt);
        errdesc_t *err = mount.release();
        EXPECT_EQ(err ? err->number : 0, code);
        EXPECT_FALSE(std::filesystem::exists(mnt)) << "removed even when busy";
        EXPECT_EQ(calls().back(), "umount -fl " + mnt);
    }
}

// A failed create, and a release, run the same steps: a failing removal is
// logged and stops no later step, and the error in flight survives it.
TEST_F(Teardown, FailedCreateUndoesEverythingItMadeAsReleaseDoes)
{
    rfs_test::write_file(dir / "disk-flat.vmdk", std::string(1 << 20, 'f'));
    const auto cbt = make_cbt({{4096, 4096, CBT_MAGIC_EXTENT_LAST}});
    rfs_test::write_file(dir / "disk-tolcbt.vmdk", std::string(cbt.begin(), cbt.end()));
    answer("losetup-f", {0}, {"/dev/loop7", "/dev/loop8", "/dev/loop7", "/dev/loop8"});
    answer("dmsetupcreate", {1, 0});
    answer("dmsetupremove", {3});

    std::unique_ptr<tolcbt_merge_handle_t> h;
    auto create = [&] {
        return get_merged_tolcbt((dir / "disk-flat.vmdk").c_str(),
                                 (dir / "disk-tolcbt.vmdk").c_str(), &h);
    };
    errdesc_t *err = nullptr;
    const std::string log = rfs_test::capture_stdout([&] { err = create(); });
    EXPECT_EQ(err ? err->number : 0, 1) << "the create's error, not the removal's";
    EXPECT_NE(log.find("WARNING [thread:"), std::string::npos) << log;
    EXPECT_EQ(h, nullptr);
    rfs_test::capture_stdout([&] { err = create(); });
    ASSERT_EQ(err, nullptr) << "the second create succeeds";
    rfs_test::capture_stdout([&] { release_merged_tolcbt(&h); });
    EXPECT_EQ(h, nullptr);

    const Calls made = calls();
    ASSERT_EQ(made.size(), 16u);
    for (size_t at : {4, 12}) {
        const std::string create = made[at];
        ASSERT_EQ(create.rfind("dmsetup create cbt.", 0), 0u) << create;
        const std::string name = create.substr(15, create.find(' ', 15) - 15);
        EXPECT_EQ(create, "dmsetup create " + name + " /tmp/" + name + ".dm_table_merge");
        EXPECT_FALSE(std::filesystem::exists("/tmp/" + name + ".dm_table_merge"));
        EXPECT_EQ(Calls(made.begin() + at + 1, made.begin() + at + 4),
                  (Calls{"dmsetup remove -f /dev/mapper/" + name, "losetup -d /dev/loop8",
                         "losetup -d /dev/loop7"}));
    }
}

using file_ptr = std::unique_ptr<FILE, int (*)(FILE *)>;

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
    // Lines without a full identifier are copied unchanged.
    std::string want = metadata, pv;
    for (const char *tail : {"gggggg", "hhhhhh", "iiiiii"})
        want.replace(want.find(tail), 6, "123456");
    file_ptr in(fmemopen(const_cast<char *>(metadata.data()), metadata.size(), "r"), fclose);
    char *buf = nullptr;
    size_t len = 0;
    FILE *out = open_memstream(&buf, &len);
    int pvs = 0;
    EXPECT_EQ(lvm_rewrite_ids(in.get(), out, "123456", &pv, &pvs), nullptr);
    fclose(out);
    EXPECT_EQ(std::string(buf, len), want);
    free(buf);
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
    } cases[] = {{{5}, {5, 1, 1}, 5}, {{0, 5, 5, 5, 5, 0}, {1, 4, 1}, 0}, {{0}, {1, 1, 1}, 0}};
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
        const char *want; // the options, or the refusal
    } cases[] = {{FS_TYPE_UFS, 0xa5, "-oro,ufstype=44bsd"},
                 {FS_TYPE_UFS, 0xa8, "22 Cannot mount fstype=6, fssubtype=a8"},
                 {FS_TYPE_NTFS, 7, "-oro,streams_interface=windows"},
                 {FS_TYPE_EXT3, 0x83, "-oro"},
                 {FS_TYPE_VFAT, 0xc, "-oro"},
                 {FS_TYPE_XFS, 0, "-oro,nouuid"},
                 {FS_TYPE_SWAP, 0x82, "22 Cannot mount fstype=8, fssubtype=82"}};
    for (const auto &c : cases) {
        const char *options = nullptr;
        errdesc_t *err =
            vdsk_mount_options(c.fstype, static_cast<fs_subtype_t>(c.subtype), &options);
        EXPECT_EQ(err ? outcome(err) : options, c.want);
    }
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

// The device-mapper table of a disk chain, compared line by line with a table
// that the test computes grain by grain from the grain tables it wrote.
constexpr uint32_t GS = 128;  // grain size of the hosted sparse disks
constexpr uint32_t GTE = 512; // their entries per grain table
// Two full grain tables and five grains of a third.
constexpr uint32_t CAP = 2 * GTE * GS + 5 * GS;

// One disk of a chain, base first in a case. Sparse disks list their grains
// as grain -> slot: the slot-th grain of the file's data area.
struct disk_layout {
    enum kind_t { FLAT, SPARSE, COWD, ZERO } kind = SPARSE;
    std::map<uint32_t, uint32_t> grains;
    uint32_t grainsize = GS;
    int64_t size_delta = 0;      // bytes more or less than declared (flat) or needed (sparse)
    uint32_t numgtespergt = GTE; // COWD disks have 4096
};

// Writes the extent file and returns the sector of each grain (the oracle's
// view of the grain tables).
std::map<uint32_t, uint64_t> write_extent(const std::string &path, const disk_layout &d)
{
    std::map<uint32_t, uint64_t> where;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (d.kind == disk_layout::FLAT || d.kind == disk_layout::ZERO) {
        EXPECT_EQ(ftruncate(fd, int64_t(CAP) * 512 + d.size_delta), 0);
        close(fd);
        return where;
    }
    const uint32_t n = d.numgtespergt, gs = d.grainsize;
    const uint32_t tables = (CAP / gs + n - 1) / n;
    const uint64_t gd = d.kind == disk_layout::COWD ? 5 : 1; // after the header
    const uint64_t gt_sectors = n * 4 / 512;
    uint64_t next_gt = gd + (tables * 4 + 511) / 512;
    std::vector<uint32_t> dir(tables), gt(uint64_t(tables) * n);
    for (const auto &[grain, slot] : d.grains)
        if (!dir[grain / n])
            dir[grain / n] = uint32_t(next_gt), next_gt += gt_sectors;
    const uint64_t data = next_gt;
    uint64_t end = std::max<uint64_t>(data, 5); // the header is read as 2050 bytes
    for (const auto &[grain, slot] : d.grains) {
        where[grain] = data + uint64_t(slot) * gs;
        gt[grain] = uint32_t(where[grain]);
        end = std::max(end, where[grain] + gs);
    }
    char hdr[2050] = {};
    auto put32 = [&](int off, uint32_t v) { memcpy(hdr + off, &v, 4); };
    auto put64 = [&](int off, uint64_t v) { memcpy(hdr + off, &v, 8); };
    if (d.kind == disk_layout::COWD) {
        memcpy(hdr, "COWD", 4);
        put32(4, 1), put32(8, 3), put32(12, CAP), put32(16, gs), put32(20, uint32_t(gd));
        put32(24, tables);
    } else {
        memcpy(hdr, "KDMV", 4);
        put32(4, 1), put64(12, CAP), put64(20, gs), put32(44, n), put64(56, gd);
    }
    EXPECT_EQ(pwrite(fd, hdr, sizeof hdr, 0), ssize_t(sizeof hdr));
    EXPECT_EQ(pwrite(fd, dir.data(), dir.size() * 4, gd * 512), ssize_t(dir.size() * 4));
    for (uint32_t t = 0; t < tables; t++) {
        if (dir[t]) {
            EXPECT_EQ(pwrite(fd, &gt[uint64_t(t) * n], n * 4, off_t(dir[t]) * 512), n * 4);
        }
    }
    EXPECT_EQ(ftruncate(fd, off_t(end * 512) + d.size_delta), 0);
    close(fd);
    return where;
}

// Writes the chain (base first) and returns the newest disk's descriptor.
std::string write_chain(const rfs_test::temp_dir &tmp, const std::vector<disk_layout> &chain,
                        std::vector<std::map<uint32_t, uint64_t>> *grains)
{
    const char *words[] = {"FLAT", "SPARSE", "VMFSSPARSE", "ZERO"};
    std::string desc;
    for (size_t k = 0; k < chain.size(); k++) {
        const std::string name = "d" + std::to_string(k);
        grains->insert(grains->begin(), write_extent(tmp / (name + "-x.vmdk"), chain[k]));
        std::ofstream out(tmp / (name + ".vmdk"));
        out << "# Disk DescriptorFile\nversion=1\nCID=" << 100 + k
            << "\nparentCID=" << (k ? std::to_string(99 + k) : "ffffffff")
            << "\ncreateType=\"custom\"\n";
        if (k)
            out << "parentFileNameHint=\"" << desc << "\"\n";
        out << "RW " << CAP << " " << words[chain[k].kind] << " \"" << name << "-x.vmdk\""
            << (chain[k].kind == disk_layout::FLAT ? " 0" : "") << "\n";
        desc = name + ".vmdk";
    }
    return tmp / desc;
}

// The table of the chain (newest first in `grains` and `disks`), grain by
// grain: each grain from the newest disk holding it, merged with the grain
// before when the same disk supplies both from adjacent sectors within one
// grain table of the newest disk.
std::string oracle(const std::vector<disk_layout> &disks,
                   const std::vector<std::map<uint32_t, uint64_t>> &grains)
{
    if (disks[0].kind == disk_layout::FLAT) // one line, whatever its size
        return "0 " + std::to_string(CAP) + " linear /dev/L0 0\n";
    struct src_t {
        int disk;
        uint64_t sector;
    };
    std::string lines;
    const uint32_t n = disks[0].numgtespergt, gs = disks[0].grainsize;
    src_t run{};
    uint64_t start = 0, len = 0;
    auto flush = [&] {
        if (len)
            lines += std::to_string(start * gs) + " " + std::to_string(len * gs) +
                     (run.disk < 0 ? " zero\n"
                                   : " linear /dev/L" + std::to_string(run.disk) + " " +
                                         std::to_string(run.sector) + "\n");
    };
    for (uint32_t g = 0; g < CAP / gs; g++) {
        src_t src{-1, 0};
        for (size_t k = 0; k < disks.size(); k++) {
            if (disks[k].kind == disk_layout::FLAT) {
                src = {int(k), uint64_t(g) * gs};
                break;
            }
            if (auto it = grains[k].find(g); it != grains[k].end()) {
                src = {int(k), it->second};
                break;
            }
        }
        bool joins = len && g % n && src.disk == run.disk &&
                     (src.disk < 0 || src.sector == run.sector + len * gs);
        if (!joins) {
            flush();
            run = src, start = g, len = 0;
        }
        len++;
    }
    flush();
    return lines;
}

// The table of the chain whose newest disk is `desc_path`, or "error: TEXT".
std::string emit(const std::string &desc_path)
{
    vmdkdesc_t d;
    uint32_t len = 0;
    std::string table;
    errdesc_t *err = vmdk_open(desc_path.c_str(), &d);
    if (!err && !(err = vmdk_open_dm_chain(&d, &len))) {
        for (uint32_t k = 0; k < len; k++) {
            vmdkdesc_t *disk = vmdk_chain_disk(&d, k);
            for (uint32_t e = 0; e < disk->extentdesccount; e++)
                disk->extentdesc[e]->loopdev = "/dev/L" + std::to_string(k);
        }
        const std::string out = desc_path + ".table";
        file_ptr f(fopen(out.c_str(), "w"), fclose);
        err = vmdk_emit_dm_table(fileno(f.get()), &d, len);
        vmdk_close_dm_chain(&d, len);
        table = rfs_test::read_file(out);
    }
    vmdk_close(&d);
    return err ? "error: " + std::string(err->string) : table;
}

disk_layout flat(int64_t delta = 0)
{
    return {disk_layout::FLAT, {}, GS, delta};
}
disk_layout sparse(std::map<uint32_t, uint32_t> g, uint32_t gs = GS, int64_t delta = 0,
                   uint32_t gtes = GTE)
{
    return {disk_layout::SPARSE, std::move(g), gs, delta, gtes};
}

// Each case is a chain, base first; a refused chain names its cause.
TEST(DmTable, ChainMatchesTheGrainByGrainTableOrIsRefused)
{
    const uint32_t last = CAP / GS - 1;
    const disk_layout zero{disk_layout::ZERO, {}};
    const struct {
        const char *what;
        std::vector<disk_layout> chain;
        const char *error = ""; // empty: the table must match the oracle
    } cases[] = {
        {"flat disk alone", {flat()}},
        {"two grains stored together", {flat(), sparse({{0, 0}, {1, 1}})}},
        {"grains not stored one after the other", {flat(), sparse({{0, 0}, {1, 2}, {2, 1}})}},
        {"empty delta: one line per grain table", {flat(), sparse({})}},
        {"run stops at a grain table", {flat(), sparse({{GTE - 1, 0}, {GTE, 1}, {last, 2}})}},
        {"delta over a sparse base, holes read as zeros",
         {sparse({{2, 0}, {3, 1}, {4, 2}, {700, 3}}), sparse({{3, 0}, {5, 1}})}},
        {"three levels over sparse",
         {sparse({{0, 0}, {1, 1}, {GTE + 4, 2}}), sparse({{1, 0}}), sparse({{GTE + 5, 0}})}},
        {"COWD delta over flat",
         {flat(), {disk_layout::COWD, {{0, 0}, {1, 1}, {300, 2}}, 1, 0, 4096}}},
        {"sparse disk alone", {sparse({{0, 3}, {1, 0}})}},
        {"flat one sector short", {flat(-512)}, "do not match with the expected extent size"},
        {"flat base one sector short",
         {flat(-512), sparse({})},
         "do not match with the expected extent size"},
        {"grain size differs", {sparse({{0, 0}}, 2 * GS), sparse({})}, "differing grain geometry"},
        {"entries per grain table differ",
         {sparse({{0, 0}}, GS, 0, GTE / 2), sparse({})},
         "differing grain geometry"},
        // The grain's last sector is cut short.
        {"grain beyond the end of its file",
         {flat(), sparse({{1, 0}}, GS, -1)},
         "beyond the end of the file"},
        {"zero extent", {zero}, "of kind ET_ZERO, which cannot be mapped"},
        {"zero extent below a delta", {zero, sparse({})}, "which a snapshot chain cannot map"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        rfs_test::temp_dir tmp{"rfs-dmtable"};
        std::vector<std::map<uint32_t, uint64_t>> grains;
        const std::string got = emit(write_chain(tmp, c.chain, &grains));
        if (*c.error) {
            EXPECT_NE(got.find(c.error), std::string::npos) << got;
            continue;
        }
        EXPECT_EQ(got, oracle({c.chain.rbegin(), c.chain.rend()}, grains));
    }
}
