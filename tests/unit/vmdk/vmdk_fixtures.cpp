// Generators of the VMDK test fixtures.

#include "vmdk_fixtures.hpp"

#include "vmdk/descriptor_parser.hpp"
#include "vmdk/vmdk_open.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace vmdk_test
{

void desc_deleter::operator()(vmdkdesc_t *d) const
{
    vmdk_close_extentfiles(d);
    vmdk_close(d);
    delete d;
}

desc_ptr new_desc()
{
    return desc_ptr(new vmdkdesc_t());
}

parse_result parse_text(const std::string &text)
{
    temp_dir dir;
    std::string path = dir.file("d.vmdk");
    write_file(path, text);
    parse_result r{new_desc(), nullptr};
    r.err = vmdk_parse_file_contents(path.c_str(), r.desc.get());
    return r;
}

std::string error_text(errdesc_t *err)
{
    return err ? std::string(err->string) : std::string();
}

void expect_error(errdesc_t *err, int number, const std::string &message)
{
    ASSERT_NE(err, nullptr) << message;
    EXPECT_EQ(err->number, number) << err->string;
    EXPECT_NE(std::string(err->string).find(message), std::string::npos) << err->string;
}

namespace
{

uint32_t gd_entries_for(uint64_t capacity, uint64_t grainsize, uint32_t numgtespergt)
{
    uint64_t per_table = grainsize * numgtespergt;
    return static_cast<uint32_t>((capacity + per_table - 1) / per_table);
}

uint64_t sectors_for(uint64_t bytes)
{
    return (bytes + 511) / 512;
}

// Lays out the grain directory at `gd_sector` and the given tables after it.
void put_directory(std::string &img, uint64_t gd_sector, uint32_t entries, uint32_t gtes,
                   const std::map<uint32_t, std::vector<uint32_t>> &tables)
{
    auto put = [&img](uint64_t offset, const std::vector<uint32_t> &v) {
        if (!v.empty())
            std::memcpy(img.data() + offset, v.data(), v.size() * 4);
    };
    std::vector<uint32_t> gd(entries, 0);
    uint64_t next = gd_sector + sectors_for(uint64_t{entries} * 4);
    img.resize(std::max<size_t>(img.size(), next * 512), '\0');
    for (const auto &[index, table] : tables) {
        gd.at(index) = static_cast<uint32_t>(next);
        img.resize((next + sectors_for(uint64_t{gtes} * 4)) * 512, '\0');
        put(next * 512, table);
        next += sectors_for(uint64_t{gtes} * 4);
    }
    put(gd_sector * 512, gd);
}

} // namespace

std::string make_sparse_extent(const sparse_layout &layout)
{
    sparsehdr_t h{};
    h.magic = layout.magic;
    h.version = layout.version;
    h.flags = 3;
    h.capacity = layout.capacity;
    h.grainsize = layout.grainsize;
    h.numgtespergt = layout.numgtespergt;
    h.gdoffset = 1;
    std::string img(512, '\0');
    std::memcpy(img.data(), &h, sizeof h);
    uint32_t entries = gd_entries_for(layout.capacity, layout.grainsize, layout.numgtespergt);
    put_directory(img, 1, entries, layout.numgtespergt, layout.tables);
    // Room for the 2050-byte header read of every sparse extent.
    if (img.size() < EXTENT_HDR_READ_SIZE)
        img.resize(EXTENT_HDR_READ_SIZE, '\0');
    return img;
}

std::string make_cowd_extent(const cowd_layout &layout)
{
    cowdiskhdr_t h{};
    h.magic = layout.magic;
    h.version = layout.version;
    h.flags = layout.flags;
    h.numsectors = layout.numsectors;
    h.grainsize = layout.grainsize;
    h.gdoffset = 5; // the first sector after the 2050-byte header
    uint32_t entries = gd_entries_for(layout.numsectors, layout.grainsize, COWD_GTES_PER_GT);
    h.numgdentries = entries;
    std::string img(5 * 512, '\0');
    std::memcpy(img.data(), &h, sizeof h);
    put_directory(img, 5, entries, COWD_GTES_PER_GT, layout.tables);
    return img;
}

std::string make_descriptor(const desc_layout &layout)
{
    char cid[16];
    snprintf(cid, sizeof cid, "%08x", layout.cid);
    std::string s =
        "# Disk DescriptorFile\nversion=1\nencoding=\"UTF-8\"\nCID=" + std::string(cid) + "\n";
    if (!layout.parent_cid.empty())
        s += "parentCID=" + layout.parent_cid + "\n";
    s += "isNativeSnapshot=\"no\"\ncreateType=\"" + layout.create_type + "\"\n";
    if (!layout.parent_hint.empty())
        s += "parentFileNameHint=\"" + layout.parent_hint + "\"\n";
    s += "# Extent description\n";
    for (const std::string &e : layout.extents)
        s += e + "\n";
    s += "\n# The Disk Data Base \n#DDB\n\nddb.adapterType = \"lsilogic\"\n"
         "ddb.geometry.cylinders = \"130\"\nddb.geometry.heads = \"255\"\n"
         "ddb.geometry.sectors = \"63\"\nddb.virtualHWVersion = \"13\"\n";
    return s;
}

} // namespace vmdk_test
