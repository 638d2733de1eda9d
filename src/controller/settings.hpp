#pragma once
// The process-wide run-time settings read from the appliance's registry. The
// record exists with its defaults from program start; the controller thread is
// its only writer and everybody else reads fields without a lock.

#include "common/types.hpp"

#include <cstdint>

struct reg_settings_t {
    char appliance_uuid[64];
    char master_uuid[64];
    tol_bool_t lumiread_optimize;
    tol_bool_t lumiread_lvm_enabled;
    int cache_ttl;
    tol_bool_t ondemand_refresh;
    tol_bool_t export_vm_uuid_enabled;
    int debug_level;
    int cbt_percent;
    tol_bool_t cbt_debug_enabled;
    tol_bool_t recover_automount_enabled;
    char vendor_id[11];
    uint32_t readahead_size;
    int snapshot_max_idle;
    int snapshot_max_life;
    int snapshot_retry_limit;
    tol_bool_t snapshot_blocking_removal;
    int nfc_session_reserved;
    tol_bool_t directio;
    int max_session;
};

// The one settings record. Never null; fields may be read at any time.
reg_settings_t *get_reg_settings();
