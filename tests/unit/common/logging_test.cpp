// Timestamped lines from many threads and the debug gate. Start-up, the log
// file and its rotation on SIGHUP run in tests/integration/test_browse_logging.sh.

// std::regex trips a false -Wmaybe-uninitialized in gcc 12 under the sanitizers.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include "common/logging.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace
{

void vformat_line(FILE *out, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void vformat_line(FILE *out, const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    ts_vfprintf(out, fmt, args);
    va_end(args);
}

TEST(TsPrintf, ConcurrentLinesStayWhole)
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
    while (fgets(line, sizeof(line), tmp) && std::regex_match(std::string(line), re))
        count++;
    fclose(tmp);
    EXPECT_EQ(count, 800);
}

TEST(TsDprintf, PrintsUpToTheDebugLevel)
{
    const int saved = get_debug_level();
    const struct {
        int debug_level, line_level;
        bool shown;
    } cases[] = {{2, 3, false}, {2, 2, true}, {6, 3, true}, {0, 1, false}};
    for (const auto &c : cases) {
        set_debug_level(c.debug_level);
        std::string out = rfs_test::capture_stdout([&] { ts_dprintf(c.line_level, "line\n"); });
        std::regex re(std::string("^") + rfs_test::TIME_PREFIX_RE + "line\n$");
        EXPECT_EQ(std::regex_match(out, re), c.shown) << c.debug_level << " " << c.line_level;
    }
    set_debug_level(saved);
}

} // namespace
