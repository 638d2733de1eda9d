#include "mounter/run_program.hpp"

#include "common/files.hpp"
#include "common/spawn.hpp"

#include "mounter/made_record.hpp"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace
{

struct kill_point_t {
    std::string program;
    long nth = 0;
    std::atomic<long> seen{0};
};

const kill_point_t *armed_kill_point()
{
    static kill_point_t *point = [] {
        const char *armed = getenv("RFS_TEST_KILL_AFTER");
        if (!armed || !*armed)
            return static_cast<kill_point_t *>(nullptr);
        auto *p = new kill_point_t;
        const char *colon = strchr(armed, ':');
        p->program.assign(armed, colon ? colon - armed : strlen(armed));
        p->nth = colon ? atol(colon + 1) : 1;
        return p;
    }();
    return point;
}

} // namespace

void run_program_kill_point(const char *program)
{
    auto *point = const_cast<kill_point_t *>(armed_kill_point());
    if (!point || !made_record_enabled())
        return;
    const char *slash = strrchr(program, '/');
    if (point->program != (slash ? slash + 1 : program))
        return;
    if (++point->seen == point->nth)
        kill(getpid(), SIGKILL);
}

std::string program_cmdline(const char *const cmd[])
{
    std::string text;
    for (int i = 0; cmd[i]; ++i) {
        text += cmd[i];
        text += ' ';
    }
    return text;
}

errdesc_t *run_program_read(const char *const cmd[], int extra_options, int timeout,
                            const std::function<void(FILE *)> &consume)
{
    int rfd = -1;
    pid_t pid = -1;
    if (errdesc_t *err = spawn(cmd, SPAWN_READ | extra_options, &rfd, nullptr, &pid, 0))
        return err;

    FILE *out = fdopen(rfd, "r");
    if (!out) {
        int saved = errno;
        tol_safe_close(&rfd);
        // The child still has to be collected; its result no longer matters.
        spawn_wait(pid, 0, program_cmdline(cmd).c_str(), timeout);
        return errdesc_set_str(saved, program_cmdline(cmd).c_str());
    }
    consume(out);
    tol_safe_fclose(&out); // drains what the caller left, so the child never blocks
    errdesc_t *err = spawn_wait(pid, 0, program_cmdline(cmd).c_str(), timeout);
    run_program_kill_point(cmd[0]);
    return err;
}

errdesc_t *run_program_wait(const char *const cmd[], int extra_options, int timeout)
{
    errdesc_t *err = spawn(cmd, SPAWN_WAIT | extra_options, nullptr, nullptr, nullptr, timeout);
    run_program_kill_point(cmd[0]);
    return err;
}
