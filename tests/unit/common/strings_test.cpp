// Bounded copying and formatting: cut at the boundary, always terminated.

#include "common/strings.hpp"
#include "test_support.hpp"

#include <cstring>
#include <gtest/gtest.h>
#include <string>

namespace
{

TEST(SafeStrncpy, FillsCutsAndTerminates)
{
    char buf[8];
    memset(buf, 'x', sizeof(buf));
    tol_safe_strncpy(buf, "abc", sizeof(buf));
    EXPECT_EQ(std::string(buf, sizeof(buf)), std::string("abc\0\0\0\0\0", 8)) << "rest is NUL";
    for (const char *src : {"abcdefgh", "abcdefghijk"}) { // exactly n bytes, and more
        tol_safe_strncpy(buf, src, sizeof(buf));
        EXPECT_STREQ(buf, "abcdefg") << src;
    }
    char one[1] = {'z'};
    tol_safe_strncpy(one, "abc", 1);
    EXPECT_EQ(one[0], '\0');
}

TEST(Snprintf, TooLongIsReportedNotSilent)
{
    char buf[8];
    std::string out = rfs_test::capture_stdout([&] {
        EXPECT_EQ(tol_snprintf(buf, sizeof(buf), "%s/%s", "/a", "vm"), 5);
        EXPECT_EQ(tol_snprintf(buf, 4, "%s", "abc"), 3); // exactly fits
    });
    EXPECT_STREQ(buf, "abc");
    EXPECT_EQ(out, "");

    out =
        rfs_test::capture_stdout([&] { EXPECT_EQ(tol_snprintf(buf, 8, "%s", "0123456789"), 10); });
    EXPECT_STREQ(buf, "0123456");
    EXPECT_NE(out.find("tol_snprintf"), std::string::npos) << out;
}

TEST(SafeSnprintf, CutsSilentlyAndTerminates)
{
    char buf[8];
    memset(buf, 'x', sizeof(buf));
    std::string out = rfs_test::capture_stdout(
        [&] { EXPECT_EQ(tol_safe_snprintf(buf, sizeof(buf), "%d-%s", 42, "abcdefgh"), 11); });
    EXPECT_STREQ(buf, "42-abcd");
    EXPECT_EQ(out, "");

    char one[1] = {'z'};
    tol_safe_snprintf(one, 1, "%s", "abc");
    EXPECT_EQ(one[0], '\0');
}

} // namespace
