// The recovery header: where it is found through the MBR, reading, the dump,
// and the UUID texts.

#include "common/unique_fd.hpp"
#include "image/tol_vdsk_header.hpp"
#include "image_test_util.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>

namespace
{

constexpr size_t SECTOR = 512;

struct part_spec {
    uint8_t type;
    uint32_t first_lba;
};

// A disk of `sectors` sectors with an MBR holding `parts`; sectors in
// [used_from, used_to) hold data.
std::vector<char> make_disk(size_t sectors, const std::vector<part_spec> &parts,
                            size_t used_from = 0, size_t used_to = 0, bool signature = true)
{
    std::vector<char> disk(sectors * SECTOR, 0);
    mbr_t mbr{};
    for (size_t i = 0; i < parts.size(); ++i) {
        mbr.part_entry[i].type = parts[i].type;
        mbr.part_entry[i].first_sector_lba = parts[i].first_lba;
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

// Version 2 has change tracking and a large suffix, version 1 the other
// attributes and an unsupported create type; any other version gets the v1
// layout.
tol_vdsk_header_t make_header(int version, uint8_t type = TOL_VDSK_HEADER_TYPE_VMDK)
{
    tol_vdsk_header_t h{};
    std::memcpy(h.magic_begin, "RVHD", 4);
    std::memcpy(h.magic_end, "RVHD", 4);
    h.version = static_cast<uint8_t>(version);
    h.type = type;
    auto fill = [](auto &v, uint8_t attributes, uint8_t createtype, uint32_t suffix) {
        v.cid = 0x0badcafe;
        v.size = 2048;
        v.attributes = attributes;
        v.createtype = createtype;
        fill_uuid(&v.disk_uuid, 0x10);
        fill_uuid(&v.vm_uuid, 0x20);
        fill_uuid(&v.ds_uuid, 0x30);
        fill_uuid(&v.change_id, 0x00);
        v.change_suffix = static_cast<decltype(v.change_suffix)>(suffix);
        v.snapshot_time = 1262304000; // 2010-01-01 00:00:00 UTC
        static const char strings[] = "[ds1] vm1/vm1-flat.vmdk\0ds1\0esx1.example\0vm1";
        std::memcpy(v.varstrings, strings, sizeof(strings));
    };
    if (version == 2)
        fill(h.data.v2, TOL_VDSK_ATTR_PERSISTENT | TOL_VDSK_ATTR_THIN | TOL_VDSK_ATTR_CBT_ENABLED,
             3, 70000);
    else
        fill(h.data.v1,
             TOL_VDSK_ATTR_SPLIT | TOL_VDSK_ATTR_EAGERLY_SCRUB | TOL_VDSK_ATTR_WRITE_THROUGH, 40,
             7);
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
    const struct {
        const char *what;
        std::vector<char> disk;
        uint32_t sector; // TOL_VDSK_NO_SECTOR: the search fails
        int number;
        const char *text; // null: only the number is checked
    } cases[] = {
        {"zeros before the partition", make_disk(4096, {{0x83, 2048}}), 2, 0, nullptr},
        {"sector 2 holds data", make_disk(4096, {{0x83, 2048}}, 2, 3), 3, 0, nullptr},
        {"type 0 entries do not count", make_disk(64, {{0x00, 1}, {0x00, 3}}, 2, 16), 16, 0,
         nullptr},
        {"partition at 2", make_disk(64, {{0x83, 2048}, {0x83, 2}}), TOL_VDSK_NO_SECTOR, EIO,
         "partition start at 2, sectors 2 to 16 are not available"},
        {"all used before the partition", make_disk(64, {{0x83, 10}}, 2, 10), TOL_VDSK_NO_SECTOR,
         EIO, "Cannot find any empty sector between 2-16"},
        // Sector 5 is the partition's own (zero) first sector: not a candidate.
        {"stops at the partition", make_disk(64, {{0x83, 5}}, 2, 5), TOL_VDSK_NO_SECTOR, EIO,
         "Cannot find any empty sector between 2-16"},
        {"no MBR signature", make_disk(64, {}, 0, 0, false), TOL_VDSK_NO_SECTOR, EIO,
         "unknown partition format"},
        {"shorter than the MBR", std::vector<char>(100, 0), TOL_VDSK_NO_SECTOR, ENODATA, nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        int disk_fd = open_disk(c.disk);
        uint32_t sector = 0;
        const errdesc_t *err = find_free_sector_by_partition(disk_fd, &sector);
        EXPECT_EQ(sector, c.sector);
        if (c.number == 0) {
            EXPECT_EQ(err, nullptr) << err->string;
            continue;
        }
        ASSERT_NE(err, nullptr);
        EXPECT_EQ(err->number, c.number);
        if (c.text) {
            EXPECT_STREQ(err->string, c.text);
        }
    }
}

TEST_F(RecoveryHeader, ReadFindsTheHeaderOrSaysThereIsNone)
{
    // Sector 2 holds other data: the header in sector 3 is the one.
    for (int version : {1, 2}) {
        auto disk = make_disk(4096, {{0x07, 63}}, 2, 3);
        auto hdr = make_header(version);
        put(disk, 3 * SECTOR, hdr);
        tol_vdsk_header_t got;
        ASSERT_EQ(read_tol_vdsk_header(open_disk(disk), &got), nullptr) << version;
        EXPECT_EQ(std::memcmp(&got, &hdr, sizeof(got)), 0) << version;
    }

    tol_vdsk_header_t h;
    const errdesc_t *err = read_tol_vdsk_header(open_disk(make_disk(4096, {{0x83, 2048}})), &h);
    ASSERT_NE(err, nullptr);
    EXPECT_EQ(err->number, ENODATA);
    EXPECT_STREQ(err->string, "The data is not a valid recover header");

    // read_sector shortens at the end of the file and refuses a negative offset.
    int disk_fd = open_disk(std::vector<char>(700, 'a'));
    char buf[512];
    size_t length = sizeof(buf);
    ASSERT_EQ(read_sector(disk_fd, 512, &length, buf), nullptr);
    EXPECT_EQ(length, 188u);
    EXPECT_NE(read_sector(disk_fd, -512, &length, buf), nullptr);
}

TEST(RecoveryHeaderRecord, VariableStringsStayInsideTheArea)
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
    EXPECT_EQ(s0, "yyyyy");
    EXPECT_EQ(s1, std::string(sizeof(area) - 6, 'y'));
    EXPECT_EQ(s2 + s3, "");
    EXPECT_TRUE(get_vmdk_variable_strings(&full, &s0, &s1, nullptr, nullptr));
}

std::string dump(const tol_vdsk_header_t &h)
{
    char *text = nullptr;
    size_t len = 0;
    FILE *out = open_memstream(&text, &len);
    dump_tol_vdsk_header_to(out, &h);
    fclose(out);
    std::string result(text, len);
    free(text);
    return result;
}

TEST(RecoveryHeaderDump, VersionTwoAndAnInvalidHeader)
{
    // The snapshot time is printed in local time.
    const char *tz = getenv("TZ");
    const std::string saved_tz = tz ? tz : "";
    setenv("TZ", "UTC", 1);
    tzset();
    EXPECT_EQ(dump(make_header(2)),
              "type: VMDK\nversion: 2\ncid: 0badcafe\ndisk size: 1048576\n"
              "create type: monolithic flat\n"
              "attributes: persistent, thin provisioned, cbt enabled, \n"
              "snapshot time: Fri Jan  1 00:00:00 2010\n"
              "change id: 00010203-0405-0607-0809-0a0b0c0d0e0f/70000\n"
              "disk id: 10111213-1415-1617-1819-1a1b1c1d1e1f\n"
              "virtual machine id: 20212223-2425-2627-2829-2a2b2c2d2e2f\n"
              "datastore id: 30313233-3435-3637-3839-3a3b3c3d3e3f\n"
              "HV: esx1.example\nVM: vm1\nDS: ds1\npath: [ds1] vm1/vm1-flat.vmdk\n");
    auto bad = make_header(1);
    bad.magic_begin[0] = 'r';
    EXPECT_EQ(dump(bad), "Invalid recover header\n");
    if (tz)
        setenv("TZ", saved_tz.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

TEST(Uuid, TextFormsBothWays)
{
    tol_uuid_t u, want;
    fill_uuid(&want, 0);
    EXPECT_EQ(uuid_value_to_str(&want), "00010203-0405-0607-0809-0a0b0c0d0e0f");
    const struct {
        const char *text;
        bool ok;
        tol_uuid_t value;
    } cases[] = {
        {"00010203-0405-0607-0809-0a0b0c0d0e0f", true, want},
        // The change identifier form: spaced pairs, one dash, and a suffix
        // after the 16 bytes that is ignored.
        {"00 01 02 03 04 05 06 07-08 09 0A 0B 0C 0D 0E 0F/12", true, want},
        {"0102", true, {{1, 2}}}, // bytes not reached stay 0
        {"abc", false, {}},
        {"ab c", false, {}},
    };
    for (const auto &c : cases) {
        std::memset(u.value, 0xEE, sizeof(u.value));
        ASSERT_EQ(uuid_str_to_value(c.text, &u), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(std::memcmp(u.value, c.value.value, 16), 0) << c.text;
        }
    }
}

} // namespace
