#pragma once
// Split of a byte range at a block size into a partial head block, whole
// body blocks and a partial tail block.

#include "common/errdesc.hpp"

#include <cstddef>
#include <cstdint>
#include <sys/types.h>
#include <vector>

inline constexpr uint32_t ALIGNMENT_DESC_MAGIC = 0xAAAAAAAA;

struct alignment_desc_t {
    uint32_t magic;
    uint32_t version;
    int64_t head_blk_addr;    // block holding the first byte
    int64_t head_byte_offset; // position of the first byte in that block
    uint32_t head_byte_count; // bytes taken from the head block; 0 when aligned
    int64_t body_blk_addr;    // first whole block
    uint32_t body_blk_count;  // whole blocks
    int64_t tail_blk_addr;    // block holding the first byte after the range
    uint32_t tail_byte_count; // bytes taken from the tail block; 0 when aligned
    std::vector<char> buf;    // one zeroed block, only when head or tail is partial
    uint32_t buf_sz;          // size of `buf`, or 0
};

void alignment_desc_new(alignment_desc_t *ad);

// A range that starts and ends inside one block is all head: head_byte_count
// is `size`, no body, and the tail is empty at the next block, so that the
// caller copies exactly `size` bytes.
errdesc_t *alignment_desc_get(off_t offset, size_t size, uint32_t blk_size, alignment_desc_t *ad);

void alignment_desc_destroy(alignment_desc_t *ad);
