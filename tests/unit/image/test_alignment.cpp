// Splitting byte ranges into head, body and tail blocks.

#include "image/alignment.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <limits>

namespace
{

TEST(Alignment, SplitsCoverExactlyTheRange)
{
    const struct {
        off_t offset;
        size_t size;
        int64_t head_blk, head_off;
        uint32_t head_count;
        int64_t body_blk;
        uint32_t body_count;
        int64_t tail_blk;
        uint32_t tail_count, buf_sz;
    } cases[] = {
        {100, 1000, 0, 100, 412, 1, 1, 2, 76, 512}, // head, body and tail
        {4096, 4096, 8, 0, 0, 8, 8, 16, 0, 0},      // aligned: no scratch block
        {0, 100, 0, 0, 0, 0, 0, 0, 100, 512},       // tail only
        {700, 50, 1, 188, 50, 2, 0, 2, 0, 512},     // inside one block: all head
        {100, 412, 0, 100, 412, 1, 0, 1, 0, 512},   // ends on the block's end
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.offset) + "+" + std::to_string(c.size));
        alignment_desc_t ad;
        alignment_desc_new(&ad);
        ASSERT_EQ(alignment_desc_get(c.offset, c.size, 512, &ad), nullptr);
        EXPECT_EQ(ad.head_blk_addr, c.head_blk);
        EXPECT_EQ(ad.head_byte_offset, c.head_off);
        EXPECT_EQ(ad.head_byte_count, c.head_count);
        EXPECT_EQ(ad.body_blk_addr, c.body_blk);
        EXPECT_EQ(ad.body_blk_count, c.body_count);
        EXPECT_EQ(ad.tail_blk_addr, c.tail_blk);
        EXPECT_EQ(ad.tail_byte_count, c.tail_count);
        EXPECT_EQ(ad.buf_sz, c.buf_sz);
        EXPECT_EQ(ad.buf.size(), c.buf_sz);
        alignment_desc_destroy(&ad);
        EXPECT_TRUE(ad.buf.empty());
    }
}

TEST(Alignment, BadArgumentsAreEinval)
{
    const off_t max = std::numeric_limits<off_t>::max();
    const struct {
        off_t offset;
        size_t size;
        uint32_t blk;
    } cases[] = {
        {0, 0, 512},                 // empty range
        {0, 10, 4},                  // block too small
        {-1, 10, 512},               // negative offset
        {max - 10, 100, 512},        // end overflows
        {0, size_t(512) << 33, 512}, // body count beyond 32 bits
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.offset) + "+" + std::to_string(c.size));
        alignment_desc_t ad;
        alignment_desc_new(&ad);
        errdesc_t *err = alignment_desc_get(c.offset, c.size, c.blk, &ad);
        ASSERT_NE(err, nullptr);
        EXPECT_EQ(err->number, EINVAL);
    }
    alignment_desc_t ad;
    alignment_desc_new(&ad);
    EXPECT_EQ(alignment_desc_get(3, 5, 8, &ad), nullptr) << "the smallest block size";
}

} // namespace
