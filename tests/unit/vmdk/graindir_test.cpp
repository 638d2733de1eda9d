// Sparse and COWD extents: header checks, grain directory sizes, grain-table
// fills, truncated files and hostile sizes.

#include "vmdk_fixtures.hpp"

#include "common/unique_fd.hpp"
#include "vmdk/graindir.hpp"
#include "vmdk/vmdk_open.hpp"

#include <cerrno>
#include <fcntl.h>

using namespace vmdk_test;

namespace
{

// A descriptor in a temporary directory with one extent file per entry.
class disk_fixture
{
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

TEST(Graindir, DirectorySizesAtTheEdgesOfTheFormula)
{
    auto sparse = [](uint64_t capacity, uint64_t grainsize = 128) {
        return make_sparse_extent({.capacity = capacity, .grainsize = grainsize});
    };
    const struct {
        std::string type, bytes;
        uint32_t capacity, entries, gtes;
    } cases[] = {
        {"SPARSE", sparse(uint64_t{1} << 21), 1u << 21, 32, 512},
        {"SPARSE", sparse((uint64_t{1} << 21) + 1), (1u << 21) + 1, 33, 512},
        {"SPARSE", sparse(0xffffffffu, 8), 0xffffffffu, 1048576, 512},
        {"VMFSSPARSE", make_cowd_extent({}), 1u << 22, 1024, 4096},
        // seSparse deltas are read as COWD too.
        {"SESPARSE", make_cowd_extent({.numsectors = 4096 * 3 + 1}), 4096 * 3 + 1, 4, 4096},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.type + " capacity " + std::to_string(c.capacity));
        disk_fixture f;
        f.add_extent("RW 2048 " + c.type + " \"s.vmdk\"", "s.vmdk", c.bytes);
        errdesc_t *err = f.open();
        ASSERT_EQ(err, nullptr) << error_text(err);
        const graindir_t &gd = f.desc->extentdesc[0]->graindir;
        EXPECT_EQ(gd.gd_entry_count, c.entries);
        EXPECT_EQ(gd.gt_entry_count, c.entries * c.gtes);
        EXPECT_EQ(gd.capacity, c.capacity);
        EXPECT_EQ(f.desc->gtbuf_count, c.gtes);
    }
}

TEST(Graindir, FillReadsTablesZeroEntriesGiveZerosAndCloseReleases)
{
    disk_fixture f;
    sparse_layout layout;
    layout.tables[1] = {7, 0, 9};
    layout.tables[31] = std::vector<uint32_t>(512, 0xabcdef01);
    f.add_extent("RW 2097152 SPARSE \"s.vmdk\"", "s.vmdk", make_sparse_extent(layout));
    errdesc_t *err = f.open();
    ASSERT_EQ(err, nullptr) << error_text(err);
    vmdkdesc_t *d = f.desc.get();

    ASSERT_EQ(vmdk_fill_gtbuf(d, 0, 1), nullptr);
    EXPECT_EQ(std::vector<uint32_t>(d->gtbuf.get(), d->gtbuf.get() + 3),
              (std::vector<uint32_t>{7, 0, 9}));
    ASSERT_EQ(vmdk_fill_gtbuf(d, 0, 31), nullptr);
    EXPECT_EQ(d->gtbuf[511], 0xabcdef01u);

    // Entry 0 never touches the file: it fills even with the file closed.
    int fd = d->extentdesc[0]->fd;
    d->extentdesc[0]->fd = -1;
    ASSERT_EQ(vmdk_fill_gtbuf(d, 0, 0), nullptr);
    d->extentdesc[0]->fd = fd;
    EXPECT_EQ(std::vector<uint32_t>(d->gtbuf.get(), d->gtbuf.get() + 512),
              std::vector<uint32_t>(512, 0));

    // Out of range requests are refused, not read.
    expect_error(vmdk_fill_gtbuf(d, 0, 32), ERR_OUT_OF_RANGE, "grain directory entry 32 of 32");
    expect_error(vmdk_fill_gtbuf(d, 1, 0), ERR_OUT_OF_RANGE, "no extent 1");

    // Closing drops the directories; the buffer lives until it is freed.
    vmdk_close_extentfiles(d);
    EXPECT_EQ(d->extentdesc[0]->fd, -1);
    EXPECT_EQ(d->extentdesc[0]->graindir.gd_entry, nullptr);
    expect_error(vmdk_fill_gtbuf(d, 0, 1), EINVAL, "no grain directory loaded");
    EXPECT_NE(d->gtbuf, nullptr);
    vmdk_free_gtbuf(d);
    EXPECT_EQ(d->gtbuf, nullptr);
}

TEST(Graindir, FillRefusesTablesTheFirstExtentsBufferCannotHold)
{
    // A flat first extent: no buffer at all.
    disk_fixture flat;
    flat.add_extent("RW 100 FLAT \"f-flat.vmdk\"", "f-flat.vmdk", std::string(512, '\0'));
    flat.add_extent("RW 2097152 SPARSE \"s.vmdk\"", "s.vmdk", make_sparse_extent({}));
    ASSERT_EQ(flat.open(), nullptr);
    EXPECT_EQ(flat.desc->gtbuf, nullptr);
    expect_error(vmdk_fill_gtbuf(flat.desc.get(), 1, 0), EINVAL, "no grain-table buffer");

    // A later extent with wider tables than the first one's.
    disk_fixture wide;
    wide.add_extent("RW 2097152 SPARSE \"a.vmdk\"", "a.vmdk", make_sparse_extent({}));
    wide.add_extent("RW 2097152 SPARSE \"b.vmdk\"", "b.vmdk",
                    make_sparse_extent(
                        {.numgtespergt = 1024, .tables = {{0, std::vector<uint32_t>(1024, 5)}}}));
    ASSERT_EQ(wide.open(), nullptr);
    expect_error(vmdk_fill_gtbuf(wide.desc.get(), 1, 0), ERR_OUT_OF_RANGE,
                 "grain tables of 1024 entries, the first extent's have 512");
}

TEST(Graindir, WrongMagicVersionOrFlagsAreRefusedAndCloseTheFiles)
{
    const struct {
        std::string line, bytes, message;
    } cases[] = {
        {"RW 2097152 SPARSE", make_cowd_extent({}),
         "not a hosted sparse extent (magic 0x44574f43)"},
        {"RW 2097152 SPARSE", make_sparse_extent({.version = 2}), "version 2"},
        {"RW 4194304 VMFSSPARSE", make_sparse_extent({}), "not a COWD extent (magic 0x564d444b)"},
        {"RW 4194304 VMFSSPARSE", make_cowd_extent({.version = 0}), "version 0"},
        {"RW 4194304 SESPARSE", make_cowd_extent({.flags = 1}), "flags 1"},
    };
    for (const auto &c : cases) {
        disk_fixture f;
        f.add_extent(c.line + " \"x.vmdk\"", "x.vmdk", c.bytes);
        errdesc_t *err = f.open();
        expect_error(err, EINVAL, c.message);
        EXPECT_NE(error_text(err).find("x.vmdk: "), std::string::npos) << error_text(err);
        EXPECT_EQ(f.desc->extentdesc[0]->fd, -1) << c.message;
    }
}

TEST(Graindir, TruncatedFilesFailWithoutWaiting)
{
    std::string full = make_sparse_extent({.tables = {{0, std::vector<uint32_t>(512, 3)}}});
    {
        disk_fixture f; // shorter than the 2050 bytes of every header read
        f.add_extent("RW 2097152 SPARSE \"t.vmdk\"", "t.vmdk", truncated(full, 2049));
        expect_error(f.open(), EIO, "t.vmdk: file ends before the end of its header");
    }
    {
        disk_fixture f; // a header that wants a 4 MiB directory
        f.add_extent("RW 2097152 SPARSE \"t.vmdk\"", "t.vmdk",
                     truncated(make_sparse_extent({.capacity = 0xffffffffu, .grainsize = 8}),
                               EXTENT_HDR_READ_SIZE));
        expect_error(f.open(), EIO, "file ends before the end of its grain directory");
    }
    {
        disk_fixture f; // the directory points past the end of the file
        f.add_extent("RW 2097152 SPARSE \"t.vmdk\"", "t.vmdk", truncated(full, full.size() - 1));
        ASSERT_EQ(f.open(), nullptr);
        expect_error(vmdk_fill_gtbuf(f.desc.get(), 0, 0), EIO,
                     "t.vmdk: file ends before the end of its grain table");
    }
}

TEST(Graindir, HostileSizesAreCappedBeforeAnyAllocation)
{
    temp_dir dir;
    write_file(dir.file("x"), std::string(4096, '\0'));
    unique_fd fd(open(dir.file("x").c_str(), O_RDONLY));
    graindir_t gd;
    const struct {
        uint32_t capacity, grainsize, gtes;
        const char *message;
    } cases[] = {
        {1000, 0, 512, "invalid grain geometry"},
        {1000, 128, 0, "invalid grain geometry"},
        {1000, 128, VMDK_MAX_GTES_PER_GT + 1, "exceed the limit"},
        {0xffffffffu, 1, 1, "exceeds the limit"},
    };
    for (const auto &c : cases) {
        expect_error(vmdk_read_graindir_common(fd.get(), 512, c.capacity, c.grainsize, c.gtes, &gd),
                     EINVAL, c.message);
        EXPECT_EQ(gd.magic, 0u);
        EXPECT_EQ(gd.gd_entry, nullptr);
    }
    // The limits themselves are allowed.
    EXPECT_EQ(vmdk_read_graindir_common(fd.get(), 512, 1000, 1, VMDK_MAX_GTES_PER_GT, &gd),
              nullptr);
    EXPECT_EQ(gd.gd_entry_count, 1u);
    // A directory offset beyond what a file offset can hold.
    sparsehdr_t h{};
    h.capacity = 1000;
    h.grainsize = 8;
    h.numgtespergt = 512;
    h.gdoffset = UINT64_MAX / 256;
    expect_error(vmdk_read_graindir_sparsehdr(fd.get(), &h, &gd), EINVAL, "out of range");
    EXPECT_EQ(gd.magic, 0u);
}
