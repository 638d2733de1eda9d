#pragma once
// The process-wide run-time settings read from the appliance's registry. The
// record exists with its defaults from program start. It is published as an
// immutable snapshot that is replaced whole: a reader holds one consistent
// record for as long as it keeps the pointer, and never sees a field of one
// refresh beside a field of another. Reading fields needs no lock.

#include "common/types.hpp"

#include <cstdint>
#include <functional>
#include <memory>

// The member initialisers are the defaults, in force until the first refresh
// and for good if the controller never answers.
struct reg_settings_t {
    char appliance_uuid[64] = "";
    char master_uuid[64] = "";
    tol_bool_t lumiread_optimize = TOL_TRUE;
    tol_bool_t lumiread_lvm_enabled = TOL_FALSE;
    int cache_ttl = 120;
    tol_bool_t ondemand_refresh = TOL_FALSE;
    tol_bool_t export_vm_uuid_enabled = TOL_FALSE;
    int debug_level = 0;
    int cbt_percent = 0;
    tol_bool_t cbt_debug_enabled = TOL_FALSE;
    tol_bool_t recover_automount_enabled = TOL_FALSE;
    char vendor_id[11] = "";
    uint32_t readahead_size = 1048576;
    int snapshot_max_idle = 300;
    int snapshot_max_life = 172800;
    int snapshot_retry_limit = 12;
    tol_bool_t snapshot_blocking_removal = TOL_TRUE;
    int nfc_session_reserved = 0;
    tol_bool_t directio = TOL_FALSE;
    int max_session = 50;
};

// The current settings. Never null; the record it points to never changes, so
// a reader that needs several fields to agree reads them through one pointer.
std::shared_ptr<const reg_settings_t> get_reg_settings();

// Replaces the current settings by a copy of `settings`, for every later
// get_reg_settings().
void reg_settings_publish(const reg_settings_t &settings);

// Publishes the current settings as changed by `change`. Concurrent updates
// do not lose each other's changes: `change` is applied again to the newer
// record when another update won the race.
void reg_settings_update(const std::function<void(reg_settings_t &)> &change);
