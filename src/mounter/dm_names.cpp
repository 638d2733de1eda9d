#include "mounter/dm_names.hpp"

#include "common/programs.hpp"
#include "common/spawn.hpp"
#include "mounter/run_program.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unistd.h>

namespace
{

bool path_exists(const std::string &path)
{
    return access(path.c_str(), F_OK) == 0;
}

void sleep_one_second()
{
    struct timespec left = {1, 0};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

} // namespace

errdesc_t *dm_mk_unique_name_in(const char *dm_dir, const char *prefix, std::string *unique_name,
                                unsigned max_attempts)
{
    if (!unique_name->empty())
        return errdesc_set_str(EINVAL, "dm_mk_unique_name: name already set");

    // Room for a dot, six digits and the terminator.
    const size_t room = std::strlen(prefix) + 8;
    std::string name;
    for (unsigned attempt = 0; attempt < max_attempts; ++attempt) {
        // The number depends only on the current second: two callers within
        // one second draw the same number, and the later one waits a second.
        auto seed = static_cast<unsigned>(time(nullptr));
        const int n = rand_r(&seed) % 1000000;
        name = std::string(prefix) + "." + std::to_string(n);
        if (name.size() + 1 > room)
            name.resize(room - 1);
        if (!path_exists(std::string(dm_dir) + "/" + name)) {
            *unique_name = name;
            return nullptr;
        }
        sleep_one_second();
    }
    return errdesc_set_fmt(EEXIST, "no unique device-mapper name for prefix %s", prefix);
}

errdesc_t *dm_mk_unique_name(const char *prefix, std::string *unique_name)
{
    return dm_mk_unique_name_in(DM_ROOT, prefix, unique_name, DM_UNIQUE_NAME_ATTEMPTS);
}

errdesc_t *dm_remove_forced(const char *dm_path)
{
    const char *cmd[] = {tol_program_path(tol_program_t::dmsetup), "remove", "-f", dm_path,
                         nullptr};
    return run_program_wait(cmd, 0, SPAWN_TIMEOUT);
}

errdesc_t *dm_check_and_remove(const char *dm_path)
{
    if (!path_exists(dm_path))
        return nullptr;
    if (errdesc_t *err = dm_remove_forced(dm_path))
        errdesc_log(err, TOL_PRIO_ERROR);
    if (path_exists(dm_path)) {
        errdesc_t *err = errdesc_set_fmt(EBADF, "%s", dm_path);
        errdesc_log(err, TOL_PRIO_ERROR);
        return err;
    }
    return nullptr;
}
