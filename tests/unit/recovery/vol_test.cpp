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

using vol_test = recovery_test;

TEST_F(vol_test, CreateEntry)
{
    write("vm1/disk.vmdk", "d");
    char name[256];
    struct stat st;
    ASSERT_EQ(recovery_vol_create_entry(name, &st, "/vm1", scratch_.c_str(), volumes_.c_str(),
                                        "disk.vmdk"),
              0);
    EXPECT_STREQ(name, "disk.volume");
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    struct stat made;
    ASSERT_EQ(stat((volumes_ + "//vm1/disk.volume").c_str(), &made), 0);
    EXPECT_EQ(made.st_mode & 07777, 0755u);
    EXPECT_EQ(made.st_ino, st.st_ino);
    // A second time finds the directory in place.
    EXPECT_EQ(recovery_vol_create_entry(name, &st, "/vm1", scratch_.c_str(), volumes_.c_str(),
                                        "disk.vmdk"),
              0);
}

TEST_F(vol_test, CreateEntryNameLimits)
{
    char name[256];
    struct stat st;
    std::string d250 = std::string(245, 'a') + ".vmdk";
    ASSERT_EQ(recovery_vol_create_entry(name, &st, "/vm1", scratch_.c_str(), volumes_.c_str(),
                                        d250.c_str()),
              0);
    EXPECT_EQ(strlen(name), 252u);
    std::string d252 = std::string(247, 'b') + ".vmdk";
    EXPECT_EQ(recovery_vol_create_entry(name, &st, "/vm1", scratch_.c_str(), volumes_.c_str(),
                                        d252.c_str()),
              0);
    EXPECT_EQ(strlen(name), 254u);
    std::string d253 = std::string(248, 'c') + ".vmdk"; // would give 255 bytes
    EXPECT_EQ(recovery_vol_create_entry(name, &st, "/vm1", scratch_.c_str(), volumes_.c_str(),
                                        d253.c_str()),
              -1);
}

TEST_F(vol_test, CreateEntryRefusals)
{
    char name[256];
    struct stat st;
    tree_.mkdir("scratch/vm1/disk.volume"); // a real entry of that name
    EXPECT_EQ(recovery_vol_create_entry(name, &st, "/vm1", scratch_.c_str(), volumes_.c_str(),
                                        "disk.vmdk"),
              -1);
    // The mount directory is a file.
    tree_.write("vol/vm2/other.volume", "not a directory");
    EXPECT_EQ(recovery_vol_create_entry(name, &st, "/vm2", scratch_.c_str(), volumes_.c_str(),
                                        "other.vmdk"),
              -1);
    // The volume path cannot be created (its parent is a file).
    std::string blocked = tree_.path("file/vol");
    tree_.write("file", "x");
    EXPECT_EQ(
        recovery_vol_create_entry(name, &st, "/vm3", scratch_.c_str(), blocked.c_str(), "x.vmdk"),
        -1);
}

TEST_F(vol_test, CreateMountPoint)
{
    write("vm1/disk.vmdk", "d");
    std::string dir = volumes_ + "//vm1/disk.volume";
    EXPECT_EQ(recovery_create_mount_point("/vm1/disk.volume", dir.c_str(), scratch_.c_str()),
              nullptr);
    struct stat st;
    EXPECT_EQ(stat(dir.c_str(), &st), 0);
    EXPECT_EQ(recovery_create_mount_point("/vm1/disk.volume", dir.c_str(), scratch_.c_str()),
              nullptr); // already there

    std::string other = volumes_ + "//vm1/none.volume";
    errdesc_t *err =
        recovery_create_mount_point("/vm1/none.volume", other.c_str(), scratch_.c_str());
    ASSERT_NE(err, nullptr);
    EXPECT_EQ(err->number, ENOENT);
    EXPECT_NE(stat(other.c_str(), &st), 0);
}

TEST_F(vol_test, AccessWithoutAutomount)
{
    char out[TOL_PATH_MAX];
    ASSERT_EQ(recovery_vol_access("/vm1/disk.volume/0/etc/hosts", mount_.c_str(), scratch_.c_str(),
                                  volumes_.c_str(), out, TOL_FALSE),
              nullptr);
    EXPECT_EQ(std::string(out), volumes_ + "/vm1/disk.volume//0/etc/hosts");
    ASSERT_EQ(recovery_vol_access("/vm1/disk.volume", mount_.c_str(), scratch_.c_str(),
                                  volumes_.c_str(), out, TOL_FALSE),
              nullptr);
    EXPECT_EQ(std::string(out), volumes_ + "/vm1/disk.volume/");
    EXPECT_EQ(list_count(recovery_open_list.list), 0); // no cookie, no reference
    EXPECT_EQ(recovery_vol_decrement_ref_cnt("/vm1/disk.volume"), nullptr);

    errdesc_t *err = recovery_vol_access("/vm1/disk.vmdk", mount_.c_str(), scratch_.c_str(),
                                         volumes_.c_str(), out, TOL_FALSE);
    ASSERT_NE(err, nullptr);
    EXPECT_EQ(err->number, EINVAL);
}

TEST_F(vol_test, AccessWithAutomountFailsClearly)
{
    get_reg_settings()->recover_automount_enabled = TOL_TRUE;
    char out[TOL_PATH_MAX];
    errdesc_t *err = recovery_vol_access("/vm1/disk.volume/x", mount_.c_str(), scratch_.c_str(),
                                         volumes_.c_str(), out, TOL_FALSE);
    ASSERT_NE(err, nullptr);
    EXPECT_EQ(err->number, ENOENT);
    // Nothing holds a reference, so giving one back is an error.
    err = recovery_vol_decrement_ref_cnt("/vm1/disk.volume/x");
    ASSERT_NE(err, nullptr);
    EXPECT_EQ(err->number, EIO);
}

TEST_F(vol_test, DecrementOfAViewCookie)
{
    get_reg_settings()->recover_automount_enabled = TOL_TRUE;
    recovery_cookie_t *cookie;
    {
        open_list_lock lock;
        recovery_contains_s lookup;
        ASSERT_EQ(recovery_get_cookie("/vm1/disk.volume", scratch_.c_str(),
                                      (volumes_ + "/vm1/disk.volume").c_str(), &lookup),
                  nullptr);
        cookie = lookup.cookie;
    }
    EXPECT_TRUE(cookie->is_view());
    cookie->is_mounted = TOL_TRUE;
    cookie->ref = 2;
    EXPECT_EQ(recovery_vol_decrement_ref_cnt("/vm1/disk.volume/a"), nullptr);
    EXPECT_EQ(cookie->ref, 1);
    EXPECT_EQ(recovery_vol_decrement_ref_cnt("/vm1/disk.volume"), nullptr);
    EXPECT_EQ(cookie->ref, 0);
    errdesc_t *err = recovery_vol_decrement_ref_cnt("/vm1/disk.volume");
    ASSERT_NE(err, nullptr);
    EXPECT_EQ(err->number, EIO);
    EXPECT_EQ(cookie->ref, 0);
    // An unmounted view drops to 0 at once.
    cookie->is_mounted = TOL_FALSE;
    cookie->ref = 5;
    EXPECT_EQ(recovery_vol_decrement_ref_cnt("/vm1/disk.volume"), nullptr);
    EXPECT_EQ(cookie->ref, 0);
}

} // namespace
