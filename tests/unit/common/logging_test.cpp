// Timestamped lines, the debug gate, and logging start-up with rotation on
// SIGHUP (exercised in forked children, so that the test runner's own
// standard output is never redirected).

// std::regex trips a false -Wmaybe-uninitialized in gcc 12 under the sanitizers.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include "common/logging.hpp"
#include "test_support.hpp"

#include <csignal>
#include <cstring>
#include <gtest/gtest.h>
#include <regex>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

using rfs_test::read_file;
using rfs_test::temp_dir;

void vformat_line(FILE *out, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void vformat_line(FILE *out, const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    ts_vfprintf(out, fmt, args);
    va_end(args);
}

TEST(TsPrintf, TimePrefixAndNoAddedNewline)
{
    std::string out = rfs_test::capture_stdout([] {
        ts_printf("hello %d\n", 5);
        ts_printf("no newline");
    });
    std::regex re(std::string("^") + rfs_test::TIME_PREFIX_RE + "hello 5\n" +
                  rfs_test::TIME_PREFIX_RE + "no newline$");
    EXPECT_TRUE(std::regex_match(out, re)) << out;
}

TEST(TsPrintf, LinesOfThreadsStayWhole)
{
    FILE *tmp = tmpfile();
    ASSERT_NE(tmp, nullptr);
    setvbuf(tmp, nullptr, _IONBF, 0); // as the log streams are
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++)
        threads.emplace_back([tmp, t] {
            for (int i = 0; i < 200; i++)
                vformat_line(tmp, "thread %d line %d tail\n", t, i);
        });
    for (auto &th : threads)
        th.join();
    rewind(tmp);
    std::regex re(std::string("^") + rfs_test::TIME_PREFIX_RE + "thread [0-3] line [0-9]+ tail\n$");
    char line[256];
    int count = 0;
    while (fgets(line, sizeof(line), tmp)) {
        EXPECT_TRUE(std::regex_match(std::string(line), re)) << line;
        count++;
    }
    fclose(tmp);
    EXPECT_EQ(count, 800);
}

TEST(TsDprintf, PrintsUpToTheDebugLevel)
{
    const int saved = get_debug_level();
    const struct {
        int debug_level;
        int line_level;
        bool shown;
    } cases[] = {{2, 3, false}, {2, 2, true}, {3, 3, true}, {6, 3, true}, {0, 1, false}};
    for (const auto &c : cases) {
        set_debug_level(c.debug_level);
        std::string out = rfs_test::capture_stdout([&] { ts_dprintf(c.line_level, "line\n"); });
        std::regex re(std::string("^") + rfs_test::TIME_PREFIX_RE + "line\n$");
        EXPECT_EQ(std::regex_match(out, re), c.shown)
            << "debug level " << c.debug_level << ", line level " << c.line_level << ": " << out;
    }
    set_debug_level(saved);
}

// Runs `body` in a forked child and returns its exit code (-1 if it did not
// exit normally). Failures inside are reported through the code.
template <typename Fn> int in_child(Fn body)
{
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0)
        _exit(body());
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

TEST(Startup, LogFileAppendsAndRotatesOnSighup)
{
    temp_dir dir;
    const std::string log = dir / "rfs_logtest";
    const std::string moved = dir / "rfs_logtest.1";
    rfs_test::write_file(log, "earlier run\n");

    int rc = in_child([&] {
        toldesc_t desc = {"rfs_logtest", dir.path().c_str()};
        if (tol_startup(&desc) != nullptr)
            return 10;
        ts_printf("first line\n");
        fprintf(stderr, "first stderr\n");
        errdesc_log(errdesc_set_str(ERR_IO, "before"), TOL_PRIO_ERROR);
        if (rename(log.c_str(), moved.c_str()) != 0)
            return 11;
        if (raise(SIGHUP) != 0)
            return 12;
        ts_printf("second line\n");
        fprintf(stderr, "second stderr\n");
        tol_exit();
        return 0;
    });
    ASSERT_EQ(rc, 0);

    std::string old_text = read_file(moved);
    EXPECT_EQ(old_text.rfind("earlier run\n", 0), 0u) << old_text;
    for (const char *want : {"first line\n", "first stderr\n",
                             "ERROR [thread:", "error:1014] before: I/O error\n", "rfs_logtest["})
        EXPECT_NE(old_text.find(want), std::string::npos) << want << " in " << old_text;
    EXPECT_EQ(old_text.find("second"), std::string::npos) << old_text;

    std::regex re(std::string("^") + rfs_test::TIME_PREFIX_RE + "second line\nsecond stderr\n$");
    EXPECT_TRUE(std::regex_match(read_file(log), re)) << read_file(log);
}

} // namespace
