#include "partitions.hpp"

#include <cstring>
#include <vector>
#include <gtest/gtest.h>

using namespace rfsdm;

namespace
{

// A disk image in memory.
struct disk {
    std::vector<uint8_t> bytes;
    explicit disk(uint64_t sectors) : bytes(sectors * 512, 0) {}
    uint64_t sectors() const { return bytes.size() / 512; }
    uint8_t *sector(uint64_t lba) { return bytes.data() + lba * 512; }
    void write(uint64_t off, const void *src, size_t n) { std::memcpy(&bytes[off], src, n); }
    sector_reader reader()
    {
        return [this](uint64_t lba, size_t n, uint8_t *buf) {
            if (lba + n > sectors())
                return false;
            std::memcpy(buf, sector(lba), n * 512);
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

// "number:start+size" per slice, "e" marking an extended partition.
std::string summary(const std::vector<slice> &slices)
{
    std::string out;
    for (const slice &s : slices)
        out += std::to_string(s.number) + (s.extended ? "e:" : ":") + std::to_string(s.start) +
               "+" + std::to_string(s.size) + " ";
    return out;
}

std::string partitions_of(disk &d)
{
    return summary(read_partitions(d.reader(), d.sectors()));
}

void put_gpt(disk &d, uint64_t header_lba, uint64_t entries_lba,
             const std::vector<std::pair<uint64_t, uint64_t>> &parts)
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

// Ordinary MBR and GPT layouts are checked against the real kpartx by the
// device conformance suite; these are the cases it does not build.
TEST(Partitions, EmptyEntriesKeepTheirNumbersAndNoSignatureNoPartitions)
{
    disk gaps(8192);
    gaps.put_entry(0, 0, 0x83, 2048, 100);
    gaps.put_entry(0, 2, 0x83, 4096, 100);
    EXPECT_EQ(partitions_of(gaps), "1:2048+100 3:4096+100 ");

    disk blank(1000);
    EXPECT_EQ(partitions_of(blank), "");
}

TEST(Partitions, LogicalChainThatLoopsEnds)
{
    disk d(8192);
    d.put_entry(0, 0, 0x0f, 2048, 6000);
    d.put_entry(2048, 0, 0x83, 10, 100);
    // Link back to an earlier record: a cycle.
    d.put_entry(2048, 1, 0x05, 1000, 100);
    d.put_entry(3048, 0, 0x83, 10, 100);
    d.put_entry(3048, 1, 0x05, 0, 100);
    auto s = read_partitions(d.reader(), d.sectors());
    EXPECT_LE(s.size(), 1u + max_logical * 2);
    EXPECT_GE(s.size(), 3u);
}

TEST(Partitions, GptEntriesAndTheBackupHeader)
{
    disk d(8192);
    d.put_entry(0, 0, dos_type_gpt_protective, 1, 8191);
    put_gpt(d, 1, 2, {{2048, 1000}, {0, 0}, {4096, 2000}});
    EXPECT_EQ(partitions_of(d), "1:2048+1000 3:4096+2000 "); // numbers are the entry indexes

    disk backup(8192); // the backup header stands in for a missing primary
    backup.put_entry(0, 0, dos_type_gpt_protective, 1, 8191);
    put_gpt(backup, backup.sectors() - 1, backup.sectors() - 33, {{2048, 1000}});
    EXPECT_EQ(partitions_of(backup), "1:2048+1000 ");

    // A damaged entry array is not trusted, and the protective MBR alone is
    // no DOS table either.
    d.sector(2)[40] ^= 1;
    EXPECT_EQ(partitions_of(d), "");
}

TEST(Partitions, GptWithHugeEntryCountIsRefused)
{
    disk d(8192);
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
