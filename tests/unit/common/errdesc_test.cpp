// Error descriptors: texts, formats and their limits, the per-thread record,
// wait statuses, extended errors and the log line.

// std::regex trips a false -Wmaybe-uninitialized in gcc 12 under the sanitizers.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include "common/errdesc.hpp"
#include "test_support.hpp"

#include <cerrno>
#include <csignal>
#include <functional>
#include <cstring>
#include <gtest/gtest.h>
#include <regex>
#include <string>
#include <sys/xattr.h>
#include <thread>

namespace
{

TEST(ErrdescSet, TextsFormatsAndTheirLimits)
{
    // One record per thread: each case makes its error when it is checked.
    const std::string long_text(3000, 'x');
    const char *lt = long_text.c_str();
    const struct {
        std::function<errdesc_t *()> make;
        std::string text;
    } cases[] = {
        {[] { return errdesc_set(131); }, strerror(131)},
        {[] { return errdesc_set(ERR_REGISTRY_KEY_NOT_FOUND); }, "registry key not found"},
        {[] { return errdesc_set(132); }, "unknown error"},
        {[] { return errdesc_set(ERR_MAX); }, "unknown error"},
        {[] { return errdesc_set_str(ERR_OBJ_NOT_FOUND, "disk.vmdk"); }, "disk.vmdk: not found"},
        // The formatted text alone, without the number's text.
        {[] { return errdesc_set_fmt(ERR_INVALID_ARG, "bad %s at %d", "grain", 7); },
         "bad grain at 7"},
        // Overlong texts are cut, never overrun the record.
        {[lt] { return errdesc_set_fmt(1, "%s", lt); }, long_text.substr(0, 511)},
        {[lt] { return _intern_errdesc_set_str(1, lt, 1, "f.cpp"); }, long_text.substr(0, 1023)},
    };
    for (const auto &c : cases)
        EXPECT_EQ(std::string(c.make()->string), c.text);
}

TEST(ErrdescSet, OneRecordPerThreadAndAKeeperRestoresIt)
{
    errdesc_t *first = errdesc_set(1);
    uint64_t seq = first->sequence;
    EXPECT_EQ(errdesc_set_str(ENOENT, "x"), first) << "the same record is reused";
    std::thread([first] { EXPECT_NE(errdesc_set_fmt(7, "other"), first); }).join();
    {
        errdesc_keeper keep;
        errdesc_set_fmt(EIO, "teardown");
    }
    EXPECT_EQ(first->number, ENOENT);
    EXPECT_EQ(std::string(first->string), std::string("x: ") + strerror(ENOENT));
    EXPECT_EQ(first->sequence, seq + 2) << "the hidden error still counts";
}

TEST(ErrdescExitStatus, WaitStatusMapping)
{
    const struct {
        int status, wait_errno;
        errnum_t number; // 0: no error
        std::string text;
    } cases[] = {{0, 0, 0, ""},
                 {7 << 8, 0, 7, "child"}, // the exit code has no text of its own
                 {SIGKILL, 0, EINVAL, "child: " + std::string(strerror(EINVAL))},
                 {-1, EBADF, EBADF, "child: " + std::string(strerror(EBADF))}};
    for (const auto &c : cases) {
        errno = c.wait_errno;
        errdesc_t *e = errdesc_exit_status(c.status, "child");
        EXPECT_EQ(e ? e->number : 0, c.number) << c.status;
        EXPECT_EQ(e ? std::string(e->string) : "", c.text);
    }
}

TEST(ErrdescExtended, RecordedAttributesOverrideTheCallersError)
{
    rfs_test::temp_dir dir;
    const std::string path = dir / "flat.vmdk";
    rfs_test::write_file(path, "data");
    if (setxattr(path.c_str(), "user.probe", "1", 1, 0) != 0)
        GTEST_SKIP() << "no user extended attributes on /tmp: " << strerror(errno);
    const char *none = nullptr; // the attribute is absent
    const std::string sys_eio = path + ": " + strerror(EIO);
    const struct {
        const char *err_num, *err_string;
        errnum_t want_number;
        std::string want_text;
    } cases[] = {
        {none, none, EIO, sys_eio},
        {"1014", "", 1014, path + ": I/O error"}, // empty text counts as missing
        {"0", "ignored", EIO, sys_eio},
        // Neither value carries a terminator in the attribute.
        {"13", "store offline", 13, "store offline: " + std::string(strerror(EACCES))},
    };
    for (const auto &c : cases) {
        removexattr(path.c_str(), "user.err_num");
        removexattr(path.c_str(), "user.err_string");
        for (auto [name, value] :
             {std::pair{"user.err_num", c.err_num}, std::pair{"user.err_string", c.err_string}})
            if (value)
                setxattr(path.c_str(), name, value, strlen(value), 0);
        errdesc_t *e = errdesc_set_extended_err(EIO, path.c_str());
        EXPECT_EQ(e->number, c.want_number) << c.want_text;
        EXPECT_EQ(std::string(e->string), c.want_text);
    }
}

TEST(ErrdescPrint, LogLineFormatAndStatusBits)
{
    int line = __LINE__ + 1;
    errdesc_t *e = errdesc_set_str(ERR_IO, "/x/y");
    std::string out = rfs_test::capture_stdout([&] { errdesc_print(e, TOL_PRIO_WARNING); });
    std::regex re(std::string("^") + rfs_test::TIME_PREFIX_RE +
                  "WARNING \\[thread:[0-9]+, where:errdesc_test\\.cpp:([0-9]+), error:1014\\] "
                  "/x/y: I/O error\n$");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(out, m, re)) << out;
    EXPECT_EQ(m[1].str(), std::to_string(line));
    out = rfs_test::capture_stdout([&] { errdesc_log(e, 42); });
    EXPECT_NE(out.find(": ERROR [thread:"), std::string::npos) << "unknown priority: " << out;
    EXPECT_EQ(e->status,
              static_cast<uint32_t>(ERRDESC_ALLOCATED | ERRDESC_PRINTED | ERRDESC_LOGGED));
}

} // namespace
