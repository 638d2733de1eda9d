#pragma once
// The settings refresh: every registry key of the settings record, read from
// the controller service in a fixed order.

#include "common/errdesc.hpp"

// Refreshes the settings record. The first failing read ends the refresh and
// is returned; the fields read before it keep their new values, the others
// their old ones. A failed master-UUID read and a failed read of
// "feature.read_ahead.size" do not end it.
errdesc_t *registry_settings_update();
