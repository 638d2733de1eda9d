// Reads of a device through its in-use bitmap, over a fake device file and a
// fake bitmap file.

#include "image/toldev_io.hpp"
#include "image_test_util.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

constexpr int SECTOR = 512;

// Every byte of the fake device is non-zero, so zero-filled sectors show.
char device_byte(int64_t pos)
{
    return static_cast<char>((pos * 7 + pos / SECTOR) % 251 + 1);
}

class TolDev : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        mkdir(dir.file("dev").c_str(), 0700);
        mkdir(dir.file("bm").c_str(), 0700);
    }

    std::string device_path() const { return dir.file("dev/fakedev"); }
    std::string bitmap_dir() const { return dir.file("bm"); }

    // A device of `sectors` sectors and a bitmap file holding `bitmap`.
    void make(int64_t sectors, const std::vector<uint8_t> &bitmap,
              const std::string &data_path = "")
    {
        std::vector<char> data(static_cast<size_t>(sectors * SECTOR));
        for (size_t i = 0; i < data.size(); ++i)
            data[i] = device_byte(static_cast<int64_t>(i));
        write_file(data_path.empty() ? device_path() : data_path, data);
        write_file(bitmap_dir() + "/fakedev", std::vector<char>(bitmap.begin(), bitmap.end()));
        bits = bitmap;
    }

    std::unique_ptr<tol_dev_desc_t> open_dev(const char *ext = nullptr, bool lvm = false)
    {
        return tol_dev_open_at(bitmap_dir().c_str(), device_path().c_str(), ext, lvm);
    }

    // What a read must deliver: device bytes of used sectors, zeros elsewhere.
    std::vector<char> expected(off_t offset, size_t size) const
    {
        std::vector<char> out(size);
        for (size_t i = 0; i < size; ++i) {
            int64_t pos = offset + static_cast<int64_t>(i);
            int64_t s = pos / SECTOR;
            bool used = (bits[static_cast<size_t>(s / 8)] >> (s % 8)) & 1;
            out[i] = used ? device_byte(pos) : 0;
        }
        return out;
    }

    temp_dir dir;
    std::vector<uint8_t> bits;
};

struct byte_read {
    errdesc_t *err;
    std::vector<char> data;
    uint64_t bytes_read;
    uint64_t bytes_skipped;
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

TEST_F(TolDev, OpenFindsDeviceAndBitmapOrRefuses)
{
    EXPECT_EQ(open_dev(), nullptr) << "no device";
    make(64, std::vector<uint8_t>(8, 0xff));
    auto pdev = open_dev("/some/flat");
    ASSERT_NE(pdev, nullptr);
    EXPECT_EQ(pdev->name, "/fakedev");
    EXPECT_EQ(pdev->length, 64) << "eight sectors per bitmap byte";
    tol_dev_close(&pdev); // plain files carry no "dev_ref_count": no wait
    EXPECT_EQ(pdev, nullptr);
    std::string deep = dir.file(std::string(120, 'd'));
    EXPECT_EQ(tol_dev_open_at(bitmap_dir().c_str(), deep.c_str(), nullptr, false), nullptr)
        << "paths longer than the limit";
    // With LVM reads the data come from ".dup"; the bitmap keeps the name.
    ASSERT_EQ(rename(device_path().c_str(), (device_path() + ".dup").c_str()), 0);
    pdev = open_dev(nullptr, true);
    ASSERT_NE(pdev, nullptr);
    EXPECT_EQ(read_bytes(pdev.get(), 0, 4096).data, expected(0, 4096));
    unlink((bitmap_dir() + "/fakedev").c_str());
    EXPECT_EQ(open_dev(nullptr, true), nullptr) << "no bitmap";
}

TEST_F(TolDev, AlignedReadIsOneDeviceReadAndOneZeroRunAndUnusedNeverTouchesTheDevice)
{
    make(64, {0x0F, 0xff, 0, 0, 0, 0, 0, 0});
    auto pdev = open_dev();
    ASSERT_NE(pdev, nullptr);
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
    make(16, {});
    write_file(bitmap_dir() + "/fakedev", std::vector<char>(bitmap.begin(), bitmap.end()));
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
            ASSERT_NE(err, nullptr);
            EXPECT_EQ(err->number, EIO);
            continue;
        }
        ASSERT_EQ(err, nullptr);
        off_t pos = offset;
        for (const auto &r : runs) {
            ASSERT_EQ(r.offset, pos);
            for (off_t s = r.offset / SECTOR; s <= (r.offset + off_t(r.size) - 1) / SECTOR; ++s)
                ASSERT_EQ(((bitmap[size_t(s / 8)] >> (s % 8)) & 1) != 0, r.used) << s;
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
    ASSERT_NE(r.err, nullptr);
    EXPECT_EQ(r.err->number, EIO);
    EXPECT_STREQ(r.err->string,
                 "optimize_byte_read : pread size 2 bytes, start 1, inuse_bitmap of /fakedev "
                 "returned 1 nbytes (errno = 0)\n");
    EXPECT_EQ(r.bytes_read + r.bytes_skipped, 0u);

    // A device shorter than its bitmap ends there: end of data, no error.
    ASSERT_EQ(truncate(device_path().c_str(), 8 * SECTOR + 100), 0);
    r = read_bytes(pdev.get(), 0, 16 * SECTOR);
    ASSERT_EQ(r.err, nullptr);
    EXPECT_EQ(r.bytes_read + r.bytes_skipped, 8u * SECTOR);
    r.data.resize(8 * SECTOR);
    EXPECT_EQ(r.data, expected(0, 8 * SECTOR));
}

TEST_F(TolDev, DeviceReadErrorsGoThroughTheExtendedErrorPath)
{
    make(16, {0xff, 0xff});
    const std::string flat = dir.file("flat");
    write_file(flat, {'x'});
    auto pdev = open_dev(flat.c_str());
    ASSERT_NE(pdev, nullptr);
    pdev->fd.reset(open(dir.path().c_str(), O_RDONLY | O_DIRECTORY));
    auto r = read_bytes(pdev.get(), 0, 1024);
    ASSERT_NE(r.err, nullptr);
    EXPECT_EQ(r.err->number, EISDIR);
    EXPECT_EQ(std::string(r.err->string), flat + ": " + strerror(EISDIR));
    EXPECT_EQ(r.bytes_read, 0u);
    EXPECT_EQ(pdev->stats.runs, 1u) << "counted before the error stays counted";
}

} // namespace
