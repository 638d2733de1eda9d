// The bitmap arithmetic of the in-use bitmap provider.

#include "../../../platform/inuse_bitmap/inuse_logic.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<uint8_t> sectors(size_t n) { return std::vector<uint8_t>(n * inuse::sector_size, 0); }

TEST(InuseLogic, SizesRoundUp)
{
    EXPECT_EQ(inuse::bitmap_size(0), 0u);
    EXPECT_EQ(inuse::bitmap_size(1), 1u);
    EXPECT_EQ(inuse::bitmap_size(8), 1u);
    EXPECT_EQ(inuse::bitmap_size(9), 2u);
    EXPECT_EQ(inuse::bitmap_size(1001), 126u);
    EXPECT_EQ(inuse::sectors_of(0), 0u);
    EXPECT_EQ(inuse::sectors_of(511), 1u);
    EXPECT_EQ(inuse::sectors_of(512), 1u);
    EXPECT_EQ(inuse::sectors_of(513), 2u);
}

TEST(InuseLogic, ZeroTestLooksAtEveryByte)
{
    auto s = sectors(1);
    EXPECT_TRUE(inuse::sector_is_zero(s.data(), s.size()));
    for (size_t pos : {size_t{0}, size_t{7}, size_t{8}, size_t{500}, size_t{511}}) {
        s.assign(s.size(), 0);
        s[pos] = 1;
        EXPECT_FALSE(inuse::sector_is_zero(s.data(), s.size())) << pos;
    }
    // A short tail that is not a multiple of the word size.
    uint8_t tail[5] = {0, 0, 0, 0, 9};
    EXPECT_FALSE(inuse::sector_is_zero(tail, sizeof tail));
    EXPECT_TRUE(inuse::sector_is_zero(tail, 4));
}

TEST(InuseLogic, BitsAreLeastSignificantFirst)
{
    auto data = sectors(16);
    data[0] = 1;                                 // sector 0
    data[3 * inuse::sector_size + 100] = 1;      // sector 3
    data[9 * inuse::sector_size + 511] = 1;      // sector 9, last byte
    data[15 * inuse::sector_size] = 1;           // sector 15
    uint8_t bitmap[2] = {0, 0};
    inuse::mark_used_sectors(data.data(), data.size(), 0, bitmap, 0);
    EXPECT_EQ(bitmap[0], 0x09);
    EXPECT_EQ(bitmap[1], 0x82);
}

TEST(InuseLogic, DataAndBitmapMayStartAtDifferentSectors)
{
    // Data of sectors 20..23 into a bitmap window starting at sector 16.
    auto data = sectors(4);
    data[1 * inuse::sector_size] = 0xff;  // sector 21
    uint8_t bitmap[1] = {0};
    inuse::mark_used_sectors(data.data(), data.size(), 20, bitmap, 16);
    EXPECT_EQ(bitmap[0], 1u << 5);
}

TEST(InuseLogic, PartialLastSectorCountsOnTheBytesPresent)
{
    std::vector<uint8_t> data(inuse::sector_size + 10, 0);
    data[inuse::sector_size + 9] = 7;
    uint8_t bitmap[1] = {0};
    inuse::mark_used_sectors(data.data(), data.size(), 0, bitmap, 0);
    EXPECT_EQ(bitmap[0], 0x02);
}

TEST(InuseLogic, MarkingNeverClearsBits)
{
    auto data = sectors(8);
    uint8_t bitmap[1] = {0xa5};
    inuse::mark_used_sectors(data.data(), data.size(), 0, bitmap, 0);
    EXPECT_EQ(bitmap[0], 0xa5);
}

TEST(InuseLogic, BitmapReadMapsToSectorsClippedToTheDevice)
{
    auto r = inuse::sectors_for_bitmap_read(0, 4, 1001);
    EXPECT_EQ(r.first, 0u);
    EXPECT_EQ(r.count, 32u);
    r = inuse::sectors_for_bitmap_read(120, 10, 1001);
    EXPECT_EQ(r.first, 960u);
    EXPECT_EQ(r.count, 41u);  // sectors 960..1000
    r = inuse::sectors_for_bitmap_read(126, 1, 1001);
    EXPECT_EQ(r.count, 0u);
}

TEST(InuseLogic, DeviceNames)
{
    EXPECT_TRUE(inuse::is_device_name("cbt.17"));
    EXPECT_TRUE(inuse::is_device_name("1a2b3c.42p1"));
    EXPECT_FALSE(inuse::is_device_name("control"));
    EXPECT_FALSE(inuse::is_device_name("."));
    EXPECT_FALSE(inuse::is_device_name(".."));
    EXPECT_FALSE(inuse::is_device_name(""));
    EXPECT_FALSE(inuse::is_device_name("a/b"));
}

} // namespace
