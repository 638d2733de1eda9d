// Unique device-mapper names and the program runner of the mounter.

#include "mounter/dm_names.hpp"
#include "mounter/run_program.hpp"
#include "support/temp_dir.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <set>

namespace
{

class DmNames : public ::testing::Test
{
  protected:
    // The name that a call in second `t` draws first.
    static std::string drawn(const std::string &prefix, time_t t)
    {
        auto seed = static_cast<unsigned>(t);
        return prefix + "." + std::to_string(rand_r(&seed) % 1000000);
    }
    void take(const std::string &name) { std::ofstream(tmp / name) << ""; }

    rfs_test::temp_dir tmp{"rfs-dmnames"};
};

TEST_F(DmNames, FreeNameIsPrefixDotNumberBelowAMillion)
{
    std::string name;
    ASSERT_EQ(dm_mk_unique_name_in(tmp.path().c_str(), "1a2b3c", &name, 10), nullptr);
    unsigned n = 0;
    char rest = 0;
    EXPECT_EQ(sscanf(name.c_str(), "1a2b3c.%u%c", &n, &rest), 1) << name;
    EXPECT_LT(n, 1000000u) << name;
    EXPECT_EQ(dm_check_and_remove((tmp / "no-such-device").c_str()), nullptr)
        << "a missing device needs no removal";
}

TEST_F(DmNames, TakenNameWaitsForTheNextSecond)
{
    // Take the names of this second and the next, in case the clock ticks
    // between here and the call.
    const time_t now = time(nullptr);
    std::set<std::string> taken = {drawn("cbt", now), drawn("cbt", now + 1)};
    for (const auto &n : taken)
        take(n);
    auto started = std::chrono::steady_clock::now();
    std::string name;
    ASSERT_EQ(dm_mk_unique_name_in(tmp.path().c_str(), "cbt", &name, 10), nullptr);
    EXPECT_EQ(taken.count(name), 0u) << name;
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(900));
}

TEST_F(DmNames, RefusesAFilledOutputAndGivesUpWithEexist)
{
    std::string name = "already";
    errdesc_t *err = dm_mk_unique_name_in(tmp.path().c_str(), "cbt", &name, 10);
    ASSERT_NE(err, nullptr);
    EXPECT_EQ(err->number, EINVAL);
    EXPECT_EQ(name, "already");

    const time_t now = time(nullptr);
    for (time_t t = now; t < now + 3; ++t)
        take(drawn("cbt", t));
    name.clear();
    err = dm_mk_unique_name_in(tmp.path().c_str(), "cbt", &name, 1);
    ASSERT_NE(err, nullptr);
    EXPECT_EQ(err->number, EEXIST);
    EXPECT_TRUE(name.empty());
}

TEST(RunProgram, CommandLineOutputAndExitCodes)
{
    const char *echo[] = {"/bin/echo", "hello", "world", nullptr};
    EXPECT_EQ(program_cmdline(echo), "/bin/echo hello world ");
    std::string word;
    EXPECT_EQ(run_program_read(echo, 0, 10,
                               [&](FILE *out) {
                                   char buf[64];
                                   if (fscanf(out, "%63s", buf) == 1)
                                       word = buf;
                               }),
              nullptr);
    EXPECT_EQ(word, "hello") << "the unread rest is drained without complaint";

    const char *fail[] = {"/bin/sh", "-c", "exit 4", nullptr};
    errdesc_t *err = run_program_read(fail, 0, 10, [](FILE *) {});
    ASSERT_NE(err, nullptr);
    EXPECT_EQ(err->number, 4);

    const char *missing[] = {"/nonexistent/program", nullptr};
    err = run_program_wait(missing, 0, 10);
    ASSERT_NE(err, nullptr);
    EXPECT_EQ(err->number, ENOENT);
}

} // namespace
