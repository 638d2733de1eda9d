// Child processes: error numbers and texts, time limits, pipes in both
// directions, quiet mode, descriptor inheritance and relays.

#include "common/spawn.hpp"
#include "common/files.hpp"
#include "test_support.hpp"

#include <cerrno>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

using rfs_test::read_file;
using rfs_test::temp_dir;

std::string read_all(int fd)
{
    std::string text;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof(buf))) > 0 || (n < 0 && errno == EINTR))
        text.append(buf, n > 0 ? static_cast<size_t>(n) : 0);
    return text;
}

// The standard output of `cmd`, which must succeed.
std::string output_of(const char *const cmd[], int options = 0, char *const envp[] = nullptr)
{
    int rfd = -1;
    pid_t pid = -1;
    errdesc_t *e = spawn_env(cmd, SPAWN_READ | options, &rfd, nullptr, &pid, 0, envp);
    EXPECT_EQ(e, nullptr) << (e ? e->string : "");
    if (e)
        return "";
    std::string out = read_all(rfd);
    close(rfd);
    EXPECT_EQ(spawn_wait(pid, 0, cmd[0], 10), nullptr);
    return out;
}

bool is_open(int fd)
{
    return fcntl(fd, F_GETFD) != -1;
}

// The child is gone (collected) when not even a signal can reach it.
bool reaped(pid_t pid)
{
    return kill(pid, 0) == -1 && errno == ESRCH;
}

TEST(Spawn, FailuresGiveNumberAndCommandLine)
{
    pid_t pid = -1;
    const char *ok[] = {"/bin/true", nullptr};
    EXPECT_EQ(spawn(ok, SPAWN_WAIT, nullptr, nullptr, &pid, 10), nullptr);
    EXPECT_TRUE(reaped(pid)) << "no zombie left";

    const std::string einval = strerror(EINVAL);
    const struct {
        std::vector<const char *> cmd;
        int number;
        std::string text;
    } cases[] = {
        {{"/nonexistent/program", "arg"}, ENOENT, "/nonexistent/program arg "},
        {{"/bin/sh", "-c", "exit 5"}, 5, "/bin/sh -c exit 5 "},
        {{"/bin/sh", "-c", "kill -9 $$"}, EINVAL, "/bin/sh -c kill -9 $$ : " + einval},
        {{}, EINVAL, "spawn: empty command: " + einval},
    };
    for (auto c : cases) {
        c.cmd.push_back(nullptr);
        errdesc_t *e = spawn(c.cmd.data(), SPAWN_WAIT, nullptr, nullptr, nullptr, 10);
        ASSERT_NE(e, nullptr) << c.text;
        EXPECT_EQ(e->number, c.number) << c.text;
        EXPECT_EQ(std::string(e->string), c.text);
    }
    EXPECT_NE(spawn(nullptr, SPAWN_WAIT, nullptr, nullptr, nullptr, 10), nullptr);

    // "/bin/true " and the argument with its blank: one byte more than the
    // buffer holds with its terminator never runs, one byte less runs.
    for (size_t extra : {0, 1}) {
        std::string big(SPAWN_CMDLINE_MAX - 11 - extra, 'a');
        const char *cmd[] = {"/bin/true", big.c_str(), nullptr};
        pid = 0;
        errdesc_t *e = spawn(cmd, SPAWN_WAIT, nullptr, nullptr, &pid, 10);
        EXPECT_EQ(e ? e->number : 0, extra ? 0 : E2BIG) << big.size();
        EXPECT_EQ(pid > 0, extra == 1);
    }
}

TEST(Spawn, TimeLimitKillsTheChildWhateverSignalsArrive)
{
    // Signals to the waiting thread must not shorten the limit.
    std::atomic<bool> done{false};
    pthread_t waiter = pthread_self();
    std::thread pester([&] {
        while (!done) {
            pthread_kill(waiter, SIGCHLD);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    });
    const char *cmd[] = {"/bin/sleep", "30", nullptr};
    pid_t pid = -1;
    auto start = std::chrono::steady_clock::now();
    errdesc_t *e = spawn(cmd, SPAWN_WAIT, nullptr, nullptr, &pid, 2);
    auto elapsed = std::chrono::steady_clock::now() - start;
    done = true;
    pester.join();

    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->number, ETIME);
    EXPECT_EQ(std::string(e->string), std::string("/bin/sleep 30 : ") + strerror(ETIME));
    EXPECT_GE(elapsed, std::chrono::milliseconds(1900));
    EXPECT_LT(elapsed, std::chrono::milliseconds(4500));
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(reaped(pid)) << "the killed child must be collected";
}

TEST(Spawn, ChildSeesExactlyItsStreamsDescriptorsAndEnvironment)
{
    // Descriptors that the caller leaves open without close-on-exec.
    int stray = open("/dev/null", O_RDONLY);
    int pipefd[2];
    ASSERT_TRUE(stray >= 3 && pipe(pipefd) == 0);
    char foo[] = "FOO=bar";
    char *envp[] = {foo, nullptr};
    const struct {
        const char *script;
        int options;
        char *const *envp;
        const char *out;
        const char *err;
    } cases[] = {
        {"printf 'abc\\ndef'; echo diag >&2", 0, nullptr, "abc\ndef", "diag\n"},
        {"echo out; echo diag >&2", SPAWN_QUIET, nullptr, "out\n", ""},
        {"echo $FOO ${HOME:-none}", 0, envp, "bar none\n", ""},
        {"ls /proc/$$/fd", 0, nullptr, "0\n1\n2\n", ""},
    };
    for (const auto &c : cases) {
        const char *cmd[] = {"/bin/sh", "-c", c.script, nullptr};
        std::string out;
        std::string err =
            rfs_test::capture_stderr([&] { out = output_of(cmd, c.options, c.envp); });
        EXPECT_EQ(out, c.out) << c.script;
        EXPECT_EQ(err, c.err) << c.script;
    }
    close(stray);
    close(pipefd[0]);
    close(pipefd[1]);
}

TEST(Spawn, RelayFeedsOneChildIntoAnotherAndClosesTheRelayedEnds)
{
    temp_dir dir;
    std::string sorted = dir / "sorted";
    const char *producer[] = {"/bin/sh", "-c", "printf 'b\\na\\nc\\n'", nullptr};
    int from_producer = -1;
    pid_t producer_pid = -1;
    ASSERT_EQ(spawn(producer, SPAWN_READ, &from_producer, nullptr, &producer_pid, 0), nullptr);
    int out_fd = open(sorted.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int relayed[] = {from_producer, out_fd};
    const char *consumer[] = {"/usr/bin/sort", nullptr};
    EXPECT_EQ(spawn(consumer, SPAWN_WAIT | SPAWN_RELAY, &out_fd, &from_producer, nullptr, 10),
              nullptr);
    EXPECT_EQ(spawn_wait(producer_pid, 0, "producer", 10), nullptr);
    EXPECT_EQ(read_file(sorted), "a\nb\nc\n");
    EXPECT_FALSE(is_open(relayed[0]) || is_open(relayed[1]));

    // Also when the consumer cannot start.
    int pipefd[2];
    ASSERT_EQ(pipe(pipefd), 0);
    int rfd = pipefd[1], wfd = pipefd[0];
    const char *missing[] = {"/nonexistent/consumer", nullptr};
    errdesc_t *e = spawn(missing, SPAWN_WAIT | SPAWN_RELAY, &rfd, &wfd, nullptr, 10);
    EXPECT_EQ(e ? e->number : 0, ENOENT);
    EXPECT_FALSE(is_open(pipefd[0]) || is_open(pipefd[1]));
    EXPECT_TRUE(from_producer == -1 && out_fd == -1 && rfd == -1 && wfd == -1);
}

TEST(ChildProcess, GuardKillsAndReaps)
{
    pid_t pid = -1;
    {
        child_process child;
        const char *cmd[] = {"/bin/sleep", "30", nullptr};
        ASSERT_EQ(spawn(cmd, 0, nullptr, nullptr, child.out(), 0), nullptr);
        pid = child.get();
        ASSERT_GT(pid, 0);
        EXPECT_FALSE(reaped(pid));
    }
    EXPECT_TRUE(reaped(pid));

    child_process waited;
    const char *cmd[] = {"/bin/sh", "-c", "exit 3", nullptr};
    ASSERT_EQ(spawn(cmd, 0, nullptr, nullptr, waited.out(), 0), nullptr);
    errdesc_t *e = waited.wait("guarded", 10);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->number, 3);
    EXPECT_STREQ(e->string, "guarded");
    EXPECT_FALSE(waited);
}

} // namespace
