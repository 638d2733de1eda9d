// Opening disks, extent files and ancestor chains.

#include "vmdk_fixtures.hpp"

#include "vmdk/vmdk_open.hpp"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

using namespace vmdk_test;

namespace {

// Writes a chain of `depth` snapshot descriptors over a base disk into `dir`:
// "d0.vmdk" is the base, "dN.vmdk" has "d(N-1).vmdk" as parent.
void write_chain(const temp_dir &dir, int depth)
{
    write_file(dir.file("d0.vmdk"), make_descriptor({.cid = 0x100}));
    for (int i = 1; i <= depth; i++) {
        desc_layout s;
        s.create_type = "vmfsSparse";
        s.cid = 0x100 + static_cast<uint32_t>(i);
        char pcid[16];
        snprintf(pcid, sizeof pcid, "%x", 0x100 + i - 1);
        s.parent_cid = pcid;
        s.parent_hint = "d" + std::to_string(i - 1) + ".vmdk";
        s.extents = {"RW 2048 VMFSSPARSE \"d" + std::to_string(i) + "-delta.vmdk\""};
        write_file(dir.file("d" + std::to_string(i) + ".vmdk"), make_descriptor(s));
    }
}

int chain_length(const vmdkdesc_t *d)
{
    int n = 0;
    while (d->vmdk_ancestor_array[n])
        n++;
    return n;
}

} // namespace

TEST(VmdkOpen, OpenSetsFilenameDirnameAndMagic)
{
    temp_dir dir;
    write_file(dir.file("vm/disk.vmdk"), make_descriptor({}));
    desc_ptr d = new_desc();
    std::string path = dir.file("vm/disk.vmdk");
    ASSERT_EQ(vmdk_open(path.c_str(), d.get()), nullptr);
    EXPECT_EQ(d->magic, VMDK_MAGIC);
    EXPECT_EQ(d->filename, path);
    EXPECT_STREQ(d->dirname, dir.file("vm").c_str());
    EXPECT_EQ(d->datastore_direct, TOL_TRUE); // not under /vmfs/volumes
    EXPECT_EQ(d->cid, 0x1234abcdu);
    EXPECT_EQ(vmdk_close(d.get()), nullptr);
    EXPECT_EQ(d->magic, 0u);
    EXPECT_TRUE(d->filename.empty());
    EXPECT_EQ(d->extentdesccount, 0u);
}

TEST(VmdkOpen, RelativeDescriptorPathHasDotDirectory)
{
    temp_dir dir;
    write_file(dir.file("rel.vmdk"), make_descriptor({}));
    char *old = getcwd(nullptr, 0);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    desc_ptr d = new_desc();
    errdesc_t *err = vmdk_open("rel.vmdk", d.get());
    EXPECT_EQ(chdir(old), 0);
    free(old);
    ASSERT_EQ(err, nullptr) << error_text(err);
    EXPECT_STREQ(d->dirname, ".");
}

TEST(VmdkOpen, FailureLeavesTheRecordCleared)
{
    temp_dir dir;
    write_file(dir.file("bad.vmdk"), "version=1\nRW 1 FLAT \"a\"\nCID=1");
    desc_ptr d = new_desc();
    errdesc_t *err = vmdk_open(dir.file("bad.vmdk").c_str(), d.get());
    ASSERT_NE(err, nullptr);
    EXPECT_EQ(err->number, EAGAIN);
    EXPECT_EQ(d->magic, 0u);
    EXPECT_EQ(d->extentdesccount, 0u);
    EXPECT_EQ(d->version, 0u);
    err = vmdk_open(dir.file("missing.vmdk").c_str(), d.get());
    ASSERT_NE(err, nullptr);
    EXPECT_EQ(err->number, ENOENT);
}

TEST(VmdkOpen, GetPath)
{
    EXPECT_EQ(vmdk_get_path("/abs/x.vmdk", "/dir"), "/abs/x.vmdk");
    EXPECT_EQ(vmdk_get_path("x.vmdk", "/dir"), "/dir/x.vmdk");
    EXPECT_EQ(vmdk_get_path("../p/x.vmdk", "."), "./../p/x.vmdk");
}

TEST(VmdkOpen, ExtentFilesOpenAndCloseAndAMissingOneClosesTheRest)
{
    temp_dir dir;
    for (const char *n : {"e1-flat.vmdk", "e2-flat.vmdk", "e4-flat.vmdk"})
        write_file(dir.file(n), std::string(512, '\0'));
    write_file(dir.file("four.vmdk"),
               make_descriptor({.extents = {"RW 1 FLAT \"e1-flat.vmdk\"", "RW 1 FLAT \"e2-flat.vmdk\"",
                                            "RW 1 FLAT \"e3-flat.vmdk\"", "RW 1 FLAT \"e4-flat.vmdk\""}}));
    desc_ptr d = new_desc();
    ASSERT_EQ(vmdk_open(dir.file("four.vmdk").c_str(), d.get()), nullptr);
    testing::internal::CaptureStdout(); // the failure is logged
    errdesc_t *err = vmdk_open_extentfiles(d.get());
    std::string logged = testing::internal::GetCapturedStdout();
    ASSERT_NE(err, nullptr);
    EXPECT_EQ(err->number, ENOENT);
    EXPECT_NE(std::string(err->string).find(dir.file("e3-flat.vmdk")), std::string::npos)
        << err->string;
    EXPECT_NE(logged.find("ERROR"), std::string::npos) << logged;
    for (uint32_t i = 0; i < 4; i++)
        EXPECT_EQ(d->extentdesc[i]->fd, -1) << i;

    write_file(dir.file("e3-flat.vmdk"), std::string(512, '\0'));
    ASSERT_EQ(vmdk_open_extentfiles(d.get()), nullptr);
    for (uint32_t i = 0; i < 4; i++)
        EXPECT_GE(d->extentdesc[i]->fd, 0) << i;
    EXPECT_EQ(vmdk_close_extentfiles(d.get()), nullptr);
    for (uint32_t i = 0; i < 4; i++)
        EXPECT_EQ(d->extentdesc[i]->fd, -1) << i;
}

TEST(VmdkChain, BaseDiskIsAChainOfOne)
{
    temp_dir dir;
    write_chain(dir, 0);
    desc_ptr d = new_desc();
    ASSERT_EQ(vmdk_open(dir.file("d0.vmdk").c_str(), d.get()), nullptr);
    ASSERT_EQ(vmdk_get_ancestors(d.get(), 0, &d->vmdk_ancestor_array), nullptr);
    EXPECT_EQ(d->vmdk_ancestor_array[0], d.get());
    EXPECT_EQ(d->vmdk_ancestor_array[1], nullptr);
    EXPECT_EQ(vmdk_free_ancestors(d.get()), nullptr);
    EXPECT_EQ(d->vmdk_ancestor_array, nullptr);
    EXPECT_EQ(d->magic, VMDK_MAGIC); // entry 0 stays with its owner
}

TEST(VmdkChain, TwoLevelSnapshot)
{
    temp_dir dir;
    write_chain(dir, 2);
    desc_ptr d = new_desc();
    ASSERT_EQ(vmdk_open(dir.file("d2.vmdk").c_str(), d.get()), nullptr);
    errdesc_t *err = vmdk_get_ancestors(d.get(), 0, &d->vmdk_ancestor_array);
    ASSERT_EQ(err, nullptr) << error_text(err);
    ASSERT_EQ(chain_length(d.get()), 3);
    EXPECT_EQ(d->vmdk_ancestor_array[0], d.get());
    EXPECT_EQ(d->vmdk_ancestor_array[1]->filename, dir.file("d1.vmdk"));
    EXPECT_EQ(d->vmdk_ancestor_array[1]->cid, 0x101u);
    EXPECT_EQ(d->vmdk_ancestor_array[1]->magic, VMDK_MAGIC);
    EXPECT_EQ(d->vmdk_ancestor_array[2]->cid, 0x100u);
    EXPECT_EQ(d->vmdk_ancestor_array[2]->pcid, VMDK_NO_PARENT_CID);
    // Parents have their extents described but not opened.
    EXPECT_EQ(d->vmdk_ancestor_array[1]->extentdesc[0]->fd, -1);
    EXPECT_EQ(vmdk_close(d.get()), nullptr); // releases the chain too
    EXPECT_EQ(d->vmdk_ancestor_array, nullptr);
}

TEST(VmdkChain, ParentHintsAbsoluteAndRelative)
{
    temp_dir dir;
    write_file(dir.file("base/b.vmdk"), make_descriptor({.cid = 1}));
    // Relative to the child's directory.
    write_file(dir.file("snap/rel.vmdk"),
               make_descriptor({.cid = 2, .parent_cid = "1", .parent_hint = "../base/b.vmdk"}));
    // Absolute: used as it stands.
    write_file(dir.file("other/abs.vmdk"),
               make_descriptor({.cid = 3, .parent_cid = "1", .parent_hint = dir.file("base/b.vmdk")}));
    for (const char *child : {"snap/rel.vmdk", "other/abs.vmdk"}) {
        desc_ptr d = new_desc();
        ASSERT_EQ(vmdk_open(dir.file(child).c_str(), d.get()), nullptr);
        errdesc_t *err = vmdk_get_ancestors(d.get(), 0, &d->vmdk_ancestor_array);
        ASSERT_EQ(err, nullptr) << child << ": " << error_text(err);
        ASSERT_EQ(chain_length(d.get()), 2);
        EXPECT_EQ(d->vmdk_ancestor_array[1]->cid, 1u);
    }
    desc_ptr d = new_desc();
    ASSERT_EQ(vmdk_open(dir.file("snap/rel.vmdk").c_str(), d.get()), nullptr);
    ASSERT_EQ(vmdk_get_ancestors(d.get(), 0, &d->vmdk_ancestor_array), nullptr);
    EXPECT_EQ(d->vmdk_ancestor_array[1]->filename, dir.file("snap/../base/b.vmdk"));
}

TEST(VmdkChain, MissingParentLeavesNoChain)
{
    temp_dir dir;
    write_chain(dir, 3);
    unlink(dir.file("d1.vmdk").c_str());
    desc_ptr d = new_desc();
    ASSERT_EQ(vmdk_open(dir.file("d3.vmdk").c_str(), d.get()), nullptr);
    errdesc_t *err = vmdk_get_ancestors(d.get(), 0, &d->vmdk_ancestor_array);
    ASSERT_NE(err, nullptr);
    EXPECT_EQ(err->number, ENOENT);
    EXPECT_NE(std::string(err->string).find("d1.vmdk"), std::string::npos) << err->string;
    EXPECT_EQ(d->vmdk_ancestor_array, nullptr);
}

TEST(VmdkChain, CorruptedDescriptors)
{
    temp_dir dir;
    // No parentCID line: pcid 0.
    write_file(dir.file("nopcid.vmdk"), make_descriptor({.parent_cid = "", .parent_hint = "x.vmdk"}));
    // A parent CID but no hint.
    write_file(dir.file("nohint.vmdk"), make_descriptor({.parent_cid = "5"}));
    for (const char *name : {"nopcid.vmdk", "nohint.vmdk"}) {
        desc_ptr d = new_desc();
        ASSERT_EQ(vmdk_open(dir.file(name).c_str(), d.get()), nullptr);
        errdesc_t *err = vmdk_get_ancestors(d.get(), 0, &d->vmdk_ancestor_array);
        ASSERT_NE(err, nullptr);
        EXPECT_EQ(err->number, EBADFD);
        EXPECT_EQ(std::string(err->string),
                  "VMDK descriptor for " + dir.file(name) + " (0) is corrupted");
        EXPECT_EQ(d->vmdk_ancestor_array, nullptr);
    }
    // Deeper down, the depth of the corrupted one is named.
    write_file(dir.file("child.vmdk"),
               make_descriptor({.parent_cid = "1", .parent_hint = "nopcid.vmdk"}));
    desc_ptr d = new_desc();
    ASSERT_EQ(vmdk_open(dir.file("child.vmdk").c_str(), d.get()), nullptr);
    errdesc_t *err = vmdk_get_ancestors(d.get(), 0, &d->vmdk_ancestor_array);
    ASSERT_NE(err, nullptr);
    EXPECT_NE(std::string(err->string).find("(1) is corrupted"), std::string::npos);

    // A record that was never opened is refused.
    desc_ptr closed = new_desc();
    EXPECT_NE(vmdk_get_ancestors(closed.get(), 0, &closed->vmdk_ancestor_array), nullptr);
}

TEST(VmdkChain, DepthLimitOf128Descriptors)
{
    temp_dir dir;
    write_chain(dir, 128); // 129 descriptors
    desc_ptr ok = new_desc();
    ASSERT_EQ(vmdk_open(dir.file("d127.vmdk").c_str(), ok.get()), nullptr);
    errdesc_t *err = vmdk_get_ancestors(ok.get(), 0, &ok->vmdk_ancestor_array);
    ASSERT_EQ(err, nullptr) << error_text(err);
    EXPECT_EQ(chain_length(ok.get()), 128);
    EXPECT_EQ(ok->vmdk_ancestor_array[127]->cid, 0x100u);

    desc_ptr d = new_desc();
    ASSERT_EQ(vmdk_open(dir.file("d128.vmdk").c_str(), d.get()), nullptr);
    err = vmdk_get_ancestors(d.get(), 0, &d->vmdk_ancestor_array);
    ASSERT_NE(err, nullptr);
    EXPECT_EQ(err->number, EAGAIN);
    EXPECT_EQ(std::string(err->string), "Length of VMDK ancestors chain for " + dir.file("d0.vmdk") +
                                            " has reached the limit (128)");
    EXPECT_EQ(d->vmdk_ancestor_array, nullptr);
}

TEST(VmdkChain, UsersOpenExtentFilesOfEveryMember)
{
    temp_dir dir;
    write_file(dir.file("base.vmdk"),
               make_descriptor({.cid = 1, .extents = {"RW 4194304 VMFS \"base-flat.vmdk\""}}));
    write_file(dir.file("base-flat.vmdk"), std::string(512, '\0'));
    write_file(dir.file("snap.vmdk"),
               make_descriptor({.cid = 2, .parent_cid = "1", .parent_hint = "base.vmdk",
                                .extents = {"RW 4194304 VMFSSPARSE \"snap-delta.vmdk\""}}));
    write_file(dir.file("snap-delta.vmdk"), make_cowd_extent({}));
    desc_ptr d = new_desc();
    ASSERT_EQ(vmdk_open(dir.file("snap.vmdk").c_str(), d.get()), nullptr);
    ASSERT_EQ(vmdk_get_ancestors(d.get(), 0, &d->vmdk_ancestor_array), nullptr);
    for (int i = 0; d->vmdk_ancestor_array[i]; i++)
        ASSERT_EQ(vmdk_open_extentfiles(d->vmdk_ancestor_array[i]), nullptr) << i;
    EXPECT_EQ(d->extentdesc[0]->graindir.gd_entry_count, 1024u);
    EXPECT_GE(d->vmdk_ancestor_array[1]->extentdesc[0]->fd, 0);
    EXPECT_EQ(d->vmdk_ancestor_array[1]->gtbuf, nullptr); // FLAT first extent
    for (int i = 0; d->vmdk_ancestor_array[i]; i++)
        vmdk_close_extentfiles(d->vmdk_ancestor_array[i]);
}
