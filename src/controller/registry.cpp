#include "controller/registry.hpp"

#include "common/logging.hpp"
#include "common/strings.hpp"
#include "controller/controller.hpp"
#include "controller/settings.hpp"

#include <cstdlib>
#include <cstring>

namespace
{

constexpr size_t VALUE_MAX = 256;

// Registry values always arrive as text. A boolean is false exactly for "0";
// numbers are what atoi/atol read (0 for text without a number).
bool parse_boolean(const char *text) { return strcmp(text, "0") != 0; }

void change_int(const char *key, int *field, int value)
{
    if (*field == value)
        return;
    ts_printf("reg: changing %s from %d to %d\n", key, *field, value);
    *field = value;
}

void change_bool(const char *key, tol_bool_t *field, bool value)
{
    int stored = *field;
    change_int(key, &stored, value ? 1 : 0);
    *field = tol_bool(stored != 0);
}

// The refresh works on a copy of the record and publishes it on every path,
// so readers see either the old record or one whose fields up to the failing
// key are refreshed, never a half-written field.
class refresh_t
{
  public:
    refresh_t() : next_(*get_reg_settings()) {}
    ~refresh_t() { reg_settings_publish(next_); }
    refresh_t(const refresh_t &) = delete;
    refresh_t &operator=(const refresh_t &) = delete;

    reg_settings_t &next() { return next_; }

    // The value of `key` into `text_` (256 bytes).
    errdesc_t *read(const char *key) { return controller_get_registry_string(key, text_, sizeof(text_)); }
    const char *text() const { return text_; }

    errdesc_t *refresh_bool(const char *key, tol_bool_t reg_settings_t::*field)
    {
        if (errdesc_t *err = read(key))
            return err;
        change_bool(key, &(next_.*field), parse_boolean(text_));
        return nullptr;
    }

    errdesc_t *refresh_int(const char *key, int reg_settings_t::*field)
    {
        if (errdesc_t *err = read(key))
            return err;
        change_int(key, &(next_.*field), atoi(text_));
        return nullptr;
    }

  private:
    reg_settings_t next_;
    char text_[VALUE_MAX] = "";
};

errdesc_t *refresh_identity(refresh_t &r)
{
    reg_settings_t &s = r.next();
    char uuid[sizeof(s.appliance_uuid)];
    if (errdesc_t *err = controller_get_registry_string("controller.uuid", uuid, sizeof(uuid)))
        return err;
    tol_safe_strncpy(s.appliance_uuid, uuid, sizeof(s.appliance_uuid));
    // The master UUID never ends the refresh: without one, this appliance is
    // its own master.
    char master[sizeof(s.master_uuid)];
    if (controller_get_master_uuid(master, sizeof(master)) || !master[0])
        tol_safe_strncpy(master, s.appliance_uuid, sizeof(master));
    tol_safe_strncpy(s.master_uuid, master, sizeof(s.master_uuid));
    return nullptr;
}

errdesc_t *refresh_features(refresh_t &r)
{
    errdesc_t *err = nullptr;
    if ((err = r.refresh_bool("lumiread.enabled", &reg_settings_t::lumiread_optimize)) ||
        (err = r.refresh_bool("lumiread.lvm.enabled", &reg_settings_t::lumiread_lvm_enabled)) ||
        (err = r.refresh_bool("directio.enabled", &reg_settings_t::directio)) ||
        (err = r.refresh_int("export.cache.ttl", &reg_settings_t::cache_ttl)) ||
        (err = r.refresh_bool("export.ondemand.enabled", &reg_settings_t::ondemand_refresh)) ||
        (err = r.refresh_bool("export.vm_uuid.enabled", &reg_settings_t::export_vm_uuid_enabled)))
        return err;

    if ((err = r.read("appliance.debug.level")))
        return err;
    int level = atoi(r.text());
    if (level != r.next().debug_level) {
        ts_printf("reg: changing %s from %d to %d\n", "appliance.debug.level",
                  r.next().debug_level, level);
        set_debug_level(level);
        r.next().debug_level = level;
    }

    if ((err = r.refresh_bool("appliance.cbt.debug", &reg_settings_t::cbt_debug_enabled)) ||
        (err = r.refresh_bool("recover.automount.enabled",
                              &reg_settings_t::recover_automount_enabled)) ||
        (err = r.refresh_int("appliance.cbt.percent", &reg_settings_t::cbt_percent)))
        return err;

    reg_settings_t &s = r.next();
    char vendor[sizeof(s.vendor_id)];
    if ((err = controller_get_registry_string("vendor.id", vendor, sizeof(vendor))))
        return err;
    tol_safe_strncpy(s.vendor_id, vendor[0] ? vendor : "Tolvane", sizeof(s.vendor_id));
    return nullptr;
}

errdesc_t *refresh_snapshots(refresh_t &r)
{
    reg_settings_t &s = r.next();
    // The read-ahead size is optional: without it the refresh goes on.
    if (!r.read("feature.read_ahead.size")) {
        auto size = static_cast<uint32_t>(atol(r.text()));
        if (size != s.readahead_size) {
            ts_printf("reg: changing %s from %zd to %zd\n", "feature.read_ahead.size",
                      static_cast<ssize_t>(s.readahead_size), static_cast<ssize_t>(size));
            s.readahead_size = size;
        }
    }
    errdesc_t *err = nullptr;
    if ((err = r.refresh_int("snapshot.max_idle", &reg_settings_t::snapshot_max_idle)) ||
        (err = r.refresh_int("snapshot.max_life", &reg_settings_t::snapshot_max_life)) ||
        (err = r.refresh_int("snapshot.retry_limit", &reg_settings_t::snapshot_retry_limit)) ||
        (err = r.refresh_bool("snapshot.blocking_removal",
                              &reg_settings_t::snapshot_blocking_removal)))
        return err;
    if ((err = r.read("nfc.session.reserved")))
        return err;
    // A negative reservation means "not configured": the stored one stays.
    if (int reserved = atoi(r.text()); reserved >= 0)
        change_int("nfc.session.reserved", &s.nfc_session_reserved, reserved);
    return r.refresh_int("export.max_session", &reg_settings_t::max_session);
}

} // namespace

errdesc_t *registry_settings_update()
{
    refresh_t refresh;
    errdesc_t *err = nullptr;
    if ((err = refresh_identity(refresh)) || (err = refresh_features(refresh)) ||
        (err = refresh_snapshots(refresh)))
        return err;
    return nullptr;
}
