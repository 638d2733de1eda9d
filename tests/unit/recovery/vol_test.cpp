// The `.volume` entries, their mount directories, and view access while
// automatic mounting is off (the default) and on.

#include "recovery/recovery_vol.hpp"
#include "recovery_fixture.hpp"

#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>

namespace
{

using rfs_recovery_test::recovery_test;

class vol_test : public recovery_test
{
  protected:
    errdesc_t *access(const char *path, char *out)
    {
        return recovery_vol_access(path, mount_.c_str(), scratch_.c_str(), volumes_.c_str(), out,
                                   TOL_FALSE);
    }
};

TEST_F(vol_test, CreateEntryNamesTheViewAndMakesItsDirectory)
{
    write("vm1/disk.vmdk", "d");
    char name[256];
    struct stat st;
    auto create = [&](const char *dir, const std::string &descriptor,
                      const std::string &volume_path) {
        return recovery_vol_create_entry(name, &st, dir, scratch_.c_str(), volume_path.c_str(),
                                         descriptor.c_str());
    };
    ASSERT_EQ(create("/vm1", "disk.vmdk", volumes_), 0);
    EXPECT_STREQ(name, "disk.volume");
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    struct stat made;
    ASSERT_EQ(stat((volumes_ + "//vm1/disk.volume").c_str(), &made), 0);
    EXPECT_EQ(made.st_mode & 07777, 0755u);
    EXPECT_EQ(made.st_ino, st.st_ino);
    EXPECT_EQ(create("/vm1", "disk.vmdk", volumes_), 0) << "a second time finds it in place";

    // A real entry of that name, a file in place of the mount directory, or
    // a volume path that cannot be made (its parent is a file).
    tree_.mkdir("scratch/vm1/disk.volume");
    EXPECT_EQ(create("/vm1", "disk.vmdk", volumes_), -1);
    tree_.write("vol/vm2/other.volume", "not a directory");
    EXPECT_EQ(create("/vm2", "other.vmdk", volumes_), -1);
    tree_.write("file", "x");
    EXPECT_EQ(create("/vm3", "x.vmdk", tree_.path("file/vol")), -1);
}

TEST_F(vol_test, AccessWithoutAutomountTakesNoReference)
{
    char out[TOL_PATH_MAX];
    ASSERT_EQ(access("/vm1/disk.volume/0/etc/hosts", out), nullptr);
    EXPECT_EQ(std::string(out), volumes_ + "/vm1/disk.volume//0/etc/hosts");
    EXPECT_EQ(cookie_count(), 0u);
    EXPECT_EQ(recovery_vol_decrement_ref_cnt("/vm1/disk.volume"), nullptr);
    errdesc_t *err = access("/vm1/disk.vmdk", out);
    EXPECT_EQ(err ? err->number : 0, EINVAL);
}

TEST_F(vol_test, ThreeFailedMountsThenOneNoticeThenSilence)
{
    reg_settings_update([](reg_settings_t &s) { s.recover_automount_enabled = TOL_TRUE; });
    const std::string mount_dir = volumes_ + "/vm1/disk.volume";
    const char *want[] = {
        "Could not mount file system view for: /vm1/disk.volume",
        "Could not mount file system view for: /vm1/disk.volume",
        "Could not mount file system view for: /vm1/disk.volume",
        "Mount retries exceeded for: /vm1/disk.volume",
        "No such file or directory", // unlogged from now on, until the cookie is evicted
    };
    for (const char *text : want) {
        char out[TOL_PATH_MAX];
        errdesc_t *err = access("/vm1/disk.volume/x", out); // no image to open
        ASSERT_NE(err, nullptr);
        EXPECT_EQ(err->number, ENOENT);
        EXPECT_STREQ(err->string, text);
        EXPECT_EQ(std::string(out), mount_dir);
    }
    EXPECT_EQ(cookie_count(), 1u);
    // No reference was taken; giving one back on an unmounted view is fine.
    EXPECT_EQ(recovery_vol_decrement_ref_cnt("/vm1/disk.volume/x"), nullptr);
}

TEST_F(vol_test, DecrementOfAViewCookie)
{
    reg_settings_update([](reg_settings_t &s) { s.recover_automount_enabled = TOL_TRUE; });
    recovery_cookie_t *cookie;
    {
        std::lock_guard<std::mutex> lock(recovery_open_list.lock);
        ASSERT_EQ(recovery_get_cookie("/vm1/disk.volume", scratch_.c_str(),
                                      (volumes_ + "/vm1/disk.volume").c_str(), &cookie),
                  nullptr);
    }
    EXPECT_TRUE(cookie->is_view());
    cookie->is_mounted = true;
    cookie->ref = 1;
    EXPECT_EQ(recovery_vol_decrement_ref_cnt("/vm1/disk.volume/a"), nullptr);
    EXPECT_EQ(cookie->ref, 0);
    // Nothing holds a reference, so giving one back is an error.
    errdesc_t *err = recovery_vol_decrement_ref_cnt("/vm1/disk.volume");
    EXPECT_EQ(err ? err->number : 0, EIO);
    EXPECT_EQ(cookie->ref, 0);
    // An unmounted view drops to 0 at once.
    cookie->is_mounted = false;
    cookie->ref = 5;
    EXPECT_EQ(recovery_vol_decrement_ref_cnt("/vm1/disk.volume"), nullptr);
    EXPECT_EQ(cookie->ref, 0);
}

} // namespace
