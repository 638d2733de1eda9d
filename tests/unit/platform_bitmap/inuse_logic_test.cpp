// The bitmap arithmetic of the in-use bitmap provider.

#include "../../../platform/inuse_bitmap/inuse_logic.hpp"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

using range = std::pair<uint64_t, uint64_t>;
constexpr uint64_t S = inuse::sector_size;

TEST(InuseLogic, SizesRangesNamesAndTheZeroTestLooksAtEveryByte)
{
    for (auto [sectors, bytes] : {range{0, 0}, {8, 1}, {9, 2}, {1001, 126}})
        EXPECT_EQ(inuse::bitmap_size(sectors), bytes) << sectors;
    for (auto [bytes, sectors] : {range{0, 0}, {512, 1}, {513, 2}})
        EXPECT_EQ(inuse::sectors_of(bytes), sectors) << bytes;
    for (size_t pos : {size_t{0}, size_t{7}, size_t{8}, size_t{511}}) {
        std::vector<uint8_t> s(512, 0);
        s[pos] = 1;
        EXPECT_FALSE(inuse::sector_is_zero(s.data(), 512)) << pos;
        EXPECT_TRUE(inuse::sector_is_zero(s.data(), pos)) << "only the bytes before " << pos;
    }
    // A bitmap read maps to the sectors it describes, clipped to the device.
    const range reads[][2] = {{{0, 4}, {0, 32}}, {{120, 10}, {960, 41}}, {{126, 1}, {1008, 0}}};
    for (const auto &[read, want] : reads) {
        auto r = inuse::sectors_for_bitmap_read(read.first, read.second, 1001);
        EXPECT_EQ(range(r.first, r.count), want) << read.first;
    }
    EXPECT_TRUE(inuse::is_device_name("1a2b3c.42p1"));
    for (const char *name : {"control", ".", "..", "", "a/b"})
        EXPECT_FALSE(inuse::is_device_name(name)) << name;
}

TEST(InuseLogic, MarkSetsTheBitsOfNonZeroSectorsLeastSignificantFirst)
{
    const struct {
        std::vector<uint64_t> nonzero; // byte offsets within the data
        size_t len;
        uint64_t data_first, bitmap_first;
        std::vector<uint8_t> before, after;
    } cases[] = {
        {{0, 3 * S + 100, 9 * S + 511, 15 * S}, 16 * S, 0, 0, {0, 0}, {0x09, 0x82}},
        {{1 * S}, 4 * S, 20, 16, {0}, {1u << 5}}, // data and bitmap start apart
        {{S + 9}, S + 10, 0, 0, {0}, {0x02}},     // a short last sector counts
        {{}, 8 * S, 0, 0, {0xa5}, {0xa5}},        // marking never clears a bit
    };
    for (const auto &c : cases) {
        std::vector<uint8_t> data(c.len, 0);
        for (uint64_t off : c.nonzero)
            data[off] = 1;
        std::vector<uint8_t> bitmap = c.before;
        inuse::mark_used_sectors(data.data(), data.size(), c.data_first, bitmap.data(),
                                 c.bitmap_first);
        EXPECT_EQ(bitmap, c.after) << "data at sector " << c.data_first;
    }
}
