// Change-block files: reading and checking them, and the merge table.

#include "image/tolcbt.hpp"
#include "cbt_test_util.hpp"
#include "controller/settings.hpp"
#include "image_test_util.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <regex>
#include <unistd.h>

namespace
{

struct read_result {
    errdesc_t *err;
    std::unique_ptr<cbt_file_header_t> header;
    cbt_extent_list_t list;
};

class TolcbtRead : public ::testing::Test
{
  protected:
    read_result read(const std::vector<char> &bytes)
    {
        write_file(path(), bytes);
        read_result r;
        r.err = read_tolcbt_header(path().c_str(), &r.header, &r.list);
        return r;
    }
    std::string path() const { return dir.file("disk-tolcbt.vmdk"); }
    temp_dir dir;
};

// The descriptor's text is the given text followed by the system's text.
void expect_error(const errdesc_t *err, int number, const char *text)
{
    ASSERT_NE(err, nullptr);
    EXPECT_EQ(err->number, number);
    EXPECT_EQ(std::string(err->string), std::string(text) + ": " + strerror(number));
}

TEST_F(TolcbtRead, ValidListKeepsFileOrderAndEndsAtTheLastMarker)
{
    auto r = read(make_cbt({{1 << 20, 65536, CBT_MAGIC_EXTENT_MORE},
                            {4 << 20, 4096, CBT_MAGIC_EXTENT_MORE},
                            {8 << 20, 512, CBT_MAGIC_EXTENT_LAST}}));
    ASSERT_EQ(r.err, nullptr);
    ASSERT_NE(r.header, nullptr);
    EXPECT_EQ(+r.header->total_change_size, 65536 + 4096 + 512);
    ASSERT_EQ(r.list.size(), 3u);
    EXPECT_EQ(+r.list[0].start, 1 << 20);
    EXPECT_EQ(+r.list[1].length, 4096);
    EXPECT_EQ(+r.list[2].magic, CBT_MAGIC_EXTENT_LAST);

    free_cbt_header(&r.header);
    cbt_list_free(&r.list);
    EXPECT_EQ(r.header, nullptr);
    EXPECT_TRUE(r.list.empty());
}

TEST_F(TolcbtRead, FirstEntryMarkedLastIsOneExtentEvenWithRoomForMore)
{
    // The list area holds 10 entries' room; the walk ends at the last marker.
    auto bytes = make_cbt({{0, 512, CBT_MAGIC_EXTENT_LAST}}, 512, 512 + 200);
    auto r = read(bytes);
    ASSERT_EQ(r.err, nullptr);
    ASSERT_EQ(r.list.size(), 1u);
    EXPECT_EQ(+r.list[0].length, 512);
}

TEST_F(TolcbtRead, NoChangesReadsNoList)
{
    auto bytes = make_cbt({});
    auto r = read(bytes);
    ASSERT_EQ(r.err, nullptr);
    EXPECT_EQ(+r.header->total_change_size, 0);
    EXPECT_TRUE(r.list.empty());
}

TEST_F(TolcbtRead, WrongHeaderMagicOrShortFileIsRejectedFirst)
{
    auto bytes = make_cbt({{0, 512, CBT_MAGIC_EXTENT_LAST}});
    bytes[0] ^= 1;
    auto r = read(bytes);
    expect_error(r.err, EINVAL, "invalid tolcbt header magic number");
    EXPECT_NE(r.header, nullptr) << "the header record exists even on failure";
    EXPECT_TRUE(r.list.empty());

    auto short_file = make_cbt({{0, 512, CBT_MAGIC_EXTENT_LAST}});
    short_file.resize(371);
    expect_error(read(short_file).err, EINVAL, "invalid tolcbt header magic number");
    expect_error(read({}).err, EINVAL, "invalid tolcbt header magic number");
}

TEST_F(TolcbtRead, MissingFileGivesErrnoWithPath)
{
    read_result r;
    r.err = read_tolcbt_header(path().c_str(), &r.header, &r.list);
    expect_error(r.err, ENOENT, path().c_str());
    EXPECT_NE(r.header, nullptr);
}

TEST_F(TolcbtRead, ListWithoutItsLastMarkerIsRejected)
{
    std::vector<extent_spec> ten;
    for (int i = 0; i < 10; ++i)
        ten.push_back({i * 4096, 512, CBT_MAGIC_EXTENT_MORE});
    // Exactly ten entries' room: the walk runs out without the last marker.
    auto r = read(make_cbt(ten, 512, 512 + 10 * 20));
    expect_error(r.err, EINVAL, "invalid tolcbt changed block list");
    EXPECT_EQ(r.list.size(), 10u);
}

TEST_F(TolcbtRead, ForeignMarkerStopsTheWalkAndStaysInTheList)
{
    auto r = read(make_cbt({{0, 512, CBT_MAGIC_EXTENT_MORE},
                            {4096, 512, CBT_MAGIC_EXTENT_MORE},
                            {8192, 512, 0xDEADBEEF},
                            {12288, 512, CBT_MAGIC_EXTENT_LAST}}));
    expect_error(r.err, EINVAL, "invalid tolcbt changed block list");
    ASSERT_EQ(r.list.size(), 3u);
    EXPECT_EQ(+r.list[2].magic, 0xDEADBEEFu);
}

TEST_F(TolcbtRead, ListAreaOutsideTheFileOrTooSmallIsRejected)
{
    auto bytes = make_cbt({{0, 512, CBT_MAGIC_EXTENT_LAST}});

    // Shorter than one entry.
    auto tiny = bytes;
    cbt_file_header_t hdr;
    std::memcpy(&hdr, tiny.data(), sizeof(hdr));
    hdr.block_data_offset = hdr.block_list_offset + 19;
    put(tiny, 0, hdr);
    expect_error(read(tiny).err, EINVAL, "invalid tolcbt changed block list");

    // Data offset before the list offset.
    hdr.block_data_offset = hdr.block_list_offset - 100;
    put(tiny, 0, hdr);
    expect_error(read(tiny).err, EINVAL, "invalid tolcbt changed block list");

    // A hostile list size far beyond the file must not become an allocation.
    auto huge = bytes;
    std::memcpy(&hdr, huge.data(), sizeof(hdr));
    hdr.block_data_offset = int64_t(1) << 60;
    put(huge, 0, hdr);
    expect_error(read(huge).err, EINVAL, "invalid tolcbt changed block list");

    // A negative list offset.
    std::memcpy(&hdr, huge.data(), sizeof(hdr));
    hdr.block_list_offset = -4096;
    hdr.block_data_offset = 4096;
    put(huge, 0, hdr);
    expect_error(read(huge).err, EINVAL, "invalid tolcbt changed block list");

    // The file ends inside the extent list.
    auto cut = bytes;
    cut.resize(512 + 10);
    expect_error(read(cut).err, EINVAL, "invalid tolcbt changed block list");
}

TEST_F(TolcbtRead, ExtentDataMustLieInsideTheFile)
{
    auto bytes = make_cbt({{0, 4096, CBT_MAGIC_EXTENT_MORE}, {8192, 4096, CBT_MAGIC_EXTENT_LAST}});
    auto r = read(bytes);
    ASSERT_EQ(r.err, nullptr);
    EXPECT_EQ(check_tolcbt_extents(*r.header, r.list, static_cast<int64_t>(bytes.size())), nullptr);

    // A truncated data area: the second extent's data are cut short.
    const errdesc_t *err =
        check_tolcbt_extents(*r.header, r.list, static_cast<int64_t>(bytes.size()) - 1);
    ASSERT_NE(err, nullptr);
    EXPECT_EQ(err->number, EINVAL);
    EXPECT_NE(std::string(err->string).find("extent 1"), std::string::npos) << err->string;

    // An entry whose length points past the data area.
    r.list[0].length = int64_t(1) << 40;
    err = check_tolcbt_extents(*r.header, r.list, static_cast<int64_t>(bytes.size()));
    ASSERT_NE(err, nullptr);
    EXPECT_NE(std::string(err->string).find("extent 0"), std::string::npos) << err->string;

    // Lengths that overflow when added up.
    r.list[0].length = INT64_MAX;
    r.list[1].length = INT64_MAX;
    EXPECT_NE(check_tolcbt_extents(*r.header, r.list, INT64_MAX), nullptr);

    r.list[0].length = -512;
    EXPECT_NE(check_tolcbt_extents(*r.header, r.list, static_cast<int64_t>(bytes.size())), nullptr);
}

// Debug lines name every step, in order, only while change-block debugging
// is on.
TEST_F(TolcbtRead, DebugLinesFollowTheSetting)
{
    auto bytes = make_cbt({{4096, 512, CBT_MAGIC_EXTENT_LAST}});
    testing::internal::CaptureStdout();
    read(bytes);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    get_reg_settings()->cbt_debug_enabled = TOL_TRUE;
    testing::internal::CaptureStdout();
    auto r = read(bytes);
    const std::string out = testing::internal::GetCapturedStdout();
    get_reg_settings()->cbt_debug_enabled = TOL_FALSE;
    ASSERT_EQ(r.err, nullptr);

    const char *lines[] = {
        "opening tolcbt_file: ",
        "tolcbt_header read_offset: 372\n",
        "tolcbt_header bytes_read: 372\n",
        "tolcbt_header magic number: cbcb1111\n",
        "tolcbt_header version: 1\n",
        "tolcbt_header changeid: 00112233-4455-6677-8899-aabbccddeeff/7\n",
        "tolcbt_header device: /vmfs/devices/disks/test\n",
        "tolcbt_header block_list_offset: 512\n",
        "tolcbt_header block_data_offset: 4096\n",
        "tolcbt_header total_change_size: 512\n",
        "tolcbt_header bytes_read: 3584\n",
        "tolcbt_header block_list_num: 179\n",
        "cbt_item->start / length: 4096 / 512\n",
        "cbt_item->next : 3419100501\n",
    };
    size_t pos = 0;
    for (const char *line : lines) {
        size_t found = out.find(line, pos);
        ASSERT_NE(found, std::string::npos) << "missing or out of order: " << line << "\n" << out;
        pos = found;
    }
}

// The merge table.

class TolcbtTable : public ::testing::Test
{
  protected:
    // A sparse flat file of `size` bytes.
    std::string make_flat(off_t size)
    {
        std::string path = dir.file("disk-flat.vmdk");
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(ftruncate(fd, size), 0);
        close(fd);
        return path;
    }

    std::string table_for(off_t flat_size, int64_t data_offset, const cbt_extent_list_t &list)
    {
        cbt_file_header_t hdr{};
        hdr.magic_header = CBT_MAGIC_HEADER;
        hdr.block_data_offset = data_offset;
        std::string flat = make_flat(flat_size);
        std::string name, table;
        errdesc_t *err = create_devmap_table_merge_in(
            dir.path().c_str(), flat.c_str(), "/dev/loop7", "/dev/loop8", list, hdr, &name, &table);
        EXPECT_EQ(err, nullptr) << (err ? err->string : "");
        EXPECT_TRUE(std::regex_match(name, std::regex("cbt\\.[0-9]{1,6}"))) << name;
        EXPECT_EQ(table, dir.path() + "/" + name + ".dm_table_merge");
        return read_text(table);
    }

    temp_dir dir;
};

TEST_F(TolcbtTable, AlternatesFlatAndChangeRangesWithoutHoles)
{
    cbt_extent_list_t list = {{CBT_MAGIC_EXTENT_MORE, 1 << 20, 64 << 10},
                              {CBT_MAGIC_EXTENT_LAST, 4 << 20, 4 << 10}};
    EXPECT_EQ(table_for(10 << 20, 4096, list), "0 2048 linear /dev/loop7 0\n"
                                               "2048 128 linear /dev/loop8 8\n"
                                               "2176 6016 linear /dev/loop7 2176\n"
                                               "8192 8 linear /dev/loop8 136\n"
                                               "8200 12280 linear /dev/loop7 8200\n");
}

TEST_F(TolcbtTable, NoLeadingOrTrailingFlatRangeWhenChangesCoverTheEnds)
{
    cbt_extent_list_t list = {{CBT_MAGIC_EXTENT_MORE, 0, 4096},
                              {CBT_MAGIC_EXTENT_LAST, 8192, 8192}};
    EXPECT_EQ(table_for(16384, 512, list), "0 8 linear /dev/loop8 1\n"
                                           "8 8 linear /dev/loop7 8\n"
                                           "16 16 linear /dev/loop8 9\n");
}

TEST_F(TolcbtTable, ChangesBeyondTheFlatFileExtendTheDevice)
{
    cbt_extent_list_t list = {{CBT_MAGIC_EXTENT_LAST, 8192, 8192}};
    EXPECT_EQ(table_for(4096, 4096, list), "0 16 linear /dev/loop7 0\n"
                                           "16 16 linear /dev/loop8 8\n");
}

TEST_F(TolcbtTable, OverlappingEntryIsMappedAtTheCurrentPosition)
{
    cbt_extent_list_t list = {{CBT_MAGIC_EXTENT_MORE, 4096, 4096},
                              {CBT_MAGIC_EXTENT_LAST, 2048, 1024}};
    EXPECT_EQ(table_for(16384, 0, list), "0 8 linear /dev/loop7 0\n"
                                         "8 8 linear /dev/loop8 0\n"
                                         "16 2 linear /dev/loop8 8\n"
                                         "18 14 linear /dev/loop7 18\n");
}

TEST_F(TolcbtTable, MissingFlatFileFailsWithItsPath)
{
    cbt_file_header_t hdr{};
    std::string name, table;
    std::string flat = dir.file("absent-flat.vmdk");
    errdesc_t *err = create_devmap_table_merge_in(dir.path().c_str(), flat.c_str(), "/dev/loop7",
                                                  "/dev/loop8", {}, hdr, &name, &table);
    expect_error(err, ENOENT, flat.c_str());
}

TEST(TolcbtPaths, MakeCbtPathJoinsAndBoundsTheLength)
{
    std::string out;
    ASSERT_EQ(make_cbt_path("/tmp", "cbt.42", "dm_table_merge", &out), nullptr);
    EXPECT_EQ(out, "/tmp/cbt.42.dm_table_merge");
    std::string long_name(5000, 'x');
    std::string untouched = "keep";
    EXPECT_NE(make_cbt_path("/tmp", long_name.c_str(), "s", &untouched), nullptr);
    EXPECT_EQ(untouched, "keep");
}

TEST(TolcbtRelease, NullHandleIsAccepted)
{
    release_merged_tolcbt(nullptr);
    std::unique_ptr<tolcbt_merge_handle_t> none;
    release_merged_tolcbt(&none);
    EXPECT_EQ(none, nullptr);
}

} // namespace
