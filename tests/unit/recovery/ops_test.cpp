// The handlers, called directly (no mount), in what a mount cannot reach:
// path hash, error answers, paths beyond the path limit, a full listing
// buffer, link targets cut to the buffer, and the debug counters. What a
// client sees through the mount is in tests/integration/test_browse_*.sh.

#include "recovery/recovery_ops.hpp"
#include "recovery_fixture.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>

namespace
{

using rfs_recovery_test::recovery_test;

TEST(RecoveryInoHash, KnownValues)
{
    EXPECT_EQ(fs_ino_hash(""), 5381u);
    EXPECT_EQ(fs_ino_hash("/vm1/disk.vmdk"), 4060970784u);
    // Bytes above 127 are signed chars widened with their sign.
    EXPECT_EQ(fs_ino_hash("/caf\xe9.vmx"), 1584080266u);
}

TEST(RecoveryFsError, AnswersAnErrnoTheKernelKnowsAndLogsOnce)
{
    const struct {
        errnum_t number;
        bool from_child;
        int answer;
    } cases[] = {{EMFILE, false, -EMFILE},
                 {ERR_OBJ_NOT_FOUND, false, -EIO},
                 {ERR_MAX + 5, false, -EIO},
                 {ENOENT, true, -EIO}};
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

using ops_test = recovery_test;

int fill_two(void *buf, const char *, const struct stat *, off_t)
{
    return ++*static_cast<int *>(buf) > 2;
}

TEST_F(ops_test, PathsBeyondTheLimitAndAFullListingBuffer)
{
    const std::string too_long = "/" + std::string(TOL_PATH_MAX, 'n');
    const char *p = too_long.c_str();
    struct stat st;
    struct statvfs sv;
    struct fuse_file_info fi = {};
    char buf[64];
    EXPECT_EQ(recovery_fs_getattr(p, &st), -ENAMETOOLONG);
    EXPECT_EQ(recovery_fs_statfs(p, &sv), -ENAMETOOLONG);
    EXPECT_EQ(recovery_fs_readlink(p, buf, sizeof(buf)), -ENAMETOOLONG);
    EXPECT_EQ(recovery_fs_getxattr(p, "user.x", buf, sizeof(buf)), -ENAMETOOLONG);
    EXPECT_EQ(recovery_fs_opendir(p, &fi), -ENAMETOOLONG);
    EXPECT_EQ(recovery_fs_open(p, &fi), -EIO);

    write("vm1/disk.vmdk", "d");
    write("vm1/vm1.vmx", "x");
    ASSERT_EQ(recovery_fs_opendir("/vm1", &fi), 0);
    int filled = 0;
    EXPECT_EQ(recovery_fs_readdir("/vm1", &filled, fill_two, 0, &fi), -ENOMEM);
    EXPECT_EQ(recovery_fs_releasedir("/vm1", &fi), 0);
    EXPECT_EQ(fi.fh, ~uint64_t{0});
}

TEST_F(ops_test, LinkTargetAsLongAsTheBufferIsCutByOneByte)
{
    tree_.symlink("abcdefgh", "scratch/short");
    char small[8];
    ASSERT_EQ(recovery_fs_readlink("/short", small, sizeof(small)), 0);
    EXPECT_STREQ(small, "abcdefg");
}

TEST_F(ops_test, DebugCountersFollowConsecutivePathsCutToTheirBuffer)
{
    reg_settings_update([](reg_settings_t &s) { s.debug_level = 3; });
    struct stat st;
    for (const char *path : {"/a.vmx", "/a.vmx", "/b.vmx", "/b.vmx"})
        recovery_fs_getattr(path, &st);
    EXPECT_STREQ(prev_getattr_path, "/b.vmx");
    EXPECT_EQ(prev_getattr_path_count, 1);
    std::string huge = std::string("/").append(RECOVERY_DEBUG_PATH_SIZE + 10, 'z');
    recovery_fs_getattr(huge.c_str(), &st);
    EXPECT_EQ(strlen(prev_getattr_path), RECOVERY_DEBUG_PATH_SIZE - 1);
}

} // namespace
