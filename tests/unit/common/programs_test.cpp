// The program index: fixed paths and the two-path rule.

#include "common/programs.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

using rfs_test::temp_dir;

TEST(Programs, PathsOfEveryProgram)
{
    const struct {
        tol_program_t program;
        const char *first;
        const char *second; // nullptr: the path is fixed
    } rows[] = {
        {tol_program_t::dmsetup, "/sbin/dmsetup", nullptr},
        {tol_program_t::losetup, "/sbin/losetup", nullptr},
        {tol_program_t::kpartx, "/sbin/kpartx", nullptr},
        {tol_program_t::pvs, "/usr/sbin/pvs", "/sbin/pvs"},
        {tol_program_t::lvs, "/usr/sbin/lvs", "/sbin/lvs"},
        {tol_program_t::lvchange, "/usr/sbin/lvchange", "/sbin/lvchange"},
        {tol_program_t::vgrename, "/usr/sbin/vgrename", "/sbin/vgrename"},
        {tol_program_t::pvcreate, "/usr/sbin/pvcreate", "/sbin/pvcreate"},
        {tol_program_t::vgcfgrestore, "/usr/sbin/vgcfgrestore", "/sbin/vgcfgrestore"},
        {tol_program_t::vol_id, "/lib/udev/vol_id", "/sbin/vol_id"},
        {tol_program_t::sfdisk, "/sbin/sfdisk", nullptr},
        {tol_program_t::mount, "/bin/mount", nullptr},
        {tol_program_t::umount, "/bin/umount", nullptr},
        {tol_program_t::exportfs, "/usr/sbin/exportfs", nullptr},
        {tol_program_t::fusermount, "/usr/local/tolvane/bin/fusermount", nullptr},
        {tol_program_t::brand_reader, "/usr/local/tolvane/python/branding/BrandReader.py", nullptr},
        {tol_program_t::watchdog_test_controller,
         "/usr/local/tolvane/bin/watchdog-test-controller.py", nullptr},
    };
    for (const auto &r : rows) {
        const bool first_ok = access(r.first, X_OK) == 0;
        const bool second_ok = r.second && access(r.second, X_OK) == 0;
        std::string want = !first_ok && second_ok ? r.second : r.first;
        EXPECT_EQ(tol_program_path(r.program), want) << r.first;
        EXPECT_EQ(tol_program_available(r.program), first_ok || second_ok) << r.first;
    }
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
