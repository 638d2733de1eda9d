#pragma once
// Generators of the VMDK test fixtures: descriptor texts, hosted sparse and
// COWD extent files. Everything is made at test time; no binary fixture is
// checked in.

#include "support/temp_dir.hpp"
#include "vmdk/extent_header.hpp"
#include "vmdk/vmdkdesc.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

// Tests build layouts with designated initializers, leaving the other fields
// at their defaults on purpose.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace vmdk_test
{

using rfs_test::temp_dir;

inline void write_file(const std::string &path, const std::string &bytes)
{
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// A parsed record on the heap (the record is large), closed on release.
struct desc_deleter {
    void operator()(vmdkdesc_t *d) const;
};
using desc_ptr = std::unique_ptr<vmdkdesc_t, desc_deleter>;
desc_ptr new_desc();

// Parses `text` as a descriptor file; the error is null on success.
struct parse_result {
    desc_ptr desc;
    errdesc_t *err;
};
parse_result parse_text(const std::string &text);

// Text of the error, for expectations; "" for null.
std::string error_text(errdesc_t *err);
// Expects an error of `number` whose text contains `message`.
void expect_error(errdesc_t *err, int number, const std::string &message);

// A hosted sparse extent: header at sector 0, grain directory at sector 1,
// grain tables right after it. `tables` maps a directory index to the
// contents of its grain table; missing indexes get a directory entry of 0.
struct sparse_layout {
    uint64_t capacity = 1u << 21;
    uint64_t grainsize = 128;
    uint32_t numgtespergt = 512;
    uint32_t magic = SPARSE_MAGIC;
    uint32_t version = 1;
    std::map<uint32_t, std::vector<uint32_t>> tables;
};
std::string make_sparse_extent(const sparse_layout &layout);

// A COWD extent: 2050-byte header at 0, grain directory at sector 5, grain
// tables of 4096 entries after it.
struct cowd_layout {
    uint32_t numsectors = 1u << 22;
    uint32_t grainsize = 1;
    uint32_t magic = COWD_MAGIC;
    uint32_t version = 1;
    uint32_t flags = 3;
    std::map<uint32_t, std::vector<uint32_t>> tables;
};
std::string make_cowd_extent(const cowd_layout &layout);

// A descriptor text of the kind VMware products write.
struct desc_layout {
    std::string create_type = "vmfs";
    uint32_t cid = 0x1234abcd;
    std::string parent_cid = "ffffffff"; // "" for no parentCID line
    std::string parent_hint;             // "" for no hint line
    std::vector<std::string> extents = {"RW 2048 VMFS \"disk-flat.vmdk\""};
};
std::string make_descriptor(const desc_layout &layout);

} // namespace vmdk_test
