// Unique device-mapper names.

#include "mounter/dm_names.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>

namespace
{

TEST(DmNames, PrefixDotNumberBelowAMillionThatNoDeviceHas)
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

    // Once the device exists, the next call (within the same second, it
    // would draw the same number) gets another name.
    std::ofstream(tmp / first) << "";
    std::string second;
    ASSERT_EQ(dm_mk_unique_name_in(tmp.path().c_str(), "1a2b3c", &second, 10), nullptr);
    EXPECT_NE(second, first);
}

TEST(DmNames, RefusesAFilledOutputAndGivesUpWithEexist)
{
    rfs_test::temp_dir tmp{"rfs-dmnames"};
    std::string name = "already";
    errdesc_t *err = dm_mk_unique_name_in(tmp.path().c_str(), "cbt", &name, 10);
    ASSERT_NE(err, nullptr);
    EXPECT_EQ(err->number, EINVAL);
    EXPECT_EQ(name, "already");

    name.clear();
    err = dm_mk_unique_name_in(tmp.path().c_str(), "cbt", &name, 0);
    ASSERT_NE(err, nullptr);
    EXPECT_EQ(err->number, EEXIST);
    EXPECT_TRUE(name.empty());
}

} // namespace
