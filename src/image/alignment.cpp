#include "image/alignment.hpp"

#include <cerrno>
#include <limits>

void alignment_desc_new(alignment_desc_t *ad)
{
    *ad = alignment_desc_t{};
    ad->magic = ALIGNMENT_DESC_MAGIC;
    ad->version = 1;
}

errdesc_t *alignment_desc_get(off_t offset, size_t size, uint32_t blk_size, alignment_desc_t *ad)
{
    if (size == 0)
        return errdesc_set_str(EINVAL, "alignment_desc_get: size 0");
    if (blk_size < 8)
        return errdesc_set_fmt(EINVAL, "alignment_desc_get: block size %u", blk_size);
    if (offset < 0 || size > static_cast<size_t>(std::numeric_limits<off_t>::max() - offset))
        return errdesc_set_fmt(EINVAL, "alignment_desc_get: range %jd+%zu",
                               static_cast<intmax_t>(offset), size);

    const int64_t b = blk_size;
    const int64_t start = offset;
    const int64_t end = offset + static_cast<int64_t>(size);

    ad->head_blk_addr = start / b;
    ad->head_byte_offset = start % b;
    ad->head_byte_count =
        ad->head_byte_offset > 0 ? static_cast<uint32_t>(b - ad->head_byte_offset) : 0;
    ad->tail_blk_addr = end / b;
    ad->tail_byte_count = static_cast<uint32_t>(end % b);

    if (ad->head_byte_count > 0 && ad->tail_blk_addr == ad->head_blk_addr) {
        // Begins and ends inside the same block: the head alone carries it.
        ad->head_byte_count = static_cast<uint32_t>(size);
        ad->tail_blk_addr = ad->head_blk_addr + 1;
        ad->tail_byte_count = 0;
    }

    ad->body_blk_addr = ad->head_byte_count > 0 ? ad->head_blk_addr + 1 : ad->head_blk_addr;
    const int64_t body = ad->tail_blk_addr - ad->body_blk_addr;
    if (body > std::numeric_limits<uint32_t>::max())
        return errdesc_set_fmt(EINVAL, "alignment_desc_get: %zu bytes is too large a range", size);
    ad->body_blk_count = static_cast<uint32_t>(body);

    if (ad->head_byte_count > 0 || ad->tail_byte_count > 0) {
        ad->buf.assign(blk_size, 0);
        ad->buf_sz = blk_size;
    }
    return nullptr;
}

void alignment_desc_destroy(alignment_desc_t *ad)
{
    *ad = alignment_desc_t{};
}
