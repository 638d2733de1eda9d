// The settings record: the defaults that hold until the first refresh, and
// that concurrent readers only ever see whole records.

#include "controller/settings.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

namespace
{

// A record whose fields, first to last, all derive from `k`.
reg_settings_t record_of(int k)
{
    reg_settings_t s;
    std::memset(s.appliance_uuid, 'a' + k, 63);
    s.cache_ttl = s.cbt_percent = s.max_session = k;
    std::memset(s.vendor_id, 'a' + k, 10);
    s.readahead_size = static_cast<uint32_t>(k);
    return s;
}

// The k of a record made by record_of, or -1 when its fields disagree.
int k_of(const reg_settings_t &s)
{
    const int k = s.cache_ttl;
    const bool same = s.appliance_uuid[0] == 'a' + k && s.appliance_uuid[62] == 'a' + k &&
                      s.cbt_percent == k && s.vendor_id[9] == 'a' + k && s.max_session == k &&
                      s.readahead_size == static_cast<uint32_t>(k);
    return same ? k : -1;
}

class Settings : public ::testing::Test
{
  protected:
    void TearDown() override { reg_settings_publish(reg_settings_t{}); }
};

TEST_F(Settings, DefaultsBeforeAnyRefreshAndAReaderKeepsItsRecord)
{
    const auto before = get_reg_settings();
    EXPECT_EQ(before->lumiread_optimize, TOL_TRUE);
    EXPECT_EQ(before->recover_automount_enabled, TOL_FALSE);
    EXPECT_EQ(before->cbt_debug_enabled, TOL_FALSE);
    reg_settings_update([](reg_settings_t &s) { s.debug_level = 7; });
    EXPECT_EQ(before->debug_level, 0);
    EXPECT_EQ(get_reg_settings()->debug_level, 7);
    EXPECT_EQ(get_reg_settings()->max_session, 50); // the rest unchanged
}

TEST_F(Settings, ConcurrentReadersSeeOnlyWholeRecords)
{
    reg_settings_publish(record_of(1));
    std::atomic<bool> stop{false};
    std::atomic<long> torn{0}, reads{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 3; ++r)
        readers.emplace_back([&] {
            while (!stop.load(std::memory_order_relaxed)) {
                const int k = k_of(*get_reg_settings());
                if (k != 1 && k != 2)
                    torn.fetch_add(1);
                reads.fetch_add(1, std::memory_order_relaxed);
            }
        });
    // On a loaded machine the readers may start late: publish until they
    // have read a good many records.
    for (int i = 0; i < 50000 || reads.load() < 3000; ++i)
        reg_settings_publish(record_of(1 + i % 2));
    stop = true;
    for (auto &t : readers)
        t.join();
    EXPECT_EQ(torn.load(), 0);
}

TEST_F(Settings, ConcurrentUpdatesLoseNoChange)
{
    std::vector<std::thread> writers;
    for (int w = 0; w < 4; ++w)
        writers.emplace_back([] {
            for (int i = 0; i < 2000; ++i)
                reg_settings_update([](reg_settings_t &s) { s.cbt_percent++; });
        });
    for (auto &t : writers)
        t.join();
    EXPECT_EQ(get_reg_settings()->cbt_percent, 8000);
}

} // namespace
