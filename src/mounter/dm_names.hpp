#pragma once
// Device-mapper names that no existing device has, and forced removal of a
// device-mapper device by its path.

#include "common/errdesc.hpp"

#include <string>

inline constexpr const char *DM_ROOT = "/dev/mapper";
inline constexpr unsigned DM_UNIQUE_NAME_ATTEMPTS = 1000000;

// "<prefix>.<n>" with n below 1000000, drawn from the current second, that
// has no entry under /dev/mapper. `*unique_name` must be empty on entry and
// stays empty on failure (EEXIST when every attempt met a taken name).
errdesc_t *dm_mk_unique_name(const char *prefix, std::string *unique_name);

// dm_mk_unique_name over another directory with a bounded number of attempts.
errdesc_t *dm_mk_unique_name_in(const char *dm_dir, const char *prefix, std::string *unique_name,
                                unsigned max_attempts);

// "dmsetup remove -f DM_PATH", whether or not the path exists.
errdesc_t *dm_remove_forced(const char *dm_path);

// Removes the device at `dm_path` with "dmsetup remove -f" when the path
// exists; EBADF when it is still there afterwards. A missing path succeeds.
errdesc_t *dm_check_and_remove(const char *dm_path);
