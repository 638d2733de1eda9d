// Timestamped log lines, the debug gate, logging start-up and log rotation.

#include "common/logging.hpp"

#include "common/strings.hpp"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <sys/resource.h>
#include <sys/time.h>
#include <syslog.h>
#include <unistd.h>

namespace {

std::atomic<int> debug_level{0};
std::mutex print_lock;
char process_name[TOL_PATH_MAX];
char logfile_path[TOL_PATH_MAX];
struct sigaction previous_sighup;
bool previous_sighup_kept = false;

// Points descriptors 1 and 2 at the log file. Only open, dup2 and close:
// this runs inside the SIGHUP handler, where stdio calls are not safe. The
// FILE streams stay as they are and write to the new file from now on.
bool reopen_log_descriptors()
{
    int saved_errno = errno;
    int fd = open(logfile_path, O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (fd < 0) {
        // Keep writing where we did; the next SIGHUP tries again.
        errno = saved_errno;
        return false;
    }
    dup2(fd, STDOUT_FILENO); // dup2 clears close-on-exec on the copies
    dup2(fd, STDERR_FILENO);
    if (fd != STDOUT_FILENO && fd != STDERR_FILENO)
        close(fd);
    errno = saved_errno;
    return true;
}

} // namespace

void ts_vfprintf(FILE *out, const char *fmt, va_list args)
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    struct tm tm;
    time_t secs = tv.tv_sec;
    localtime_r(&secs, &tm);
    char when[64];
    if (strftime(when, sizeof(when), "%Y-%m-%d %H:%M:%S", &tm) == 0)
        when[0] = '\0';

    std::lock_guard<std::mutex> guard(print_lock);
    fprintf(out, "%s.%06ld: ", when, static_cast<long>(tv.tv_usec));
    vfprintf(out, fmt, args);
}

void ts_printf(const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    ts_vfprintf(stdout, fmt, args);
    va_end(args);
}

void ts_dprintf(int level, const char *fmt, ...)
{
    if (get_debug_level() < level)
        return;
    va_list args;
    va_start(args, fmt);
    ts_vfprintf(stdout, fmt, args);
    va_end(args);
}

void set_debug_level(int level) { debug_level.store(level, std::memory_order_relaxed); }

int get_debug_level() { return debug_level.load(std::memory_order_relaxed); }

void logrotate_hndlr(int /*signo*/) { reopen_log_descriptors(); }

errdesc_t *tol_startup(const toldesc_t *toldesc)
{
    struct rlimit unlimited = {RLIM_INFINITY, RLIM_INFINITY};
    setrlimit(RLIMIT_CORE, &unlimited); // best effort: a container may refuse

    tol_safe_strncpy(process_name, toldesc && toldesc->name ? toldesc->name : "",
                     sizeof(process_name));
    openlog(process_name, LOG_PID | LOG_PERROR, LOG_USER);

    if (!toldesc || !toldesc->logdir)
        return nullptr;

    tol_safe_snprintf(logfile_path, sizeof(logfile_path), "%s/%s", toldesc->logdir,
                      process_name);
    fflush(stdout);
    fflush(stderr);
    if (!reopen_log_descriptors())
        fprintf(stderr, "%s: cannot open log file %s: %s\n", process_name, logfile_path,
                strerror(errno));
    // Unbuffered, as after reopening each stream: every line reaches the file
    // at once and stays in order with the other stream's lines.
    setvbuf(stdout, nullptr, _IONBF, 0);
    setvbuf(stderr, nullptr, _IONBF, 0);

    struct sigaction sa = {};
    sa.sa_handler = logrotate_hndlr;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    previous_sighup_kept = sigaction(SIGHUP, &sa, &previous_sighup) == 0;
    return nullptr;
}

errdesc_t *tol_exit()
{
    closelog();
    if (previous_sighup_kept && previous_sighup.sa_handler != SIG_DFL)
        sigaction(SIGHUP, &previous_sighup, nullptr);
    previous_sighup_kept = false;
    return nullptr;
}
