// What crash recovery takes for its own: only the device-mapper names and
// loop-device backing files that recovery_fs and its mounter make.

#include "recovery/crash.hpp"

#include <gtest/gtest.h>

TEST(CrashRecovery, OnlyOurDeviceMapperNames)
{
    struct row {
        const char *name;
        bool ours;
    } rows[] = {
        {"cbt.999999", true},
        {"cbt.42p1", true},
        {"1a2b3c.42.dup", true},
        {"1a2b3c.42.top", true},
        {"1a2b3c.42p2--vg0-root", true},
        {"cbt", false},
        {"cbt.1234567", false},
        {"cbt.12.bak", false},
        {"vg0-root", false},
        {"luks-3c1f", false},
        {"1A2B.3", false},
        {"xyz.42", false},
        // kpartx's names for the partitions of a loop device: ours only on
        // a loop device of ours.
        {"loop7p1", true},
        {"loop7p12", true},
        {"loop17p1", false},
        {"loop8p1", false},
    };
    const std::vector<std::string> our_loops{"loop7", "loop9"};
    for (const row &r : rows)
        EXPECT_EQ(crash_is_our_dm_name(r.name, our_loops), r.ours) << r.name;
}

TEST(CrashRecovery, OnlyOurBackingFiles)
{
    crash_scope_t scope{"/scratch", "/mnt/recover", "/var/tolvane/recover"};
    struct row {
        const char *file;
        bool ours;
    } rows[] = {
        {"/scratch/vm1/disk-flat.vmdk", true}, {"/var/tolvane/recover/vm1/x", true},
        {"/tmp/1a2b.42.tolstorage", true},     {"/tmp/cbt.3.dm_table_merge", true},
        {"/scratchy/disk-flat.vmdk", false},   {"/tmp/sub/x.tolstorage", false},
        {"/tmp/x.tolstorage.bak", false},      {"/home/me/vm.img", false},
    };
    for (const row &r : rows)
        EXPECT_EQ(crash_is_our_backing_file(r.file, scope), r.ours) << r.file;
}

TEST(CrashRecovery, StackedDevicesGoFirst)
{
    std::vector<std::string> order = crash_removal_order(
        {"cbt.1", "ab.2.dup", "ab.2", "ab.2.top", "ab.2p1", "ab.2p1--vg-lv", "cbt.1p1", "loop3p1"});
    EXPECT_EQ(order, (std::vector<std::string>{"ab.2p1--vg-lv", "ab.2p1", "cbt.1p1", "loop3p1",
                                               "ab.2.top", "cbt.1", "ab.2", "ab.2.dup"}));
}

TEST(CrashRecovery, MergeTableFileNames)
{
    struct row {
        const char *name;
        int match;
    } rows[] = {{"cbt.12.dm_table_merge", 1}, {"x.dm_table_merge.bak", 0}, {"dm_table_merge", 0}};
    for (const row &r : rows) {
        struct dirent e {
        };
        snprintf(e.d_name, sizeof(e.d_name), "%s", r.name);
        EXPECT_EQ(is_table_merge_file(&e) != 0, r.match != 0) << r.name;
    }
}
