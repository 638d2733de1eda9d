// Bounded copying and formatting.

#include "common/strings.hpp"
#include "test_support.hpp"

#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <string>

namespace {

TEST(SafeStrncpy, CopiesFillsAndTerminates)
{
    char buf[8];
    memset(buf, 'x', sizeof(buf));
    tol_safe_strncpy(buf, "abc", sizeof(buf));
    EXPECT_STREQ(buf, "abc");
    for (size_t i = 3; i < sizeof(buf); i++)
        EXPECT_EQ(buf[i], '\0') << "rest filled with NUL at " << i;

    tol_safe_strncpy(buf, "abcdefghijk", sizeof(buf));
    EXPECT_STREQ(buf, "abcdefg");

    tol_safe_strncpy(buf, "abcdefgh", sizeof(buf)); // exactly n bytes
    EXPECT_STREQ(buf, "abcdefg");

    char one[1] = {'z'};
    tol_safe_strncpy(one, "abc", 1);
    EXPECT_EQ(one[0], '\0');
}

TEST(Strdup, IndependentCopy)
{
    const char src[] = "scratch/vm1";
    char *copy = tol_strdup(src);
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, src);
    EXPECT_STREQ(copy, src);
    free(copy);
}

TEST(Snprintf, FittingText)
{
    char buf[32];
    EXPECT_EQ(tol_snprintf(buf, sizeof(buf), "%s/%s", "/scratch", "vm"), 11);
    EXPECT_STREQ(buf, "/scratch/vm");
    EXPECT_EQ(tol_snprintf(buf, 4, "%s", "abc"), 3); // exactly fits
    EXPECT_STREQ(buf, "abc");
}

TEST(Snprintf, TooLongIsReportedNotSilent)
{
    char buf[8];
    int len = 0;
    std::string out =
        rfs_test::capture_stdout([&] { len = tol_snprintf(buf, sizeof(buf), "%s", "0123456789"); });
    EXPECT_EQ(len, 10);
    EXPECT_EQ(strlen(buf), 7u);
    EXPECT_NE(out.find("tol_snprintf"), std::string::npos) << out;
}

TEST(SafeSnprintf, CutsAndTerminates)
{
    char buf[8];
    memset(buf, 'x', sizeof(buf));
    std::string out = rfs_test::capture_stdout(
        [&] { EXPECT_EQ(tol_safe_snprintf(buf, sizeof(buf), "%d-%s", 42, "abcdefgh"), 11); });
    EXPECT_STREQ(buf, "42-abcd");
    EXPECT_EQ(out, "") << "cutting is silent here";

    EXPECT_EQ(tol_safe_snprintf(buf, sizeof(buf), "%s", "ok"), 2);
    EXPECT_STREQ(buf, "ok");

    char one[1] = {'z'};
    tol_safe_snprintf(one, 1, "%s", "abc");
    EXPECT_EQ(one[0], '\0');
}

} // namespace
