// Sparse and COWD extents: header checks, grain directory sizes, grain-table
// fills, truncated files and hostile sizes.

#include "vmdk_fixtures.hpp"

#include "common/unique_fd.hpp"
#include "vmdk/graindir.hpp"
#include "vmdk/vmdk_open.hpp"

#include <cerrno>
#include <fcntl.h>

using namespace vmdk_test;

namespace {

// A descriptor in a temporary directory with one extent file per entry.
class disk_fixture {
  public:
    void add_extent(const std::string &line, const std::string &file, const std::string &bytes)
    {
        lines_ += line + "\n";
        write_file(dir_.file(file), bytes);
    }
    // Opens the descriptor and its extent files; the error is null on success.
    errdesc_t *open()
    {
        write_file(dir_.file("d.vmdk"), "version=1\nCID=1\nparentCID=ffffffff\n" + lines_);
        if (errdesc_t *err = vmdk_open(dir_.file("d.vmdk").c_str(), desc.get()))
            return err;
        return vmdk_open_extentfiles(desc.get());
    }
    std::string file(const std::string &name) const { return dir_.file(name); }

    desc_ptr desc = new_desc();

  private:
    temp_dir dir_;
    std::string lines_;
};

std::string truncated(std::string bytes, size_t size)
{
    bytes.resize(size);
    return bytes;
}

} // namespace

TEST(ExtentHeader, PackedLayouts)
{
    // The layouts themselves are checked by static_asserts next to the
    // records; here a generated header round-trips through the on-disk bytes.
    std::string img = make_sparse_extent({});
    EXPECT_EQ(img.compare(0, 4, "KDMV"), 0);
    uint64_t capacity;
    memcpy(&capacity, img.data() + 12, 8);
    EXPECT_EQ(capacity, uint64_t{1} << 21);
    std::string cowd = make_cowd_extent({});
    EXPECT_EQ(cowd.compare(0, 4, "COWD"), 0);
}

TEST(Graindir, SparseDirectorySizesAtTheEdgesOfTheFormula)
{
    struct {
        uint64_t capacity, grainsize;
        uint32_t gtes, entries;
    } cases[] = {
        {uint64_t{1} << 21, 128, 512, 32},
        {(uint64_t{1} << 21) + 1, 128, 512, 33},
        {(uint64_t{1} << 21) - 1, 128, 512, 32},
        {65536, 128, 512, 1},
        {1, 128, 512, 1},
        {0, 128, 512, 0},
        {0xffffffffu, 8, 512, 1048576},
    };
    for (const auto &c : cases) {
        disk_fixture f;
        sparse_layout layout;
        layout.capacity = c.capacity;
        layout.grainsize = c.grainsize;
        layout.numgtespergt = c.gtes;
        f.add_extent("RW " + std::to_string(c.capacity) + " SPARSE \"s.vmdk\"", "s.vmdk",
                     make_sparse_extent(layout));
        errdesc_t *err = f.open();
        ASSERT_EQ(err, nullptr) << error_text(err);
        const graindir_t &gd = f.desc->extentdesc[0]->graindir;
        EXPECT_EQ(gd.magic, GRAINDIR_MAGIC);
        EXPECT_EQ(gd.version, 1u);
        EXPECT_EQ(gd.gd_entry_count, c.entries) << c.capacity;
        EXPECT_EQ(gd.gt_entry_count, c.entries * c.gtes);
        EXPECT_EQ(gd.capacity, static_cast<uint32_t>(c.capacity));
        EXPECT_EQ(gd.grainsize, c.grainsize);
        EXPECT_EQ(f.desc->gtbuf_count, c.gtes);
        EXPECT_NE(f.desc->gtbuf, nullptr);
    }
}

TEST(Graindir, CowdDirectoryOf4096EntryTables)
{
    disk_fixture f;
    f.add_extent("RW 4194304 VMFSSPARSE \"d-delta.vmdk\"", "d-delta.vmdk", make_cowd_extent({}));
    errdesc_t *err = f.open();
    ASSERT_EQ(err, nullptr) << error_text(err);
    const graindir_t &gd = f.desc->extentdesc[0]->graindir;
    EXPECT_EQ(gd.gd_entry_count, 1024u);
    EXPECT_EQ(gd.numgtespergt, 4096u);
    EXPECT_EQ(gd.grainsize, 1u);
    EXPECT_EQ(gd.capacity, 1u << 22);
    EXPECT_EQ(f.desc->gtbuf_count, 4096u);

    // seSparse deltas are read as COWD too.
    disk_fixture g;
    cowd_layout layout;
    layout.numsectors = 4096 * 3 + 1;
    g.add_extent("RW 12289 SESPARSE \"d-sesparse.vmdk\"", "d-sesparse.vmdk", make_cowd_extent(layout));
    err = g.open();
    ASSERT_EQ(err, nullptr) << error_text(err);
    EXPECT_EQ(g.desc->extentdesc[0]->graindir.gd_entry_count, 4u);
}

TEST(Graindir, FillReadsTablesAndZeroEntriesGiveZeros)
{
    disk_fixture f;
    sparse_layout layout;
    layout.tables[1] = {7, 0, 9};
    layout.tables[31] = std::vector<uint32_t>(512, 0xabcdef01);
    f.add_extent("RW 2097152 SPARSE \"s.vmdk\"", "s.vmdk", make_sparse_extent(layout));
    errdesc_t *err = f.open();
    ASSERT_EQ(err, nullptr) << error_text(err);
    vmdkdesc_t *d = f.desc.get();
    const graindir_t &gd = d->extentdesc[0]->graindir;
    EXPECT_EQ(gd.gd_entry[0], 0u);
    EXPECT_NE(gd.gd_entry[1], 0u);

    ASSERT_EQ(vmdk_fill_gtbuf(d, 0, 1), nullptr);
    EXPECT_EQ(d->gtbuf[0], 7u);
    EXPECT_EQ(d->gtbuf[1], 0u);
    EXPECT_EQ(d->gtbuf[2], 9u);
    ASSERT_EQ(vmdk_fill_gtbuf(d, 0, 31), nullptr);
    EXPECT_EQ(d->gtbuf[511], 0xabcdef01u);

    // Entry 0 never touches the file: it fills even with the file closed.
    int fd = d->extentdesc[0]->fd;
    d->extentdesc[0]->fd = -1;
    ASSERT_EQ(vmdk_fill_gtbuf(d, 0, 0), nullptr);
    d->extentdesc[0]->fd = fd;
    for (uint32_t i = 0; i < 512; i++)
        ASSERT_EQ(d->gtbuf[i], 0u) << i;

    // Out of range requests are refused, not read.
    err = vmdk_fill_gtbuf(d, 0, 32);
    ASSERT_NE(err, nullptr);
    EXPECT_EQ(err->number, ERR_OUT_OF_RANGE);
    err = vmdk_fill_gtbuf(d, 1, 0);
    ASSERT_NE(err, nullptr);
    EXPECT_EQ(err->number, ERR_OUT_OF_RANGE);
}

TEST(Graindir, FlatFirstExtentGetsNoGrainTableBuffer)
{
    disk_fixture f;
    f.add_extent("RW 100 FLAT \"f-flat.vmdk\"", "f-flat.vmdk", std::string(512, '\0'));
    f.add_extent("RW 2097152 SPARSE \"s.vmdk\"", "s.vmdk", make_sparse_extent({}));
    errdesc_t *err = f.open();
    ASSERT_EQ(err, nullptr) << error_text(err);
    EXPECT_EQ(f.desc->gtbuf, nullptr);
    EXPECT_EQ(f.desc->extentdesc[0]->graindir.magic, 0u);
    EXPECT_EQ(f.desc->extentdesc[1]->graindir.gd_entry_count, 32u);
    err = vmdk_fill_gtbuf(f.desc.get(), 1, 0);
    ASSERT_NE(err, nullptr);
    EXPECT_NE(std::string(err->string).find("no grain-table buffer"), std::string::npos);
    EXPECT_EQ(vmdk_get_gtbuf(f.desc.get()), nullptr);
}

TEST(Graindir, LargerTablesThanTheFirstExtentsAreRefusedAtFill)
{
    disk_fixture f;
    f.add_extent("RW 2097152 SPARSE \"a.vmdk\"", "a.vmdk", make_sparse_extent({}));
    sparse_layout wide;
    wide.numgtespergt = 1024;
    wide.tables[0] = std::vector<uint32_t>(1024, 5);
    f.add_extent("RW 2097152 SPARSE \"b.vmdk\"", "b.vmdk", make_sparse_extent(wide));
    errdesc_t *err = f.open();
    ASSERT_EQ(err, nullptr) << error_text(err);
    err = vmdk_fill_gtbuf(f.desc.get(), 1, 0);
    ASSERT_NE(err, nullptr);
    EXPECT_EQ(err->number, ERR_OUT_OF_RANGE);
}

TEST(Graindir, WrongMagicVersionOrFlagsAreRefused)
{
    struct {
        std::string line, bytes, message;
    } cases[] = {
        {"RW 2097152 SPARSE \"x.vmdk\"", make_cowd_extent({}), "not a hosted sparse extent"},
        {"RW 2097152 SPARSE \"x.vmdk\"", make_sparse_extent({.version = 2}), "version 2"},
        {"RW 2097152 SPARSE \"x.vmdk\"", make_sparse_extent({.magic = 0x12345678}), "magic 0x12345678"},
        {"RW 4194304 VMFSSPARSE \"x.vmdk\"", make_sparse_extent({}), "not a COWD extent"},
        {"RW 4194304 VMFSSPARSE \"x.vmdk\"", make_cowd_extent({.version = 0}), "version 0"},
        {"RW 4194304 SESPARSE \"x.vmdk\"", make_cowd_extent({.flags = 1}), "flags 1"},
    };
    for (const auto &c : cases) {
        disk_fixture f;
        f.add_extent(c.line, "x.vmdk", c.bytes);
        errdesc_t *err = f.open();
        ASSERT_NE(err, nullptr) << c.message;
        EXPECT_EQ(err->number, EINVAL);
        EXPECT_NE(std::string(err->string).find(c.message), std::string::npos) << err->string;
        EXPECT_NE(std::string(err->string).find("x.vmdk"), std::string::npos) << err->string;
        // The extent files are closed again after a failure.
        EXPECT_EQ(f.desc->extentdesc[0]->fd, -1);
    }
}

TEST(Graindir, TruncatedFilesFailWithoutWaiting)
{
    std::string full = make_sparse_extent({.tables = {{0, std::vector<uint32_t>(512, 3)}}});
    // Header: shorter than the 2050 bytes read.
    {
        disk_fixture f;
        f.add_extent("RW 2097152 SPARSE \"t.vmdk\"", "t.vmdk", truncated(full, 2049));
        errdesc_t *err = f.open();
        ASSERT_NE(err, nullptr);
        EXPECT_EQ(err->number, EIO);
        EXPECT_NE(std::string(err->string).find("t.vmdk: file ends before the end of its header"),
                  std::string::npos)
            << err->string;
    }
    // Grain directory: capacity of 2^32-1 with 8-sector grains needs 4 MiB of directory.
    {
        disk_fixture f;
        std::string img = make_sparse_extent({.capacity = 1u << 21});
        uint64_t huge = 0xffffffffu;
        memcpy(img.data() + 12, &huge, 8);
        uint64_t grain = 8;
        memcpy(img.data() + 20, &grain, 8);
        f.add_extent("RW 2097152 SPARSE \"t.vmdk\"", "t.vmdk", img);
        errdesc_t *err = f.open();
        ASSERT_NE(err, nullptr);
        EXPECT_EQ(err->number, EIO);
        EXPECT_NE(std::string(err->string).find("grain directory"), std::string::npos) << err->string;
    }
    // Grain table: directory points past the end of the file.
    {
        disk_fixture f;
        f.add_extent("RW 2097152 SPARSE \"t.vmdk\"", "t.vmdk", truncated(full, full.size() - 1));
        ASSERT_EQ(f.open(), nullptr);
        errdesc_t *err = vmdk_fill_gtbuf(f.desc.get(), 0, 0);
        ASSERT_NE(err, nullptr);
        EXPECT_EQ(err->number, EIO);
        EXPECT_NE(std::string(err->string).find("grain table"), std::string::npos) << err->string;
    }
}

TEST(Graindir, HostileSizesAreCapped)
{
    temp_dir dir;
    write_file(dir.file("x"), std::string(4096, '\0'));
    unique_fd fd(open(dir.file("x").c_str(), O_RDONLY));
    graindir_t gd;
    struct {
        uint32_t capacity, grainsize, gtes;
        const char *message;
    } cases[] = {
        {1000, 0, 512, "invalid grain geometry"},
        {1000, 128, 0, "invalid grain geometry"},
        {1000, 128, 1u << 30, "exceed the limit"},
        {0xffffffffu, 1, 1, "exceeds the limit"},
    };
    for (const auto &c : cases) {
        errdesc_t *err = vmdk_read_graindir_common(fd.get(), 512, c.capacity, c.grainsize, c.gtes, &gd);
        ASSERT_NE(err, nullptr) << c.message;
        EXPECT_EQ(err->number, EINVAL);
        EXPECT_NE(std::string(err->string).find(c.message), std::string::npos) << err->string;
        EXPECT_EQ(gd.magic, 0u);
        EXPECT_EQ(gd.gd_entry, nullptr);
    }
    // A directory offset beyond what a file offset can hold.
    sparsehdr_t h{};
    h.magic = SPARSE_MAGIC;
    h.version = 1;
    h.capacity = 1000;
    h.grainsize = 8;
    h.numgtespergt = 512;
    h.gdoffset = UINT64_MAX / 256;
    EXPECT_NE(vmdk_read_graindir_sparsehdr(fd.get(), &h, &gd), nullptr);
    EXPECT_EQ(gd.magic, 0u);
}

TEST(Graindir, CloseClearsDirectoriesAndFreeReleasesTheBuffer)
{
    disk_fixture f;
    f.add_extent("RW 2097152 SPARSE \"s.vmdk\"", "s.vmdk", make_sparse_extent({}));
    ASSERT_EQ(f.open(), nullptr);
    vmdkdesc_t *d = f.desc.get();
    EXPECT_EQ(vmdk_close_extentfiles(d), nullptr);
    EXPECT_EQ(d->extentdesc[0]->fd, -1);
    EXPECT_EQ(d->extentdesc[0]->graindir.magic, 0u);
    EXPECT_EQ(d->extentdesc[0]->graindir.gd_entry, nullptr);
    EXPECT_NE(d->gtbuf, nullptr); // lives until vmdk_free_gtbuf
    vmdk_free_gtbuf(d);
    EXPECT_EQ(d->gtbuf, nullptr);
}
