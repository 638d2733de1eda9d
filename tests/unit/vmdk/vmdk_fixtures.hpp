#pragma once
// Generators of the VMDK test fixtures: descriptor texts, hosted sparse and
// COWD extent files. Everything is made at test time; no binary fixture is
// checked in.

#include "support/temp_dir.hpp"
#include "vmdk/extent_header.hpp"
#include "vmdk/vmdk_open.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
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

// A record on the heap (the record is large), closed on release.
struct desc_deleter {
    void operator()(vmdkdesc_t *d) const
    {
        vmdk_close_extentfiles(d);
        vmdk_close(d);
        delete d;
    }
};
using desc_ptr = std::unique_ptr<vmdkdesc_t, desc_deleter>;
inline desc_ptr new_desc()
{
    return desc_ptr(new vmdkdesc_t());
}

// Text of the error, for expectations; "" for null.
inline std::string error_text(errdesc_t *err)
{
    return err ? std::string(err->string) : std::string();
}

// Expects an error of `number` whose text contains `message`.
inline void expect_error(errdesc_t *err, int number, const std::string &message)
{
    ASSERT_NE(err, nullptr) << message;
    EXPECT_EQ(err->number, number) << err->string;
    EXPECT_NE(std::string(err->string).find(message), std::string::npos) << err->string;
}

// A grain directory at `gd_sector` with `entries` entries, followed by the
// tables of `tables` (directory index to contents, `gtes` entries each);
// missing indexes get a directory entry of 0.
inline void put_directory(std::string &img, uint64_t gd_sector, uint64_t capacity, uint64_t grain,
                          uint32_t gtes, const std::map<uint32_t, std::vector<uint32_t>> &tables)
{
    auto sectors = [](uint64_t bytes) { return (bytes + 511) / 512; };
    auto put = [&img](uint64_t offset, const std::vector<uint32_t> &v) {
        if (!v.empty())
            std::memcpy(img.data() + offset, v.data(), v.size() * 4);
    };
    std::vector<uint32_t> gd((capacity + grain * gtes - 1) / (grain * gtes), 0);
    uint64_t next = gd_sector + sectors(gd.size() * 4);
    img.resize(std::max<size_t>(img.size(), next * 512), '\0');
    for (const auto &[index, table] : tables) {
        gd.at(index) = static_cast<uint32_t>(next);
        img.resize((next + sectors(uint64_t{gtes} * 4)) * 512, '\0');
        put(next * 512, table);
        next += sectors(uint64_t{gtes} * 4);
    }
    put(gd_sector * 512, gd);
}

// A hosted sparse extent: header at sector 0, grain directory at sector 1,
// grain tables right after it.
struct sparse_layout {
    uint64_t capacity = 1u << 21;
    uint64_t grainsize = 128;
    uint32_t numgtespergt = 512;
    uint32_t magic = SPARSE_MAGIC;
    uint32_t version = 1;
    std::map<uint32_t, std::vector<uint32_t>> tables;
};
inline std::string make_sparse_extent(const sparse_layout &l)
{
    sparsehdr_t h{};
    h.magic = l.magic;
    h.version = l.version;
    h.flags = 3;
    h.capacity = l.capacity;
    h.grainsize = l.grainsize;
    h.numgtespergt = l.numgtespergt;
    h.gdoffset = 1;
    std::string img(512, '\0');
    std::memcpy(img.data(), &h, sizeof h);
    put_directory(img, 1, l.capacity, l.grainsize, l.numgtespergt, l.tables);
    // Room for the 2050-byte header read of every sparse extent.
    img.resize(std::max<size_t>(img.size(), EXTENT_HDR_READ_SIZE), '\0');
    return img;
}

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
inline std::string make_cowd_extent(const cowd_layout &l)
{
    cowdiskhdr_t h{};
    h.magic = l.magic;
    h.version = l.version;
    h.flags = l.flags;
    h.numsectors = l.numsectors;
    h.grainsize = l.grainsize;
    h.gdoffset = 5;
    h.numgdentries = (l.numsectors + l.grainsize * COWD_GTES_PER_GT - 1) / (l.grainsize * COWD_GTES_PER_GT);
    std::string img(5 * 512, '\0');
    std::memcpy(img.data(), &h, sizeof h);
    put_directory(img, 5, l.numsectors, l.grainsize, COWD_GTES_PER_GT, l.tables);
    return img;
}

// A descriptor text of the kind VMware products write.
struct desc_layout {
    std::string create_type = "vmfs";
    uint32_t cid = 0x1234abcd;
    std::string parent_cid = "ffffffff"; // "" for no parentCID line
    std::string parent_hint;             // "" for no hint line
    std::vector<std::string> extents = {"RW 2048 VMFS \"disk-flat.vmdk\""};
};
inline std::string make_descriptor(const desc_layout &l)
{
    char cid[16];
    snprintf(cid, sizeof cid, "%08x", l.cid);
    std::string s = "# Disk DescriptorFile\nversion=1\nencoding=\"UTF-8\"\nCID=" + std::string(cid) + "\n";
    if (!l.parent_cid.empty())
        s += "parentCID=" + l.parent_cid + "\n";
    s += "isNativeSnapshot=\"no\"\ncreateType=\"" + l.create_type + "\"\n";
    if (!l.parent_hint.empty())
        s += "parentFileNameHint=\"" + l.parent_hint + "\"\n";
    s += "# Extent description\n";
    for (const std::string &e : l.extents)
        s += e + "\n";
    return s + "\n# The Disk Data Base \n#DDB\n\nddb.adapterType = \"lsilogic\"\n"
               "ddb.geometry.cylinders = \"130\"\nddb.geometry.heads = \"255\"\n"
               "ddb.geometry.sectors = \"63\"\nddb.virtualHWVersion = \"13\"\n";
}

} // namespace vmdk_test
