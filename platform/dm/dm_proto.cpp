#include "dm_proto.hpp"

#include "common/unique_fd.hpp"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#ifndef RFS_DMD_PATH
#define RFS_DMD_PATH "rfs-dmd"
#endif

namespace rfsdm {

static bool write_all(int fd, const void *buf, size_t n)
{
    auto p = static_cast<const char *>(buf);
    while (n) {
        ssize_t r = ::send(fd, p, n, MSG_NOSIGNAL);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        p += r;
        n -= size_t(r);
    }
    return true;
}

static bool read_all(int fd, void *buf, size_t n)
{
    auto p = static_cast<char *>(buf);
    while (n) {
        ssize_t r = ::read(fd, p, n);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        p += r;
        n -= size_t(r);
    }
    return true;
}

static bool write_u32(int fd, uint32_t v) { return write_all(fd, &v, sizeof v); }
static bool read_u32(int fd, uint32_t &v) { return read_all(fd, &v, sizeof v); }

static bool write_str(int fd, const std::string &s)
{
    return s.size() <= max_frame && write_u32(fd, uint32_t(s.size())) && write_all(fd, s.data(), s.size());
}

static bool read_str(int fd, std::string &s)
{
    uint32_t n = 0;
    if (!read_u32(fd, n) || n > max_frame)
        return false;
    s.assign(n, '\0');
    return read_all(fd, s.data(), n);
}

bool write_request(int fd, const dm_request &req)
{
    if (req.args.size() > max_args || !write_u32(fd, uint32_t(req.args.size())))
        return false;
    for (const auto &a : req.args)
        if (!write_str(fd, a))
            return false;
    return write_str(fd, req.input);
}

bool read_request(int fd, dm_request &req)
{
    uint32_t n = 0;
    if (!read_u32(fd, n) || n > max_args)
        return false;
    req.args.resize(n);
    for (auto &a : req.args)
        if (!read_str(fd, a))
            return false;
    return read_str(fd, req.input);
}

bool write_reply(int fd, const dm_reply &rep)
{
    return write_u32(fd, uint32_t(rep.rc)) && write_str(fd, rep.out) && write_str(fd, rep.err);
}

bool read_reply(int fd, dm_reply &rep)
{
    uint32_t rc = 0;
    if (!read_u32(fd, rc))
        return false;
    rep.rc = int(rc);
    return read_str(fd, rep.out) && read_str(fd, rep.err);
}

std::string run_dir()
{
    const char *e = std::getenv("RFS_DM_RUN_DIR");
    return (e && *e) ? e : "/run/rfs-dm";
}

std::string socket_path() { return run_dir() + "/ctl.sock"; }
std::string mount_dir() { return run_dir() + "/mnt"; }

static unique_fd connect_daemon()
{
    unique_fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd)
        return {};
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    std::string path = socket_path();
    if (path.size() >= sizeof sa.sun_path)
        return {};
    std::memcpy(sa.sun_path, path.c_str(), path.size() + 1);
    if (::connect(fd.get(), reinterpret_cast<sockaddr *>(&sa), sizeof sa) < 0)
        return {};
    return fd;
}

static std::string daemon_path()
{
    const char *e = std::getenv("RFS_DMD");
    return (e && *e) ? e : RFS_DMD_PATH;
}

// Starts the daemon fully detached: its own session, standard streams on its
// log file, no descriptor of ours (a caller reading our output through a
// pipe must see end-of-file when we exit, not when the daemon does).
static bool spawn_daemon(std::string &error)
{
    std::string log = run_dir() + "/rfs-dmd.log";
    std::string exe = daemon_path();
    pid_t pid = ::fork();
    if (pid < 0) {
        error = std::string("fork: ") + std::strerror(errno);
        return false;
    }
    if (pid == 0) {
        ::setsid();
        if (::fork() != 0)
            ::_exit(0);
        int nul = ::open("/dev/null", O_RDONLY);
        int lg = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (nul >= 0)
            ::dup2(nul, 0);
        if (lg >= 0) {
            ::dup2(lg, 1);
            ::dup2(lg, 2);
        }
        ::closefrom(3);
        ::execl(exe.c_str(), "rfs-dmd", static_cast<char *>(nullptr));
        ::_exit(127);
    }
    int st = 0;
    while (::waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    return true;
}

static bool exchange(int fd, const dm_request &req, dm_reply &reply, std::string &error)
{
    if (!write_request(fd, req) || ::shutdown(fd, SHUT_WR) < 0 || !read_reply(fd, reply)) {
        error = "lost connection to rfs-dmd";
        return false;
    }
    return true;
}

bool dm_call_if_running(const dm_request &req, dm_reply &reply, bool &running, std::string &error)
{
    unique_fd fd = connect_daemon();
    running = bool(fd);
    if (!fd)
        return true;
    return exchange(fd.get(), req, reply, error);
}

bool dm_call(const dm_request &req, dm_reply &reply, std::string &error)
{
    unique_fd fd = connect_daemon();
    if (!fd) {
        // Serialise start-ups so that two first users do not start two daemons.
        ::mkdir(run_dir().c_str(), 0700);
        unique_fd lock(::open((run_dir() + "/start.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
        if (!lock || ::flock(lock.get(), LOCK_EX) < 0) {
            error = "cannot lock " + run_dir() + "/start.lock: " + std::strerror(errno);
            return false;
        }
        fd = connect_daemon();
        if (!fd) {
            if (!spawn_daemon(error))
                return false;
            auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            while (!(fd = connect_daemon())) {
                if (std::chrono::steady_clock::now() > deadline) {
                    error = "rfs-dmd did not start (see " + run_dir() + "/rfs-dmd.log)";
                    return false;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
    }
    return exchange(fd.get(), req, reply, error);
}

} // namespace rfsdm
