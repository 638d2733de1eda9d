// list_t: order, duplicates, deletion, popping, iteration and many threads.

#include "common/list.hpp"

#include <atomic>
#include <initializer_list>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

namespace
{

std::vector<void *> contents(list_t *list)
{
    std::vector<void *> seen;
    list_iter(list, &seen, [](void *user, void *element) {
        static_cast<std::vector<void *> *>(user)->push_back(element);
        return TOL_TRUE;
    });
    return seen;
}

// A list and three elements; popped empty and freed at the end.
class ListTest : public ::testing::Test
{
  protected:
    void TearDown() override
    {
        while (list_pop(list_)) {
        }
        list_free(&list_);
        EXPECT_EQ(list_, nullptr);
    }
    void add_all(std::initializer_list<int *> items)
    {
        for (int *p : items)
            list_add(list_, p);
    }
    list_t *list_ = list_new();
    int a = 1, b = 2, c = 3;
};

TEST_F(ListTest, OrderDeletionAndEarlyStop)
{
    EXPECT_EQ(list_pop(list_), nullptr) << "new list is empty";
    add_all({&a, &b, &c});
    EXPECT_EQ(contents(list_), (std::vector<void *>{&a, &b, &c})) << "added at the tail";
    EXPECT_EQ(list_pop(list_), &a) << "popped at the head";

    // The callback's false ends the walk after that element.
    int calls = 0;
    list_iter(list_, &calls,
              [](void *user, void *) { return tol_bool(++*static_cast<int *>(user) < 1); });
    EXPECT_EQ(calls, 1);

    add_all({&b});
    list_delete(list_, &b); // the first match only
    EXPECT_EQ(contents(list_), (std::vector<void *>{&c, &b}));
    list_delete(list_, &a); // not in the list
    EXPECT_EQ(list_count(list_), 2);
    list_delete(list_, &b); // the tail
    list_delete(list_, &c); // the only one
    EXPECT_EQ(list_count(list_), 0);
    EXPECT_EQ(list_->link, nullptr);
    add_all({&c}); // the list still works after emptying
    EXPECT_EQ(contents(list_), (std::vector<void *>{&c}));
}

TEST_F(ListTest, ConcurrentAddDeleteIteratePop)
{
    constexpr int THREADS = 4;
    constexpr int PER_THREAD = 1000;
    static int items[THREADS][PER_THREAD];
    std::vector<std::thread> workers;
    for (int t = 0; t < THREADS; t++) {
        workers.emplace_back([&, t] {
            for (int i = 0; i < PER_THREAD; i++)
                list_add(list_, &items[t][i]);
            for (int i = 0; i < PER_THREAD; i += 2)
                list_delete(list_, &items[t][i]);
        });
    }
    for (auto &w : workers)
        w.join();

    std::vector<void *> left = contents(list_);
    EXPECT_EQ(list_count(list_), THREADS * PER_THREAD / 2);
    EXPECT_EQ(static_cast<int>(left.size()), THREADS * PER_THREAD / 2);
    for (void *p : left)
        EXPECT_EQ((static_cast<int *>(p) - &items[0][0]) % PER_THREAD % 2, 1) << "only odd items";

    // Concurrent popping takes every element exactly once.
    std::atomic<int> popped{0};
    std::vector<std::thread> poppers;
    for (int t = 0; t < THREADS; t++)
        poppers.emplace_back([&] {
            while (list_pop(list_))
                popped++;
        });
    for (auto &p : poppers)
        p.join();
    EXPECT_EQ(popped.load(), THREADS * PER_THREAD / 2);
    EXPECT_EQ(list_count(list_), 0);
}

TEST(ListDeath, ForeignRecordStops)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    int x = 0;
    list_t *fake = list_new();
    fake->list_magic = 0x12345678;
    EXPECT_DEATH(list_add(fake, &x), "bad list");
    fake->list_magic = LIST_MAGIC;
    list_free(&fake);
}

} // namespace
