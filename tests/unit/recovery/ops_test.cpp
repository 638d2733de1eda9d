// The handlers, called directly (no mount): path hash, error answers,
// attributes, statfs, write refusal, listings, readlink, extended attributes
// and the debug counters.

#include "recovery/fuse_fh.hpp"
#include "recovery/recovery_ops.hpp"
#include "recovery/recovery_vol.hpp"
#include "recovery_fixture.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <vector>

namespace
{

using rfs_recovery_test::recovery_test;

TEST(RecoveryInoHash, KnownValues)
{
    EXPECT_EQ(fs_ino_hash(""), 5381u);
    EXPECT_EQ(fs_ino_hash("/"), (5381u * 33) ^ '/');
    EXPECT_EQ(fs_ino_hash("/vm1/disk.vmdk"), 4060970784u);
    // Bytes above 127 are signed chars widened with their sign.
    EXPECT_EQ(fs_ino_hash("\xe9"), (5381u * 33) ^ 0xFFFFFFE9u);
    EXPECT_EQ(fs_ino_hash("/caf\xe9.vmx"), 1584080266u);
}

TEST(RecoveryFsError, AnswersAnErrnoTheKernelKnows)
{
    const struct {
        errnum_t number;
        bool from_child;
        int answer;
    } cases[] = {
        {ENOENT, false, -ENOENT}, {EMFILE, false, -EMFILE}, {ERR_BASE, false, -EIO},
        {ERR_OBJ_NOT_FOUND, false, -EIO}, {ERR_MAX + 5, false, -EIO}, {ENOENT, true, -EIO},
    };
    for (const auto &c : cases) {
        errdesc_t *err = errdesc_set(c.number);
        err->origin = c.from_child ? ERRDESC_FROM_CHILD : ERRDESC_FROM_CALL;
        EXPECT_EQ(recovery_fs_error(err, RECOVERY_FS_UNLOGGED), c.answer) << c.number;
    }
    testing::internal::CaptureStdout();
    recovery_fs_error(errdesc_set_str(EACCES, "/p"), TOL_PRIO_ERROR);
    std::string log = testing::internal::GetCapturedStdout();
    EXPECT_NE(log.find(": ERROR [thread:"), std::string::npos) << log;
    EXPECT_EQ(log.find("ERROR", log.find("ERROR") + 1), std::string::npos) << "logged once";
}

class ops_test : public recovery_test
{
  protected:
    struct fuse_file_info open_file(const char *path, int flags, int *res)
    {
        struct fuse_file_info fi = {};
        fi.flags = flags;
        *res = recovery_fs_open(path, &fi);
        return fi;
    }
    std::string read_all(const char *path)
    {
        int res;
        struct fuse_file_info fi = open_file(path, O_RDONLY, &res);
        EXPECT_EQ(res, 0) << path;
        if (res != 0)
            return "";
        std::string out(65536, '\0');
        int n = recovery_fs_read(path, out.data(), out.size(), 0, &fi);
        EXPECT_GE(n, 0);
        out.resize(n < 0 ? 0 : n);
        EXPECT_EQ(recovery_fs_release(path, &fi), 0);
        return out;
    }
};

TEST_F(ops_test, WriteOpensAreRefusedBeforeThePathIsLooked)
{
    for (int flags : {O_WRONLY, O_RDWR, O_RDONLY | O_CREAT, O_RDONLY | O_EXCL, O_RDONLY | O_TRUNC,
                      O_RDONLY | O_APPEND}) {
        int res;
        open_file("/no/such/file", flags, &res);
        EXPECT_EQ(res, -EROFS) << flags;
        open_file("/vm1/disk.volume/x", flags, &res);
        EXPECT_EQ(res, -EROFS) << flags;
    }
    EXPECT_EQ(cookie_count(), 0u);
}

TEST_F(ops_test, GetattrFlatTimesAndTheRecordSavedAfterOpen)
{
    // A flat file shows the change-block file's times.
    write("vm1/disk-flat.vmdk", std::string(2048, 'f'));
    write("vm1/disk-tolcbt.vmdk", "cbt");
    struct timespec times[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, scratch("vm1/disk-tolcbt.vmdk").c_str(), times, 0), 0);
    struct stat st, cbt;
    ASSERT_EQ(stat(scratch("vm1/disk-tolcbt.vmdk").c_str(), &cbt), 0);
    ASSERT_EQ(recovery_fs_getattr("/vm1/disk-flat.vmdk", &st), 0);
    EXPECT_EQ(st.st_size, 2048);
    EXPECT_EQ(st.st_mtime, 1000000000);
    EXPECT_EQ(st.st_ctime, cbt.st_ctime);
    EXPECT_EQ(st.st_ino, fs_ino_hash("/vm1/disk-flat.vmdk"));

    EXPECT_EQ(recovery_fs_getattr("/vm1/nothing.vmx", &st), -ENOENT);
    std::string too_long = "/" + std::string(TOL_PATH_MAX, 'n');
    EXPECT_EQ(recovery_fs_getattr(too_long.c_str(), &st), -ENAMETOOLONG);

    // The first getattr after an open is kept while the cookie lives.
    write("vm1/vm1.vmx", "1234");
    int res;
    struct fuse_file_info fi = open_file("/vm1/vm1.vmx", O_RDONLY, &res);
    ASSERT_EQ(res, 0);
    ASSERT_EQ(recovery_fs_getattr("/vm1/vm1.vmx", &st), 0);
    write("vm1/vm1.vmx", "123456789");
    ASSERT_EQ(recovery_fs_getattr("/vm1/vm1.vmx", &st), 0);
    EXPECT_EQ(st.st_size, 4);
    EXPECT_EQ(recovery_fs_release("/vm1/vm1.vmx", &fi), 0);
    ASSERT_EQ(recovery_fs_getattr("/vm1/vm1.vmx", &st), 0);
    EXPECT_EQ(st.st_size, 4);
}

TEST_F(ops_test, GetattrOfVolumeDirectoryMakesItsMountDirectory)
{
    write("vm1/disk.vmdk", "descriptor");
    struct stat st;
    ASSERT_EQ(recovery_fs_getattr("/vm1/disk.volume", &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_ino, fs_ino_hash("/vm1/disk.volume"));
    struct stat made;
    ASSERT_EQ(stat((volumes_ + "/vm1/disk.volume").c_str(), &made), 0);
    EXPECT_EQ(made.st_mode & 07777, 0755u);

    EXPECT_EQ(recovery_fs_getattr("/vm1/other.volume", &st), -ENOENT); // no descriptor
    EXPECT_EQ(recovery_fs_getattr("/vm1/disk.volume/x", &st), -ENOENT);

    fs_options.hide_file_level_view = TOL_TRUE;
    EXPECT_EQ(recovery_fs_getattr("/vm1/disk.volume", &st), -ENOENT);
}

TEST_F(ops_test, StatfsReportsNothingFree)
{
    write("vm1/vm1.vmx", "x");
    struct statvfs sv, real;
    ASSERT_EQ(recovery_fs_statfs("/vm1/vm1.vmx", &sv), 0);
    ASSERT_EQ(statvfs(scratch_.c_str(), &real), 0);
    EXPECT_EQ(sv.f_bfree + sv.f_bavail + sv.f_ffree + sv.f_favail, 0u);
    EXPECT_TRUE(sv.f_flag & ST_RDONLY);
    EXPECT_EQ(sv.f_blocks, real.f_blocks);
    EXPECT_EQ(recovery_fs_statfs("/vm1/missing", &sv), -ENOENT);
}

struct listing_t {
    std::vector<std::string> names;
    size_t room = 1000;
};

int collect(void *buf, const char *name, const struct stat *, off_t off)
{
    auto *l = static_cast<listing_t *>(buf);
    EXPECT_EQ(off, 0);
    if (l->names.size() >= l->room)
        return 1;
    l->names.push_back(name);
    return 0;
}

class listing_test : public ops_test
{
  protected:
    std::vector<std::string> list(const char *path, int *res = nullptr, size_t room = 1000)
    {
        struct fuse_file_info fi = {};
        int r = recovery_fs_opendir(path, &fi);
        if (r != 0) {
            if (res)
                *res = r;
            return {};
        }
        listing_t l;
        l.room = room;
        r = recovery_fs_readdir(path, &l, collect, 0, &fi);
        if (res)
            *res = r;
        EXPECT_EQ(recovery_fs_releasedir(path, &fi), 0);
        EXPECT_EQ(fi.fh, ~uint64_t{0});
        std::vector<std::string> out;
        for (auto &n : l.names)
            if (n != "." && n != "..")
                out.push_back(n);
        return out;
    }
    static std::vector<std::string> sorted(std::vector<std::string> v)
    {
        std::sort(v.begin(), v.end());
        return v;
    }
    void SetUp() override
    {
        ops_test::SetUp();
        write("vm1/disk.vmdk", "d");
        write("vm1/disk-flat.vmdk", "f");
        write("vm1/disk-tolcbt.vmdk", "c");
        write("vm1/vm1.vmx", "x");
        write("vm1/notes.txt", "n");
        tree_.mkdir("scratch/vm1/sub");
    }
};

TEST_F(listing_test, OptionsHideEntriesAndTheViewComesBeforeItsDescriptor)
{
    using v = std::vector<std::string>;
    auto names = list("/vm1");
    EXPECT_EQ(sorted(names), (v{"disk-flat.vmdk", "disk.vmdk", "disk.volume", "sub", "vm1.vmx"}));
    auto vol = std::find(names.begin(), names.end(), "disk.volume");
    ASSERT_NE(vol, names.end());
    ASSERT_NE(vol + 1, names.end());
    EXPECT_EQ(*(vol + 1), "disk.vmdk");

    fs_options.hide_image_files = TOL_TRUE;
    EXPECT_EQ(sorted(list("/vm1")), (v{"disk.volume", "sub"}));
    fs_options.hide_image_files = TOL_FALSE;
    fs_options.hide_file_level_view = TOL_TRUE;
    EXPECT_EQ(sorted(list("/vm1")), (v{"disk-flat.vmdk", "disk.vmdk", "sub", "vm1.vmx"}));
    fs_options.hide_file_level_view = TOL_FALSE;

    // A real directory of that name suppresses the generated entry.
    tree_.mkdir("scratch/vm1/disk.volume");
    names = list("/vm1");
    EXPECT_EQ(std::count(names.begin(), names.end(), "disk.volume"), 1);

    int res = 0;
    list("/vm1", &res, 2);
    EXPECT_EQ(res, -ENOMEM) << "a full filler buffer";
}

TEST_F(listing_test, ViewDirectoryListsItsMountDirectory)
{
    struct stat st;
    ASSERT_EQ(recovery_fs_getattr("/vm1/disk.volume", &st), 0);
    tree_.write("vol/vm1/disk.volume/0/etc/hosts", "h");
    tree_.write("vol/vm1/disk.volume/0/anything", "a");
    using v = std::vector<std::string>;
    EXPECT_EQ(sorted(list("/vm1/disk.volume")), (v{"0"}));
    EXPECT_EQ(sorted(list("/vm1/disk.volume/0")), (v{"anything", "etc"}));
    int res = 0;
    list("/vm1/disk.volume/none", &res);
    EXPECT_EQ(res, -ENOENT);
}

TEST_F(ops_test, ReadlinkRewritesAndCuts)
{
    tree_.mkdir("vol/vm1/disk.volume/vol0/etc");
    tree_.symlink(volumes_ + "/vm1/disk.volume/vol0/usr/lib", "vol/vm1/disk.volume/vol0/etc/link");
    char buf[256];
    ASSERT_EQ(recovery_fs_readlink("/vm1/disk.volume/vol0/etc/link", buf, sizeof(buf)), 0);
    EXPECT_STREQ(buf, "../usr/lib");

    // A target exactly as long as the buffer comes back cut by one byte.
    tree_.symlink("abcdefgh", "scratch/short");
    char small[8];
    ASSERT_EQ(recovery_fs_readlink("/short", small, sizeof(small)), 0);
    EXPECT_STREQ(small, "abcdefg");
    EXPECT_EQ(recovery_fs_readlink("/missing", buf, sizeof(buf)), -ENOENT);
    write("plain.vmx", "x");
    EXPECT_EQ(recovery_fs_readlink("/plain.vmx", buf, sizeof(buf)), -EINVAL);
}

TEST_F(ops_test, ExtendedAttributes)
{
    write("vm1/disk.vmdk", "d");
    if (setxattr(scratch("vm1/disk.vmdk").c_str(), "user.note", "v1", 2, 0) != 0)
        GTEST_SKIP() << "no user xattrs on " << scratch_;
    char value[64];
    EXPECT_EQ(recovery_fs_getxattr("/vm1/disk.vmdk", "user.note", value, sizeof(value)), 2);
    EXPECT_EQ(std::string(value, 2), "v1");
    EXPECT_EQ(recovery_fs_getxattr("/vm1/disk.vmdk", "user.note", nullptr, 0), 2);
    EXPECT_EQ(recovery_fs_getxattr("/vm1/disk.vmdk", "user.none", value, sizeof(value)), -ENODATA);
    EXPECT_EQ(recovery_fs_getxattr("/vm1/disk.vmdk", "user.note", value, 1), -ERANGE);
    char names[256];
    int len = recovery_fs_listxattr("/vm1/disk.vmdk", names, sizeof(names));
    ASSERT_GT(len, 0);
    EXPECT_NE(std::string(names, len).find("user.note"), std::string::npos);

    // The .volume directory answers from its (new) mount directory.
    EXPECT_GE(recovery_fs_listxattr("/vm1/disk.volume", names, sizeof(names)), 0);
    EXPECT_TRUE(std::filesystem::is_directory(volumes_ + "/vm1/disk.volume"));
    EXPECT_EQ(recovery_fs_getxattr("/vm1/nodisk.volume", "user.note", value, sizeof(value)),
              -ENOENT);
}

TEST_F(ops_test, DebugCountersFollowConsecutivePaths)
{
    get_reg_settings()->debug_level = 3;
    write("a.vmx", "a");
    write("b.vmx", "b");
    struct stat st;
    recovery_fs_getattr("/a.vmx", &st);
    EXPECT_STREQ(prev_getattr_path, "/a.vmx");
    EXPECT_EQ(prev_getattr_path_count, 0);
    recovery_fs_getattr("/a.vmx", &st);
    recovery_fs_getattr("/a.vmx", &st);
    EXPECT_EQ(prev_getattr_path_count, 2);
    recovery_fs_getattr("/b.vmx", &st);
    EXPECT_STREQ(prev_getattr_path, "/b.vmx");
    EXPECT_EQ(prev_getattr_path_count, 0);

    int res;
    struct fuse_file_info fi = open_file("/a.vmx", O_RDONLY, &res);
    ASSERT_EQ(res, 0);
    EXPECT_STREQ(prev_open_path, "/a.vmx");
    EXPECT_EQ(recovery_fs_release("/a.vmx", &fi), 0);
    EXPECT_STREQ(prev_close_path, "/a.vmx");

    // Off at debug level 2 and below.
    get_reg_settings()->debug_level = 2;
    recovery_fs_getattr("/a.vmx", &st);
    EXPECT_STREQ(prev_getattr_path, "/b.vmx");

    // A path longer than the buffer is cut to fit.
    get_reg_settings()->debug_level = 3;
    std::string huge = "/" + std::string(RECOVERY_DEBUG_PATH_SIZE + 10, 'z');
    recovery_fs_getattr(huge.c_str(), &st);
    EXPECT_EQ(strlen(prev_getattr_path), RECOVERY_DEBUG_PATH_SIZE - 1);
}

} // namespace
