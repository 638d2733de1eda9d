// The periodic eviction pass and the forced choice, on cookies of plain
// image files (no devices): idle time, references, busy mutexes, order.

#include "common/list.hpp"
#include "recovery/recovery_cookie.hpp"
#include "recovery_fixture.hpp"

#include <cerrno>
#include <gtest/gtest.h>
#include <string>

namespace
{

using rfs_recovery_test::recovery_test;

class evict_test : public recovery_test
{
  protected:
    // Makes the cookie of /vm/<name>.vmx with the given idle time and refs.
    recovery_cookie_t *cookie(const std::string &name, time_t idle, int64_t ref = 0)
    {
        write("vm/" + name + ".vmx", name);
        std::string path = "/vm/" + name + ".vmx";
        std::string shadow = scratch("vm/" + name + ".vmx");
        open_list_lock lock;
        recovery_contains_s lookup;
        EXPECT_EQ(recovery_get_cookie(path.c_str(), scratch_.c_str(), shadow.c_str(), &lookup),
                  nullptr);
        lookup.cookie->stamp = time(nullptr) - idle;
        lookup.cookie->ref = ref;
        return lookup.cookie;
    }
    bool listed(const std::string &name)
    {
        std::string path = "/vm/" + name + ".vmx";
        open_list_lock lock;
        recovery_contains_s lookup;
        return recovery_get_cookie(path.c_str(), nullptr, nullptr, &lookup) == nullptr;
    }
};

TEST_F(evict_test, OnePassEvictsTheOldestIdleCookieOnly)
{
    EXPECT_EQ(recovery_evict(), nullptr) << "an empty list";
    cookie("recent", 50);
    cookie("old", 61);
    cookie("older", 120);
    cookie("held", 500, 1);
    EXPECT_EQ(recovery_evict(), nullptr);
    EXPECT_FALSE(listed("older"));
    EXPECT_TRUE(listed("old"));
    EXPECT_EQ(recovery_evict(), nullptr);
    EXPECT_FALSE(listed("old"));
    // Nothing qualifies any more: the pass reports EMFILE, which the thread
    // ignores, and keeps the others.
    errdesc_t *err = recovery_evict();
    ASSERT_NE(err, nullptr);
    EXPECT_EQ(err->number, EMFILE);
    EXPECT_TRUE(listed("recent"));
    EXPECT_TRUE(listed("held"));
}

TEST_F(evict_test, BusyMutexSurvivesThePass)
{
    recovery_cookie_t *busy = cookie("busy", 300);
    cookie("idle", 100);
    busy->mutex->lock();
    EXPECT_EQ(recovery_evict(), nullptr);
    busy->mutex->unlock();
    EXPECT_TRUE(listed("busy"));
    EXPECT_FALSE(listed("idle"));
}

TEST_F(evict_test, ForcedChoiceIgnoresIdleTimeAndPrefersTheFirstOnEqualStamps)
{
    cookie("a", 5);
    cookie("b", 5);
    cookie("c", 1);
    {
        open_list_lock lock;
        EXPECT_EQ(recovery_evict_intern(TOL_TRUE), nullptr);
    }
    EXPECT_FALSE(listed("a"));
    EXPECT_TRUE(listed("b"));
    EXPECT_TRUE(listed("c"));
}

} // namespace
