// Opening disks, extent files and ancestor chains.

#include "vmdk_fixtures.hpp"

#include "vmdk/vmdk_open.hpp"

#include <cerrno>
#include <unistd.h>

using namespace vmdk_test;

namespace
{

// A chain of `depth` snapshot descriptors over a base disk: "d0.vmdk" is the
// base, "dN.vmdk" has "d(N-1).vmdk" as parent and the extent "dN-delta.vmdk".
void write_chain(const temp_dir &dir, int depth)
{
    write_file(dir.file("d0.vmdk"), make_descriptor({.cid = 0x100}));
    for (int i = 1; i <= depth; i++) {
        const std::string n = std::to_string(i), parent = std::to_string(i - 1);
        char pcid[16];
        snprintf(pcid, sizeof pcid, "%x", 0x100 + i - 1);
        write_file(dir.file("d" + n + ".vmdk"),
                   make_descriptor({.create_type = "vmfsSparse",
                                    .cid = 0x100 + static_cast<uint32_t>(i),
                                    .parent_cid = pcid,
                                    .parent_hint = "d" + parent + ".vmdk",
                                    .extents = {"RW 2048 VMFSSPARSE \"d" + n + "-delta.vmdk\""}}));
    }
}

// Opens `path` and builds its chain; the error is null on success.
errdesc_t *open_chain(const std::string &path, vmdkdesc_t *d)
{
    if (errdesc_t *err = vmdk_open(path.c_str(), d))
        return err;
    return vmdk_get_ancestors(d, 0, &d->vmdk_ancestor_array);
}

int chain_length(const vmdkdesc_t *d)
{
    int n = 0;
    while (d->vmdk_ancestor_array[n])
        n++;
    return n;
}

} // namespace

TEST(VmdkOpen, OpenFillsTheRecordAndAFailedOpenLeavesItCleared)
{
    temp_dir dir;
    write_file(dir.file("vm/disk.vmdk"), make_descriptor({}));
    write_file(dir.file("bad.vmdk"), "version=1\nRW 1 FLAT \"a\"\nCID=1");
    std::string path = dir.file("vm/disk.vmdk");
    desc_ptr d = new_desc();
    ASSERT_EQ(vmdk_open(path.c_str(), d.get()), nullptr);
    EXPECT_EQ(d->magic, VMDK_MAGIC);
    EXPECT_EQ(d->filename, path);
    EXPECT_STREQ(d->dirname, dir.file("vm").c_str());
    EXPECT_EQ(vmdk_close(d.get()), nullptr);
    EXPECT_EQ(d->magic, 0u);
    EXPECT_TRUE(d->filename.empty());

    // Over an open record, with the bad file's first attempt half stored.
    ASSERT_EQ(vmdk_open(path.c_str(), d.get()), nullptr);
    expect_error(vmdk_open(dir.file("bad.vmdk").c_str(), d.get()), EAGAIN,
                 "cannot parse the input file");
    EXPECT_EQ(d->magic, 0u);
    EXPECT_EQ(d->extentdesccount, 0u);
    EXPECT_EQ(d->version, 0u);
    EXPECT_TRUE(d->filename.empty());
    expect_error(vmdk_open(dir.file("missing.vmdk").c_str(), d.get()), ENOENT, "missing.vmdk");

    // A relative path has "." as its directory.
    char *old = getcwd(nullptr, 0);
    ASSERT_EQ(chdir(dir.file("vm").c_str()), 0);
    errdesc_t *err = vmdk_open("disk.vmdk", d.get());
    EXPECT_EQ(chdir(old), 0);
    free(old);
    ASSERT_EQ(err, nullptr) << error_text(err);
    EXPECT_STREQ(d->dirname, ".");
}

TEST(VmdkOpen, AMissingExtentFileClosesTheOthersAndIsLogged)
{
    temp_dir dir;
    for (const char *n : {"e1-flat.vmdk", "e2-flat.vmdk", "e4-flat.vmdk"})
        write_file(dir.file(n), std::string(512, '\0'));
    write_file(
        dir.file("four.vmdk"),
        make_descriptor({.extents = {"RW 1 FLAT \"e1-flat.vmdk\"", "RW 1 FLAT \"e2-flat.vmdk\"",
                                     "RW 1 FLAT \"e3-flat.vmdk\"", "RW 1 FLAT \"e4-flat.vmdk\""}}));
    desc_ptr d = new_desc();
    ASSERT_EQ(vmdk_open(dir.file("four.vmdk").c_str(), d.get()), nullptr);
    auto open_count = [&d] {
        int n = 0;
        for (uint32_t i = 0; i < 4; i++)
            n += d->extentdesc[i]->fd >= 0;
        return n;
    };
    testing::internal::CaptureStdout();
    errdesc_t *err = vmdk_open_extentfiles(d.get());
    std::string logged = testing::internal::GetCapturedStdout();
    expect_error(err, ENOENT, dir.file("e3-flat.vmdk"));
    EXPECT_NE(logged.find("ERROR"), std::string::npos) << logged;
    EXPECT_EQ(open_count(), 0);

    write_file(dir.file("e3-flat.vmdk"), std::string(512, '\0'));
    ASSERT_EQ(vmdk_open_extentfiles(d.get()), nullptr);
    EXPECT_EQ(open_count(), 4);
    EXPECT_EQ(vmdk_close_extentfiles(d.get()), nullptr);
    EXPECT_EQ(open_count(), 0);
}

TEST(VmdkChain, ChainRunsFromTheDiskToItsBaseAndEveryMemberOpensItsExtents)
{
    temp_dir dir;
    write_chain(dir, 2);
    write_file(dir.file("disk-flat.vmdk"), std::string(512, '\0'));
    for (const char *delta : {"d1-delta.vmdk", "d2-delta.vmdk"})
        write_file(dir.file(delta), make_cowd_extent({}));

    desc_ptr base = new_desc();
    ASSERT_EQ(open_chain(dir.file("d0.vmdk"), base.get()), nullptr);
    ASSERT_EQ(chain_length(base.get()), 1);
    EXPECT_EQ(base->vmdk_ancestor_array[0], base.get());
    EXPECT_EQ(vmdk_free_ancestors(base.get()), nullptr);
    EXPECT_EQ(base->magic, VMDK_MAGIC); // entry 0 stays with its owner

    desc_ptr d = new_desc();
    errdesc_t *err = open_chain(dir.file("d2.vmdk"), d.get());
    ASSERT_EQ(err, nullptr) << error_text(err);
    ASSERT_EQ(chain_length(d.get()), 3);
    vmdkdesc_t **chain = d->vmdk_ancestor_array.get();
    EXPECT_EQ(chain[0], d.get());
    EXPECT_EQ(chain[1]->filename, dir.file("d1.vmdk"));
    EXPECT_EQ(chain[1]->magic, VMDK_MAGIC);
    EXPECT_EQ(chain[2]->pcid, VMDK_NO_PARENT_CID);
    // Parents have their extents described but not opened; their users
    // open and close them.
    EXPECT_EQ(chain[1]->extentdesc[0]->fd, -1);
    for (int i = 0; i < 3; i++)
        ASSERT_EQ(vmdk_open_extentfiles(chain[i]), nullptr) << i;
    EXPECT_EQ(chain[1]->extentdesc[0]->graindir.gd_entry_count, 1024u);
    EXPECT_EQ(chain[2]->gtbuf, nullptr); // flat base
    for (int i = 0; i < 3; i++)
        vmdk_close_extentfiles(chain[i]);
    EXPECT_EQ(vmdk_close(d.get()), nullptr); // releases the chain too
    EXPECT_EQ(d->vmdk_ancestor_array, nullptr);
}

TEST(VmdkChain, ParentHintsAndBrokenChains)
{
    temp_dir dir;
    write_chain(dir, 3);
    unlink(dir.file("d1.vmdk").c_str());
    write_file(dir.file("base/b.vmdk"), make_descriptor({.cid = 1}));
    write_file(dir.file("snap/rel.vmdk"),
               make_descriptor({.cid = 2, .parent_cid = "1", .parent_hint = "../base/b.vmdk"}));
    write_file(dir.file("abs.vmdk"),
               make_descriptor({.cid = 3, .parent_cid = "1", .parent_hint = dir.file("base/b.vmdk")}));
    write_file(dir.file("nopcid.vmdk"), make_descriptor({.parent_cid = "", .parent_hint = "x.vmdk"}));
    write_file(dir.file("nohint.vmdk"), make_descriptor({.parent_cid = "5"}));
    write_file(dir.file("child.vmdk"), make_descriptor({.parent_cid = "1", .parent_hint = "nopcid.vmdk"}));
    const struct {
        const char *disk;
        int number;         // 0: the chain opens, `text` names the parent
        std::string text;
    } cases[] = {
        {"snap/rel.vmdk", 0, dir.file("snap/../base/b.vmdk")},
        {"abs.vmdk", 0, dir.file("base/b.vmdk")},
        {"d3.vmdk", ENOENT, dir.file("d1.vmdk")},
        {"nopcid.vmdk", EBADFD, "VMDK descriptor for " + dir.file("nopcid.vmdk") + " (0) is corrupted"},
        {"nohint.vmdk", EBADFD, "VMDK descriptor for " + dir.file("nohint.vmdk") + " (0) is corrupted"},
        // Deeper down, the depth of the corrupted one is named.
        {"child.vmdk", EBADFD, "VMDK descriptor for " + dir.file("nopcid.vmdk") + " (1) is corrupted"},
    };
    for (const auto &c : cases) {
        desc_ptr d = new_desc();
        errdesc_t *err = open_chain(dir.file(c.disk), d.get());
        if (c.number == 0) {
            ASSERT_EQ(err, nullptr) << c.disk << ": " << error_text(err);
            ASSERT_EQ(chain_length(d.get()), 2);
            EXPECT_EQ(d->vmdk_ancestor_array[1]->filename, c.text);
            continue;
        }
        expect_error(err, c.number, c.text);
        EXPECT_EQ(d->vmdk_ancestor_array, nullptr) << c.disk;
    }
    // A record that was never opened is refused.
    desc_ptr closed = new_desc();
    EXPECT_NE(vmdk_get_ancestors(closed.get(), 0, &closed->vmdk_ancestor_array), nullptr);
}

TEST(VmdkChain, DepthLimitOf128Descriptors)
{
    temp_dir dir;
    write_chain(dir, 128); // 129 descriptors
    desc_ptr ok = new_desc();
    errdesc_t *err = open_chain(dir.file("d127.vmdk"), ok.get());
    ASSERT_EQ(err, nullptr) << error_text(err);
    EXPECT_EQ(chain_length(ok.get()), 128);
    EXPECT_EQ(ok->vmdk_ancestor_array[127]->cid, 0x100u);

    desc_ptr d = new_desc();
    expect_error(open_chain(dir.file("d128.vmdk"), d.get()), EAGAIN,
                 "Length of VMDK ancestors chain for " + dir.file("d0.vmdk") +
                     " has reached the limit (128)");
    EXPECT_EQ(d->vmdk_ancestor_array, nullptr);
}
