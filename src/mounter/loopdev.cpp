#include "mounter/loopdev.hpp"

#include "common/logging.hpp"
#include "common/programs.hpp"
#include "common/spawn.hpp"
#include "mounter/made_record.hpp"
#include "mounter/run_program.hpp"

#include <cerrno>
#include <cstdio>
#include <filesystem>

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

// Whether losetup itself exited with `code` (not a call failing with the
// errno of the same value).
bool exit_code_is(const errdesc_t *err, int code)
{
    return err->origin == ERRDESC_FROM_CHILD && err->number == code;
}

// Exit code 1 or 2 of losetup is what a device taken by someone else between
// our two runs gives.
bool lost_race(const errdesc_t *err)
{
    return exit_code_is(err, 1) || exit_code_is(err, 2);
}

// The file as the kernel names a loop device's backing file: absolute,
// without "//" or "." (callers join paths with a "/" of their own).
std::string absolute_path(const char *file)
{
    std::filesystem::path path(file);
    std::error_code ec;
    if (path.is_relative())
        path = std::filesystem::current_path(ec) / path;
    return path.lexically_normal().string();
}

} // namespace

errdesc_t *vdsk_assign_next_loop_dev(std::string *loopdev, const char *file, int rdonly,
                                     int timeout)
{
    errdesc_t *err = nullptr;
    for (int attempt = 0; attempt < LOOPDEV_ATTEMPTS; ++attempt) {
        std::string device;
        err = find_free_loop_dev(timeout, &device);
        if (!err && device.empty()) {
            // The last free device went to someone else: another attempt.
            err = errdesc_set_fmt(ENOENT, "Failed to find the next available loop device for %s",
                                  file);
            continue;
        }
        if (!err) {
            made_note(made_kind_t::loop, device, absolute_path(file));
            err = attach(device, file, rdonly, timeout);
        }
        if (!err) {
            *loopdev = device;
            return nullptr;
        }
        made_forget(made_kind_t::loop, device);
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
        if (!err || !exit_code_is(err, 1))
            break;
    }
    if (!err)
        made_forget(made_kind_t::loop, device);
    loopdev->clear();
    return err;
}
