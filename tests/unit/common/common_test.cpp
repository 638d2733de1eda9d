// common unit tests, one section per subject.

// std::regex trips a false -Wmaybe-uninitialized in gcc 12 under the sanitizers.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include "common/errdesc.hpp"
#include "common/files.hpp"
#include "common/logging.hpp"
#include "common/programs.hpp"
#include "common/spawn.hpp"
#include "common/strings.hpp"
#include "support/temp_dir.hpp"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <thread>
#include <unistd.h>
#include <vector>

using rfs_test::expect_error;
using rfs_test::read_file;
using rfs_test::temp_dir;
using rfs_test::write_file;

// Error descriptors: texts, formats and their limits, the per-thread record,
// wait statuses and extended errors.
TEST(ErrdescSet, TextsFormatsTheirLimitsOneRecordPerThreadAndAKeeperRestoresIt)
{
    // One record per thread: each case makes its error when it is checked.
    const std::string lt(3000, 'x');
    const std::pair<std::function<errdesc_t *()>, std::string> cases[] = {
        {[] { return errdesc_set(131); }, strerror(131)},
        {[] { return errdesc_set(ERR_REGISTRY_KEY_NOT_FOUND); }, "registry key not found"},
        {[] { return errdesc_set(132); }, "unknown error"},
        {[] { return errdesc_set(ERR_MAX); }, "unknown error"},
        {[] { return errdesc_set_str(ERR_OBJ_NOT_FOUND, "disk.vmdk"); }, "disk.vmdk: not found"},
        // The formatted text alone, without the number's text.
        {[] { return errdesc_set_fmt(ERR_INVALID_ARG, "bad %s at %d", "grain", 7); },
         "bad grain at 7"},
        // Overlong texts are cut, never overrun the record.
        {[&] { return errdesc_set_fmt(1, "%s", lt.c_str()); }, lt.substr(0, 511)},
        {[&] { return _intern_errdesc_set_str(1, lt.c_str(), 1, "f.cpp"); }, lt.substr(0, 1023)},
    };
    for (const auto &[make, text] : cases)
        EXPECT_EQ(std::string(make()->string), text);

    errdesc_t *first = errdesc_set(1);
    uint64_t seq = first->sequence;
    EXPECT_EQ(errdesc_set_str(ENOENT, "x"), first) << "the same record is reused";
    std::thread([first] { EXPECT_NE(errdesc_set_fmt(7, "other"), first); }).join();
    {
        errdesc_keeper keep;
        errdesc_set_fmt(EIO, "teardown");
    }
    expect_error(first, ENOENT, std::string("x: ") + strerror(ENOENT));
    EXPECT_EQ(first->sequence, seq + 2) << "the hidden error still counts";
}

// Exit codes and signals reach errdesc_exit_status through spawn_wait; the
// Spawn tests below pin them.
TEST(ErrdescExitStatus, AFailedWaitGivesItsErrno)
{
    errno = EBADF;
    expect_error(errdesc_exit_status(-1, "child"), EBADF, "child: " + std::string(strerror(EBADF)));
}

TEST(ErrdescExtended, RecordedAttributesOverrideTheCallersError)
{
    temp_dir dir;
    const std::string path = dir / "flat.vmdk", sys_eio = path + ": " + strerror(EIO);
    write_file(path, "data");
    if (setxattr(path.c_str(), "user.probe", "1", 1, 0) != 0)
        GTEST_SKIP() << "no user extended attributes on /tmp: " << strerror(errno);
    const struct {
        const char *err_num, *err_string; // null: the attribute is absent
        errnum_t number;
        std::string text;
    } cases[] = {
        {nullptr, nullptr, EIO, sys_eio},
        {"1014", "", 1014, path + ": I/O error"}, // empty text counts as missing
        {"0", "ignored", EIO, sys_eio},
        // Neither value carries a terminator in the attribute.
        {"13", "store offline", 13, "store offline: " + std::string(strerror(EACCES))},
    };
    for (const auto &c : cases) {
        for (auto [name, value] :
             {std::pair{"user.err_num", c.err_num}, std::pair{"user.err_string", c.err_string}}) {
            removexattr(path.c_str(), name);
            if (value)
                setxattr(path.c_str(), name, value, strlen(value), 0);
        }
        expect_error(errdesc_set_extended_err(EIO, path.c_str()), c.number, c.text);
    }
}

// Bounded copying and formatting: cut at the boundary, always terminated;
// only tol_snprintf reports a cut.
TEST(Snprintf, CutsTerminatedAndOnlyTolSnprintfSaysSo)
{
    char buf[8];
    memset(buf, 'x', sizeof(buf));
    tol_safe_strncpy(buf, "abc", sizeof(buf));
    EXPECT_EQ(std::string(buf, sizeof(buf)), std::string("abc\0\0\0\0\0", 8)) << "rest is NUL";
    tol_safe_strncpy(buf, "abcdefgh", sizeof(buf)); // exactly n bytes
    EXPECT_STREQ(buf, "abcdefg");
    tol_safe_strncpy(buf, "abc", 1);
    EXPECT_EQ(buf[0], '\0');

    std::string out = rfs_test::capture_stdout([&] {
        EXPECT_EQ(tol_snprintf(buf, 4, "%s", "abc"), 3); // exactly fits
        EXPECT_EQ(tol_safe_snprintf(buf, sizeof(buf), "%d-%s", 42, "abcdefgh"), 11);
    });
    EXPECT_STREQ(buf, "42-abcd");
    EXPECT_EQ(out, "");
    out =
        rfs_test::capture_stdout([&] { EXPECT_EQ(tol_snprintf(buf, 8, "%s", "0123456789"), 10); });
    EXPECT_STREQ(buf, "0123456");
    EXPECT_NE(out.find("tol_snprintf"), std::string::npos) << out;
}

// Directory creation and removal, and positioned I/O.
bool exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

TEST(Mkdirp, CreatesMissingLevelsWithExactModeFailsClearlyAndRmdirrUndoesIt)
{
    temp_dir dir, outside;
    mode_t old = umask(022);
    EXPECT_EQ(mkdirp((dir / "a/b/c").c_str(), 0777), 0);
    EXPECT_EQ(umask(old), 022) << "the caller's mask comes back";
    struct stat st;
    ASSERT_EQ(stat((dir / "a/b/c").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0777u) << "mask 0 while creating";
    EXPECT_EQ(mkdirp((dir / "a/b/c").c_str(), 0777), 0) << "all exist";
    EXPECT_EQ(mkdirp((dir / "x//y/").c_str(), 0700), 0) << "doubled and trailing slashes";
    EXPECT_TRUE(exists(dir / "x/y"));

    write_file(dir / "file", "x");
    // Exactly TOL_PATH_MAX bytes is refused before any level is made.
    std::string too_long = dir / "new";
    while (too_long.size() < size_t(TOL_PATH_MAX))
        too_long += "/d";
    too_long.resize(TOL_PATH_MAX - 1);
    for (auto [path, number] :
         {std::pair{dir / "file/sub/deeper", ENOTDIR}, std::pair{too_long + "e", ENAMETOOLONG}}) {
        errno = 0;
        EXPECT_EQ(mkdirp(path.c_str(), 0755), -1);
        EXPECT_EQ(errno, number);
    }
    EXPECT_FALSE(exists(dir / "new"));

    // rmdirr follows no link out of the tree, and refuses a file.
    write_file(outside / "keep.txt", "precious");
    write_file(dir / "a/b/c/deep.txt", "d");
    ASSERT_EQ(symlink((outside / "keep.txt").c_str(), (dir / "a/link_file").c_str()), 0);
    ASSERT_EQ(symlink(outside.path().c_str(), (dir / "a/b/link_dir").c_str()), 0);
    ASSERT_EQ(mkfifo((dir / "a/fifo").c_str(), 0600), 0);
    EXPECT_EQ(rmdirr((dir / "a").c_str()), nullptr);
    EXPECT_FALSE(exists(dir / "a"));
    EXPECT_EQ(read_file(outside / "keep.txt"), "precious");
    EXPECT_EQ(rmdirr((dir / "nothing/here").c_str()), nullptr) << "missing is success";
    expect_error(rmdirr((dir / "file").c_str()), ENOTDIR, dir / "file" + ": " + strerror(ENOTDIR));
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
    char want[256];
    snprintf(want, sizeof(want), "tol_pwrite(%d, %p, 100, 0) failed: %s", ro,
             static_cast<void *>(back.data()), strerror(EBADF));
    expect_error(tol_pwrite(ro, back.data(), 100, 0, &n), EBADF, want);
    EXPECT_EQ(n, 777u);
    close(ro);
    tol_safe_close(&fd);
}

// Child processes: error numbers and texts, time limits, pipes in both
// directions, quiet mode, descriptor inheritance and relays.

// The standard output of `cmd`, which must succeed.
std::string output_of(const char *const cmd[], int options, char *const envp[])
{
    int rfd = -1;
    pid_t pid = -1;
    errdesc_t *e = spawn_env(cmd, SPAWN_READ | options, &rfd, nullptr, &pid, 0, envp);
    EXPECT_EQ(e, nullptr) << (e ? e->string : "");
    std::string text;
    char buf[4096];
    for (ssize_t n; !e && ((n = read(rfd, buf, sizeof(buf))) > 0 || (n < 0 && errno == EINTR));)
        text.append(buf, n > 0 ? static_cast<size_t>(n) : 0);
    close(rfd);
    EXPECT_EQ(e ? nullptr : spawn_wait(pid, 0, cmd[0], 10), nullptr);
    return text;
}

// The child is gone (collected) when not even a signal can reach it.
bool reaped(pid_t pid)
{
    return kill(pid, 0) == -1 && errno == ESRCH;
}

TEST(Spawn, FailuresGiveNumberAndCommandLine)
{
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
        expect_error(spawn(c.cmd.data(), SPAWN_WAIT, nullptr, nullptr, nullptr, 10), c.number,
                     c.text);
    }
    EXPECT_NE(spawn(nullptr, SPAWN_WAIT, nullptr, nullptr, nullptr, 10), nullptr);

    // "/bin/true " and the argument with its blank: one byte more than the
    // buffer holds with its terminator never runs, one byte less runs and
    // leaves no zombie.
    for (size_t extra : {0, 1}) {
        std::string big(SPAWN_CMDLINE_MAX - 11 - extra, 'a');
        const char *cmd[] = {"/bin/true", big.c_str(), nullptr};
        pid_t pid = 0;
        errdesc_t *e = spawn(cmd, SPAWN_WAIT, nullptr, nullptr, &pid, 10);
        EXPECT_EQ(e ? e->number : 0, extra ? 0 : E2BIG) << big.size();
        EXPECT_EQ(pid > 0 && reaped(pid), extra == 1);
    }
}

TEST(Spawn, TimeLimitKillsTheChildWhateverSignalsArrive)
{
    // Signals to the waiting thread must not shorten the limit.
    std::atomic<bool> done{false};
    std::thread pester([&, waiter = pthread_self()] {
        for (; !done; std::this_thread::sleep_for(std::chrono::milliseconds(50)))
            pthread_kill(waiter, SIGCHLD);
    });
    const char *cmd[] = {"/bin/sleep", "30", nullptr};
    pid_t pid = -1;
    auto start = std::chrono::steady_clock::now();
    errdesc_t *e = spawn(cmd, SPAWN_WAIT, nullptr, nullptr, &pid, 2);
    auto elapsed = std::chrono::steady_clock::now() - start;
    done = true;
    pester.join();
    expect_error(e, ETIME, std::string("/bin/sleep 30 : ") + strerror(ETIME));
    EXPECT_GE(elapsed, std::chrono::milliseconds(1900));
    EXPECT_LT(elapsed, std::chrono::milliseconds(4500));
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(reaped(pid)) << "the killed child must be collected";
}

TEST(Spawn, ChildSeesExactlyItsStreamsDescriptorsAndEnvironment)
{
    // Descriptors that the caller leaves open without close-on-exec.
    int stray = open("/dev/null", O_RDONLY), pipefd[2];
    ASSERT_TRUE(stray >= 3 && pipe(pipefd) == 0);
    char foo[] = "FOO=bar";
    char *envp[] = {foo, nullptr};
    const struct {
        const char *script;
        int options;
        char *const *envp;
        const char *out, *err;
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
        EXPECT_EQ(out + "|" + err, std::string(c.out) + "|" + c.err) << c.script;
    }
    for (int fd : {stray, pipefd[0], pipefd[1]})
        close(fd);
}

TEST(Spawn, RelayFeedsOneChildIntoAnotherAndClosesTheRelayedEnds)
{
    temp_dir dir;
    const char *producer[] = {"/bin/sh", "-c", "printf 'b\\na\\nc\\n'", nullptr};
    int from_producer = -1;
    pid_t producer_pid = -1;
    ASSERT_EQ(spawn(producer, SPAWN_READ, &from_producer, nullptr, &producer_pid, 0), nullptr);
    int out_fd = open((dir / "sorted").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int relayed[] = {from_producer, out_fd};
    const char *consumer[] = {"/usr/bin/sort", nullptr};
    EXPECT_EQ(spawn(consumer, SPAWN_WAIT | SPAWN_RELAY, &out_fd, &from_producer, nullptr, 10),
              nullptr);
    EXPECT_EQ(spawn_wait(producer_pid, 0, "producer", 10), nullptr);
    EXPECT_EQ(read_file(dir / "sorted"), "a\nb\nc\n");
    for (int fd : relayed)
        EXPECT_EQ(fcntl(fd, F_GETFD), -1) << "still open: " << fd;
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
    expect_error(waited.wait("guarded", 10), 3, "guarded");
    EXPECT_FALSE(waited);
}

// A process that has ended (collected, or a zombie nobody waits for).
bool ended(pid_t pid)
{
    std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    size_t paren = stat.rfind(')');
    return stat.empty() || (paren != std::string::npos && stat.compare(paren + 2, 1, "Z") == 0);
}

double seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A script that exits while a child of its own keeps its output open: the
// read ends at the limit, and killing the group takes the child too.
TEST(Spawn, BoundedReadEndsAtTheLimitAndTheGroupGoes)
{
    const char *cmd[] = {"/bin/sh", "-c", "sleep 30 & echo $!", nullptr};
    int rfd = -1;
    child_process child;
    ASSERT_EQ(spawn(cmd, SPAWN_READ | SPAWN_GROUP, &rfd, nullptr, child.out(), 0), nullptr);
    char buf[64] = "";
    size_t got = 0;
    auto start = std::chrono::steady_clock::now();
    expect_error(spawn_read(child.get(), rfd, buf, sizeof(buf) - 1, &got, 1, "script"), ETIME,
                 "script: " + std::string(strerror(ETIME)));
    EXPECT_NEAR(seconds_since(start), 1.0, 0.5);
    close(rfd);
    const pid_t grandchild = atoi(std::string(buf, got).c_str());
    ASSERT_GT(grandchild, 0);
    child.kill_and_reap();
    for (int i = 0; i < 100 && !ended(grandchild); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(ended(grandchild));
}

// Once shutdown begins, a program being waited for gets only the grace, one
// whose output is still being read is killed all the same, and one started
// afterwards gets the short cap, whatever their limits.
TEST(Spawn, ConcurrentShutdownShortensEveryLimit)
{
    const char *cmd[] = {"/bin/sleep", "30", nullptr};
    int rfd = -1;
    child_process reading;
    ASSERT_EQ(spawn(cmd, SPAWN_READ, &rfd, nullptr, reading.out(), 0), nullptr);
    auto start = std::chrono::steady_clock::now();
    std::thread waiting([&] {
        expect_error(spawn(cmd, SPAWN_WAIT, nullptr, nullptr, nullptr, SPAWN_TIMEOUT), ETIME,
                     std::string("/bin/sleep 30 : ") + strerror(ETIME));
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    spawn_shutdown_begin();
    char c;
    EXPECT_EQ(read(rfd, &c, 1), 0) << "the enforcer closes the output of a child being read";
    close(rfd);
    waiting.join();
    const double grace = SPAWN_SHUTDOWN_GRACE_MS / 1000.0;
    EXPECT_NEAR(seconds_since(start), 0.3 + grace, 0.6);
    EXPECT_NE(reading.wait("reading", SPAWN_TIMEOUT), nullptr);

    start = std::chrono::steady_clock::now();
    EXPECT_NE(spawn(cmd, SPAWN_WAIT, nullptr, nullptr, nullptr, SPAWN_TIMEOUT_LONG), nullptr);
    EXPECT_NEAR(seconds_since(start), SPAWN_SHUTDOWN_CAP_MS / 1000.0, 0.6);
    EXPECT_TRUE(spawn_shutting_down());
    spawn_shutdown_reset();
    EXPECT_FALSE(spawn_shutting_down());
}

// Timestamped lines from many threads. Start-up, the log file and its
// rotation on SIGHUP run in tests/integration/test_browse_cli.sh.
void format_line(FILE *out, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void format_line(FILE *out, const char *fmt, ...)
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
                format_line(tmp, "thread %d line %d tail\n", t, i);
        });
    for (auto &th : threads)
        th.join();
    rewind(tmp);
    // Every line starts with its time, to the microsecond.
    std::regex re("^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{6}: "
                  "thread [0-3] line [0-9]+ tail\n$");
    char line[256];
    int count = 0;
    while (fgets(line, sizeof(line), tmp) && std::regex_match(std::string(line), re))
        count++;
    fclose(tmp);
    EXPECT_EQ(count, 800);
}

// The program index: the two-path rule and the directory of fakes.
TEST(Programs, ChooseTakesTheFirstExecutableAndARootPointsIntoOneDirectory)
{
    temp_dir dir;
    const std::string usr = dir / "usr_pvs", sbin = dir / "losetup", missing = dir / "missing";
    write_file(usr, "#!/bin/sh\n");
    write_file(sbin, "#!/bin/sh\n");
    chmod(usr.c_str(), 0644);
    chmod(sbin.c_str(), 0755);
    const struct {
        std::string first;
        const char *second;
        std::string want;
    } cases[] = {
        {usr, sbin.c_str(), sbin},        // the first not executable
        {missing, nullptr, missing},      // neither: the first, for a clear ENOENT
        {dir.path(), sbin.c_str(), sbin}, // a directory is no program
        {sbin, usr.c_str(), sbin},
    };
    for (const auto &c : cases)
        EXPECT_EQ(tol_program_choose(c.first.c_str(), c.second), c.want) << c.first;

    const std::string fixed = tol_program_path(tol_program_t::pvs);
    tol_programs_set_root(dir.path().c_str());
    EXPECT_EQ(tol_program_path(tol_program_t::pvs), dir / "pvs");
    EXPECT_TRUE(tol_program_available(tol_program_t::losetup));
    EXPECT_FALSE(tol_program_available(tol_program_t::pvs));
    tol_programs_set_root(nullptr);
    EXPECT_EQ(tol_program_path(tol_program_t::pvs), fixed);
}
