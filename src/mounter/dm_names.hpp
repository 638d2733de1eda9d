#pragma once
// Device-mapper names that no existing device has, and forced removal of a
// device-mapper device by its path.

#include "common/errdesc.hpp"

#include <string>

inline constexpr const char *DM_ROOT = "/dev/mapper";
// Prefix of merged change-block devices ("cbt.N"); a disk device's prefix is
// its CID in lower-case hexadecimal ("1a2b3c.N").
inline constexpr const char *MERGED_DM_PREFIX = "cbt";
// A disk device's duplicate and snapshot: "<base>.dup", "<base>.top".
inline constexpr const char *DM_DUP_SUFFIX = ".dup";
inline constexpr const char *DM_TOP_SUFFIX = ".top";

// The names that recovery_fs and its mounter give, and the names that kpartx
// and LVM give to what sits on those devices. This is the one place where
// they are told apart from the names of everyone else.
enum class dm_name_kind_t {
    none,           // not one of ours
    merged,         // "cbt.N"
    disk,           // "HEX.N"
    dup,            // "HEX.N.dup"
    top,            // "HEX.N.top"
    partition,      // "BASEpK" (kpartx on a merged or disk device)
    volume,         // "HEX.NpK--VG-LV" (a logical volume of a renamed group)
    loop_partition, // "loopNpK" (kpartx on a loop device: ours only if the loop device is)
};

struct dm_name_parts_t {
    dm_name_kind_t kind = dm_name_kind_t::none;
    // The device that the name belongs to or sits on: "cbt.N", "HEX.N", "loopN".
    std::string base;
    int partition = 0;
    // A logical volume's group ("HEX.NpK-VG") and volume, as LVM names them.
    std::string group;
    std::string volume;
};

dm_name_parts_t dm_parse_name(const std::string &name);
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

// Waits, within what is left of `*budget_ms`, until `device` can be opened
// exclusively (nothing mounted on it or holding it): a lazy unmount lets go
// of its device a moment later.
void dm_wait_released(const std::string &device, int *budget_ms);
