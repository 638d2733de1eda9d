#include "partitions.hpp"

#include <array>
#include <cstring>
#include <map>
#include <gtest/gtest.h>

using namespace rfsdm;

namespace {

// A sparse disk image in memory: sectors never written read as zeros.
struct disk {
    uint64_t count;
    std::map<uint64_t, std::array<uint8_t, 512>> written;
    explicit disk(uint64_t sectors) : count(sectors) {}
    uint64_t sectors() const { return count; }
    uint8_t *sector(uint64_t lba)
    {
        auto it = written.find(lba);
        if (it == written.end())
            it = written.emplace(lba, std::array<uint8_t, 512>{}).first;
        return it->second.data();
    }
    void write(uint64_t off, const void *src, size_t n)
    {
        auto p = static_cast<const uint8_t *>(src);
        for (size_t i = 0; i < n; ++i)
            sector((off + i) / 512)[(off + i) % 512] = p[i];
    }
    sector_reader reader()
    {
        return [this](uint64_t lba, size_t n, uint8_t *buf) {
            if (lba + n > count)
                return false;
            for (size_t i = 0; i < n; ++i) {
                auto it = written.find(lba + i);
                if (it == written.end())
                    std::memset(buf + i * 512, 0, 512);
                else
                    std::memcpy(buf + i * 512, it->second.data(), 512);
            }
            return true;
        };
    }
    void put_entry(uint64_t lba, int index, uint8_t type, uint32_t start, uint32_t size)
    {
        dos_partition p{};
        p.sys_type = type;
        p.start_sect = start;
        p.nr_sects = size;
        write(lba * 512 + mbr_table_offset + index * 16, &p, sizeof p);
        sector(lba)[510] = 0x55;
        sector(lba)[511] = 0xaa;
    }
};

// 3 primaries, an extended partition at entry 4 with two logical ones.
disk dos_disk()
{
    disk d(200000);
    d.put_entry(0, 0, 0x83, 2048, 8192);
    d.put_entry(0, 1, 0x82, 10240, 8192);
    d.put_entry(0, 2, 0x8e, 18432, 8192);
    d.put_entry(0, 3, 0x05, 26624, 100000);
    // First EBR at the start of the extended partition: logical at +2048,
    // link to the next EBR at +12288 (relative to the extended start).
    d.put_entry(26624, 0, 0x83, 2048, 10000);
    d.put_entry(26624, 1, 0x05, 12288, 22000);
    d.put_entry(26624 + 12288, 0, 0x83, 2048, 20000);
    return d;
}

} // namespace

TEST(Partitions, DosPrimaryExtendedAndLogical)
{
    disk d = dos_disk();
    auto s = read_partitions(d.reader(), d.sectors());
    ASSERT_EQ(s.size(), 6u);
    EXPECT_EQ(s[0].number, 1u);
    EXPECT_EQ(s[0].start, 2048u);
    EXPECT_EQ(s[0].size, 8192u);
    EXPECT_EQ(s[3].number, 4u);
    EXPECT_TRUE(s[3].extended);
    EXPECT_EQ(s[3].size, 2u) << "only 1 KiB of an extended partition is mapped";
    EXPECT_EQ(s[4].number, 5u);
    EXPECT_EQ(s[4].start, 26624u + 2048u);
    EXPECT_EQ(s[4].size, 10000u);
    EXPECT_EQ(s[5].number, 6u);
    EXPECT_EQ(s[5].start, 26624u + 12288u + 2048u);
    EXPECT_EQ(s[5].size, 20000u);
}

TEST(Partitions, EmptyPrimaryEntriesKeepTheirNumbers)
{
    disk d(100000);
    d.put_entry(0, 0, 0x83, 2048, 100);
    d.put_entry(0, 2, 0x83, 4096, 100);
    auto s = read_partitions(d.reader(), d.sectors());
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(s[0].number, 1u);
    EXPECT_EQ(s[1].number, 3u);
}

TEST(Partitions, LogicalChainThatLoopsEnds)
{
    disk d(100000);
    d.put_entry(0, 0, 0x0f, 2048, 50000);
    d.put_entry(2048, 0, 0x83, 10, 100);
    // Link back to an earlier record: a cycle.
    d.put_entry(2048, 1, 0x05, 1000, 100);
    d.put_entry(3048, 0, 0x83, 10, 100);
    d.put_entry(3048, 1, 0x05, 0, 100);
    auto s = read_partitions(d.reader(), d.sectors());
    EXPECT_LE(s.size(), 1u + max_logical * 2);
    EXPECT_GE(s.size(), 3u);
}

TEST(Partitions, NoSignatureNoPartitions)
{
    disk d(1000);
    EXPECT_TRUE(read_partitions(d.reader(), d.sectors()).empty());
}

namespace {

void put_gpt(disk &d, uint64_t header_lba, uint64_t entries_lba, const std::vector<std::pair<uint64_t, uint64_t>> &parts)
{
    std::vector<uint8_t> entries(128 * 128, 0);
    for (size_t i = 0; i < parts.size(); ++i) {
        if (!parts[i].second)
            continue;
        gpt_entry e{};
        e.type_guid[0] = 0xaf;
        e.starting_lba = parts[i].first;
        e.ending_lba = parts[i].first + parts[i].second - 1;
        std::memcpy(entries.data() + i * 128, &e, sizeof e);
    }
    d.write(entries_lba * 512, entries.data(), entries.size());
    gpt_header h{};
    std::memcpy(h.signature, "EFI PART", 8);
    h.revision = 0x10000;
    h.header_size = 92;
    h.my_lba = header_lba;
    h.partition_entry_lba = entries_lba;
    h.num_partition_entries = 128;
    h.sizeof_partition_entry = 128;
    h.partition_entry_array_crc32 = crc32_le(entries.data(), entries.size());
    h.header_crc32 = crc32_le(reinterpret_cast<uint8_t *>(&h), 92);
    d.write(header_lba * 512, &h, sizeof h);
}

} // namespace

TEST(Partitions, GptEntriesKeepTheirIndexAsNumber)
{
    disk d(100000);
    d.put_entry(0, 0, dos_type_gpt_protective, 1, 99999);
    put_gpt(d, 1, 2, {{2048, 1000}, {0, 0}, {4096, 2000}});
    auto s = read_partitions(d.reader(), d.sectors());
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(s[0].number, 1u);
    EXPECT_EQ(s[0].start, 2048u);
    EXPECT_EQ(s[0].size, 1000u);
    EXPECT_EQ(s[1].number, 3u);
    EXPECT_EQ(s[1].size, 2000u);
}

TEST(Partitions, GptBackupHeaderStandsInForADamagedPrimary)
{
    disk d(100000);
    d.put_entry(0, 0, dos_type_gpt_protective, 1, 99999);
    put_gpt(d, d.sectors() - 1, d.sectors() - 33, {{2048, 1000}});
    auto s = read_partitions(d.reader(), d.sectors());
    ASSERT_EQ(s.size(), 1u);
    EXPECT_EQ(s[0].start, 2048u);
}

TEST(Partitions, GptWithBadChecksumIsNotTrusted)
{
    disk d(100000);
    d.put_entry(0, 0, dos_type_gpt_protective, 1, 99999);
    put_gpt(d, 1, 2, {{2048, 1000}});
    d.sector(2)[40] ^= 1; // entry array damaged
    // The protective MBR alone is no DOS table either.
    EXPECT_TRUE(read_partitions(d.reader(), d.sectors()).empty());
}

TEST(Partitions, GptWithHugeEntryCountIsRefused)
{
    disk d(100000);
    put_gpt(d, 1, 2, {{2048, 1000}});
    gpt_header h{};
    std::memcpy(&h, d.sector(1), sizeof h);
    h.num_partition_entries = 0x10000000;
    h.header_crc32 = 0;
    h.header_crc32 = crc32_le(reinterpret_cast<uint8_t *>(&h), 92);
    d.write(512, &h, sizeof h);
    std::vector<slice> out;
    EXPECT_FALSE(read_gpt(d.reader(), d.sectors(), out));
}

TEST(Partitions, Crc32KnownValue)
{
    const char *s = "123456789";
    EXPECT_EQ(crc32_le(reinterpret_cast<const uint8_t *>(s), 9), 0xcbf43926u);
}
