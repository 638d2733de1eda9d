// The settings record and its defaults. The values hold until the first
// successful refresh from the controller, and for good if it never answers.

#include "controller/settings.hpp"

namespace
{

reg_settings_t reg_settings = {
    .appliance_uuid = "",
    .master_uuid = "",
    .lumiread_optimize = TOL_TRUE,
    .lumiread_lvm_enabled = TOL_FALSE,
    .cache_ttl = 120,
    .ondemand_refresh = TOL_FALSE,
    .export_vm_uuid_enabled = TOL_FALSE,
    .debug_level = 0,
    .cbt_percent = 0,
    .cbt_debug_enabled = TOL_FALSE,
    .recover_automount_enabled = TOL_FALSE,
    .vendor_id = "",
    .readahead_size = 1048576,
    .snapshot_max_idle = 300,
    .snapshot_max_life = 172800,
    .snapshot_retry_limit = 12,
    .snapshot_blocking_removal = TOL_TRUE,
    .nfc_session_reserved = 0,
    .directio = TOL_FALSE,
    .max_session = 50,
};

} // namespace

reg_settings_t *get_reg_settings()
{
    return &reg_settings;
}
