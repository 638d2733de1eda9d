// Reads of a served flat disk over a plain file standing in for its device:
// the hidden recovery-header sector, the device's end, and the in-use bitmap.

#include "image/flat_image.hpp"
#include "image/mbr.hpp"
#include "image/tol_vdsk_header.hpp"
#include "image_test_util.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

constexpr int SECTOR = 512;
constexpr off_t HIDDEN = 2 * SECTOR; // where the header sits in every test image

// An MBR with one partition at sector 2048, a header in sector 2, and
// non-zero bytes everywhere else, so that hidden and skipped bytes show.
std::vector<char> disk(int64_t sectors)
{
    std::vector<char> bytes(static_cast<size_t>(sectors * SECTOR));
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>(i % 251 + 1);
    mbr_t mbr{};
    mbr.part_entry[0].type = 0x83;
    mbr.part_entry[0].first_sector_lba = 2048;
    mbr.mbr_signature = MBR_SIGNATURE;
    put(bytes, 0, mbr);
    put(bytes, HIDDEN, TOL_VDSK_HEADER_MAGIC);
    put(bytes, HIDDEN + 508, TOL_VDSK_HEADER_MAGIC);
    return bytes;
}

class FlatImage : public ::testing::Test
{
  protected:
    // An image of `sectors` sectors read plainly or, with `bitmap`, through
    // the bitmap (every sector in use).
    std::unique_ptr<flat_image> make(int64_t sectors, size_t bitmap_bytes = 0,
                                     bool failing_device = false)
    {
        content = disk(sectors);
        write_file(dir.file("dev"), content);
        bitmap_device bitmap;
        if (bitmap_bytes > 0) {
            write_file(dir.file("bm/dev"), std::vector<char>(bitmap_bytes, '\xff'));
            auto dev = tol_dev_open_at(dir.file("bm").c_str(), dir.file("dev").c_str(), nullptr,
                                       false);
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

    void SetUp() override { mkdir(dir.file("bm").c_str(), 0700); }
};

TEST_F(FlatImage, HiddenSectorAndDeviceEndAgainstTheContent)
{
    const struct {
        off_t offset;
        size_t size, delivered;
    } cases[] = {
        {0, 4096, 4096},    {0, 1024, 1024}, // ends where the hidden sector starts
        {1400, 300, 300},   {1024, 512, 512},  {1535, 2, 2},
        {7680, 1024, 512},  // cut at the device's end
        {8192, 512, 0},     {8292, 10, 0},
    };
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
            std::vector<image_segment> segs;
            ASSERT_EQ(image->segments(c.size, c.offset, &segs), nullptr);
            std::string pieced;
            for (const auto &seg : segs) {
                std::string part(seg.size, '\0');
                if (!seg.zeros) {
                    ASSERT_EQ(pread(image->data_fd(), part.data(), seg.size, seg.offset),
                              static_cast<ssize_t>(seg.size));
                }
                pieced += part;
            }
            EXPECT_EQ(pieced, expected(c.offset, c.delivered));
        }
    }
}

TEST_F(FlatImage, FailedDeviceReadStartingInTheHiddenSectorReadsAsZeros)
{
    auto image = make(16, 2, true);
    std::string got;
    ASSERT_EQ(read(*image, HIDDEN + 100, 200, &got), nullptr);
    EXPECT_EQ(got, std::string(200, '\0'));
    ASSERT_EQ(read(*image, HIDDEN, 1024, &got), nullptr);
    EXPECT_EQ(got, std::string(512, '\0')) << "only the hidden bytes count";
    errdesc_t *err = read(*image, 0, 2048, &got);
    ASSERT_NE(err, nullptr);
    EXPECT_EQ(err->number, EISDIR);
}

TEST_F(FlatImage, ReadEndingBeyondTheBitmapIsAnIoError)
{
    auto image = make(24, 2); // the bitmap covers 16 of 24 sectors
    std::string got;
    ASSERT_EQ(read(*image, 0, 16 * SECTOR, &got), nullptr);
    for (off_t offset : {off_t(15 * SECTOR), off_t(16 * SECTOR), off_t(20 * SECTOR)}) {
        errdesc_t *err = read(*image, offset, 1024, &got);
        ASSERT_NE(err, nullptr) << offset;
        EXPECT_EQ(err->number, EIO) << offset;
    }
    errdesc_t *err = read(*image, 15 * SECTOR, 1024, &got);
    EXPECT_STREQ(err->string, "optimize_byte_read : pread size 2 bytes, start 1, inuse_bitmap of "
                              "/dev returned 1 nbytes (errno = 0)\n");
}

TEST_F(FlatImage, DeviceShorterThanItsBitmapEndsWhereTheDeviceEnds)
{
    // 13 sectors: the bitmap's two bytes cover 16.
    auto image = make(13, 2);
    std::string got;
    ASSERT_EQ(read(*image, 0, 16 * SECTOR, &got), nullptr);
    EXPECT_EQ(got, expected(0, 13 * SECTOR));
    ASSERT_EQ(read(*image, 13 * SECTOR - 1, 4096, &got), nullptr);
    EXPECT_EQ(got, expected(13 * SECTOR - 1, 1));
}

} // namespace
