// image unit tests, one section per subject.

#include "cbt_test_util.hpp"
#include "common/unique_fd.hpp"
#include "image/alignment.hpp"
#include "image/flat_image.hpp"
#include "image/mbr.hpp"
#include "image/tol_vdsk_header.hpp"
#include "image/tolcbt.hpp"
#include "image/toldev_io.hpp"
#include "image_test_util.hpp"

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <gtest/gtest.h>
#include <limits>
#include <random>
#include <regex>
#include <unistd.h>

constexpr int SECTOR = 512;

using rfs_test::expect_error;

// Splitting byte ranges into head, body and tail blocks.
TEST(Alignment, SplitsCoverExactlyTheRangeOrAreRefused)
{
    const off_t max = std::numeric_limits<off_t>::max();
    // head block, offset, count; body block, count; tail block, count; buffer
    using fields = std::vector<int64_t>;
    const struct {
        off_t offset;
        size_t size;
        uint32_t blk;
        fields want; // empty: EINVAL
    } cases[] = {
        {100, 1000, 512, {0, 100, 412, 1, 1, 2, 76, 512}}, // head, body and tail
        {4096, 4096, 512, {8, 0, 0, 8, 8, 16, 0, 0}},      // aligned: no scratch block
        {0, 100, 512, {0, 0, 0, 0, 0, 0, 100, 512}},       // tail only
        {700, 50, 512, {1, 188, 50, 2, 0, 2, 0, 512}},     // inside one block: all head
        {100, 412, 512, {0, 100, 412, 1, 0, 1, 0, 512}},   // ends on the block's end
        {3, 5, 8, {0, 3, 5, 1, 0, 1, 0, 8}},               // the smallest block size
        {0, 0, 512, {}},                                   // empty range
        {0, 10, 4, {}},                                    // block too small
        {-1, 10, 512, {}},                                 // negative offset
        {max - 10, 100, 512, {}},                          // end overflows
        {0, size_t(512) << 33, 512, {}}                    // body count beyond 32 bits
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.offset) + "+" + std::to_string(c.size));
        alignment_desc_t ad;
        alignment_desc_new(&ad);
        errdesc_t *err = alignment_desc_get(c.offset, c.size, c.blk, &ad);
        if (c.want.empty()) {
            expect_error(err, EINVAL);
            continue;
        }
        ASSERT_EQ(err, nullptr);
        EXPECT_EQ(
            fields({ad.head_blk_addr, ad.head_byte_offset, ad.head_byte_count, ad.body_blk_addr,
                    ad.body_blk_count, ad.tail_blk_addr, ad.tail_byte_count, ad.buf_sz}),
            c.want);
        EXPECT_EQ(ad.buf.size(), ad.buf_sz);
        alignment_desc_destroy(&ad);
        EXPECT_TRUE(ad.buf.empty());
    }
}

// The recovery header: where it is found through the MBR, reading, and the
// UUID texts.

// A disk of `sectors` sectors with an MBR holding `parts` (type, first
// sector); sectors in [used_from, used_to) hold data.
std::vector<char> make_disk(size_t sectors, const std::vector<std::pair<uint8_t, uint32_t>> &parts,
                            size_t used_from = 0, size_t used_to = 0, bool signature = true)
{
    std::vector<char> disk(sectors * SECTOR, 0);
    mbr_t mbr{};
    for (size_t i = 0; i < parts.size(); ++i) {
        mbr.part_entry[i].type = parts[i].first;
        mbr.part_entry[i].first_sector_lba = parts[i].second;
        mbr.part_entry[i].number_of_sectors = 100;
    }
    if (signature)
        mbr.mbr_signature = MBR_SIGNATURE;
    put(disk, 0, mbr);
    for (size_t s = used_from; s < used_to; ++s)
        disk[s * SECTOR] = 'x';
    return disk;
}

void fill_uuid(tol_uuid_t *uuid, uint8_t first)
{
    for (int i = 0; i < 16; ++i)
        uuid->value[i] = static_cast<uint8_t>(first + i);
}

// A valid header of `version` (1 and 2 have different layouts) with its
// variable strings.
tol_vdsk_header_t make_header(int version)
{
    tol_vdsk_header_t h{};
    std::memcpy(h.magic_begin, "RVHD", 4);
    std::memcpy(h.magic_end, "RVHD", 4);
    h.version = static_cast<uint8_t>(version);
    h.type = TOL_VDSK_HEADER_TYPE_VMDK;
    static const char strings[] = "[ds1] vm1/vm1-flat.vmdk\0ds1\0esx1.example\0vm1";
    auto fill = [](auto &v) {
        v.cid = 0x0badcafe;
        fill_uuid(&v.disk_uuid, 0x10);
        std::memcpy(v.varstrings, strings, sizeof(strings));
    };
    if (version == 2)
        fill(h.data.v2);
    else
        fill(h.data.v1);
    return h;
}

class RecoveryHeader : public ::testing::Test
{
  protected:
    int open_disk(const std::vector<char> &disk)
    {
        write_file(dir.file("disk-flat.vmdk"), disk);
        fd.reset(open(dir.file("disk-flat.vmdk").c_str(), O_RDONLY));
        EXPECT_TRUE(fd);
        return fd.get();
    }

    temp_dir dir;
    unique_fd fd;
};

TEST_F(RecoveryHeader, FreeSectorSearchAndItsRefusals)
{
    const uint32_t NONE = TOL_VDSK_NO_SECTOR;
    const struct {
        const char *what;
        std::vector<char> disk;
        uint32_t sector; // NONE: the search fails
        int number;
        const char *text = ""; // empty: only the number is checked
    } cases[] = {
        {"zeros before the partition", make_disk(4096, {{0x83, 2048}}), 2, 0},
        {"sector 2 holds data", make_disk(4096, {{0x83, 2048}}, 2, 3), 3, 0},
        {"type 0 entries do not count", make_disk(64, {{0x00, 1}, {0x00, 3}}, 2, 16), 16, 0},
        {"partition at 2", make_disk(64, {{0x83, 2048}, {0x83, 2}}), NONE, EIO,
         "partition start at 2, sectors 2 to 16 are not available"},
        {"all used before the partition", make_disk(64, {{0x83, 10}}, 2, 10), NONE, EIO,
         "Cannot find any empty sector between 2-16"},
        // Sector 5 is the partition's own (zero) first sector: not a candidate.
        {"stops at the partition", make_disk(64, {{0x83, 5}}, 2, 5), NONE, EIO,
         "Cannot find any empty sector between 2-16"},
        {"no MBR signature", make_disk(64, {}, 0, 0, false), NONE, EIO, "unknown partition format"},
        {"shorter than the MBR", std::vector<char>(100, 0), NONE, ENODATA}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        uint32_t sector = 0;
        const errdesc_t *err = find_free_sector_by_partition(open_disk(c.disk), &sector);
        EXPECT_EQ(sector, c.sector);
        if (c.number)
            expect_error(err, c.number, c.text);
        else
            EXPECT_EQ(err, nullptr) << err->string;
    }
}

TEST_F(RecoveryHeader, ReadFindsTheHeaderOrSaysThereIsNone)
{
    // Sector 2 holds other data: the header in sector 3 is the one.
    tol_vdsk_header_t got;
    for (int version : {1, 2}) {
        auto disk = make_disk(4096, {{0x07, 63}}, 2, 3);
        auto hdr = make_header(version);
        put(disk, 3 * SECTOR, hdr);
        ASSERT_EQ(read_tol_vdsk_header(open_disk(disk), &got), nullptr) << version;
        EXPECT_EQ(std::memcmp(&got, &hdr, sizeof(got)), 0) << version;
    }
    expect_error(read_tol_vdsk_header(open_disk(make_disk(4096, {{0x83, 2048}})), &got), ENODATA,
                 "The data is not a valid recover header");

    // read_sector shortens at the end of the file and refuses a negative offset.
    int disk_fd = open_disk(std::vector<char>(700, 'a'));
    char buf[512];
    size_t length = sizeof(buf);
    ASSERT_EQ(read_sector(disk_fd, 512, &length, buf), nullptr);
    EXPECT_EQ(length, 188u);
    EXPECT_NE(read_sector(disk_fd, -512, &length, buf), nullptr);
}

TEST(RecoveryHeaderRecord, VariableStringsStayInsideTheAreaAndUuidTextsGoBothWays)
{
    auto h = make_header(1);
    h.magic_end[3] = 'X';
    EXPECT_FALSE(is_tol_vdsk_header(&h));
    std::string s0, s1, s2, s3;
    EXPECT_TRUE(get_vmdk_variable_strings(&h, &s0, &s1, &s2, &s3));
    EXPECT_EQ(s0 + "|" + s1 + "|" + s2 + "|" + s3, "[ds1] vm1/vm1-flat.vmdk|ds1|esx1.example|vm1");

    // The last string runs to the end of the area without a terminator;
    // missing ones are empty and reported.
    auto full = make_header(2);
    auto &area = full.data.v2.varstrings;
    std::memset(area, 'y', sizeof(area));
    area[5] = '\0';
    EXPECT_FALSE(get_vmdk_variable_strings(&full, &s0, &s1, &s2, &s3));
    EXPECT_EQ(s0 + "|" + s1 + "|" + s2 + s3, "yyyyy|" + std::string(sizeof(area) - 6, 'y') + "|");
    EXPECT_TRUE(get_vmdk_variable_strings(&full, &s0, &s1, nullptr, nullptr));

    tol_uuid_t u, want;
    fill_uuid(&want, 0);
    EXPECT_EQ(uuid_value_to_str(&want), "00010203-0405-0607-0809-0a0b0c0d0e0f");
    // The change identifier form: spaced pairs, one dash, and a suffix after
    // the 16 bytes that is ignored.
    for (const char *text : {"00010203-0405-0607-0809-0a0b0c0d0e0f",
                             "00 01 02 03 04 05 06 07-08 09 0A 0B 0C 0D 0E 0F/12"}) {
        std::memset(u.value, 0xEE, sizeof(u.value));
        ASSERT_TRUE(uuid_str_to_value(text, &u)) << text;
        EXPECT_EQ(std::memcmp(u.value, want.value, 16), 0) << text;
    }
    EXPECT_FALSE(uuid_str_to_value("abc", &u));
}

// Change-block files: reading and checking them, and the merge table.
const auto MORE = CBT_MAGIC_EXTENT_MORE, LAST = CBT_MAGIC_EXTENT_LAST;

// A file of one extent whose header claims these offsets, cut to
// `file_size` bytes (4608: whole).
std::vector<char> with_offsets(int64_t list_offset, int64_t data_offset, size_t file_size = 4608)
{
    auto bytes = make_cbt({{0, 512, LAST}});
    put(bytes, offsetof(cbt_file_header_t, block_list_offset), list_offset);
    put(bytes, offsetof(cbt_file_header_t, block_data_offset), data_offset);
    bytes.resize(file_size);
    return bytes;
}

// The header is allocated whether or not the file is refused; the list
// holds every entry walked, a bad one too.
TEST(TolcbtRead, ListsEndAtTheLastMarkerOrAreRefused)
{
    temp_dir dir;
    const std::string path = dir.file("disk-tolcbt.vmdk");
    std::unique_ptr<cbt_file_header_t> header;
    cbt_extent_list_t list;
    expect_error(read_tolcbt_header(path.c_str(), &header, &list), ENOENT,
                 path + ": " + strerror(ENOENT));
    EXPECT_NE(header, nullptr);

    const std::vector<extent_spec> ten(10, {0, 512, MORE});
    auto bad_magic = make_cbt({{0, 512, LAST}}), short_header = bad_magic;
    bad_magic[0] ^= 1;
    short_header.resize(371);
    const std::string bad_list = "invalid tolcbt changed block list";
    const std::string magic = "invalid tolcbt header magic number";
    const struct {
        const char *what;
        std::vector<char> bytes;
        size_t entries;
        std::string error = ""; // empty: read
    } cases[] = {
        {"three extents",
         make_cbt({{1 << 20, 65536, MORE}, {4 << 20, 4096, MORE}, {8 << 20, 512, LAST}}), 3},
        {"room for ten, the first marked last", make_cbt({{0, 512, LAST}}, 512, 512 + 200), 1},
        {"no changes: the list is not read", make_cbt({}), 0},
        {"bad magic", bad_magic, 0, magic},
        {"shorter than the header", short_header, 0, magic},
        {"empty", {}, 0, magic},
        {"ten entries' room without the last marker", make_cbt(ten, 512, 512 + 10 * 20), 10,
         bad_list},
        {"a foreign marker stops the walk",
         make_cbt({{0, 512, MORE}, {8192, 512, 0xDEADBEEF}, {12288, 512, LAST}}), 2, bad_list},
        {"shorter than one entry", with_offsets(512, 512 + 19), 0, bad_list},
        {"data before the list", with_offsets(512, 412), 0, bad_list},
        // A hostile list size must not become an allocation.
        {"list of 2^60 bytes", with_offsets(512, int64_t(1) << 60), 0, bad_list},
        {"negative list offset", with_offsets(-4096, 4096), 0, bad_list},
        {"file ends inside the list", with_offsets(512, 4096, 512 + 10), 0, bad_list}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        free_cbt_header(&header);
        cbt_list_free(&list);
        EXPECT_TRUE(header == nullptr && list.empty());
        write_file(path, c.bytes);
        EXPECT_EQ(outcome(read_tolcbt_header(path.c_str(), &header, &list)),
                  c.error.empty() ? "" : "22 " + c.error);
        ASSERT_NE(header, nullptr);
        ASSERT_EQ(list.size(), c.entries);
        const size_t list_bytes = c.entries * sizeof(cbt_extent_data_t);
        EXPECT_TRUE(!list_bytes || std::memcmp(list.data(), &c.bytes[512], list_bytes) == 0);
        EXPECT_TRUE(!c.error.empty() ||
                    std::memcmp(header.get(), c.bytes.data(), sizeof(cbt_file_header_t)) == 0);
    }
}

// A list size taken from a hostile header: the reader holds one window of it
// at a time and never more than CBT_MAX_EXTENTS entries, and a FIFO in place
// of the file does not block it.
TEST(TolcbtRead, HugeListsAndSpecialFilesAreAnsweredWithAnErrorNotAnAllocation)
{
    temp_dir dir;
    const std::string path = dir.file("disk-tolcbt.vmdk");
    const int64_t sparse_end = int64_t(64) << 30;
    const int64_t past_cap = 512 + int64_t(CBT_MAX_EXTENTS + 1) * 20;
    const struct {
        const char *what;
        int64_t data_offset;
        bool fill_more; // the list's bytes are entries marked MORE (else a hole)
        int number;
        std::string error;
    } cases[] = {
        {"64 GiB sparse list", sparse_end, false, EINVAL, "invalid tolcbt changed block list"},
        {"one entry past the cap", past_cap, true, EFBIG,
         path + ": changed block list of more than " + std::to_string(CBT_MAX_EXTENTS) +
             " entries"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        std::unique_ptr<cbt_file_header_t> header;
        cbt_extent_list_t list;
        auto bytes = with_offsets(512, c.data_offset, 512);
        if (c.fill_more) {
            bytes.resize(static_cast<size_t>(c.data_offset));
            for (int64_t at = 512; at + 20 <= c.data_offset; at += 20)
                put(bytes, static_cast<size_t>(at), cbt_extent_data_t{MORE, 0, 512});
        }
        write_file(path, bytes);
        ASSERT_EQ(truncate(path.c_str(), c.data_offset), 0);
        expect_error(read_tolcbt_header(path.c_str(), &header, &list), c.number, c.error);
        EXPECT_LE(list.size(), CBT_MAX_EXTENTS);
    }
    std::filesystem::remove(path);
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    std::unique_ptr<cbt_file_header_t> header;
    cbt_extent_list_t list;
    expect_error(read_tolcbt_header(path.c_str(), &header, &list), EINVAL,
                 path + ": not a regular file");
}

TEST(TolcbtRead, ExtentDataMustLieInsideTheFile)
{
    cbt_file_header_t hdr{};
    hdr.block_data_offset = 4096;
    cbt_extent_list_t list{{MORE, 0, 4096}, {LAST, 8192, 4096}};
    const int64_t size = 4096 + 2 * 4096, max = INT64_MAX;
    const std::string beyond = " data end beyond the end of the file (";
    const struct {
        int64_t length0, length1, file_size;
        std::string error; // empty: accepted
    } cases[] = {
        {4096, 4096, size, ""},
        // The error names the first extent whose data are out of the file.
        {4096, 4096, size - 1, "tolcbt extent 1" + beyond + std::to_string(size - 1) + " bytes)"},
        {int64_t(1) << 40, 4096, size,
         "tolcbt extent 0" + beyond + std::to_string(size) + " bytes)"},
        // Lengths that overflow when added up, and negative ones.
        {max, max, max, "tolcbt extent 0" + beyond + std::to_string(max) + " bytes)"},
        {-512, 4096, size, "tolcbt extent 0 has a negative start or length (0 / -512)"}};
    for (const auto &c : cases) {
        list[0].length = c.length0;
        list[1].length = c.length1;
        EXPECT_EQ(outcome(check_tolcbt_extents(hdr, list, c.file_size)),
                  c.error.empty() ? "" : "22 " + c.error);
    }
}

TEST(TolcbtTable, FlatAndChangeRangesWithoutHoles)
{
    using L = cbt_extent_list_t;
    const struct {
        const char *what;
        off_t flat_size;
        int64_t data_offset;
        L list;
        const char *table;
    } cases[] = {
        {"alternating", 10 << 20, 4096, L{{MORE, 1 << 20, 64 << 10}, {LAST, 4 << 20, 4 << 10}},
         "0 2048 linear /dev/loop7 0\n2048 128 linear /dev/loop8 8\n"
         "2176 6016 linear /dev/loop7 2176\n8192 8 linear /dev/loop8 136\n"
         "8200 12280 linear /dev/loop7 8200\n"},
        {"changes cover both ends", 16384, 512, L{{MORE, 0, 4096}, {LAST, 8192, 8192}},
         "0 8 linear /dev/loop8 1\n8 8 linear /dev/loop7 8\n16 16 linear /dev/loop8 9\n"},
        {"one flat sector after the changes", 16896, 512, L{{MORE, 0, 4096}, {LAST, 8192, 8192}},
         "0 8 linear /dev/loop8 1\n8 8 linear /dev/loop7 8\n16 16 linear /dev/loop8 9\n"
         "32 1 linear /dev/loop7 32\n"},
        {"changes beyond the flat file", 4096, 4096, L{{LAST, 8192, 8192}},
         "0 16 linear /dev/loop7 0\n16 16 linear /dev/loop8 8\n"},
        {"overlap mapped at the current position", 16384, 0,
         L{{MORE, 4096, 4096}, {LAST, 2048, 1024}},
         "0 8 linear /dev/loop7 0\n8 8 linear /dev/loop8 0\n16 2 linear /dev/loop8 8\n"
         "18 14 linear /dev/loop7 18\n"},
        {"a missing flat file", -1, 0, L{}, nullptr}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        temp_dir dir;
        const std::string flat = dir.file("disk-flat.vmdk");
        if (c.flat_size >= 0) {
            write_file(flat, "");
            ASSERT_EQ(truncate(flat.c_str(), c.flat_size), 0);
        }
        cbt_file_header_t hdr{};
        hdr.block_data_offset = c.data_offset;
        std::string name, table;
        std::vector<merge_extent> layout;
        errdesc_t *err =
            create_devmap_table_merge_in(dir.path().c_str(), flat.c_str(), "/dev/loop7",
                                         "/dev/loop8", c.list, hdr, &name, &table, &layout);
        if (!c.table) {
            expect_error(err, ENOENT, flat + ": " + strerror(ENOENT));
            continue;
        }
        ASSERT_EQ(err, nullptr) << err->string;
        EXPECT_TRUE(std::regex_match(name, std::regex("cbt\\.[0-9]+"))) << name;
        EXPECT_EQ(table, dir.path() + "/" + name + ".dm_table_merge");
        EXPECT_EQ(read_file(table), c.table);
        // Reads that bypass the device find the bytes where the table does.
        std::string mapped;
        for (const merge_extent &m : layout)
            mapped += std::to_string(m.start / SECTOR) + " " + std::to_string(m.length / SECTOR) +
                      " linear /dev/loop" + (m.changed ? "8 " : "7 ") +
                      std::to_string(m.offset / SECTOR) + "\n";
        EXPECT_EQ(mapped, c.table);
    }
}

// Reads of a device through its in-use bitmap, over a fake device file and a
// fake bitmap file.

// Non-zero bytes that differ from sector to sector, so that zero-filled and
// misplaced sectors show.
std::vector<char> pattern(int64_t sectors)
{
    std::vector<char> bytes(static_cast<size_t>(sectors * SECTOR));
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>(i % 251 + 1);
    return bytes;
}

class TolDev : public ::testing::Test
{
  protected:
    // A device of `sectors` sectors and a bitmap file holding `bitmap`.
    void make(int64_t sectors, const std::vector<uint8_t> &bitmap)
    {
        content = pattern(sectors);
        write_file(device, content);
        write_file(bitmaps + "/fakedev", std::vector<char>(bitmap.begin(), bitmap.end()));
        bits = bitmap;
    }
    bool used(int64_t sector) const { return (bits[size_t(sector / 8)] >> (sector % 8)) & 1; }

    std::unique_ptr<tol_dev_desc_t> open_dev(const char *ext = nullptr, bool lvm = false)
    {
        return tol_dev_open_at(bitmaps.c_str(), device.c_str(), ext, lvm);
    }

    // What a read must deliver: device bytes of used sectors, zeros elsewhere.
    std::vector<char> expected(off_t offset, size_t size) const
    {
        std::vector<char> out(size);
        for (size_t i = 0; i < size; ++i)
            out[i] = used((offset + off_t(i)) / SECTOR) ? content[size_t(offset) + i] : 0;
        return out;
    }

    temp_dir dir;
    const std::string device = dir.file("dev/fakedev"), bitmaps = dir.file("bm");
    std::vector<char> content;
    std::vector<uint8_t> bits;
};

struct byte_read {
    errdesc_t *err;
    std::vector<char> data;
    uint64_t bytes_read, bytes_skipped;
};

byte_read read_bytes(tol_dev_desc_t *pdev, off_t offset, size_t size)
{
    byte_read r{};
    // Guard bytes after the request catch writes beyond `size`.
    r.data.assign(size + 64, '\x5a');
    r.bytes_read = r.bytes_skipped = 12345;
    r.err = optimize_byte_read(pdev, r.data.data(), size, offset, &r.bytes_read, &r.bytes_skipped);
    for (size_t i = size; i < r.data.size(); ++i)
        EXPECT_EQ(r.data[i], '\x5a') << "byte " << i << " written beyond the request";
    r.data.resize(size);
    return r;
}

TEST_F(TolDev, OpensReadsAlignedRangesAndRefusesWhatItCannotFind)
{
    EXPECT_EQ(open_dev(), nullptr) << "no device";
    make(64, {0x0F, 0xff, 0, 0, 0, 0, 0, 0});
    auto pdev = open_dev("/some/flat");
    ASSERT_NE(pdev, nullptr);
    EXPECT_EQ(pdev->name, "/fakedev");
    EXPECT_EQ(pdev->length, 64) << "eight sectors per bitmap byte";
    auto r = read_bytes(pdev.get(), 0, 4096);
    ASSERT_EQ(r.err, nullptr);
    EXPECT_EQ(r.data, expected(0, 4096));
    EXPECT_EQ(r.bytes_read, 2048u);
    EXPECT_EQ(r.bytes_skipped, 2048u);
    EXPECT_EQ(pdev->stats.runs, 2u);
    EXPECT_EQ(pdev->stats.inuse_tests, 8u);
    // A directory as the data device: any read of it would fail.
    pdev->fd.reset(open(dir.path().c_str(), O_RDONLY | O_DIRECTORY));
    r = read_bytes(pdev.get(), 16 * SECTOR, 8192);
    ASSERT_EQ(r.err, nullptr);
    EXPECT_EQ(r.data, std::vector<char>(8192, 0));
    EXPECT_EQ(r.bytes_skipped, 8192u);
    // A used sector fails, reported under the flat file's name.
    r = read_bytes(pdev.get(), 0, 1024);
    expect_error(r.err, EISDIR, std::string("/some/flat: ") + strerror(EISDIR));
    EXPECT_EQ(r.bytes_read, 0u);
    EXPECT_EQ(pdev->stats.runs, 4u) << "counted before the error stays counted";
    tol_dev_close(&pdev); // plain files carry no "dev_ref_count": no wait
    EXPECT_EQ(pdev, nullptr);

    std::string deep = dir.file(std::string(120, 'd'));
    EXPECT_EQ(tol_dev_open_at(bitmaps.c_str(), deep.c_str(), nullptr, false), nullptr)
        << "paths longer than the limit";
    // With LVM reads the data come from ".dup"; the bitmap keeps the name.
    ASSERT_EQ(rename(device.c_str(), (device + ".dup").c_str()), 0);
    pdev = open_dev(nullptr, true);
    ASSERT_NE(pdev, nullptr);
    EXPECT_EQ(read_bytes(pdev.get(), 0, 4096).data, expected(0, 4096));
    unlink((bitmaps + "/fakedev").c_str());
    EXPECT_EQ(open_dev(nullptr, true), nullptr) << "no bitmap";
}

TEST_F(TolDev, MixedRunsAgainstAModel)
{
    // Random bitmaps and ranges, each compared with what the bitmap says.
    std::mt19937 rng(20100415);
    for (int round = 0; round < 20; ++round) {
        std::vector<uint8_t> bitmap(16);
        for (auto &b : bitmap)
            b = static_cast<uint8_t>(rng());
        if (round % 4 == 0)
            bitmap.assign(16, round % 8 == 0 ? 0x00 : 0xff);
        make(128, bitmap);
        auto pdev = open_dev();
        ASSERT_NE(pdev, nullptr);
        for (int i = 0; i < 50; ++i) {
            const off_t offset = static_cast<off_t>(rng() % (128 * SECTOR - 1));
            const size_t size = 1 + rng() % static_cast<size_t>(128 * SECTOR - offset);
            auto r = read_bytes(pdev.get(), offset, size);
            ASSERT_EQ(r.err, nullptr) << offset << "+" << size;
            ASSERT_EQ(r.data, expected(offset, size)) << offset << "+" << size;
            const uint64_t first = static_cast<uint64_t>(offset) / SECTOR;
            const uint64_t last = (static_cast<uint64_t>(offset) + size - 1) / SECTOR;
            EXPECT_EQ(r.bytes_read + r.bytes_skipped, (last - first + 1) * SECTOR);
            // The same sectors whole, through the sector read with the whole bitmap.
            tol_sector_t n = static_cast<tol_sector_t>(last - first + 1);
            tol_read_stats_t rs{0, 0};
            std::vector<char> sectors(static_cast<size_t>(n) * SECTOR);
            ASSERT_EQ(tol_dev_read(pdev.get(), sectors.data(), bitmap.data(), 0,
                                   static_cast<tol_sector_t>(first), &n, &rs),
                      nullptr);
            EXPECT_EQ(sectors, expected(static_cast<off_t>(first) * SECTOR, sectors.size()));
            EXPECT_EQ(rs.sectors_read + rs.sectors_skipped, n);
        }
        EXPECT_EQ(pdev->stats.sectors_read + pdev->stats.sectors_skipped,
                  pdev->stats.io_bytes / SECTOR);
    }
}

TEST_F(TolDev, RunsOverAKeptBitmapLargerThanItsChunks)
{
    // More chunks than are kept, and a short last one.
    std::vector<uint8_t> bitmap((TOL_BITMAP_CHUNKS_KEPT + 2) * TOL_BITMAP_CHUNK + 3);
    std::mt19937 rng(7);
    for (size_t i = 0; i < bitmap.size(); i += 1 + rng() % 64)
        bitmap[i] = static_cast<uint8_t>(rng() % 3 == 0 ? rng() : (rng() % 2) * 0xff);
    make(16, bitmap);
    auto pdev = open_dev();
    ASSERT_NE(pdev, nullptr);
    const int64_t sectors = static_cast<int64_t>(bitmap.size()) * 8;
    for (int i = 0; i < 300; ++i) {
        const int64_t first = static_cast<int64_t>(rng() % static_cast<uint64_t>(sectors));
        const off_t offset = first * SECTOR + static_cast<off_t>(rng() % SECTOR);
        const size_t size = 1 + rng() % (3 * TOL_BITMAP_CHUNK);
        std::vector<tol_dev_run> runs;
        errdesc_t *err = tol_dev_runs(pdev.get(), offset, size, &runs);
        if (offset + static_cast<off_t>(size) > sectors * SECTOR) {
            expect_error(err, EIO);
            continue;
        }
        ASSERT_EQ(err, nullptr);
        off_t pos = offset;
        for (const auto &r : runs) {
            ASSERT_EQ(r.offset, pos);
            for (off_t s = r.offset / SECTOR; s <= (r.offset + off_t(r.size) - 1) / SECTOR; ++s)
                ASSERT_EQ(used(s), r.used) << s;
            pos += static_cast<off_t>(r.size);
        }
        EXPECT_EQ(pos, offset + static_cast<off_t>(size));
    }
}

TEST_F(TolDev, RangesAtAndPastTheDeviceEnd)
{
    make(16, {0xff, 0xff});
    auto pdev = open_dev();
    ASSERT_NE(pdev, nullptr);
    for (off_t offset : {off_t(16 * SECTOR), off_t(16 * SECTOR + 100), off_t(1) << 40}) {
        auto r = read_bytes(pdev.get(), offset, 4096);
        EXPECT_EQ(r.err, nullptr);
        EXPECT_EQ(r.bytes_read + r.bytes_skipped, 0u) << offset;
    }
    EXPECT_EQ(pdev->stats.invocations, 0u);

    // Starting inside but ending past the bitmap.
    auto r = read_bytes(pdev.get(), 15 * SECTOR, 4096);
    expect_error(r.err, EIO,
                 "optimize_byte_read : pread size 2 bytes, start 1, inuse_bitmap of /fakedev "
                 "returned 1 nbytes (errno = 0)\n");
    EXPECT_EQ(r.bytes_read + r.bytes_skipped, 0u);

    // A device shorter than its bitmap, ending inside a sector: the data end
    // at its last whole sector, with no error.
    ASSERT_EQ(truncate(device.c_str(), 8 * SECTOR + 100), 0);
    r = read_bytes(pdev.get(), 0, 16 * SECTOR);
    ASSERT_EQ(r.err, nullptr);
    EXPECT_EQ(r.bytes_read + r.bytes_skipped, 8u * SECTOR);
    r.data.resize(8 * SECTOR);
    EXPECT_EQ(r.data, expected(0, 8 * SECTOR));
}

// Reads of a served flat disk over a plain file standing in for its device:
// the hidden recovery-header sector, the device's end, and the in-use bitmap.
constexpr off_t HIDDEN = 2 * SECTOR; // where the header sits in every test image

class FlatImage : public ::testing::Test
{
  protected:
    // An image of `sectors` sectors read plainly or, with `bitmap_bytes`,
    // through the bitmap (every sector in use). It holds an MBR with one
    // partition at sector 2048, a header in sector 2, and non-zero bytes
    // everywhere else, so that hidden and skipped bytes show.
    std::unique_ptr<flat_image> make(int64_t sectors, size_t bitmap_bytes = 0,
                                     bool failing_device = false)
    {
        content = pattern(sectors);
        const std::vector<char> mbr = make_disk(1, {{0x83, 2048}});
        std::copy(mbr.begin(), mbr.end(), content.begin());
        put(content, HIDDEN, TOL_VDSK_HEADER_MAGIC);
        put(content, HIDDEN + 508, TOL_VDSK_HEADER_MAGIC);
        write_file(dir.file("dev"), content);
        bitmap_device bitmap;
        if (bitmap_bytes > 0) {
            write_file(dir.file("bm/dev"), std::vector<char>(bitmap_bytes, '\xff'));
            auto dev =
                tol_dev_open_at(dir.file("bm").c_str(), dir.file("dev").c_str(), nullptr, false);
            EXPECT_NE(dev, nullptr);
            if (failing_device) // any read of a directory fails
                dev->fd.reset(open(dir.path().c_str(), O_RDONLY | O_DIRECTORY));
            bitmap = bitmap_device(std::move(dev));
        }
        return std::make_unique<flat_image>(loop_attachment{}, nullptr, partition_mapping{},
                                            unique_fd(open(dir.file("dev").c_str(), O_RDONLY)),
                                            std::move(bitmap));
    }
    // What a reader sees: the content with the header sector zeroed.
    std::string expected(off_t offset, size_t size) const
    {
        std::string out(content.data() + offset, size);
        for (off_t i = std::max(offset, HIDDEN); i < std::min<off_t>(offset + size, HIDDEN + 512);
             ++i)
            out[static_cast<size_t>(i - offset)] = '\0';
        return out;
    }
    // What the pieces of a read deliver, each fetched from where it says.
    static std::string pieced(const flat_image &image, off_t offset, size_t size)
    {
        std::vector<image_segment> segs;
        EXPECT_EQ(image.segments(size, offset, &segs), nullptr);
        std::string out;
        for (const auto &seg : segs) {
            std::string part(seg.size, '\0');
            if (!seg.zeros &&
                pread(seg.fd, part.data(), seg.size, seg.pos) != static_cast<ssize_t>(seg.size))
                return "short read at " + std::to_string(seg.pos);
            out += part;
        }
        return out;
    }
    errdesc_t *read(const flat_image &image, off_t offset, size_t size, std::string *out)
    {
        out->assign(size, 'x');
        size_t count = 0;
        errdesc_t *err = image.read(out->data(), size, offset, &count);
        out->resize(count);
        return err;
    }

    temp_dir dir;
    std::vector<char> content;
};

TEST_F(FlatImage, HiddenSectorDeviceEndAndAFailingDevice)
{
    const struct {
        off_t offset;
        size_t size, delivered;
    } cases[] = {{0, 4096, 4096},  {0, 1024, 1024}, // ends where the hidden sector starts
                 {1400, 300, 300}, {1024, 512, 512},
                 {1535, 2, 2},     {7680, 1024, 512}, // cut at the device's end
                 {8192, 512, 0},   {8292, 10, 0}};
    for (size_t bitmap : {size_t(0), size_t(2)}) {
        auto image = make(16, bitmap);
        EXPECT_EQ(image->hidden_offset(), HIDDEN);
        EXPECT_EQ(image->optimized(), bitmap > 0);
        for (const auto &c : cases) {
            SCOPED_TRACE(std::to_string(bitmap) + ": " + std::to_string(c.offset) + "+" +
                         std::to_string(c.size));
            std::string got;
            ASSERT_EQ(read(*image, c.offset, c.size, &got), nullptr);
            EXPECT_EQ(got, expected(c.offset, c.delivered));
            // The pieces handed to FUSE instead deliver the same bytes.
            EXPECT_EQ(pieced(*image, c.offset, c.size), expected(c.offset, c.delivered));
        }
    }
    // A failing device: a read that starts in the hidden sector reads as
    // zeros up to the sector's end only.
    auto image = make(16, 2, true);
    std::string got;
    ASSERT_EQ(read(*image, HIDDEN + 100, 200, &got), nullptr);
    EXPECT_EQ(got, std::string(200, '\0'));
    ASSERT_EQ(read(*image, HIDDEN, 1024, &got), nullptr);
    EXPECT_EQ(got, std::string(512, '\0'));
    expect_error(read(*image, 0, 2048, &got), EISDIR);
}

TEST_F(FlatImage, PiecesReadFromTheFilesUnderTheDevice)
{
    // The device's 16 sectors lie in two files, in stretches of 4 sectors
    // alternating between them; a read's pieces must come from the right
    // file at the right place, the hidden sector still zeros.
    auto image = make(16, 2);
    std::vector<char> a(content.size(), 'a'), b(content.size(), 'b');
    std::vector<file_extent> extents;
    for (off_t s = 0; s < 16; s += 4) {
        std::vector<char> &f = s / 4 % 2 ? b : a;
        const off_t at = s * SECTOR, pos = (12 - s) * SECTOR; // stored back to front
        std::copy_n(content.begin() + at, 4 * SECTOR, f.begin() + pos);
        extents.push_back({at, 4 * SECTOR, static_cast<int>(s / 4 % 2), pos});
    }
    write_file(dir.file("a"), a);
    write_file(dir.file("b"), b);
    // Hands the image both files, the extents' file indexes turned into fds.
    auto attach = [&](std::vector<file_extent> e) {
        std::vector<unique_fd> f;
        for (const char *name : {"a", "b"})
            f.emplace_back(open(dir.file(name).c_str(), O_RDONLY));
        for (auto &x : e)
            x.fd = f[static_cast<size_t>(x.fd)].get();
        return image->read_from_files(std::move(f), e);
    };
    // Refused: a file the image is not given, a gap, a stretch that stops
    // short of the end.
    EXPECT_FALSE(image->read_from_files({}, extents));
    auto gap = extents;
    gap[1].start += SECTOR;
    EXPECT_FALSE(attach(gap));
    EXPECT_FALSE(attach({extents.begin(), extents.end() - 1}));
    ASSERT_TRUE(attach(extents));
    for (const auto &[offset, size] :
         {std::pair<off_t, size_t>{0, 8192}, {1000, 3000}, {4000, 200}}) {
        SCOPED_TRACE(std::to_string(offset) + "+" + std::to_string(size));
        EXPECT_EQ(pieced(*image, offset, size), expected(offset, size));
    }
}
