// Bounded copying and formatting: cut at the boundary, always terminated;
// only tol_snprintf reports a cut.

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
    tol_safe_strncpy(buf, "abcdefgh", sizeof(buf)); // exactly n bytes
    EXPECT_STREQ(buf, "abcdefg");
    tol_safe_strncpy(buf, "abc", 1);
    EXPECT_EQ(buf[0], '\0');
}

TEST(Snprintf, CutsTerminatedAndOnlyTolSnprintfSaysSo)
{
    char buf[8];
    std::string out = rfs_test::capture_stdout([&] {
        EXPECT_EQ(tol_snprintf(buf, 4, "%s", "abc"), 3); // exactly fits
        EXPECT_EQ(tol_safe_snprintf(buf, sizeof(buf), "%d-%s", 42, "abcdefgh"), 11);
    });
    EXPECT_STREQ(buf, "42-abcd");
    EXPECT_EQ(out, "");
    out =
        rfs_test::capture_stdout([&] { EXPECT_EQ(tol_snprintf(buf, 8, "%s", "0123456789"), 10); });
    EXPECT_STREQ(buf, "0123456");
    EXPECT_NE(out.find("tol_snprintf"), std::string::npos) << out;
}

} // namespace
