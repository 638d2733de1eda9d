// platform_dm unit tests, one section per subject.

#include "dm_table.hpp"
#include "lvm_filter.hpp"
#include "partitions.hpp"
#include "snapshot_store.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>
#include <memory>
#include <regex>
#include <vector>

using namespace rfsdm;

// The parsed table as dmsetup would print it, one line per target.
std::string reparse(const std::string &text)
{
    std::vector<table_line> t;
    std::string err, out;
    if (!parse_table(text, t, err))
        return "error";
    for (const table_line &l : t) {
        std::string params;
        for (const std::string &a : l.args)
            params += (params.empty() ? "" : " ") + a;
        out += format_line(l.start, l.length, l.target, params) + "|";
    }
    return out;
}

TEST(DmTable, ParsesContiguousTablesAndRefusesTheRest)
{
    const std::pair<const char *, const char *> cases[] = {
        {"# comment\n0 1000 linear /dev/loop3 100\n\n1000 2000 linear 7:4 7\n",
         "0 1000 linear /dev/loop3 100|1000 2000 linear 7:4 7|"},
        {"0\t8\tzero",
         "0 8 zero |"}, // tabs, no final newline; dmsetup's blank before no parameters
        {"", ""},
        {"8 8 zero\n", "error"},            // must start at 0
        {"0 8 zero\n16 8 zero\n", "error"}, // gap
        {"0 8 zero\n4 8 zero\n", "error"},  // overlap
        {"0 0 zero\n", "error"},            // empty target
        {"0 8\n", "error"},                 // no target type
        {"0 99999999999999999999999 zero\n", "error"},
        {"0 18446744073709551615 zero\n18446744073709551615 2 zero\n", "error"}, // wraps
    };
    for (const auto &[text, expected] : cases)
        EXPECT_EQ(reparse(text), expected) << text;

    unsigned ma = 0, mi = 0;
    EXPECT_TRUE(parse_major_minor("7:12", ma, mi));
    EXPECT_EQ(std::make_pair(ma, mi), std::make_pair(7u, 12u));
    for (const char *bad : {"/dev/loop7", "7:", ":7", "7:1:2", "70000:1"})
        EXPECT_FALSE(parse_major_minor(bad, ma, mi)) << bad;
    EXPECT_EQ(lvm_dm_name("1a2b3c.42p2-vg0", "root"), "1a2b3c.42p2--vg0-root");
    EXPECT_EQ(lvm_dm_name("a-b", "c-d-e"), "a--b-c--d--e");
}

bool matches(const std::string &rx, const std::string &path)
{
    return std::regex_search(path, std::regex(rx));
}

// The expressions use only anchors, literals and one-character classes, which
// mean the same in LVM's regex and in ECMAScript.
TEST(LvmFilter, ExactRegexesInASectionThatReplacesItsOwnOnly)
{
    const std::string names[] = {"/dev/mapper/564d-lvm.top", "/dev/mapper/a|b",
                                 "/dev/mapper/x+y*z?(1)[2]{3}$", "/dev/loop12"};
    for (const auto &n : names) {
        std::string rx = lvm_literal_regex(n);
        EXPECT_TRUE(matches(rx, n)) << rx;
        EXPECT_FALSE(matches(rx, n + "p1")) << rx;
        EXPECT_FALSE(matches(rx, "/x" + n)) << rx;
        EXPECT_EQ(rx.find('\\'), std::string::npos) << rx;
        // '|' delimits the expression in the filter: it may only appear as a class.
        EXPECT_EQ(std::count(rx.begin(), rx.end(), '|'), std::count(n.begin(), n.end(), '|')) << rx;
    }
    EXPECT_FALSE(matches(lvm_literal_regex("/dev/mapper/a.top"), "/dev/mapper/aXtop"));

    // The section rejects every hidden device.
    const std::string host = "local {\n\tsystem_id = \"x\"\n}";
    std::string first = lvm_filter_conf(host, {{"a.top", 3}, {"b", -1}});
    ASSERT_EQ(first.rfind(host + "\n", 0), 0u) << first;
    for (const char *want : {"devices {", "\"r|^/dev/mapper/a[.]top$|\"", "\"r|^/dev/loop3$|\"",
                             "\"r|^/dev/mapper/b$|\""})
        EXPECT_NE(first.find(want), std::string::npos) << want << " in " << first;
    EXPECT_EQ(first.find("/dev/loop-1"), std::string::npos) << first;

    std::string second = lvm_filter_conf(first, {{"two", 2}});
    EXPECT_EQ(second.rfind(host + "\n", 0), 0u) << second;
    EXPECT_EQ(second.find("a[.]top"), std::string::npos) << second;
    EXPECT_NE(second.find("/dev/mapper/two"), std::string::npos) << second;
    EXPECT_EQ(second.find(lvm_filter_marker), second.rfind(lvm_filter_marker));
    // Nothing suspended any more: the host's file as it was.
    EXPECT_EQ(lvm_filter_conf(second, {}), host + "\n");
}

// A disk image in memory.
struct disk {
    std::vector<uint8_t> bytes;
    explicit disk(uint64_t sectors) : bytes(sectors * 512, 0) {}
    uint64_t sectors() const { return bytes.size() / 512; }
    void write(uint64_t off, const void *src, size_t n) { std::memcpy(&bytes[off], src, n); }
    void put_entry(uint64_t lba, int index, uint8_t type, uint32_t start, uint32_t size)
    {
        dos_partition p{};
        p.sys_type = type;
        p.start_sect = start;
        p.nr_sects = size;
        write(lba * 512 + mbr_table_offset + index * 16, &p, sizeof p);
        write(lba * 512 + 510, "\x55\xaa", 2);
    }
    void put_gpt(uint64_t header_lba, uint64_t entries_lba,
                 const std::vector<std::pair<uint64_t, uint64_t>> &parts, uint32_t count = 128)
    {
        std::vector<uint8_t> entries(128 * 128, 0);
        for (size_t i = 0; i < parts.size(); ++i) {
            gpt_entry e{};
            e.type_guid[0] = parts[i].second ? 0xaf : 0;
            e.starting_lba = parts[i].first;
            e.ending_lba = parts[i].first + parts[i].second - 1;
            std::memcpy(entries.data() + i * 128, &e, parts[i].second ? sizeof e : 0);
        }
        write(entries_lba * 512, entries.data(), entries.size());
        gpt_header h{};
        std::memcpy(h.signature, "EFI PART", 8);
        h.revision = 0x10000;
        h.header_size = 92;
        h.my_lba = header_lba;
        h.partition_entry_lba = entries_lba;
        h.num_partition_entries = count;
        h.sizeof_partition_entry = 128;
        h.partition_entry_array_crc32 = crc32_le(entries.data(), entries.size());
        h.header_crc32 = crc32_le(reinterpret_cast<uint8_t *>(&h), 92);
        write(header_lba * 512, &h, sizeof h);
    }
    // "number:start+size" per slice, "e" marking an extended partition.
    std::string partitions()
    {
        std::string out;
        for (const slice &s : read_partitions(reader(), sectors()))
            out += std::to_string(s.number) + (s.extended ? "e:" : ":") + std::to_string(s.start) +
                   "+" + std::to_string(s.size) + " ";
        return out;
    }
    sector_reader reader()
    {
        return [this](uint64_t lba, size_t n, uint8_t *buf) {
            if (lba + n > sectors())
                return false;
            std::memcpy(buf, &bytes[lba * 512], n * 512);
            return true;
        };
    }
};

// Ordinary MBR and GPT layouts are checked against the real kpartx by the
// device conformance suite; these are the cases it does not build.
TEST(Partitions, EmptyEntriesLogicalCyclesGptBackupsAndHostileHeaders)
{
    disk gaps(8192);
    gaps.put_entry(0, 0, 0x83, 2048, 100);
    gaps.put_entry(0, 2, 0x83, 4096, 100);
    EXPECT_EQ(gaps.partitions(), "1:2048+100 3:4096+100 ");
    EXPECT_EQ(disk(1000).partitions(), "") << "no signature, no partitions";

    disk chain(8192);
    chain.put_entry(0, 0, 0x0f, 2048, 6000);
    chain.put_entry(2048, 0, 0x83, 10, 100);
    // Link back to an earlier record: a cycle.
    chain.put_entry(2048, 1, 0x05, 1000, 100);
    chain.put_entry(3048, 0, 0x83, 10, 100);
    chain.put_entry(3048, 1, 0x05, 0, 100);
    auto s = read_partitions(chain.reader(), chain.sectors());
    EXPECT_LE(s.size(), 1u + max_logical * 2);
    EXPECT_GE(s.size(), 3u);

    disk d(8192);
    d.put_entry(0, 0, dos_type_gpt_protective, 1, 8191);
    d.put_gpt(1, 2, {{2048, 1000}, {0, 0}, {4096, 2000}});
    EXPECT_EQ(d.partitions(), "1:2048+1000 3:4096+2000 "); // numbers are the entry indexes

    disk backup(8192); // the backup header stands in for a missing primary
    backup.put_entry(0, 0, dos_type_gpt_protective, 1, 8191);
    backup.put_gpt(backup.sectors() - 1, backup.sectors() - 33, {{2048, 1000}});
    EXPECT_EQ(backup.partitions(), "1:2048+1000 ");

    // A damaged entry array is not trusted, and the protective MBR alone is
    // no DOS table either.
    d.bytes[2 * 512 + 40] ^= 1;
    EXPECT_EQ(d.partitions(), "");

    disk huge(8192);
    huge.put_gpt(1, 2, {{2048, 1000}}, 0x10000000);
    std::vector<slice> out;
    EXPECT_FALSE(read_gpt(huge.reader(), huge.sectors(), out));
}

struct mem_cow final : cow_io {
    std::vector<uint8_t> bytes;
    bool fail_writes = false;
    explicit mem_cow(size_t size) : bytes(size, 0) {}
    int read(void *buf, size_t n, uint64_t off) override
    {
        if (off + n > bytes.size())
            return -EIO;
        std::memcpy(buf, bytes.data() + off, n);
        return 0;
    }
    int write(const void *buf, size_t n, uint64_t off) override
    {
        if (fail_writes || off + n > bytes.size())
            return -EIO;
        std::memcpy(bytes.data() + off, buf, n);
        return 0;
    }
    uint64_t size_bytes() const override { return bytes.size(); }
};

// A persistent store over `cow`, initialised.
std::unique_ptr<exception_store> open_store(mem_cow &cow, uint32_t chunk_sectors = 4)
{
    auto s = std::make_unique<exception_store>(cow, chunk_sectors, true);
    std::string err;
    EXPECT_EQ(s->init(err), 0) << err;
    return s;
}

TEST(SnapshotStore, NewStoreKeepsExceptionsAcrossAreasAndReopens)
{
    mem_cow cow(4 << 20);
    auto s = open_store(cow); // 2 KiB chunks: 128 exceptions per area
    snap_disk_header h;
    std::memcpy(&h, cow.bytes.data(), sizeof h);
    EXPECT_EQ(std::vector<uint32_t>({h.magic, h.valid, h.version, h.chunk_size}),
              std::vector<uint32_t>({snap_magic, 1, 1, 4}));
    std::vector<std::pair<uint64_t, uint64_t>> made;
    for (uint64_t old = 0; old < 300; ++old) {
        uint64_t c = 0;
        ASSERT_EQ(s->allocate(c), 0);
        EXPECT_NE(c % 129, 1u) << c; // never a metadata area: they sit at 1 + 129 * k
        ASSERT_EQ(s->commit(old * 7, c), 0);
        made.emplace_back(old * 7, c);
    }
    EXPECT_EQ(made[0].second, 2u) << "chunk 0 header, chunk 1 the first metadata area";
    auto again = open_store(cow, 8);
    EXPECT_EQ(again->chunk_sectors(), 4u) << "the header's chunk size wins over the table's";
    EXPECT_EQ(again->exception_count(), 300u);
    for (auto [old, neu] : made)
        EXPECT_EQ(again->lookup(old), neu);
    uint64_t c = 0;
    ASSERT_EQ(again->allocate(c), 0);
    EXPECT_GT(c, made.back().second) << "allocation resumes after the last used chunk";
    EXPECT_FALSE(again->lookup(1).has_value());
    cow.fail_writes = true;
    EXPECT_EQ(again->commit(1, c), -EIO) << "a failed metadata write is reported";
}

TEST(SnapshotStore, FullStoreGivesEnospcAndInvalidationPersists)
{
    mem_cow cow(10 * 2048); // 10 chunks of 2 KiB: header, area, 8 data chunks
    auto s = open_store(cow);
    uint64_t c = 0;
    int n = 0;
    while (s->allocate(c) == 0)
        ASSERT_EQ(s->commit(n++, c), 0);
    EXPECT_EQ(n, 8) << "every data chunk up to the end of the store is used";
    EXPECT_EQ(s->allocate(c), -ENOSPC);
    s->invalidate();
    EXPECT_FALSE(s->valid());
    EXPECT_FALSE(open_store(cow)->valid()) << "the invalid mark is on the disk";
}

TEST(SnapshotStore, CorruptStoresAreRefused)
{
    const snap_disk_exception past_the_end{5, 1u << 30};
    const struct {
        snap_disk_header header;
        const snap_disk_exception *exception;
        uint32_t chunk_size;
        const char *message;
    } cases[] = {
        {{0x58, 1, 1, 4}, nullptr, 4, "Invalid or corrupt"}, // bad magic
        {{snap_magic, 1, 2, 4}, nullptr, 4, ""},             // unknown version
        {{snap_magic, 1, 1, 4}, &past_the_end, 4, ""},       // exception past the end
        {{}, nullptr, 3, ""},                                // chunk size no power of two
    };
    for (const auto &c : cases) {
        mem_cow cow(1 << 20);
        std::memcpy(cow.bytes.data(), &c.header, sizeof c.header);
        if (c.exception)
            std::memcpy(cow.bytes.data() + 2048, c.exception, sizeof *c.exception);
        exception_store store(cow, c.chunk_size, true);
        std::string err;
        EXPECT_EQ(store.init(err), -EINVAL) << c.chunk_size << " " << c.header.version;
        EXPECT_NE(err.find(c.message), std::string::npos) << err;
    }
}
