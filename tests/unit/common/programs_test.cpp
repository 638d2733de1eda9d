// The program index: the two-path rule and the directory of fakes.

#include "common/programs.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>

namespace
{

TEST(Programs, ChooseTakesTheFirstExecutableAndARootPointsIntoOneDirectory)
{
    rfs_test::temp_dir dir;
    const std::string usr = dir / "usr_pvs", sbin = dir / "losetup", missing = dir / "missing";
    rfs_test::write_file(usr, "#!/bin/sh\n");
    rfs_test::write_file(sbin, "#!/bin/sh\n");
    chmod(usr.c_str(), 0644);
    chmod(sbin.c_str(), 0755);
    const struct {
        std::string first;
        const char *second;
        std::string want;
    } cases[] = {
        {usr, sbin.c_str(), sbin},        // the first not executable
        {missing, nullptr, missing},      // neither: the first, for a clear ENOENT
        {dir.path(), sbin.c_str(), sbin}, // a directory is no program
        {sbin, usr.c_str(), sbin},
    };
    for (const auto &c : cases)
        EXPECT_EQ(tol_program_choose(c.first.c_str(), c.second), c.want) << c.first;

    const std::string fixed = tol_program_path(tol_program_t::pvs);
    tol_programs_set_root(dir.path().c_str());
    EXPECT_EQ(tol_program_path(tol_program_t::pvs), dir / "pvs");
    EXPECT_TRUE(tol_program_available(tol_program_t::losetup));
    EXPECT_FALSE(tol_program_available(tol_program_t::pvs));
    tol_programs_set_root(nullptr);
    EXPECT_EQ(tol_program_path(tol_program_t::pvs), fixed);
}

} // namespace
