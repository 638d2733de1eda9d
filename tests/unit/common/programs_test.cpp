// The program index: fixed paths, the two-path rule and once-only resolution.

#include "common/programs.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using rfs_test::temp_dir;

TEST(Programs, FixedPaths)
{
    EXPECT_STREQ(tol_program_path(tol_program_t::dmsetup), "/sbin/dmsetup");
    EXPECT_STREQ(tol_program_path(tol_program_t::losetup), "/sbin/losetup");
    EXPECT_STREQ(tol_program_path(tol_program_t::kpartx), "/sbin/kpartx");
    EXPECT_STREQ(tol_program_path(tol_program_t::sfdisk), "/sbin/sfdisk");
    EXPECT_STREQ(tol_program_path(tol_program_t::mount), "/bin/mount");
    EXPECT_STREQ(tol_program_path(tol_program_t::umount), "/bin/umount");
    EXPECT_STREQ(tol_program_path(tol_program_t::exportfs), "/usr/sbin/exportfs");
    EXPECT_STREQ(tol_program_path(tol_program_t::fusermount), "/usr/local/tolvane/bin/fusermount");
    EXPECT_STREQ(tol_program_path(tol_program_t::brand_reader),
                 "/usr/local/tolvane/python/branding/BrandReader.py");
    EXPECT_STREQ(tol_program_path(tol_program_t::watchdog_test_controller),
                 "/usr/local/tolvane/bin/watchdog-test-controller.py");
}

struct two_path {
    tol_program_t program;
    const char *first;
    const char *second;
};

TEST(Programs, TwoPathProgramsFollowTheRule)
{
    const two_path rows[] = {
        {tol_program_t::pvs, "/usr/sbin/pvs", "/sbin/pvs"},
        {tol_program_t::lvs, "/usr/sbin/lvs", "/sbin/lvs"},
        {tol_program_t::lvchange, "/usr/sbin/lvchange", "/sbin/lvchange"},
        {tol_program_t::vgrename, "/usr/sbin/vgrename", "/sbin/vgrename"},
        {tol_program_t::pvcreate, "/usr/sbin/pvcreate", "/sbin/pvcreate"},
        {tol_program_t::vgcfgrestore, "/usr/sbin/vgcfgrestore", "/sbin/vgcfgrestore"},
        {tol_program_t::vol_id, "/lib/udev/vol_id", "/sbin/vol_id"},
    };
    for (const auto &r : rows) {
        std::string want = access(r.first, X_OK) == 0    ? r.first
                           : access(r.second, X_OK) == 0 ? r.second
                                                         : r.first;
        EXPECT_EQ(tol_program_path(r.program), want) << r.first;
        EXPECT_EQ(tol_program_available(r.program),
                  access(r.first, X_OK) == 0 || access(r.second, X_OK) == 0)
            << r.first;
    }
}

TEST(Programs, ResolvedOncePerProcess)
{
    const char *a = tol_program_path(tol_program_t::pvs);
    const char *b = tol_program_path(tol_program_t::pvs);
    EXPECT_EQ(a, b) << "the same resolved entry every time";
}

TEST(Programs, ChooseTakesTheFirstExecutable)
{
    temp_dir dir;
    std::string usr = dir / "usr_pvs";
    std::string sbin = dir / "sbin_pvs";
    std::string missing = dir / "missing";
    rfs_test::write_file(usr, "#!/bin/sh\n");
    rfs_test::write_file(sbin, "#!/bin/sh\n");
    chmod(usr.c_str(), 0644);
    chmod(sbin.c_str(), 0755);

    // The first not executable, the second executable: the second.
    EXPECT_EQ(std::string(tol_program_choose(usr.c_str(), sbin.c_str())), sbin);
    EXPECT_EQ(std::string(tol_program_choose(missing.c_str(), sbin.c_str())), sbin);
    chmod(usr.c_str(), 0755);
    EXPECT_EQ(std::string(tol_program_choose(usr.c_str(), sbin.c_str())), usr);
    // Neither: the first, so that the run fails with a clear ENOENT.
    EXPECT_EQ(std::string(tol_program_choose(missing.c_str(), (dir / "none").c_str())), missing);
    EXPECT_EQ(std::string(tol_program_choose(missing.c_str(), nullptr)), missing);
    // A directory is not a program, even with execute bits.
    EXPECT_EQ(std::string(tol_program_choose(dir.path().c_str(), sbin.c_str())), sbin);
}

} // namespace
