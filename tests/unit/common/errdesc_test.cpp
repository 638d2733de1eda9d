// Error descriptors: texts and numbers, message formats and their limits, the
// per-thread record, wait-status mapping, extended errors and the log line.

// std::regex trips a false -Wmaybe-uninitialized in gcc 12 under the sanitizers.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include "common/errdesc.hpp"
#include "test_support.hpp"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <gtest/gtest.h>
#include <regex>
#include <string>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <thread>
#include <vector>
#include <unistd.h>

namespace {

using rfs_test::temp_dir;

std::string sys_text(int e) { return strerror(e); }

TEST(ErrdescText, SystemAndOwnNumbers)
{
    errdesc_t *e = errdesc_set(2);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->number, 2);
    EXPECT_EQ(std::string(e->string), sys_text(ENOENT));

    e = errdesc_set(ERR_IO);
    EXPECT_EQ(e->number, 1014);
    EXPECT_STREQ(e->string, "I/O error");

    EXPECT_STREQ(errdesc_set(ERR_OUT_OF_MEM)->string, "out of memory");
    EXPECT_STREQ(errdesc_set(ERR_REGISTRY_KEY_NOT_FOUND)->string, "registry key not found");
    EXPECT_STREQ(errdesc_set(ERR_UNKNOWN)->string, "unknown error");
    EXPECT_EQ(std::string(errdesc_set(131)->string), sys_text(131));
}

TEST(ErrdescText, OutsideTheTablesIsUnknown)
{
    for (errnum_t n : {1000, 1021, 0, 200, 132, 999, -1, 5000}) {
        errdesc_t *e = errdesc_set(n);
        EXPECT_EQ(e->number, n);
        EXPECT_STREQ(e->string, "unknown error") << "number " << n;
    }
}

TEST(ErrdescText, TableLayout)
{
    for (int i = 0; i <= 21; i++)
        EXPECT_EQ(errnum_table[i].number, ERR_BASE + i) << "row " << i;
    EXPECT_EQ(errnum_table[21].number, ERR_MAX);
    EXPECT_STREQ(errnum_table[21].string, "max");
    EXPECT_STREQ(errnum_table[0].string, "base");
    EXPECT_EQ(errnum_table[22].number, 0);
    EXPECT_STREQ(errnum_table[22].string, "NULL");
}

TEST(ErrdescText, PriorityNames)
{
    EXPECT_STREQ(errdesc_priority_name(3), "ERROR");
    EXPECT_STREQ(errdesc_priority_name(4), "WARNING");
    EXPECT_STREQ(errdesc_priority_name(6), "INFO");
    EXPECT_STREQ(errdesc_priority_name(7), "DEBUG");
    EXPECT_STREQ(errdesc_priority_name(5), "ERROR");
    EXPECT_STREQ(errdesc_priority_name(0), "ERROR");
}

TEST(ErrdescSet, StrFmtAndInternMessages)
{
    errdesc_t *e = errdesc_set_str(13, "/a/b");
    EXPECT_EQ(e->number, 13);
    EXPECT_EQ(std::string(e->string), "/a/b: " + sys_text(EACCES));

    e = errdesc_set_str(ERR_OBJ_NOT_FOUND, "disk.vmdk");
    EXPECT_STREQ(e->string, "disk.vmdk: not found");

    e = errdesc_set_fmt(ERR_INVALID_ARG, "bad %s at %d", "grain", 7);
    EXPECT_EQ(e->number, ERR_INVALID_ARG);
    EXPECT_STREQ(e->string, "bad grain at 7"); // no text of the number added

    e = _intern_errdesc_set_str(5, "as is", 42, "mod.cpp");
    EXPECT_STREQ(e->string, "as is");
    EXPECT_EQ(e->linenumber, 42u);
    EXPECT_STREQ(e->filename, "mod.cpp");
}

TEST(ErrdescSet, MessagesAreCut)
{
    std::string long_text(3000, 'x');

    errdesc_t *e = errdesc_set_fmt(1, "%s", long_text.c_str());
    EXPECT_EQ(strlen(e->string), 511u);

    e = errdesc_set_str(ERR_IO, long_text.c_str());
    EXPECT_EQ(strlen(e->string), 511u);
    EXPECT_EQ(std::string(e->string), long_text.substr(0, 511));

    e = _intern_errdesc_set_str(1, long_text.c_str(), 1, "f.cpp");
    EXPECT_EQ(strlen(e->string), 1023u);

    std::string long_name(5000, 'n');
    e = _errdesc_set(1, 1, long_name.c_str());
    EXPECT_EQ(strlen(e->filename), 4095u);
}

TEST(ErrdescSet, WhereWhenWho)
{
    struct timeval before;
    gettimeofday(&before, nullptr);
    int line = __LINE__ + 1;
    errdesc_t *e = errdesc_set(ERR_IO);
    EXPECT_STREQ(e->filename, "errdesc_test.cpp");
    EXPECT_EQ(e->linenumber, static_cast<uint32_t>(line));
    EXPECT_EQ(e->status, static_cast<uint32_t>(ERRDESC_ALLOCATED));
    EXPECT_TRUE(pthread_equal(e->tid, pthread_self()));
    EXPECT_GE(e->timestamp.tv_sec, before.tv_sec);
    char host[1024] = {};
    gethostname(host, sizeof(host) - 1);
    EXPECT_STREQ(e->hostname, host);
    EXPECT_GT(e->bt_buf.frame_count, 0);
    EXPECT_LE(e->bt_buf.frame_count, STACKTRACE_MAX_FRAMES);
}

TEST(ErrdescSet, SameRecordAndSequencePerThread)
{
    errdesc_t *first = errdesc_set(1);
    uint64_t seq = first->sequence;
    errdesc_t *a = errdesc_set(ERR_IO);
    errdesc_t *b = errdesc_set_str(ENOENT, "x");
    EXPECT_EQ(a, first);
    EXPECT_EQ(b, first);
    EXPECT_EQ(b->sequence, seq + 2);
    EXPECT_EQ(b->number, ENOENT); // holds the latest error

    // Another thread has its own record, counted from zero.
    errdesc_t *other = nullptr;
    uint64_t other_seq = 0;
    pthread_t other_tid{};
    std::thread t([&] {
        other = errdesc_set(ERR_IO);
        other_seq = other->sequence;
        other_tid = other->tid;
        errdesc_set(ERR_IO);
        EXPECT_EQ(other->sequence, 2u);
    });
    std::thread::native_handle_type handle = t.native_handle();
    t.join();
    EXPECT_NE(other, first);
    EXPECT_EQ(other_seq, 1u);
    EXPECT_TRUE(pthread_equal(other_tid, handle));
    EXPECT_EQ(first->sequence, seq + 2); // untouched by the other thread
}

TEST(ErrdescSet, ManyThreadsAtOnce)
{
    std::vector<std::thread> threads;
    std::atomic<int> bad{0};
    for (int i = 0; i < 8; i++) {
        threads.emplace_back([i, &bad] {
            for (int n = 0; n < 500; n++) {
                errdesc_t *e = errdesc_set_fmt(i + 1, "thread %d round %d", i, n);
                char want[64];
                snprintf(want, sizeof(want), "thread %d round %d", i, n);
                if (e->number != i + 1 || strcmp(e->string, want) != 0 ||
                    e->sequence != static_cast<uint64_t>(n + 1))
                    bad++;
            }
        });
    }
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(bad.load(), 0);
}

TEST(ErrdescExitStatus, Mapping)
{
    errdesc_t *e = errdesc_exit_status(9, "str"); // killed by signal 9
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->number, EINVAL);
    EXPECT_EQ(std::string(e->string), "str: " + sys_text(EINVAL));

    e = errdesc_exit_status(3 << 8, "str");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->number, 3);
    EXPECT_STREQ(e->string, "str");

    EXPECT_EQ(errdesc_exit_status(0, "str"), nullptr);

    errno = EBADF;
    e = errdesc_exit_status(-1, "str");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->number, EBADF);
    EXPECT_EQ(std::string(e->string), "str: " + sys_text(EBADF));
}

TEST(ErrdescExitStatus, RealChildren)
{
    pid_t pid = fork();
    if (pid == 0)
        _exit(7);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    errdesc_t *e = errdesc_exit_status(status, "child");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->number, 7);
    EXPECT_STREQ(e->string, "child");

    pid = fork();
    if (pid == 0) {
        raise(SIGKILL);
        _exit(0);
    }
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    e = errdesc_exit_status(status, "child");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->number, EINVAL);
}

class ErrdescExtended : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ASSERT_FALSE(dir_.path().empty());
        path_ = dir_ / "flat.vmdk";
        rfs_test::write_file(path_, "data");
        if (setxattr(path_.c_str(), "user.probe", "1", 1, 0) != 0)
            GTEST_SKIP() << "no user extended attributes on /tmp: " << strerror(errno);
    }
    void set_attr(const char *name, const std::string &value)
    {
        ASSERT_EQ(setxattr(path_.c_str(), name, value.data(), value.size(), 0), 0);
    }

    temp_dir dir_;
    std::string path_;
};

TEST_F(ErrdescExtended, NoAttributesUsesCallerNumber)
{
    errdesc_t *e = errdesc_set_extended_err(EIO, path_.c_str());
    EXPECT_EQ(e->number, EIO);
    EXPECT_EQ(std::string(e->string), path_ + ": " + sys_text(EIO));

    e = errdesc_set_extended_err(ENOENT, (dir_ / "missing").c_str());
    EXPECT_EQ(e->number, ENOENT);
    EXPECT_EQ(std::string(e->string), dir_ / "missing" + ": " + sys_text(ENOENT));

    e = errdesc_set_extended_err(ERR_IO, nullptr);
    EXPECT_EQ(e->number, ERR_IO);
    EXPECT_STREQ(e->string, "I/O error");
}

TEST_F(ErrdescExtended, RecordedNumberWithoutString)
{
    set_attr("user.err_num", "1014");
    errdesc_t *e = errdesc_set_extended_err(EIO, path_.c_str());
    EXPECT_EQ(e->number, 1014);
    EXPECT_EQ(std::string(e->string), path_ + ": I/O error");

    set_attr("user.err_string", ""); // empty counts as missing
    e = errdesc_set_extended_err(EIO, path_.c_str());
    EXPECT_EQ(e->number, 1014);
    EXPECT_EQ(std::string(e->string), path_ + ": I/O error");
}

TEST_F(ErrdescExtended, RecordedZeroOrEmptyMeansCallerNumber)
{
    set_attr("user.err_num", "0");
    set_attr("user.err_string", "ignored");
    errdesc_t *e = errdesc_set_extended_err(EACCES, path_.c_str());
    EXPECT_EQ(e->number, EACCES);
    EXPECT_EQ(std::string(e->string), path_ + ": " + sys_text(EACCES));

    set_attr("user.err_num", "");
    e = errdesc_set_extended_err(EACCES, path_.c_str());
    EXPECT_EQ(e->number, EACCES);
}

TEST_F(ErrdescExtended, RecordedNumberAndString)
{
    // Neither value carries a terminator in the attribute.
    set_attr("user.err_num", "13");
    set_attr("user.err_string", "store offline");
    errdesc_t *e = errdesc_set_extended_err(EIO, path_.c_str());
    EXPECT_EQ(e->number, 13);
    EXPECT_EQ(std::string(e->string), "store offline: " + sys_text(EACCES));

    set_attr("user.err_string", std::string(2000, 's'));
    e = errdesc_set_extended_err(EIO, path_.c_str());
    EXPECT_EQ(e->number, 13);
    EXPECT_EQ(strlen(e->string), 511u);
}

TEST(ErrdescPrint, FileLineFormat)
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
    EXPECT_TRUE(e->status & ERRDESC_PRINTED);
    EXPECT_FALSE(e->status & ERRDESC_LOGGED);
}

TEST(ErrdescPrint, FprintAndLogMarkStatus)
{
    errdesc_t *e = errdesc_set(ERR_CANCELLED);
    FILE *tmp = tmpfile();
    ASSERT_NE(tmp, nullptr);
    _errdesc_fprint(tmp, e, 42);
    rewind(tmp);
    char line[2048] = {};
    ASSERT_NE(fgets(line, sizeof(line), tmp), nullptr);
    fclose(tmp);
    EXPECT_NE(strstr(line, ": ERROR [thread:"), nullptr) << line; // unknown priority
    EXPECT_NE(strstr(line, "error:1015] cancelled\n"), nullptr) << line;

    std::string out = rfs_test::capture_stdout([&] { errdesc_log(e, TOL_PRIO_INFO); });
    EXPECT_NE(out.find(": INFO [thread:"), std::string::npos) << out;
    EXPECT_EQ(e->status, static_cast<uint32_t>(ERRDESC_ALLOCATED | ERRDESC_PRINTED | ERRDESC_LOGGED));

    // A new error starts with ALLOCATED alone.
    EXPECT_EQ(errdesc_set(1)->status, static_cast<uint32_t>(ERRDESC_ALLOCATED));
}

TEST(ErrdescPrint, LogAsideKeepsThePendingError)
{
    errdesc_t *pending = errdesc_set_str(ENOSPC, "pending");
    uint64_t seq = pending->sequence;
    std::string out = rfs_test::capture_stdout(
        [] { errdesc_log_aside(TOL_PRIO_INFO, EBADE, "drained %d bytes", 12); });
    EXPECT_NE(out.find("INFO [thread:"), std::string::npos) << out;
    EXPECT_NE(out.find("error:52] drained 12 bytes\n"), std::string::npos) << out;
    EXPECT_EQ(pending->number, ENOSPC);
    EXPECT_EQ(pending->sequence, seq);
}

// Real frames: neither inlined nor turned into a loop.
__attribute__((noipa)) int depth_then_capture(int depth, stacktrace_t *st)
{
    if (depth == 0) {
        stacktrace_get(st);
        return st->frame_count;
    }
    int r = depth_then_capture(depth - 1, st);
    asm volatile("" : "+r"(r));
    return r;
}

TEST(Stacktrace, CapturesAtMostFortyFrames)
{
    stacktrace_t st;
    memset(&st, 0xff, sizeof(st));
    stacktrace_get(&st);
    EXPECT_GT(st.frame_count, 1);
    for (int i = st.frame_count; i < STACKTRACE_MAX_FRAMES; i++)
        EXPECT_EQ(st.frames[i], nullptr) << "cleared past the last frame";

    EXPECT_EQ(depth_then_capture(60, &st), STACKTRACE_MAX_FRAMES);
}

} // namespace
