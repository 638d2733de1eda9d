// Classification, view tests, path builders, translation with movara.json
// relocation, normalisation and relative link targets.

#include "recovery/recovery_path.hpp"
#include "recovery_fixture.hpp"

#include <cstring>
#include <gtest/gtest.h>
#include <string>

namespace
{

using rfs_recovery_test::recovery_test;

TEST(RecoveryClassify, SuffixTable)
{
    const struct {
        const char *name;
        recovery_file_type_t type;
    } cases[] = {
        {"disk.vmdk", RECOVERY_FILE_TYPE_VMDK_ASCII},
        {"disk-flat.vmdk", RECOVERY_FILE_TYPE_VMDK_FLAT},
        {"disk-rdm.vmdk", RECOVERY_FILE_TYPE_VMDK_FLAT},
        {"disk-tolcbt.vmdk", RECOVERY_FILE_TYPE_VMDK_TOLCBT},
        {"vm.vmx", RECOVERY_FILE_TYPE_VMX},
        {"disk.volume", RECOVERY_FILE_TYPE_VMDK_VOLUME},
        {"vm.cfg", RECOVERY_FILE_TYPE_CFG},
        {"a.vmdk/b.vmx", RECOVERY_FILE_TYPE_UNKNOWN}, // ".vmdk" decides and is not at the end
        {"vm.vmx/disk.vmdk", RECOVERY_FILE_TYPE_VMDK_ASCII},
        {"disk.volume/x", RECOVERY_FILE_TYPE_UNKNOWN},
        {"disk-flat.vmdk.vmx", RECOVERY_FILE_TYPE_UNKNOWN}, // "-flat.vmdk" followed by text
        {".vmdk", RECOVERY_FILE_TYPE_VMDK_ASCII},
        {"movara.json", RECOVERY_FILE_TYPE_UNKNOWN},
    };
    for (const auto &c : cases)
        EXPECT_EQ(recovery_infer_file_type(c.name), c.type) << c.name;
}

TEST(RecoveryClassify, VisibleMountableAndViewTop)
{
    const struct {
        const char *path;
        bool visible, vol_dir_top;
    } paths[] = {
        {"/vm1/disk.vmdk", true, false},      {"/vm1/disk-flat.vmdk", true, false},
        {"/vm1/vm.cfg", true, false},         {"/vm1/disk-tolcbt.vmdk", false, false},
        {"/vm1/notes.txt", false, false},     {"/vm1/disk.volume", true, true},
        {"/vm1/disk.volume///", false, true}, {"/vm1/disk.volume////", false, false},
        {"/vm1/disk.volume/x", false, false}, {"/vm1/disk.volumes", false, false},
    };
    for (const auto &c : paths) {
        EXPECT_EQ(bool(recovery_is_visible_file(c.path)), c.visible) << c.path;
        EXPECT_EQ(bool(recovery_is_vol_dir_top(c.path)), c.vol_dir_top) << c.path;
    }

    EXPECT_TRUE(recovery_is_mountable_vmdk_file("/vm1", "disk.vmdk"));
    EXPECT_FALSE(recovery_is_mountable_vmdk_file("/vm1", "disk-flat.vmdk"));
    EXPECT_FALSE(recovery_is_mountable_vmdk_file("/vm1/disk.volume/0", "disk.vmdk"));
    EXPECT_FALSE(recovery_is_mountable_vmdk_file("/a.volumeX", "disk.vmdk")); // ".volume" anywhere
}

TEST_F(recovery_test, ViewPathTest)
{
    // A real entry of the view's name makes it ordinary, file or directory.
    tree_.mkdir("scratch/vm1/real.volume");
    write("vm2/other.volume", "x");
    const struct {
        std::string path;
        bool view;
    } cases[] = {
        {"/vm1/disk.volume", true}, // no descriptor needed
        {"/vm1/disk.volume/a/b", true},
        {"/vm1/disk.volumes", false},
        {"/vm1/disk.vmdk", false},
        {scratch_ + "/vm1/disk.volume", false}, // resolved scratch paths never are
        {"/vm1/real.volume/a/b", false},
        {"/vm2/other.volume", false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(bool(recovery_is_vmdk_volume_file(c.path.c_str(), scratch_.c_str())), c.view)
            << c.path;
}

TEST(RecoveryPathBuilders, VolAsciiAndTolcbtPaths)
{
    char buf[TOL_PATH_MAX];
    ASSERT_EQ(get_vol_path(buf, "/vm1/disk.volume/0/etc/hosts"), nullptr);
    EXPECT_STREQ(buf, "/vm1/disk.volume");
    ASSERT_EQ(get_vol_path(buf, "/vm1/disk.volume"), nullptr);
    EXPECT_STREQ(buf, "/vm1/disk.volume");
    errdesc_t *err = get_vol_path(buf, "/vm1/disk.vmdk");
    ASSERT_NE(err, nullptr);
    EXPECT_EQ(err->number, EINVAL);
    EXPECT_STREQ(err->string, "No '.volume' suffix found");

    // Each builder with the buffer size that just fits, and one byte less.
    const std::string long_path = "/" + std::string(TOL_PATH_MAX, 'x') + "-flat.vmdk";
    const struct {
        bool tolcbt;
        std::string in;
        size_t size;
        const char *out; // null: refused
        int number;
        const char *text;
    } cases[] = {
        {false, "/vm1/disk-flat.vmdk", sizeof(buf), "/vm1/disk.vmdk", 0, nullptr},
        {false, "/vm1/pass-rdmp.vmdk", sizeof(buf), "/vm1/pass.vmdk", 0, nullptr},
        {false, "/a-flat.vmdk", 8, "/a.vmdk", 0, nullptr},
        {false, "/a-flat.vmdk", 7, nullptr, EINVAL, "Insufficient buffer size"},
        {false, "/vm1/disk.vmdk", sizeof(buf), nullptr, EINVAL, "Invalid path name /vm1/disk.vmdk"},
        // The FUSE path keeps its slash after the scratch path.
        {true, "/vm1/disk-flat.vmdk", sizeof(buf), "/s//vm1/disk-tolcbt.vmdk", 0, nullptr},
        {true, "/a-flat.vmdk", 18, "/s//a-tolcbt.vmdk", 0, nullptr},
        {true, "/a-flat.vmdk", 17, nullptr, EINVAL, "Insufficient buffer size"},
        {true, "/vm1/disk.vmdk", sizeof(buf), nullptr, EINVAL,
         "Invalid path name /s//vm1/disk.vmdk"},
        {true, long_path, sizeof(buf), nullptr, ENAMETOOLONG, nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.in.substr(0, 40) + " in " + std::to_string(c.size));
        err = c.tolcbt ? get_tolcbt_vmdk_path(c.in.c_str(), "/s", buf, c.size)
                       : get_ascii_vmdk_path(c.in.c_str(), buf, c.size);
        EXPECT_EQ(err ? err->number : 0, c.number);
        if (c.out || c.text) {
            EXPECT_STREQ(err ? err->string : buf, c.out ? c.out : c.text);
        }
    }
}

TEST_F(recovery_test, TranslateBoundsTheLengthAndMovaraRelocatesOnlyMissingFlatFiles)
{
    // scratch + "/" + rest: 4095 bytes fit, 4096 do not.
    path_buf_t buf;
    std::string fits = std::string("/").append(TOL_PATH_MAX - 1 - scratch_.size() - 1, 'a');
    ASSERT_NE(translate_path(fits.c_str(), &buf), nullptr);
    EXPECT_EQ(strlen(buf.path_buf), size_t(TOL_PATH_MAX - 1));
    EXPECT_EQ(translate_path((fits + "a").c_str(), &buf), nullptr);
    ASSERT_NE(translate_path("/", &buf), nullptr);
    EXPECT_EQ(std::string(buf.path_buf), scratch_ + "/.");

    // The common cases run through the mount in test_browse_listing.sh.
    write("vm1/movara.json", R"({"flat_directory": "store"})");
    write("vm1/disk-flat.vmdk", "here");
    char out[TOL_PATH_MAX];
    EXPECT_TRUE(recovery_follow_movara_link("vm1/disk-rdm.vmdk", out, scratch_.c_str()));
    EXPECT_STREQ(out, "vm1/store/disk-rdm.vmdk");
    for (const char *present_or_no_flat : {"vm1/disk-flat.vmdk", "vm1/disk.vmdk"}) {
        EXPECT_FALSE(recovery_follow_movara_link(present_or_no_flat, out, scratch_.c_str()));
        EXPECT_STREQ(out, "NO PATH");
    }
    write("movara.json", R"({"flat_directory": "store"})"); // at the top of the tree
    EXPECT_TRUE(recovery_follow_movara_link("disk-flat.vmdk", out, scratch_.c_str()));
    EXPECT_STREQ(out, "store/disk-flat.vmdk");
}

TEST(RecoveryNormalize, Cases)
{
    struct {
        const char *in, *out;
    } cases[] = {
        {"/a//b/./c/../d", "/a/b/d"},
        {"/a///b", "/a/b"},
        {"/a/././b", "/a/b"},
        {"/../a", "/a"},
        {"/a/../../b", "/b"},
        {"/a/b/../", "/a/"},
        {"/a/b/..", "/a/b/.."}, // no following "/": copied unchanged
        {"a/../b", "b"},
        {"", ""},
    };
    for (const auto &c : cases) {
        char *n = normalize_path(c.in);
        ASSERT_NE(n, nullptr);
        EXPECT_STREQ(n, c.out) << c.in;
        free(n);
    }
}

class relative_link_test : public recovery_test
{
  protected:
    std::string convert(const std::string &cwd, const std::string &target, size_t len = 4096)
    {
        std::string buf(std::max(len, target.size() + 1), '\0');
        memcpy(buf.data(), target.c_str(), target.size() + 1);
        convert_to_relative_path(cwd.c_str(), buf.data(), len);
        return buf.c_str();
    }
    void SetUp() override
    {
        recovery_test::SetUp();
        fs_options.recovery_volumes_mount_point = fixed_volume_;
    }
    char fixed_volume_[32] = "/var/tolvane/recover";
};

TEST_F(relative_link_test, RewritesOnlyTargetsInsideTheVolumePathWithinTheLength)
{
    const std::string v = "/var/tolvane/recover/vm1/disk.volume";
    const struct {
        std::string cwd, target, out;
    } cases[] = {
        // The common cases run through the mount in test_browse_links_xattrs.sh.
        {v + "//vol0/etc/link", "/var/tolvane/recover//vm1/./disk.volume/vol0/etc/../usr/lib",
         "../usr/lib"},
        // Partly equal component names count as different.
        {v + "/vol0/etc/link", v + "/vol0/etx/foo", "../etx/foo"},
        {v + "/vol0/etc/link", "/var/tolvane/other/x", "/var/tolvane/other/x"},
        {v + "/vol0/a/b/c/d/link", v + "/vol0/zzzzzzzz", "../../../../zzzzzzzz"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(convert(c.cwd, c.target), c.out) << c.cwd << " -> " << c.target;
        // A buffer as long as the target: the comparison covers it all.
        EXPECT_EQ(convert(c.cwd, c.target, c.target.size() + 1), c.out);
    }
    // The result never passes len - 1 bytes plus the terminator; len 0
    // rewrites nothing.
    for (size_t len : {1, 5, 12, 30})
        EXPECT_LE(convert(cases[3].cwd, cases[3].target, len).size(), len - 1) << len;
    std::string buf = v + "/x";
    convert_to_relative_path((v + "/y").c_str(), buf.data(), 0);
    EXPECT_EQ(buf.c_str(), v + "/x");
}

} // namespace
