#include "mounter/dm_names.hpp"

#include "common/programs.hpp"
#include "common/spawn.hpp"
#include "mounter/disk_record.hpp"
#include "mounter/run_program.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
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

namespace
{

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

// The length of the run of digits at `at`.
size_t digits_at(const std::string &s, size_t at)
{
    size_t end = at;
    while (end < s.size() && is_digit(s[end]))
        ++end;
    return end - at;
}

// "cbt.N" or "HEX.N" (N of 1 to 6 digits) at the start of `name`: its
// length, 0 when there is none.
size_t base_length(const std::string &name, dm_name_kind_t *kind)
{
    const size_t dot = name.find('.');
    if (dot == std::string::npos || dot == 0)
        return 0;
    const std::string prefix = name.substr(0, dot);
    if (prefix == MERGED_DM_PREFIX)
        *kind = dm_name_kind_t::merged;
    else if (prefix.find_first_not_of("0123456789abcdef") == std::string::npos)
        *kind = dm_name_kind_t::disk;
    else
        return 0;
    const size_t n = digits_at(name, dot + 1);
    return n >= 1 && n <= 6 ? dot + 1 + n : 0;
}

// "pK" at `at` (K from 1, at most three digits): K, with where it ends in
// `*end`; 0 when there is none.
int partition_at(const std::string &name, size_t at, size_t *end)
{
    if (at >= name.size() || name[at] != partdelim[0])
        return 0;
    const size_t n = digits_at(name, at + 1);
    if (n == 0 || n > 3 || name[at + 1] == '0')
        return 0;
    *end = at + 1 + n;
    return std::stoi(name.substr(at + 1, n));
}

// LVM's device-mapper name of a logical volume: group and volume with their
// dashes doubled, joined by one dash.
bool split_lvm_name(const std::string &name, std::string *group, std::string *volume)
{
    std::string *part = group;
    group->clear();
    volume->clear();
    for (size_t i = 0; i < name.size(); ++i) {
        if (name[i] != '-') {
            *part += name[i];
        } else if (i + 1 < name.size() && name[i + 1] == '-') {
            *part += '-';
            ++i;
        } else if (part == group) {
            part = volume;
        } else {
            return false;
        }
    }
    return !group->empty() && !volume->empty();
}

} // namespace

dm_name_parts_t dm_parse_name(const std::string &name)
{
    dm_name_parts_t parts;
    if (name.starts_with("loop")) {
        const size_t n = digits_at(name, 4);
        size_t end = 0;
        if (n == 0 || (parts.partition = partition_at(name, 4 + n, &end)) == 0 ||
            end != name.size())
            return dm_name_parts_t{};
        parts.kind = dm_name_kind_t::loop_partition;
        parts.base = name.substr(0, 4 + n);
        return parts;
    }
    dm_name_kind_t kind = dm_name_kind_t::none;
    const size_t len = base_length(name, &kind);
    if (len == 0)
        return parts;
    parts.base = name.substr(0, len);
    const std::string rest = name.substr(len);
    if (rest.empty()) {
        parts.kind = kind;
    } else if (kind == dm_name_kind_t::disk && (rest == DM_DUP_SUFFIX || rest == DM_TOP_SUFFIX)) {
        parts.kind = rest == DM_DUP_SUFFIX ? dm_name_kind_t::dup : dm_name_kind_t::top;
    } else if (size_t end = 0; (parts.partition = partition_at(name, len, &end)) != 0) {
        if (end == name.size()) {
            parts.kind = dm_name_kind_t::partition;
        } else if (kind == dm_name_kind_t::disk && name.compare(end, 2, "--") == 0 &&
                   split_lvm_name(name, &parts.group, &parts.volume) &&
                   parts.group.size() > end + 1 && parts.group[end] == '-') {
            // The group is "<base>p<K>-<guest's group>".
            parts.kind = dm_name_kind_t::volume;
        }
    }
    if (parts.kind == dm_name_kind_t::none)
        return dm_name_parts_t{};
    return parts;
}

void dm_wait_released(const std::string &device, int *budget_ms)
{
    while (*budget_ms > 0) {
        int fd = open(device.c_str(), O_RDONLY | O_EXCL | O_CLOEXEC);
        if (fd >= 0) {
            close(fd);
            return;
        }
        if (errno != EBUSY)
            return;
        usleep(100000);
        *budget_ms -= 100;
    }
}
