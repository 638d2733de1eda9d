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

struct type_case {
    const char *name;
    recovery_file_type_t type;
};

TEST(RecoveryClassify, SuffixTable)
{
    const type_case cases[] = {
        {"disk.vmdk", RECOVERY_FILE_TYPE_VMDK_ASCII},
        {"disk-flat.vmdk", RECOVERY_FILE_TYPE_VMDK_FLAT},
        {"disk-rdm.vmdk", RECOVERY_FILE_TYPE_VMDK_FLAT},
        {"disk-rdmp.vmdk", RECOVERY_FILE_TYPE_VMDK_FLAT},
        {"disk-tolcbt.vmdk", RECOVERY_FILE_TYPE_VMDK_TOLCBT},
        {"vm.vmx", RECOVERY_FILE_TYPE_VMX},
        {"vm.vmtx", RECOVERY_FILE_TYPE_VMTX},
        {"disk.volume", RECOVERY_FILE_TYPE_VMDK_VOLUME},
        {"vm.cfg", RECOVERY_FILE_TYPE_CFG},
        {"disk.vmdk.bak", RECOVERY_FILE_TYPE_UNKNOWN},
        {"a.vmdk/b.vmx", RECOVERY_FILE_TYPE_UNKNOWN}, // ".vmdk" decides and is not at the end
        {"vm.vmx/disk.vmdk", RECOVERY_FILE_TYPE_VMDK_ASCII},
        {"disk.volume/x", RECOVERY_FILE_TYPE_UNKNOWN},
        {"/vm1/disk-flat.vmdk", RECOVERY_FILE_TYPE_VMDK_FLAT},
        {"disk-flat.vmdk.vmx", RECOVERY_FILE_TYPE_UNKNOWN}, // "-flat.vmdk" followed by text
        {"notes.txt", RECOVERY_FILE_TYPE_UNKNOWN},
        {"", RECOVERY_FILE_TYPE_UNKNOWN},
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
    const char *s = scratch_.c_str();
    EXPECT_TRUE(recovery_is_vmdk_volume_file("/vm1/disk.volume", s)); // no descriptor needed
    EXPECT_TRUE(recovery_is_vmdk_volume_file("/vm1/disk.volume/a/b", s));
    EXPECT_FALSE(recovery_is_vmdk_volume_file("/vm1/disk.volumes", s));
    EXPECT_FALSE(recovery_is_vmdk_volume_file("/vm1/disk.vmdk", s));
    // Resolved scratch paths are never view paths.
    EXPECT_FALSE(recovery_is_vmdk_volume_file((scratch_ + "/vm1/disk.volume").c_str(), s));

    // A real entry of that name makes it ordinary, file or directory.
    tree_.mkdir("scratch/vm1/disk.volume");
    EXPECT_FALSE(recovery_is_vmdk_volume_file("/vm1/disk.volume", s));
    EXPECT_FALSE(recovery_is_vmdk_volume_file("/vm1/disk.volume/a/b", s));
    write("vm2/other.volume", "x");
    EXPECT_FALSE(recovery_is_vmdk_volume_file("/vm2/other.volume", s));
    EXPECT_TRUE(recovery_is_vmdk_volume_file("/vm2/else.volume", s));
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
        {false, "/vm1/raw-rdm.vmdk", sizeof(buf), "/vm1/raw.vmdk", 0, nullptr},
        {false, "/vm1/pass-rdmp.vmdk", sizeof(buf), "/vm1/pass.vmdk", 0, nullptr},
        {false, "/a-flat.vmdk", 8, "/a.vmdk", 0, nullptr},
        {false, "/a-flat.vmdk", 7, nullptr, EINVAL, "Insufficient buffer size"},
        {false, "/vm1/disk.vmdk", sizeof(buf), nullptr, EINVAL, "Invalid path name /vm1/disk.vmdk"},
        // The FUSE path keeps its slash after the scratch path.
        {true, "/vm1/disk-flat.vmdk", sizeof(buf), "/s//vm1/disk-tolcbt.vmdk", 0, nullptr},
        {true, "/vm1/disk-rdm.vmdk", sizeof(buf), "/s//vm1/disk-tolcbt.vmdk", 0, nullptr},
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
        if (c.out) {
            ASSERT_EQ(err, nullptr) << err->string;
            EXPECT_STREQ(buf, c.out);
            continue;
        }
        ASSERT_NE(err, nullptr);
        EXPECT_EQ(err->number, c.number);
        if (c.text) {
            EXPECT_STREQ(err->string, c.text);
        }
    }
}

TEST_F(recovery_test, TranslateJoinsAndBoundsTheLength)
{
    const struct {
        const char *in, *out;
    } cases[] = {
        {"/", "/."},
        {"///", "/."},
        {"/vm1/disk.vmdk", "/vm1/disk.vmdk"},
        {"//vm1//x", "/vm1//x"},
    };
    path_buf_t buf;
    for (const auto &c : cases) {
        ASSERT_NE(translate_path(c.in, &buf), nullptr) << c.in;
        EXPECT_EQ(std::string(buf.path_buf), scratch_ + c.out) << c.in;
    }

    // scratch + "/" + rest: 4095 bytes fit, 4096 do not.
    size_t room = TOL_PATH_MAX - 1 - scratch_.size() - 1;
    std::string fits = std::string("/").append(room, 'a');
    ASSERT_NE(translate_path(fits.c_str(), &buf), nullptr);
    EXPECT_EQ(strlen(buf.path_buf), size_t(TOL_PATH_MAX - 1));
    std::string too_long = fits + "a";
    EXPECT_EQ(translate_path(too_long.c_str(), &buf), nullptr);
}

TEST_F(recovery_test, MovaraRedirect)
{
    write("vm1/movara.json", R"({"flat_directory": "store"})");
    write("vm1/store/disk-flat.vmdk", "data");
    path_buf_t buf;
    ASSERT_NE(translate_path("/vm1/disk-flat.vmdk", &buf), nullptr);
    EXPECT_EQ(std::string(buf.path_buf), scratch_ + "/vm1/store/disk-flat.vmdk");

    char out[TOL_PATH_MAX];
    EXPECT_TRUE(recovery_follow_movara_link("vm1/disk-rdm.vmdk", out, scratch_.c_str()));
    EXPECT_STREQ(out, "vm1/store/disk-rdm.vmdk");

    // An existing flat file is never redirected.
    write("vm1/disk-flat.vmdk", "here");
    EXPECT_FALSE(recovery_follow_movara_link("vm1/disk-flat.vmdk", out, scratch_.c_str()));
    EXPECT_STREQ(out, "NO PATH");
    ASSERT_NE(translate_path("/vm1/disk-flat.vmdk", &buf), nullptr);
    EXPECT_EQ(std::string(buf.path_buf), scratch_ + "/vm1/disk-flat.vmdk");

    // Only flat files: a missing descriptor is not relocated.
    EXPECT_FALSE(recovery_follow_movara_link("vm1/disk.vmdk", out, scratch_.c_str()));
    EXPECT_STREQ(out, "NO PATH");

    // A file at the top of the scratch tree.
    write("movara.json", R"({"flat_directory": "store"})");
    EXPECT_TRUE(recovery_follow_movara_link("disk-flat.vmdk", out, scratch_.c_str()));
    EXPECT_STREQ(out, "store/disk-flat.vmdk");
}

TEST(RecoveryNormalize, Cases)
{
    struct {
        const char *in, *out;
    } cases[] = {
        {"/a//b/./c/../d", "/a/b/d"},
        {"/a/b/c", "/a/b/c"},
        {"//a", "/a"},
        {"/a///b", "/a/b"},
        {"/./a", "/a"},
        {"/a/././b", "/a/b"},
        {"/../a", "/a"},
        {"/a/../../b", "/b"},
        {"/a/b/../", "/a/"},
        {"/a/b/..", "/a/b/.."}, // no following "/": copied unchanged
        {"/a/b/.", "/a/b/."},
        {"a/../b", "b"},
        {"", ""},
        {"/", "/"},
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

TEST_F(relative_link_test, RewritesOnlyTargetsInsideTheVolumePath)
{
    const std::string v = "/var/tolvane/recover/vm1/disk.volume";
    const struct {
        std::string cwd, target, out;
    } cases[] = {
        // The common cases run through the mount in test_browse_links_xattrs.sh.
        {v + "/vol0/a/b/link", v + "/vol0/x", "../../x"},
        {v + "//vol0/etc/link", "/var/tolvane/recover//vm1/./disk.volume/vol0/etc/../usr/lib",
         "../usr/lib"},
        // Partly equal component names count as different.
        {v + "/vol0/etc/link", v + "/vol0/etx/foo", "../etx/foo"},
        {v + "/vol0/etc/link", "/var/tolvane/other/x", "/var/tolvane/other/x"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(convert(c.cwd, c.target), c.out) << c.cwd << " -> " << c.target;

    // len 0: nothing is rewritten.
    std::string buf = v + "/x";
    convert_to_relative_path((v + "/y").c_str(), buf.data(), 0);
    EXPECT_EQ(buf.c_str(), v + "/x");
}

TEST_F(relative_link_test, LengthLimit)
{
    const std::string v = "/var/tolvane/recover";
    // The result never passes len - 1 bytes plus the terminator.
    std::string cwd = v + "/vm1/disk.volume/vol0/a/b/c/d/link";
    std::string target = v + "/vm1/disk.volume/vol0/zzzzzzzz";
    std::string full = convert(cwd, target);
    EXPECT_EQ(full, "../../../../zzzzzzzz");
    // A buffer as long as the target: the comparison covers it all.
    EXPECT_EQ(convert(cwd, target, target.size() + 1), full);
    for (size_t len : {1, 5, 12, 30})
        EXPECT_LE(convert(cwd, target, len).size(), len - 1) << len;
}

} // namespace
