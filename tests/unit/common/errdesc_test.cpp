// Error descriptors: texts of numbers, message formats and their limits, the
// per-thread record, wait statuses, extended errors and the log line.

// std::regex trips a false -Wmaybe-uninitialized in gcc 12 under the sanitizers.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include "common/errdesc.hpp"
#include "test_support.hpp"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <gtest/gtest.h>
#include <regex>
#include <string>
#include <sys/xattr.h>
#include <thread>
#include <unistd.h>

namespace
{

using rfs_test::temp_dir;

TEST(ErrdescText, NumbersAtTheEdgesOfBothTables)
{
    const struct {
        errnum_t number;
        std::string text;
    } cases[] = {
        {2, strerror(ENOENT)}, {131, strerror(131)}, {ERR_OUT_OF_MEM, "out of memory"},
        {ERR_IO, "I/O error"}, {ERR_REGISTRY_KEY_NOT_FOUND, "registry key not found"},
        {0, "unknown error"},  {-1, "unknown error"}, {132, "unknown error"},
        {ERR_BASE, "unknown error"}, {ERR_MAX, "unknown error"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(std::string(errdesc_set(c.number)->string), c.text) << "number " << c.number;
    EXPECT_STREQ(errdesc_priority_name(5), "ERROR") << "no name of its own";
}

TEST(ErrdescSet, MessageFormatsAndTheirLimits)
{
    EXPECT_EQ(std::string(errdesc_set_str(13, "/a/b")->string),
              "/a/b: " + std::string(strerror(EACCES)));
    EXPECT_STREQ(errdesc_set_str(ERR_OBJ_NOT_FOUND, "disk.vmdk")->string, "disk.vmdk: not found");
    // The formatted text alone, without the number's text.
    EXPECT_STREQ(errdesc_set_fmt(ERR_INVALID_ARG, "bad %s at %d", "grain", 7)->string,
                 "bad grain at 7");
    errdesc_t *e = _intern_errdesc_set_str(5, "as is", 42, "mod.cpp");
    EXPECT_STREQ(e->string, "as is");
    EXPECT_EQ(e->linenumber, 42u);
    EXPECT_STREQ(e->filename, "mod.cpp");

    // Overlong texts are cut, never overrun the record.
    std::string long_text(3000, 'x');
    EXPECT_EQ(strlen(errdesc_set_fmt(1, "%s", long_text.c_str())->string), 511u);
    EXPECT_EQ(std::string(errdesc_set_str(ERR_IO, long_text.c_str())->string),
              long_text.substr(0, 511));
    EXPECT_EQ(strlen(_intern_errdesc_set_str(1, long_text.c_str(), 1, "f.cpp")->string), 1023u);
    std::string long_name(5000, 'n');
    EXPECT_EQ(strlen(_errdesc_set(1, 1, long_name.c_str())->filename), 4095u);
}

TEST(ErrdescSet, OneRecordPerThreadAndAKeeperRestoresIt)
{
    errdesc_t *first = errdesc_set(1);
    uint64_t seq = first->sequence;
    EXPECT_EQ(errdesc_set_str(ENOENT, "x"), first) << "the same record is reused";
    EXPECT_EQ(first->sequence, seq + 1);
    std::thread([first] {
        errdesc_t *e = errdesc_set_fmt(7, "other");
        EXPECT_NE(e, first);
        EXPECT_EQ(e->sequence, 1u);
    }).join();
    EXPECT_EQ(first->number, ENOENT) << "untouched by the other thread";

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
    const std::string einval = strerror(EINVAL), ebadf = strerror(EBADF);
    const struct {
        int status;
        int wait_errno;
        errnum_t number; // 0: no error
        std::string text;
    } cases[] = {{0, 0, 0, ""},
                 {7 << 8, 0, 7, "child"}, // the exit code has no text of its own
                 {SIGKILL, 0, EINVAL, "child: " + einval},
                 {-1, EBADF, EBADF, "child: " + ebadf}};
    for (const auto &c : cases) {
        errno = c.wait_errno;
        errdesc_t *e = errdesc_exit_status(c.status, "child");
        if (c.number == 0) {
            EXPECT_EQ(e, nullptr);
            continue;
        }
        ASSERT_NE(e, nullptr) << c.status;
        EXPECT_EQ(e->number, c.number) << c.status;
        EXPECT_EQ(std::string(e->string), c.text);
    }
}

TEST(ErrdescExtended, RecordedAttributesOverrideTheCallersError)
{
    temp_dir dir;
    const std::string path = dir / "flat.vmdk";
    rfs_test::write_file(path, "data");
    if (setxattr(path.c_str(), "user.probe", "1", 1, 0) != 0)
        GTEST_SKIP() << "no user extended attributes on /tmp: " << strerror(errno);

    const char *none = nullptr; // the attribute is absent
    const std::string sys_eio = strerror(EIO);
    const struct {
        const char *err_num;
        const char *err_string;
        errnum_t want_number;
        std::string want_text;
    } cases[] = {
        {none, none, EIO, path + ": " + sys_eio},
        {"1014", none, 1014, path + ": I/O error"},
        {"1014", "", 1014, path + ": I/O error"}, // empty text counts as missing
        {"0", "ignored", EIO, path + ": " + sys_eio},
        {"", "ignored", EIO, path + ": " + sys_eio},
        // Neither value carries a terminator in the attribute.
        {"13", "store offline", 13, "store offline: " + std::string(strerror(EACCES))},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string("err_num=") + (c.err_num ? c.err_num : "(none)") +
                     " err_string=" + (c.err_string ? c.err_string : "(none)"));
        removexattr(path.c_str(), "user.err_num");
        removexattr(path.c_str(), "user.err_string");
        for (auto [name, value] :
             {std::pair{"user.err_num", c.err_num}, std::pair{"user.err_string", c.err_string}}) {
            if (value) {
                ASSERT_EQ(setxattr(path.c_str(), name, value, strlen(value), 0), 0) << name;
            }
        }
        errdesc_t *e = errdesc_set_extended_err(EIO, path.c_str());
        EXPECT_EQ(e->number, c.want_number);
        EXPECT_EQ(std::string(e->string), c.want_text);
    }

    EXPECT_STREQ(errdesc_set_extended_err(ERR_IO, nullptr)->string, "I/O error");
}

TEST(ErrdescPrint, LogLineFormatStatusBitsAndReportsAside)
{
    int line = __LINE__ + 1;
    errdesc_t *e = errdesc_set_str(ERR_IO, "/x/y");
    std::string out = rfs_test::capture_stdout([&] { errdesc_print(e, TOL_PRIO_WARNING); });
    std::regex re(std::string("^") + rfs_test::TIME_PREFIX_RE +
                  "WARNING \\[thread:([0-9]+), where:errdesc_test\\.cpp:([0-9]+), error:1014\\] "
                  "/x/y: I/O error\n$");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(out, m, re)) << out;
    EXPECT_EQ(m[1].str(), std::to_string(static_cast<unsigned long>(e->tid)));
    EXPECT_EQ(m[2].str(), std::to_string(line));
    char usec[16];
    snprintf(usec, sizeof(usec), ".%06ld:", static_cast<long>(e->timestamp.tv_usec));
    EXPECT_NE(out.find(usec), std::string::npos) << "microseconds of the descriptor";
    EXPECT_EQ(e->status, static_cast<uint32_t>(ERRDESC_ALLOCATED | ERRDESC_PRINTED));

    out = rfs_test::capture_stdout([&] { errdesc_log(e, 42); });
    EXPECT_NE(out.find(": ERROR [thread:"), std::string::npos) << "unknown priority: " << out;
    EXPECT_EQ(e->status,
              static_cast<uint32_t>(ERRDESC_ALLOCATED | ERRDESC_PRINTED | ERRDESC_LOGGED));
    EXPECT_EQ(errdesc_set(1)->status, static_cast<uint32_t>(ERRDESC_ALLOCATED)) << "a new error";
}

TEST(Stacktrace, CapturesFramesClearingTheRest)
{
    stacktrace_t st;
    memset(&st, 0xff, sizeof(st));
    stacktrace_get(&st);
    EXPECT_GT(st.frame_count, 1);
    EXPECT_LE(st.frame_count, STACKTRACE_MAX_FRAMES);
    for (int i = st.frame_count; i < STACKTRACE_MAX_FRAMES; i++)
        EXPECT_EQ(st.frames[i], nullptr);
}

} // namespace
