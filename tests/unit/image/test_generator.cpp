// The Python writer of change-block files and flat images (tests/gen/cbt.py)
// against the readers, so that generated scratch trees hold what the readers
// expect.

#include "image/tol_vdsk_header.hpp"
#include "image/tolcbt.hpp"
#include "image_test_util.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

class Generator : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        if (access("/usr/bin/python3", X_OK) != 0)
            GTEST_SKIP() << "no python3";
        const std::string script = std::string(RFS_TEST_DATA_DIR) + "/../gen/cbt.py";
        const std::string cmd =
            "/usr/bin/python3 " + script + " " + dir.path() + " > " + dir.file("table");
        ASSERT_EQ(system(cmd.c_str()), 0) << cmd;
    }

    errdesc_t *read(const std::string &name, cbt_extent_list_t *list)
    {
        std::unique_ptr<cbt_file_header_t> header;
        errdesc_t *err = read_tolcbt_header(dir.file(name).c_str(), &header, list);
        if (!err) {
            struct stat st;
            EXPECT_EQ(stat(dir.file(name).c_str(), &st), 0);
            err = check_tolcbt_extents(*header, *list, st.st_size);
        }
        return err;
    }

    temp_dir dir;
};

TEST_F(Generator, ValidFilesReadBack)
{
    cbt_extent_list_t list;
    ASSERT_EQ(read("vm1-tolcbt.vmdk", &list), nullptr);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(+list[0].start, 1 << 20);
    EXPECT_EQ(+list[1].length, 4096);
    EXPECT_EQ(read_text(dir.file("table")), "0 2048 linear FLAT 0\n"
                                            "2048 128 linear CBT 8\n"
                                            "2176 6016 linear FLAT 2176\n"
                                            "8192 8 linear CBT 136\n"
                                            "8200 12280 linear FLAT 8200\n");

    int fd = open(dir.file("vm1-flat.vmdk").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    tol_vdsk_header_t hdr;
    errdesc_t *err = read_tol_vdsk_header(fd, &hdr);
    close(fd);
    ASSERT_EQ(err, nullptr) << err->string;
    EXPECT_EQ(hdr.version, 2);
    EXPECT_EQ(+hdr.data.v2.size, (10 << 20) / 512);
    EXPECT_EQ(+hdr.data.v2.change_suffix, 7u);
    tol_uuid_t change_id = hdr.data.v2.change_id;
    EXPECT_EQ(uuid_value_to_str(&change_id), "00010203-0405-0607-0809-0a0b0c0d0e0f");
}

TEST_F(Generator, EachCorruptionGivesItsError)
{
    const struct {
        const char *kind;
        const char *text;
    } cases[] = {
        {"header_magic", "invalid tolcbt header magic number"},
        {"short_header", "invalid tolcbt header magic number"},
        {"no_last_marker", "invalid tolcbt changed block list"},
        {"foreign_marker", "invalid tolcbt changed block list"},
        {"list_truncated", "invalid tolcbt changed block list"},
        {"data_truncated", "tolcbt extent 1 data end beyond the end of the file"},
        {"extent_past_data", "tolcbt extent 1 data end beyond the end of the file"},
    };
    for (const auto &c : cases) {
        cbt_extent_list_t list;
        errdesc_t *err = read(std::string("bad-") + c.kind + "-tolcbt.vmdk", &list);
        ASSERT_NE(err, nullptr) << c.kind;
        EXPECT_EQ(err->number, EINVAL) << c.kind;
        EXPECT_EQ(std::string(err->string).rfind(c.text, 0), 0u) << c.kind << ": " << err->string;
    }
}

} // namespace
