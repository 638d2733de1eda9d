// Directory creation and removal, positioned I/O, closing with logging and
// draining, close-on-exec, and the mode diagnostic.

// std::regex trips a false -Wmaybe-uninitialized in gcc 12 under the sanitizers.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include "common/files.hpp"
#include "common/spawn.hpp"
#include "test_support.hpp"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

using rfs_test::temp_dir;

bool exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

TEST(Mkdirp, CreatesMissingLevelsWithExactModeAndFailsClearly)
{
    temp_dir dir;
    mode_t old = umask(022);
    EXPECT_EQ(mkdirp((dir / "a/b/c").c_str(), 0777), 0);
    EXPECT_EQ(umask(old), 022) << "the caller's mask comes back";
    struct stat st;
    ASSERT_EQ(stat((dir / "a/b/c").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0777u) << "mask 0 while creating";
    EXPECT_EQ(mkdirp((dir / "a/b/c").c_str(), 0777), 0) << "all exist";
    EXPECT_EQ(mkdirp((dir / "x//y/").c_str(), 0700), 0) << "doubled and trailing slashes";
    EXPECT_TRUE(exists(dir / "x/y"));

    rfs_test::write_file(dir / "file", "x");
    errno = 0;
    EXPECT_EQ(mkdirp((dir / "file/sub/deeper").c_str(), 0755), -1);
    EXPECT_EQ(errno, ENOTDIR);
    // Exactly TOL_PATH_MAX bytes is refused before any level is made.
    std::string too_long = dir / "new";
    while (too_long.size() < size_t(TOL_PATH_MAX))
        too_long += "/d";
    too_long.resize(TOL_PATH_MAX - 1);
    too_long += "e";
    errno = 0;
    EXPECT_EQ(mkdirp(too_long.c_str(), 0755), -1);
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_FALSE(exists(dir / "new"));
}

TEST(Rmdirr, RemovesTreeWithoutFollowingLinksAndRefusesAFile)
{
    temp_dir dir;
    temp_dir outside;
    rfs_test::write_file(outside / "keep.txt", "precious");
    std::string root = dir / "tree";
    ASSERT_EQ(mkdirp((root + "/d1/d2").c_str(), 0755), 0);
    rfs_test::write_file(root + "/d1/d2/deep.txt", "d");
    ASSERT_EQ(symlink((outside / "keep.txt").c_str(), (root + "/d1/link_file").c_str()), 0);
    ASSERT_EQ(symlink(outside.path().c_str(), (root + "/d1/d2/link_dir").c_str()), 0);
    ASSERT_EQ(mkfifo((root + "/fifo").c_str(), 0600), 0);
    EXPECT_EQ(rmdirr(root.c_str()), nullptr);
    EXPECT_FALSE(exists(root));
    EXPECT_EQ(rfs_test::read_file(outside / "keep.txt"), "precious");
    EXPECT_EQ(rmdirr((dir / "nothing/here").c_str()), nullptr) << "missing is success";

    rfs_test::write_file(dir / "plain", "x");
    errdesc_t *e = nullptr;
    std::string out = rfs_test::capture_stdout([&] { e = rmdirr((dir / "plain").c_str()); });
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(std::string(e->string), dir / "plain" + ": " + strerror(ENOTDIR));
    EXPECT_NE(out.find("ERROR [thread:"), std::string::npos) << out;
}

TEST(PosIo, WholeBuffersHolesEndOfFileAndFailures)
{
    temp_dir dir;
    int fd = open((dir / "data").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    std::string text(100000, 'a');
    text[77777] = 'b';
    size_t n = 0;
    ASSERT_EQ(tol_pwrite(fd, text.data(), text.size(), 4096, &n), nullptr);
    EXPECT_EQ(n, text.size());
    std::string back(text.size() + 4096 + 100, 'x');
    ASSERT_EQ(tol_pread(fd, back.data(), back.size(), 0, &n), nullptr);
    EXPECT_EQ(n, text.size() + 4096) << "short at end of file";
    EXPECT_EQ(back.substr(0, n), std::string(4096, '\0') + text) << "the hole reads as zeros";
    ASSERT_EQ(tol_pread(fd, back.data(), 100, off_t(n) + (1 << 20), &n), nullptr);
    EXPECT_EQ(n, 0u) << "past the end";

    // Failures name the call and store no count.
    int ro = open((dir / "data").c_str(), O_RDONLY);
    n = 777;
    errdesc_t *e = tol_pwrite(ro, back.data(), 100, 0, &n);
    ASSERT_NE(e, nullptr);
    char want[256];
    snprintf(want, sizeof(want), "tol_pwrite(%d, %p, 100, 0) failed: %s", ro,
             static_cast<void *>(back.data()), strerror(EBADF));
    EXPECT_STREQ(e->string, want);
    EXPECT_EQ(n, 777u);
    close(ro);
    tol_safe_close(&fd);
}

TEST(SafeClose, LogsAFailureAsideOfThePendingError)
{
    // A number far above anything open, so that no descriptor made meanwhile
    // (the capture's own) can take it.
    int bad = 1000;
    ASSERT_EQ(fcntl(bad, F_GETFD), -1);
    errdesc_t *pending = errdesc_set_str(ENOSPC, "pending");
    std::string out = rfs_test::capture_stdout([&] { tol_safe_close(&bad); });
    EXPECT_EQ(bad, -1);
    std::regex re(std::string("^") + rfs_test::TIME_PREFIX_RE +
                  "INFO \\[thread:[0-9]+, where:files\\.cpp:[0-9]+, error:9\\] "
                  "failed closing fd 1000\n$");
    EXPECT_TRUE(std::regex_match(out, re)) << out;
    EXPECT_EQ(std::string(pending->string), std::string("pending: ") + strerror(ENOSPC));
}

TEST(SafeFclose, DrainsAChildsOutputAndCountsWhatItDiscards)
{
    // Far more than a pipe holds: without draining the child would block or
    // die of SIGPIPE.
    const char *cmd[] = {"/bin/sh", "-c", "echo header; head -c 200000 /dev/zero", nullptr};
    int rfd = -1;
    pid_t pid = -1;
    ASSERT_EQ(spawn(cmd, SPAWN_READ, &rfd, nullptr, &pid, 0), nullptr);
    char addr[32] = "";
    std::string out = rfs_test::capture_stdout([&] {
        unique_file fp(fdopen(rfd, "r"));
        ASSERT_TRUE(fp);
        snprintf(addr, sizeof(addr), "%p", static_cast<void *>(fp.get()));
        char line[64];
        ASSERT_NE(fgets(line, sizeof(line), fp.get()), nullptr);
        EXPECT_STREQ(line, "header\n");
    });
    EXPECT_NE(out.find(std::string("INFO [thread:")), std::string::npos) << out;
    EXPECT_NE(
        out.find(std::string("error:52] tol_safe_fdrain(") + addr + "): discarded 200000 bytes\n"),
        std::string::npos)
        << out;
    EXPECT_EQ(fcntl(rfd, F_GETFD), -1) << "closed";
    EXPECT_EQ(spawn_wait(pid, 0, "producer", 10), nullptr);
}

TEST(CheckStatb, QuietForFullAccessDirsAndFilesOnly)
{
    const struct {
        mode_t mode;
        tol_bool_t verbose;
        const char *want; // nullptr: no line
    } cases[] = {
        {S_IFDIR | 0777, TOL_FALSE, nullptr},
        {S_IFREG | 0777, TOL_FALSE, nullptr},
        {S_IFDIR | 0755, TOL_FALSE, "40000 (DIR), 0755"},
        {S_IFREG | 0777, TOL_TRUE, "100000 (REG), 0777"},
        {S_IFLNK | 0777, TOL_FALSE, "120000 (UNEXPECTED), 0777"},
        {S_IFREG | 04755, TOL_FALSE, "100000 (REG), 4755"},
    };
    for (const auto &c : cases) {
        struct stat st = {};
        st.st_size = 4096;
        st.st_mode = c.mode;
        std::string out =
            rfs_test::capture_stdout([&] { tns_check_statb("/vm1", "getattr", &st, c.verbose); });
        std::string want =
            c.want ? std::string("getattr: /vm1: mode <") + c.want + "> , size 4096\n" : "";
        // The line after its time prefix.
        EXPECT_EQ(out.substr(out.empty() ? 0 : out.find(": ") + 2), want) << std::oct << c.mode;
    }
}

} // namespace
