#pragma once
// Change-block files made in memory for the tests.

#include "image/tolcbt.hpp"
#include "image_test_util.hpp"

struct extent_spec {
    int64_t start;
    int64_t length;
    uint32_t magic;
};

// A change-block file with the extent list at `list_offset` and the data
// area at `data_offset`; the data of each extent is filled with its index + 1.
inline std::vector<char> make_cbt(const std::vector<extent_spec> &extents,
                                  int64_t list_offset = 512, int64_t data_offset = 4096)
{
    std::vector<char> bytes(static_cast<size_t>(data_offset), 0);
    cbt_file_header_t hdr{};
    hdr.magic_header = CBT_MAGIC_HEADER;
    hdr.version = 1;
    hdr.block_list_offset = list_offset;
    hdr.block_data_offset = data_offset;
    for (size_t i = 0; i < extents.size(); ++i) {
        const extent_spec &e = extents[i];
        put(bytes, static_cast<size_t>(list_offset) + i * sizeof(cbt_extent_data_t),
            cbt_extent_data_t{e.magic, e.start, e.length});
        bytes.insert(bytes.end(), static_cast<size_t>(e.length), static_cast<char>(i + 1));
        hdr.total_change_size += e.length;
    }
    hdr.tolcbt_file_size = data_offset + hdr.total_change_size;
    hdr.flat_file_size = 10 << 20;
    std::strcpy(hdr.changeid, "00112233-4455-6677-8899-aabbccddeeff/7");
    std::strcpy(hdr.device, "/vmfs/devices/disks/test");
    hdr.magic_block_list = CBT_MAGIC_EXTENT_MORE;
    put(bytes, 0, hdr);
    return bytes;
}
