// The settings record: its defaults, and that concurrent readers only ever
// see whole records.

#include "controller/settings.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace
{

// A record whose every field is derived from `k`, so that a record mixing two
// of them is recognised.
reg_settings_t record_of(int k)
{
    reg_settings_t s;
    const std::string text(63, static_cast<char>('a' + k));
    std::strcpy(s.appliance_uuid, text.c_str());
    std::strcpy(s.master_uuid, text.c_str());
    std::strcpy(s.vendor_id, text.substr(0, 10).c_str());
    s.lumiread_optimize = s.lumiread_lvm_enabled = s.ondemand_refresh = s.export_vm_uuid_enabled =
        s.cbt_debug_enabled = s.recover_automount_enabled = s.snapshot_blocking_removal =
            s.directio = tol_bool(k % 2 != 0);
    s.cache_ttl = s.debug_level = s.cbt_percent = s.snapshot_max_idle = s.snapshot_max_life =
        s.snapshot_retry_limit = s.nfc_session_reserved = s.max_session = k;
    s.readahead_size = static_cast<uint32_t>(k);
    return s;
}

// The k of a record made by record_of, or -1 when its fields disagree.
int k_of(const reg_settings_t &s)
{
    const int k = s.cache_ttl;
    const reg_settings_t expect = record_of(k);
    const bool same =
        std::strcmp(s.appliance_uuid, expect.appliance_uuid) == 0 &&
        std::strcmp(s.master_uuid, expect.master_uuid) == 0 &&
        std::strcmp(s.vendor_id, expect.vendor_id) == 0 &&
        s.lumiread_optimize == expect.lumiread_optimize &&
        s.lumiread_lvm_enabled == expect.lumiread_lvm_enabled &&
        s.ondemand_refresh == expect.ondemand_refresh &&
        s.export_vm_uuid_enabled == expect.export_vm_uuid_enabled &&
        s.cbt_debug_enabled == expect.cbt_debug_enabled &&
        s.recover_automount_enabled == expect.recover_automount_enabled &&
        s.snapshot_blocking_removal == expect.snapshot_blocking_removal &&
        s.directio == expect.directio && s.debug_level == k && s.cbt_percent == k &&
        s.snapshot_max_idle == k && s.snapshot_max_life == k && s.snapshot_retry_limit == k &&
        s.nfc_session_reserved == k && s.max_session == k &&
        s.readahead_size == static_cast<uint32_t>(k);
    return same ? k : -1;
}

class Settings : public ::testing::Test
{
  protected:
    void TearDown() override { reg_settings_publish(reg_settings_t{}); }
};

TEST_F(Settings, DefaultsBeforeAnyRefresh)
{
    const auto s = get_reg_settings();
    EXPECT_EQ(s->lumiread_optimize, TOL_TRUE);
    EXPECT_EQ(s->recover_automount_enabled, TOL_FALSE);
    EXPECT_EQ(s->cbt_debug_enabled, TOL_FALSE);
    EXPECT_EQ(s->debug_level, 0);
    EXPECT_EQ(s->readahead_size, 1048576u);
    EXPECT_STREQ(s->vendor_id, "");
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
    reg_settings_publish(reg_settings_t{});
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

TEST_F(Settings, ReaderKeepsItsRecordAcrossAPublish)
{
    const auto before = get_reg_settings();
    reg_settings_update([](reg_settings_t &s) { s.debug_level = 7; });
    EXPECT_EQ(before->debug_level, 0);
    EXPECT_EQ(get_reg_settings()->debug_level, 7);
    EXPECT_EQ(get_reg_settings()->max_session, 50); // the rest unchanged
}

} // namespace
