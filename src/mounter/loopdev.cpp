#include "mounter/loopdev.hpp"

#include "common/logging.hpp"
#include "common/programs.hpp"
#include "common/spawn.hpp"
#include "mounter/run_program.hpp"

#include <cerrno>
#include <cstdio>

namespace
{

// The first free loop device as losetup names it; empty when it names none.
errdesc_t *find_free_loop_dev(int timeout, std::string *device)
{
    const char *cmd[] = {tol_program_path(tol_program_t::losetup), "-f", nullptr};
    device->clear();
    errdesc_t *err = run_program_read(cmd, 0, timeout, [device](FILE *out) {
        char line[4096];
        if (!fgets(line, sizeof(line), out))
            return;
        device->assign(line);
        device->pop_back(); // the line end
    });
    return err;
}

errdesc_t *attach(const std::string &device, const char *file, int rdonly, int timeout)
{
    const char *losetup = tol_program_path(tol_program_t::losetup);
    if (rdonly == 1) {
        const char *cmd[] = {losetup, "-r", device.c_str(), file, nullptr};
        return run_program_wait(cmd, 0, timeout);
    }
    const char *cmd[] = {losetup, device.c_str(), file, nullptr};
    return run_program_wait(cmd, 0, timeout);
}

// Exit code 1 or 2 of losetup (or no free device named) is what a device
// taken by someone else between our two runs gives.
bool lost_race(const errdesc_t *err)
{
    return err->number == 1 || err->number == 2;
}

} // namespace

errdesc_t *vdsk_assign_next_loop_dev(std::string *loopdev, const char *file, int rdonly,
                                     int timeout)
{
    errdesc_t *err = nullptr;
    for (int attempt = 0; attempt < LOOPDEV_ATTEMPTS; ++attempt) {
        std::string device;
        err = find_free_loop_dev(timeout, &device);
        if (!err && device.empty())
            err = errdesc_set_fmt(ENOENT, "Failed to find the next available loop device for %s",
                                  file);
        if (!err)
            err = attach(device, file, rdonly, timeout);
        if (!err) {
            *loopdev = device;
            return nullptr;
        }
        if (!lost_race(err))
            return err;
    }
    return err;
}

errdesc_t *vdsk_release_loop_dev(std::string *loopdev)
{
    const std::string device = *loopdev;
    const char *cmd[] = {tol_program_path(tol_program_t::losetup), "-d", device.c_str(), nullptr};
    errdesc_t *err = nullptr;
    for (int attempt = 0; attempt < LOOPDEV_ATTEMPTS; ++attempt) {
        err = run_program_wait(cmd, 0, SPAWN_TIMEOUT);
        if (attempt > 0)
            ts_printf("vdsk_release_loop_dev retried (%d): loosetup -d %s\n", attempt,
                      device.c_str());
        if (!err || err->number != 1)
            break;
    }
    loopdev->clear();
    return err;
}
