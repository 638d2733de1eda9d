// The recovery header: where it is found through the MBR, reading, the dump,
// and the UUID texts.

#include "image/tol_vdsk_header.hpp"
#include "image_test_util.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace
{

constexpr size_t SECTOR = 512;

struct part_spec {
    uint8_t type;
    uint32_t first_lba;
};

// A disk of `sectors` sectors with an MBR holding `parts` (four at most).
std::vector<char> make_disk(size_t sectors, const std::vector<part_spec> &parts,
                            bool signature = true)
{
    std::vector<char> disk(sectors * SECTOR, 0);
    mbr_t mbr{};
    for (size_t i = 0; i < parts.size() && i < 4; ++i) {
        mbr.part_entry[i].type = parts[i].type;
        mbr.part_entry[i].first_sector_lba = parts[i].first_lba;
        mbr.part_entry[i].number_of_sectors = 100;
    }
    if (signature)
        mbr.mbr_signature = MBR_SIGNATURE;
    put(disk, 0, mbr);
    return disk;
}

void fill_uuid(tol_uuid_t *uuid, uint8_t first)
{
    for (int i = 0; i < 16; ++i)
        uuid->value[i] = static_cast<uint8_t>(first + i);
}

void put_strings(char *area, size_t size, const std::vector<std::string> &strings)
{
    size_t pos = 0;
    for (const auto &s : strings) {
        std::memcpy(area + pos, s.data(), std::min(s.size(), size - pos));
        pos += s.size() + 1;
        if (pos >= size)
            break;
    }
}

const std::vector<std::string> sample_strings = {"[ds1] vm1/vm1-flat.vmdk", "ds1", "esx1.example",
                                                 "vm1"};

tol_vdsk_header_t make_header(int version, uint8_t type = TOL_VDSK_HEADER_TYPE_VMDK)
{
    tol_vdsk_header_t h{};
    std::memcpy(h.magic_begin, "RVHD", 4);
    std::memcpy(h.magic_end, "RVHD", 4);
    h.version = static_cast<uint8_t>(version);
    h.type = type;
    if (version == 2) {
        auto &v = h.data.v2;
        v.cid = 0x0badcafe;
        v.size = 2048;
        v.attributes = TOL_VDSK_ATTR_PERSISTENT | TOL_VDSK_ATTR_THIN | TOL_VDSK_ATTR_CBT_ENABLED;
        v.createtype = 3;
        fill_uuid(&v.disk_uuid, 0x10);
        fill_uuid(&v.vm_uuid, 0x20);
        fill_uuid(&v.ds_uuid, 0x30);
        fill_uuid(&v.change_id, 0x00);
        v.change_suffix = 70000;
        v.snapshot_time = 1262304000; // 2010-01-01 00:00:00 UTC
        put_strings(v.varstrings, sizeof(v.varstrings), sample_strings);
    } else {
        auto &v = h.data.v1;
        v.cid = 0x0badcafe;
        v.size = 2048;
        v.attributes =
            TOL_VDSK_ATTR_SPLIT | TOL_VDSK_ATTR_EAGERLY_SCRUB | TOL_VDSK_ATTR_WRITE_THROUGH;
        v.createtype = 40;
        fill_uuid(&v.disk_uuid, 0x10);
        fill_uuid(&v.vm_uuid, 0x20);
        fill_uuid(&v.ds_uuid, 0x30);
        fill_uuid(&v.change_id, 0x00);
        v.change_suffix = 7;
        v.snapshot_time = 1262304000;
        put_strings(v.varstrings, sizeof(v.varstrings), sample_strings);
    }
    return h;
}

class RecoveryHeader : public ::testing::Test
{
  protected:
    int open_disk(const std::vector<char> &disk)
    {
        write_file(dir.file("disk-flat.vmdk"), disk);
        fd = open(dir.file("disk-flat.vmdk").c_str(), O_RDONLY);
        EXPECT_GE(fd, 0);
        return fd;
    }
    void TearDown() override
    {
        if (fd >= 0)
            close(fd);
    }

    temp_dir dir;
    int fd = -1;
};

void expect_error(const errdesc_t *err, int number, const std::string &text)
{
    ASSERT_NE(err, nullptr);
    EXPECT_EQ(err->number, number);
    EXPECT_EQ(std::string(err->string), text);
}

TEST_F(RecoveryHeader, ZeroSectorsBeforeThePartitionAreFreeButHoldNoHeader)
{
    int disk_fd = open_disk(make_disk(4096, {{0x83, 2048}}));
    uint32_t sector = 0;
    ASSERT_EQ(find_free_sector_by_partition(disk_fd, &sector), nullptr);
    EXPECT_EQ(sector, 2u);
    tol_vdsk_header_t h;
    expect_error(read_tol_vdsk_header(disk_fd, &h), ENODATA,
                 "The data is not a valid recover header: No data available");
}

TEST_F(RecoveryHeader, HeaderFoundInTheFirstAvailableSector)
{
    for (int version : {1, 2}) {
        auto disk = make_disk(4096, {{0x07, 63}});
        auto hdr = make_header(version);
        put(disk, 2 * SECTOR, hdr);
        int disk_fd = open_disk(disk);
        tol_vdsk_header_t got;
        ASSERT_EQ(read_tol_vdsk_header(disk_fd, &got), nullptr) << version;
        EXPECT_EQ(std::memcmp(&got, &hdr, sizeof(got)), 0);
        close(fd);
        fd = -1;
    }

    // Sector 2 holds other data: the header in sector 3 is the one.
    auto disk = make_disk(4096, {{0x83, 2048}});
    disk[2 * SECTOR + 17] = 1;
    auto hdr = make_header(2);
    put(disk, 3 * SECTOR, hdr);
    int disk_fd = open_disk(disk);
    uint32_t sector = 0;
    ASSERT_EQ(find_free_sector_by_partition(disk_fd, &sector), nullptr);
    EXPECT_EQ(sector, 3u);
    tol_vdsk_header_t got;
    ASSERT_EQ(read_tol_vdsk_header(disk_fd, &got), nullptr);
    EXPECT_EQ(got.version, 2);
    EXPECT_EQ(+got.data.v2.change_suffix, 70000u);
}

TEST_F(RecoveryHeader, PartitionAtSectorTwoOrEarlierLeavesNoRoom)
{
    for (uint32_t start : {0u, 1u, 2u}) {
        int disk_fd = open_disk(make_disk(64, {{0x83, 2048}, {0x83, start}}));
        uint32_t sector = 0;
        expect_error(find_free_sector_by_partition(disk_fd, &sector), EIO,
                     "partition start at " + std::to_string(start) +
                         ", sectors 2 to 16 are not available");
        EXPECT_EQ(sector, TOL_VDSK_NO_SECTOR);
        close(fd);
        fd = -1;
    }
}

TEST_F(RecoveryHeader, NoEmptySectorBeforeThePartition)
{
    auto disk = make_disk(64, {{0x83, 10}});
    for (size_t s = 2; s < 10; ++s)
        disk[s * SECTOR] = 'x';
    int disk_fd = open_disk(disk);
    uint32_t sector = 0;
    expect_error(find_free_sector_by_partition(disk_fd, &sector), EIO,
                 "Cannot find any empty sector between 2-16");
    EXPECT_EQ(sector, TOL_VDSK_NO_SECTOR);
}

TEST_F(RecoveryHeader, SearchStopsBeforeThePartitionStart)
{
    // Sectors 2 to 4 used, sector 5 is the partition's own (zero) first sector.
    auto disk = make_disk(64, {{0x83, 5}});
    for (size_t s = 2; s < 5; ++s)
        disk[s * SECTOR] = 'x';
    int disk_fd = open_disk(disk);
    uint32_t sector = 0;
    EXPECT_NE(find_free_sector_by_partition(disk_fd, &sector), nullptr);
}

TEST_F(RecoveryHeader, UnusedEntriesAndEmptyTablesDoNotLimitTheSearch)
{
    // Type 0 entries do not count, whatever their start.
    auto disk = make_disk(64, {{0x00, 1}, {0x00, 3}});
    for (size_t s = 2; s < 16; ++s)
        disk[s * SECTOR] = 'x';
    int disk_fd = open_disk(disk);
    uint32_t sector = 0;
    ASSERT_EQ(find_free_sector_by_partition(disk_fd, &sector), nullptr);
    EXPECT_EQ(sector, 16u);
}

TEST_F(RecoveryHeader, DiskWithoutMbrSignature)
{
    int disk_fd = open_disk(std::vector<char>(64 * SECTOR, 0));
    uint32_t sector = 0;
    expect_error(find_free_sector_by_partition(disk_fd, &sector), EIO,
                 "unknown partition format: Input/output error");
}

TEST_F(RecoveryHeader, ShortDisks)
{
    int disk_fd = open_disk(std::vector<char>(100, 0));
    uint32_t sector = 0;
    const errdesc_t *err = find_free_sector_by_partition(disk_fd, &sector);
    ASSERT_NE(err, nullptr);
    EXPECT_EQ(err->number, ENODATA);
    close(fd);

    // An MBR and nothing else: no sector can be read in full.
    disk_fd = open_disk(make_disk(1, {}));
    EXPECT_FALSE(is_sector_available(disk_fd, 2));
    err = find_free_sector_by_partition(disk_fd, &sector);
    ASSERT_NE(err, nullptr);
    EXPECT_EQ(err->number, EIO);
}

TEST_F(RecoveryHeader, ReadSectorShortensAtEndOfFile)
{
    int disk_fd = open_disk(std::vector<char>(700, 'a'));
    char buf[512];
    size_t length = sizeof(buf);
    ASSERT_EQ(read_sector(disk_fd, 512, &length, buf), nullptr);
    EXPECT_EQ(length, 188u);
    length = sizeof(buf);
    EXPECT_NE(read_sector(disk_fd, -512, &length, buf), nullptr);
}

TEST(RecoveryHeaderRecord, MagicTestIgnoresVersionAndType)
{
    auto h = make_header(9, 77);
    EXPECT_TRUE(is_tol_vdsk_header(&h));
    h.magic_end[3] = 'X';
    EXPECT_FALSE(is_tol_vdsk_header(&h));
}

TEST(RecoveryHeaderRecord, VariableStrings)
{
    auto h = make_header(1);
    std::string s0, s1, s2, s3;
    EXPECT_TRUE(get_vmdk_variable_strings(&h, &s0, &s1, &s2, &s3));
    EXPECT_EQ(s0, "[ds1] vm1/vm1-flat.vmdk");
    EXPECT_EQ(s1, "ds1");
    EXPECT_EQ(s2, "esx1.example");
    EXPECT_EQ(s3, "vm1");
    EXPECT_TRUE(get_vmdk_variable_strings(&h, nullptr, nullptr, &s2, nullptr));

    // The last string runs to the end of the area without a terminator.
    auto full = make_header(2);
    auto &area = full.data.v2.varstrings;
    std::memset(area, 'z', sizeof(area));
    area[0] = '\0';
    area[1] = '\0';
    area[2] = '\0';
    EXPECT_TRUE(get_vmdk_variable_strings(&full, &s0, &s1, &s2, &s3));
    EXPECT_EQ(s0, "");
    EXPECT_EQ(s3, std::string(sizeof(area) - 3, 'z'));

    // Fewer strings than four: the missing ones are empty and reported.
    std::memset(area, 'y', sizeof(area));
    area[5] = '\0';
    EXPECT_FALSE(get_vmdk_variable_strings(&full, &s0, &s1, &s2, &s3));
    EXPECT_EQ(s0, "yyyyy");
    EXPECT_EQ(s1, std::string(sizeof(area) - 6, 'y'));
    EXPECT_EQ(s2, "");
    EXPECT_EQ(s3, "");
    EXPECT_TRUE(get_vmdk_variable_strings(&full, &s0, &s1, nullptr, nullptr));

    // A NUL as the area's last byte starts no string.
    std::memset(area, 'w', sizeof(area));
    area[sizeof(area) - 1] = '\0';
    EXPECT_FALSE(get_vmdk_variable_strings(&full, nullptr, &s1, nullptr, nullptr));
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

class HeaderDump : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        const char *tz = getenv("TZ");
        saved_tz = tz ? tz : "";
        had_tz = tz != nullptr;
        setenv("TZ", "UTC", 1);
        tzset();
    }
    void TearDown() override
    {
        if (had_tz)
            setenv("TZ", saved_tz.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    std::string saved_tz;
    bool had_tz = false;
};

TEST_F(HeaderDump, VersionTwoWithChangeId)
{
    EXPECT_EQ(dump(make_header(2)), "type: VMDK\n"
                                    "version: 2\n"
                                    "cid: 0badcafe\n"
                                    "disk size: 1048576\n"
                                    "create type: monolithic flat\n"
                                    "attributes: persistent, thin provisioned, cbt enabled, \n"
                                    "snapshot time: Fri Jan  1 00:00:00 2010\n"
                                    "change id: 00010203-0405-0607-0809-0a0b0c0d0e0f/70000\n"
                                    "disk id: 10111213-1415-1617-1819-1a1b1c1d1e1f\n"
                                    "virtual machine id: 20212223-2425-2627-2829-2a2b2c2d2e2f\n"
                                    "datastore id: 30313233-3435-3637-3839-3a3b3c3d3e3f\n"
                                    "HV: esx1.example\n"
                                    "VM: vm1\n"
                                    "DS: ds1\n"
                                    "path: [ds1] vm1/vm1-flat.vmdk\n");
}

TEST_F(HeaderDump, VersionOneWithoutChangeTracking)
{
    EXPECT_EQ(dump(make_header(1)), "type: VMDK\n"
                                    "version: 1\n"
                                    "cid: 0badcafe\n"
                                    "disk size: 1048576\n"
                                    "create type: unsupported\n"
                                    "attributes: write through, split, eagerly scrub, \n"
                                    "snapshot time: Fri Jan  1 00:00:00 2010\n"
                                    "disk id: 10111213-1415-1617-1819-1a1b1c1d1e1f\n"
                                    "virtual machine id: 20212223-2425-2627-2829-2a2b2c2d2e2f\n"
                                    "datastore id: 30313233-3435-3637-3839-3a3b3c3d3e3f\n"
                                    "HV: esx1.example\n"
                                    "VM: vm1\n"
                                    "DS: ds1\n"
                                    "path: [ds1] vm1/vm1-flat.vmdk\n");
}

TEST_F(HeaderDump, OtherTypesVersionsAndInvalidHeaders)
{
    auto vhd = make_header(1, TOL_VDSK_HEADER_TYPE_VHD);
    EXPECT_EQ(dump(vhd),
              "type: VHD\nHV: esx1.example\nVM: vm1\nDS: ds1\npath: [ds1] vm1/vm1-flat.vmdk\n");

    auto odd = make_header(2, 9);
    EXPECT_EQ(dump(odd),
              "Unknown typeHV: esx1.example\nVM: vm1\nDS: ds1\npath: [ds1] vm1/vm1-flat.vmdk\n");

    auto v3 = make_header(3);
    EXPECT_EQ(
        dump(v3),
        "type: VMDK\nUnknown version number\n(Some of the following strings may be truncated)\n"
        "HV: \nVM: \nDS: \npath: \n");

    auto bad = make_header(1);
    bad.magic_begin[0] = 'r';
    EXPECT_EQ(dump(bad), "Invalid recover header\n");
}

TEST(Uuid, ValueToText)
{
    tol_uuid_t u;
    fill_uuid(&u, 0);
    EXPECT_EQ(uuid_value_to_str(&u), "00010203-0405-0607-0809-0a0b0c0d0e0f");
    std::memset(u.value, 0xAB, sizeof(u.value));
    EXPECT_EQ(uuid_value_to_str(&u), "abababab-abab-abab-abab-abababababab");
}

TEST(Uuid, TextToValue)
{
    tol_uuid_t u, want;
    fill_uuid(&want, 0);

    ASSERT_TRUE(uuid_str_to_value("00010203-0405-0607-0809-0a0b0c0d0e0f", &u));
    EXPECT_EQ(std::memcmp(u.value, want.value, 16), 0);

    // The change identifier form: spaced pairs, one dash, and a suffix after
    // the 16 bytes that is ignored.
    ASSERT_TRUE(uuid_str_to_value("00 01 02 03 04 05 06 07-08 09 0A 0B 0C 0D 0E 0F/12", &u));
    EXPECT_EQ(std::memcmp(u.value, want.value, 16), 0);

    ASSERT_TRUE(uuid_str_to_value("", &u));
    EXPECT_EQ(std::memcmp(u.value, tol_uuid_t{}.value, 16), 0);

    ASSERT_TRUE(uuid_str_to_value("0102", &u));
    EXPECT_EQ(u.value[0], 1);
    EXPECT_EQ(u.value[1], 2);
    EXPECT_EQ(u.value[2], 0);

    EXPECT_FALSE(uuid_str_to_value("abc", &u));
    EXPECT_FALSE(uuid_str_to_value("ab c", &u));
    EXPECT_FALSE(uuid_str_to_value("a", &u));

    // The round trip.
    std::memset(want.value, 0, 16);
    for (int i = 0; i < 16; ++i)
        want.value[i] = static_cast<uint8_t>(i * 17 + 3);
    ASSERT_TRUE(uuid_str_to_value(uuid_value_to_str(&want).c_str(), &u));
    EXPECT_EQ(std::memcmp(u.value, want.value, 16), 0);
}

} // namespace
