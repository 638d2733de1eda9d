// Change-block files: reading and checking them, and the merge table.

#include "image/tolcbt.hpp"
#include "cbt_test_util.hpp"
#include "image_test_util.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
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
        return read_file();
    }
    read_result read_file()
    {
        read_result r;
        r.err = read_tolcbt_header(path().c_str(), &r.header, &r.list);
        return r;
    }
    std::string path() const { return dir.file("disk-tolcbt.vmdk"); }
    temp_dir dir;
};

void expect_error(const errdesc_t *err, int number, const std::string &text)
{
    ASSERT_NE(err, nullptr);
    EXPECT_EQ(err->number, number);
    EXPECT_EQ(std::string(err->string), text);
}

TEST_F(TolcbtRead, ValidListsEndAtTheLastMarker)
{
    auto r = read(make_cbt({{1 << 20, 65536, CBT_MAGIC_EXTENT_MORE},
                            {4 << 20, 4096, CBT_MAGIC_EXTENT_MORE},
                            {8 << 20, 512, CBT_MAGIC_EXTENT_LAST}}));
    ASSERT_EQ(r.err, nullptr);
    EXPECT_EQ(+r.header->total_change_size, 65536 + 4096 + 512);
    ASSERT_EQ(r.list.size(), 3u);
    EXPECT_EQ(+r.list[0].start, 1 << 20);
    EXPECT_EQ(+r.list[1].length, 4096);
    EXPECT_EQ(+r.list[2].magic, CBT_MAGIC_EXTENT_LAST);
    free_cbt_header(&r.header);
    cbt_list_free(&r.list);
    EXPECT_EQ(r.header, nullptr);
    EXPECT_TRUE(r.list.empty());

    // Room for ten entries, but the first is marked last.
    r = read(make_cbt({{0, 512, CBT_MAGIC_EXTENT_LAST}}, 512, 512 + 200));
    ASSERT_EQ(r.err, nullptr);
    EXPECT_EQ(r.list.size(), 1u);

    // No changes: the list is not read.
    r = read(make_cbt({}));
    ASSERT_EQ(r.err, nullptr);
    EXPECT_TRUE(r.list.empty());
}

TEST_F(TolcbtRead, MissingFileOrBadHeaderIsRejectedWithTheHeaderAllocated)
{
    auto r = read_file();
    expect_error(r.err, ENOENT, path() + ": " + strerror(ENOENT));
    EXPECT_NE(r.header, nullptr);

    auto bytes = make_cbt({{0, 512, CBT_MAGIC_EXTENT_LAST}});
    bytes[0] ^= 1;
    r = read(bytes);
    expect_error(r.err, EINVAL, "invalid tolcbt header magic number");
    EXPECT_NE(r.header, nullptr);
    EXPECT_TRUE(r.list.empty());

    bytes[0] ^= 1;
    bytes.resize(371);
    expect_error(read(bytes).err, EINVAL, "invalid tolcbt header magic number");
    expect_error(read({}).err, EINVAL, "invalid tolcbt header magic number");
}

TEST_F(TolcbtRead, BrokenListsAndListAreasOutsideTheFileAreRejected)
{
    // Exactly ten entries' room: the walk runs out without the last marker.
    std::vector<extent_spec> ten;
    for (int i = 0; i < 10; ++i)
        ten.push_back({i * 4096, 512, CBT_MAGIC_EXTENT_MORE});
    auto r = read(make_cbt(ten, 512, 512 + 10 * 20));
    expect_error(r.err, EINVAL, "invalid tolcbt changed block list");
    EXPECT_EQ(r.list.size(), 10u);
    // A foreign marker stops the walk and stays in the list.
    r = read(make_cbt({{0, 512, CBT_MAGIC_EXTENT_MORE},
                       {8192, 512, 0xDEADBEEF},
                       {12288, 512, CBT_MAGIC_EXTENT_LAST}}));
    expect_error(r.err, EINVAL, "invalid tolcbt changed block list");
    ASSERT_EQ(r.list.size(), 2u);
    EXPECT_EQ(+r.list[1].magic, 0xDEADBEEFu);

    const struct {
        int64_t list_offset, data_offset;
        size_t file_size; // 0: whole
    } cases[] = {
        {512, 512 + 19, 0},         // shorter than one entry
        {512, 412, 0},              // data before the list
        {512, int64_t(1) << 60, 0}, // a hostile list size must not become an allocation
        {-4096, 4096, 0},           // negative list offset
        {512, 4096, 512 + 10},      // file ends inside the list
    };
    for (const auto &c : cases) {
        auto bytes = make_cbt({{0, 512, CBT_MAGIC_EXTENT_LAST}});
        cbt_file_header_t hdr;
        std::memcpy(&hdr, bytes.data(), sizeof(hdr));
        hdr.block_list_offset = c.list_offset;
        hdr.block_data_offset = c.data_offset;
        put(bytes, 0, hdr);
        if (c.file_size)
            bytes.resize(c.file_size);
        expect_error(read(bytes).err, EINVAL, "invalid tolcbt changed block list");
    }
}

TEST_F(TolcbtRead, ExtentDataMustLieInsideTheFile)
{
    auto bytes = make_cbt({{0, 4096, CBT_MAGIC_EXTENT_MORE}, {8192, 4096, CBT_MAGIC_EXTENT_LAST}});
    const auto size = static_cast<int64_t>(bytes.size());
    auto r = read(bytes);
    ASSERT_EQ(r.err, nullptr);
    EXPECT_EQ(check_tolcbt_extents(*r.header, r.list, size), nullptr);

    // The error names the first extent whose data are out of the file.
    const errdesc_t *err = check_tolcbt_extents(*r.header, r.list, size - 1);
    ASSERT_NE(err, nullptr);
    EXPECT_EQ(err->number, EINVAL);
    EXPECT_NE(std::string(err->string).find("extent 1"), std::string::npos) << err->string;
    r.list[0].length = int64_t(1) << 40;
    err = check_tolcbt_extents(*r.header, r.list, size);
    ASSERT_NE(err, nullptr);
    EXPECT_NE(std::string(err->string).find("extent 0"), std::string::npos) << err->string;

    // Lengths that overflow when added up, and negative ones.
    r.list[0].length = INT64_MAX;
    r.list[1].length = INT64_MAX;
    EXPECT_NE(check_tolcbt_extents(*r.header, r.list, INT64_MAX), nullptr);
    r.list[0].length = -512;
    EXPECT_NE(check_tolcbt_extents(*r.header, r.list, size), nullptr);
}

TEST(TolcbtTable, FlatAndChangeRangesWithoutHoles)
{
    using L = cbt_extent_list_t;
    const auto M = CBT_MAGIC_EXTENT_MORE, E = CBT_MAGIC_EXTENT_LAST;
    const struct {
        const char *what;
        off_t flat_size;
        int64_t data_offset;
        L list;
        const char *table;
    } cases[] = {
        {"alternating", 10 << 20, 4096, L{{M, 1 << 20, 64 << 10}, {E, 4 << 20, 4 << 10}},
         "0 2048 linear /dev/loop7 0\n2048 128 linear /dev/loop8 8\n"
         "2176 6016 linear /dev/loop7 2176\n8192 8 linear /dev/loop8 136\n"
         "8200 12280 linear /dev/loop7 8200\n"},
        {"changes cover both ends", 16384, 512, L{{M, 0, 4096}, {E, 8192, 8192}},
         "0 8 linear /dev/loop8 1\n8 8 linear /dev/loop7 8\n16 16 linear /dev/loop8 9\n"},
        {"one flat sector after the changes", 16896, 512, L{{M, 0, 4096}, {E, 8192, 8192}},
         "0 8 linear /dev/loop8 1\n8 8 linear /dev/loop7 8\n16 16 linear /dev/loop8 9\n"
         "32 1 linear /dev/loop7 32\n"},
        {"changes beyond the flat file", 4096, 4096, L{{E, 8192, 8192}},
         "0 16 linear /dev/loop7 0\n16 16 linear /dev/loop8 8\n"},
        {"overlap mapped at the current position", 16384, 0, L{{M, 4096, 4096}, {E, 2048, 1024}},
         "0 8 linear /dev/loop7 0\n8 8 linear /dev/loop8 0\n16 2 linear /dev/loop8 8\n"
         "18 14 linear /dev/loop7 18\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        temp_dir dir;
        const std::string flat = dir.file("disk-flat.vmdk");
        write_file(flat, {});
        ASSERT_EQ(truncate(flat.c_str(), c.flat_size), 0);
        cbt_file_header_t hdr{};
        hdr.magic_header = CBT_MAGIC_HEADER;
        hdr.block_data_offset = c.data_offset;
        std::string name, table;
        errdesc_t *err =
            create_devmap_table_merge_in(dir.path().c_str(), flat.c_str(), "/dev/loop7",
                                         "/dev/loop8", c.list, hdr, &name, &table);
        ASSERT_EQ(err, nullptr) << err->string;
        EXPECT_TRUE(name.size() > 4 && name.rfind("cbt.", 0) == 0 &&
                    name.find_first_not_of("0123456789", 4) == std::string::npos)
            << name;
        EXPECT_EQ(table, dir.path() + "/" + name + ".dm_table_merge");
        EXPECT_EQ(read_text(table), c.table);
    }

    // A missing flat file fails with its path.
    temp_dir dir;
    cbt_file_header_t hdr{};
    std::string name, table;
    std::string flat = dir.file("absent-flat.vmdk");
    expect_error(create_devmap_table_merge_in(dir.path().c_str(), flat.c_str(), "/dev/loop7",
                                              "/dev/loop8", {}, hdr, &name, &table),
                 ENOENT, flat + ": " + strerror(ENOENT));
}

TEST(TolcbtPaths, MakeCbtPathBoundsTheLength)
{
    std::string out;
    ASSERT_EQ(make_cbt_path("/tmp", "cbt.42", "dm_table_merge", &out), nullptr);
    EXPECT_EQ(out, "/tmp/cbt.42.dm_table_merge");
    std::string untouched = "keep";
    EXPECT_NE(make_cbt_path("/tmp", std::string(5000, 'x').c_str(), "s", &untouched), nullptr);
    EXPECT_EQ(untouched, "keep");
}

} // namespace
