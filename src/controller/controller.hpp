#pragma once
// Requests to the appliance's local controller service: where it answers
// (reported by a branding script), whether it runs (a watchdog script),
// registry reads by POST and the master UUID by GET.

#include "common/errdesc.hpp"
#include "common/types.hpp"

#include <atomic>
#include <cstddef>

struct json_object;

inline constexpr const char *CONTROLLER_HOST = "127.0.0.1";
inline constexpr size_t CONTROLLER_URL_MAX = 1024;

// Receives the caller's pointer and the NUL-terminated reply body; its result
// becomes the request's.
using controller_callback_t = errdesc_t *(*)(void *user, const char *body);

// "http[s]://127.0.0.1:PORT". The text is the process-wide cache once a
// discovery succeeded; until then the uncached default "https://...:443".
// Never freed by the caller.
const char *controller_get_url();
// Forgets the cached URL, so that the next call asks the script again (tests).
void controller_forget_url();

// GET "%s/api/%s"; with `interrupt`, the transfer ends as soon as *interrupt
// is non-zero. The callback runs only for a non-empty body.
errdesc_t *controller_raw_do_get_ex(const char *base_url, const char *rest_object,
                                    const std::atomic<int> *interrupt, void *user,
                                    controller_callback_t callback);
// POST the JSON text of `json` to "%s/api/%s" (a trailing "/" of the base
// URL dropped first).
errdesc_t *controller_raw_do_post_json(const char *base_url, const char *rest_object,
                                       json_object *json, void *user,
                                       controller_callback_t callback);

// The registry value of `key` into `buffer` (empty when no value arrived).
errdesc_t *controller_get_registry_string(const char *key, char *buffer, size_t buffer_size);
// The master appliance's UUID: the reply body without its quotes.
errdesc_t *controller_get_master_uuid(char *buffer, size_t buffer_size);
// The "result" member of a registry reply into `buffer`.
errdesc_t *json_parse_registry_value(const char *json_text, const char *key, char *buffer,
                                     size_t buffer_size);
void json_add_string_field(json_object *json, const char *field_name, const char *value);

// Aborts every request in progress and every later one (at shutdown: the
// requests have no time limit, and a service that accepts connections and
// never answers must not hold the process).
void controller_abort_requests();
// Lets requests run again after controller_abort_requests (tests).
void controller_allow_requests();

// Whether the controller service runs. A test that cannot be carried out
// counts as running; only a script that ran and did not report "running"
// answers false.
tol_bool_t tolcontroller_is_running();
