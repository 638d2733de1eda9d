#pragma once
// LVM volume groups on the partitions of a mounted disk. Each group found on
// the disk's snapshot overlay is renamed "<base>p<k>-<name>" and given new
// identifiers, so that it is told apart from the appliance's own groups and
// from other mounted copies of the same guest, and its logical volumes are
// activated. All of it is written through the overlay and vanishes with it.
//
// Every LVM command that the mounter runs scans the partition devices of
// this one disk and nothing else (a device filter in "--config"): the same
// physical volume is also visible on the partition mapping of the flat
// image that the disk is read from, and other views may show other copies
// of the same guest, so an unfiltered scan would meet duplicates, and it
// could touch the machine's own groups.
//
// Decisions where a disk goes beyond the simple case:
// - Groups of several LVM partitions are gathered into the one table of the
//   disk; a group that spans several partitions of the disk is reported for
//   each of them and brought up once (under the position of the first).
// - Only a group with one physical volume gets new identifiers: the
//   identifier of a further physical volume cannot be rewritten without
//   pvcreate on its device as well, so such a group keeps its identifiers
//   (logged) and is only renamed; the device filter keeps it apart all the
//   same.
// - More than 4 groups or more than 20 logical volumes in a group: the rest
//   is logged and left alone (not renamed, not activated, not mounted);
//   what fits is still shown.
// - A failure part-way: the logical volumes activated so far are
//   deactivated again by their owner; the renamed groups live only in the
//   snapshot store and go with it.

#include "common/errdesc.hpp"
#include "mounter/disk_record.hpp"

#include <cstdio>
#include <string>
#include <vector>

// The logical volumes that one disk activated. Release deactivates each
// ("lvchange -an", repeated at once after a failure within a budget of 5
// runs for the whole release, every volume getting at least one run) and
// removes its device when it is still there. The result is that of the last
// lvchange run.
class volgroup_activation
{
  public:
    volgroup_activation() = default;
    ~volgroup_activation();
    volgroup_activation(volgroup_activation &&other) noexcept;
    volgroup_activation &operator=(volgroup_activation &&other) noexcept;
    volgroup_activation(const volgroup_activation &) = delete;
    volgroup_activation &operator=(const volgroup_activation &) = delete;

    // "lvchange -ay" of `lv` ("/dev/VG/LV") with the LVM configuration
    // `config`; the volume is owned from the attempt on, so a half-made
    // activation is undone too.
    errdesc_t *activate(const std::string &lv, const std::string &config);

    // Takes over volumes that another process activated.
    static volgroup_activation adopt(std::vector<std::string> volumes, std::string config);

    const std::vector<std::string> &volumes() const { return volumes_; }
    bool empty() const { return volumes_.empty(); }
    errdesc_t *release();

  private:
    std::vector<std::string> volumes_;
    std::string config_;
};

inline constexpr int LVCHANGE_RELEASE_BUDGET = 5;

// The "--config" text under which the LVM tools see the partition devices
// of the disk device `base` ("/dev/mapper/<base>p<N>") and nothing else.
std::string lvm_disk_config(const std::string &base);

// Copies LVM metadata from `in` to `out`, replacing in every identifier
// line ("id = ") the last six characters of the identifier by `tail`
// (six digits). `*pv_uuid` receives the first identifier after "pv0 {", as
// changed; `*pv_count` the number of physical volume sections. Lines too
// short to hold an identifier are copied unchanged.
errdesc_t *lvm_rewrite_ids(FILE *in, FILE *out, const char *tail, std::string *pv_uuid,
                           int *pv_count);

// New identifiers for the renamed group `vg_name` whose first physical
// volume is `part_dev_path`: its backup "/etc/lvm/backup/<vg_name>" is
// rewritten into "/tmp/<vg_name>", then pvcreate --restorefile and
// vgcfgrestore apply it. Files that cannot be opened or written leave the
// group as it is (success).
errdesc_t *vdsk_change_lvm_ids(const char *vg_name, const char *part_dev_path,
                               const std::string &config);

// Renames, re-identifies and activates the groups on the VOL_LVM partitions
// of `vdskdesc->part_map` into `volgrp_map`; the activated volumes go to
// `*activation` and are probed for their file-system type.
errdesc_t *vdsk_get_volgroups(vdskdesc_t *vdskdesc, volgroup_activation *activation);
// Deactivates the volumes and empties `volgrp_map`.
errdesc_t *vdsk_free_volgroups(vdskdesc_t *vdskdesc, volgroup_activation *activation);
