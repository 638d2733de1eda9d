#include "mounter/run_program.hpp"

#include "common/files.hpp"
#include "common/spawn.hpp"

#include <cerrno>
#include <unistd.h>

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
    return spawn_wait(pid, 0, program_cmdline(cmd).c_str(), timeout);
}

errdesc_t *run_program_wait(const char *const cmd[], int extra_options, int timeout)
{
    return spawn(cmd, SPAWN_WAIT | extra_options, nullptr, nullptr, nullptr, timeout);
}
