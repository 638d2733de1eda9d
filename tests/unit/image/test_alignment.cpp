// Splitting byte ranges into head, body and tail blocks.

#include "image/alignment.hpp"

#include <gtest/gtest.h>

#include <cerrno>

namespace
{

alignment_desc_t split(off_t offset, size_t size, uint32_t blk = 512)
{
    alignment_desc_t ad;
    alignment_desc_new(&ad);
    errdesc_t *err = alignment_desc_get(offset, size, blk, &ad);
    EXPECT_EQ(err, nullptr) << (err ? err->string : "");
    return ad;
}

TEST(Alignment, NewSetsMagicAndVersion)
{
    alignment_desc_t ad;
    alignment_desc_new(&ad);
    EXPECT_EQ(ad.magic, ALIGNMENT_DESC_MAGIC);
    EXPECT_EQ(ad.version, 1u);
    EXPECT_EQ(ad.buf_sz, 0u);
}

TEST(Alignment, HeadBodyAndTail)
{
    auto ad = split(100, 1000);
    EXPECT_EQ(ad.head_blk_addr, 0);
    EXPECT_EQ(ad.head_byte_offset, 100);
    EXPECT_EQ(ad.head_byte_count, 412u);
    EXPECT_EQ(ad.body_blk_addr, 1);
    EXPECT_EQ(ad.body_blk_count, 1u);
    EXPECT_EQ(ad.tail_blk_addr, 2);
    EXPECT_EQ(ad.tail_byte_count, 76u);
    EXPECT_EQ(ad.buf_sz, 512u);
    EXPECT_EQ(ad.buf.size(), 512u);
    alignment_desc_destroy(&ad);
    EXPECT_TRUE(ad.buf.empty());
    EXPECT_EQ(ad.magic, 0u);
}

TEST(Alignment, AlignedRangeHasNoScratchBuffer)
{
    auto ad = split(4096, 4096);
    EXPECT_EQ(ad.head_byte_count, 0u);
    EXPECT_EQ(ad.body_blk_addr, 8);
    EXPECT_EQ(ad.body_blk_count, 8u);
    EXPECT_EQ(ad.tail_blk_addr, 16);
    EXPECT_EQ(ad.tail_byte_count, 0u);
    EXPECT_EQ(ad.buf_sz, 0u);
}

TEST(Alignment, TailOnlyWhenStartingOnABoundary)
{
    auto ad = split(0, 100);
    EXPECT_EQ(ad.head_byte_count, 0u);
    EXPECT_EQ(ad.body_blk_count, 0u);
    EXPECT_EQ(ad.tail_blk_addr, 0);
    EXPECT_EQ(ad.tail_byte_count, 100u);
}

TEST(Alignment, RangeInsideOneBlockIsAllHead)
{
    auto ad = split(700, 50);
    EXPECT_EQ(ad.head_blk_addr, 1);
    EXPECT_EQ(ad.head_byte_offset, 188);
    EXPECT_EQ(ad.head_byte_count, 50u);
    EXPECT_EQ(ad.body_blk_count, 0u);
    EXPECT_EQ(ad.tail_byte_count, 0u);
    EXPECT_EQ(ad.tail_blk_addr, 2);

    // Ending exactly at the block's end is the ordinary split.
    ad = split(100, 412);
    EXPECT_EQ(ad.head_byte_count, 412u);
    EXPECT_EQ(ad.body_blk_count, 0u);
    EXPECT_EQ(ad.tail_blk_addr, 1);
    EXPECT_EQ(ad.tail_byte_count, 0u);
}

TEST(Alignment, BadArgumentsAreEinval)
{
    alignment_desc_t ad;
    alignment_desc_new(&ad);
    errdesc_t *err = alignment_desc_get(0, 0, 512, &ad);
    ASSERT_NE(err, nullptr);
    EXPECT_EQ(err->number, EINVAL);
    err = alignment_desc_get(0, 10, 4, &ad);
    ASSERT_NE(err, nullptr);
    EXPECT_EQ(err->number, EINVAL);
    err = alignment_desc_get(-1, 10, 512, &ad);
    ASSERT_NE(err, nullptr);
    EXPECT_EQ(err->number, EINVAL);
    EXPECT_EQ(alignment_desc_get(3, 5, 8, &ad), nullptr);
}

} // namespace
