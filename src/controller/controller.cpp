#include "controller/controller.hpp"

#include "common/logging.hpp"
#include "common/programs.hpp"
#include "common/spawn.hpp"
#include "common/strings.hpp"
#include "common/unique_fd.hpp"
#include "controller/httpclnt.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <json-c/json.h>
#include <memory>
#include <mutex>
#include <string>

namespace
{

constexpr const char *DEFAULT_URL = "https://127.0.0.1:443";
constexpr int SCRIPT_TIMEOUT = 120;
constexpr size_t BRAND_OUTPUT_MAX = 1024;
constexpr size_t WATCHDOG_OUTPUT_MAX = 4096;
constexpr size_t REQUEST_URL_MAX = 1024;

struct url_cache_t {
    std::mutex mutex;
    char url[CONTROLLER_URL_MAX] = "";
    bool found = false;
} url_cache;

// Non-zero once the process is shutting down; armed in every request.
std::atomic<int> abort_flag{0};

struct handle_deleter {
    void operator()(http_handle_t *h) const { httpclnt_close(h); }
};
using handle_ptr = std::unique_ptr<http_handle_t, handle_deleter>;

// A response that is freed on every path.
struct scoped_response {
    http_response_t r;
    scoped_response() { httpclnt_response_init(&r); }
    ~scoped_response() { httpclnt_response_free(&r); }
    scoped_response(const scoped_response &) = delete;
    scoped_response &operator=(const scoped_response &) = delete;
};

struct json_deleter {
    void operator()(json_object *o) const { json_object_put(o); }
};
using json_ptr = std::unique_ptr<json_object, json_deleter>;

std::string request_url(const char *base_url, const char *rest_object)
{
    char url[REQUEST_URL_MAX];
    snprintf(url, sizeof(url), "%s/api/%s", base_url, rest_object);
    return url;
}

// Runs one of the controller's scripts and reads at most `max` bytes of its
// output. The script leads a process group, so that at the limit (or at
// shutdown) a child of its own that still holds the output goes too; the
// read is bounded by the same limit.
struct script_run_t {
    enum stage_t { NOT_STARTED, NOT_READ, ENDED } stage;
    errdesc_t *err; // why it stopped at that stage; for ENDED, the script's end
    size_t got;
};

script_run_t run_script(const char *const cmd[], char *text, size_t max, const char *wait_text)
{
    int rfd = -1;
    child_process child;
    text[0] = '\0';
    if (errdesc_t *err = spawn(cmd, SPAWN_READ | SPAWN_GROUP, &rfd, nullptr, child.out(), 0))
        return {script_run_t::NOT_STARTED, err, 0};
    unique_fd out(rfd);
    size_t got = 0;
    errdesc_t *err = spawn_read(child.get(), out.get(), text, max, &got, SCRIPT_TIMEOUT, wait_text);
    text[got] = '\0';
    if (err) {
        // Out of time (or unreadable): waiting would only wait out the limit.
        child.kill_and_reap();
        return {script_run_t::NOT_READ, err, got};
    }
    out.reset();
    return {script_run_t::ENDED, child.wait(wait_text, SCRIPT_TIMEOUT), got};
}

// Runs the branding script; false when it gave no port and scheme.
bool discover_url()
{
    const char *cmd[] = {tol_program_path(tol_program_t::brand_reader), "controller.port",
                         "controller.use_https", nullptr};
    char text[BRAND_OUTPUT_MAX + 1] = "";
    script_run_t run = run_script(cmd, text, BRAND_OUTPUT_MAX, "/branding/BrandReader.py");
    if (run.err) {
        _errdesc_print(run.err, TOL_PRIO_ERROR);
        return false;
    }
    int port = 0, https = 0;
    if (sscanf(text, "%d\n%d", &port, &https) != 2) {
        fputs("Error reading from BrandReader", stderr);
        return false;
    }
    const char *scheme = https ? "https" : "http";
    printf("Port: %d, protocol: %s\n", port, scheme);
    snprintf(url_cache.url, sizeof(url_cache.url), "%s://%s:%d", scheme, CONTROLLER_HOST, port);
    url_cache.found = true;
    return true;
}

errdesc_t *registry_reply(void *user, const char *body);

struct registry_read_t {
    const char *key;
    char *buffer;
    size_t buffer_size;
};

errdesc_t *registry_reply(void *user, const char *body)
{
    auto *read = static_cast<registry_read_t *>(user);
    return json_parse_registry_value(body, read->key, read->buffer, read->buffer_size);
}

struct text_buffer_t {
    char *buffer;
    size_t buffer_size;
};

// The reply is a JSON string: the UUID is what lies between its first and
// last character (empty for a reply of fewer than two characters).
errdesc_t *master_reply(void *user, const char *body)
{
    auto *out = static_cast<text_buffer_t *>(user);
    size_t len = strlen(body);
    std::string uuid = len >= 2 ? std::string(body + 1, len - 2) : std::string();
    tol_safe_strncpy(out->buffer, uuid.c_str(), out->buffer_size);
    return nullptr;
}

} // namespace

const char *controller_get_url()
{
    std::lock_guard lock(url_cache.mutex);
    if (url_cache.found)
        return url_cache.url;
    url_cache.url[0] = '\0';
    return discover_url() ? url_cache.url : DEFAULT_URL;
}

void controller_forget_url()
{
    std::lock_guard lock(url_cache.mutex);
    url_cache.found = false;
    url_cache.url[0] = '\0';
}

errdesc_t *controller_raw_do_get_ex(const char *base_url, const char *rest_object,
                                    const std::atomic<int> *interrupt, void *user,
                                    controller_callback_t callback)
{
    http_handle_t *raw = nullptr;
    if (errdesc_t *err = httpclnt_open(&raw))
        return err;
    handle_ptr handle(raw);
    scoped_response response;
    if (errdesc_t *err = httpclnt_interrupt(handle.get(), interrupt ? interrupt : &abort_flag))
        return err;
    std::string url = request_url(base_url, rest_object);
    if (errdesc_t *err = httpclnt_get(handle.get(), url.c_str(), &response.r))
        return err;
    if (!response.r.body.base || response.r.body.length == 0)
        return nullptr;
    return callback(user, response.r.body.base);
}

errdesc_t *controller_raw_do_post_json(const char *base_url, const char *rest_object,
                                       json_object *json, void *user,
                                       controller_callback_t callback)
{
    std::string base = base_url;
    if (!base.empty() && base.back() == '/')
        base.pop_back();
    std::string body = json_object_to_json_string(json);
    http_handle_t *raw = nullptr;
    if (errdesc_t *err = httpclnt_open(&raw))
        return err;
    handle_ptr handle(raw);
    if (errdesc_t *err = httpclnt_set_content_type_in_header(
            handle.get(), "Content-Type: application/json; charset=UTF-8"))
        return err;
    if (errdesc_t *err = httpclnt_interrupt(handle.get(), &abort_flag))
        return err;
    scoped_response response;
    std::string url = request_url(base.c_str(), rest_object);
    if (errdesc_t *err = httpclnt_post(handle.get(), url.c_str(), body.c_str(), &response.r))
        return err;
    if (!response.r.body.base || response.r.body.length == 0)
        return nullptr;
    return callback(user, response.r.body.base);
}

errdesc_t *json_parse_registry_value(const char *json_text, const char *key, char *buffer,
                                     size_t buffer_size)
{
    json_ptr reply(json_tokener_parse(json_text));
    if (!reply)
        return errdesc_set_fmt(ERR_JSON_PARSE_ERROR, "could not parse json_string");
    json_object *code = nullptr;
    // -1 is what a missing member reads as, so it counts as missing.
    if (!json_object_object_get_ex(reply.get(), "error_code", &code) ||
        json_object_get_int(code) == -1)
        return errdesc_set_fmt(ERR_JSON_MISSING_FIELD, "Missing %s in json string", "error_code");
    if (json_object_get_int(code) != 0)
        return errdesc_set_fmt(ERR_REGISTRY_KEY_NOT_FOUND, "Registry %s is not found", key);
    json_object *result = nullptr;
    const char *text = json_object_object_get_ex(reply.get(), "result", &result)
                           ? json_object_get_string(result)
                           : nullptr;
    if (!text || !*text)
        return errdesc_set_fmt(ERR_JSON_MISSING_FIELD, "Missing %s in json string", "result");
    tol_safe_strncpy(buffer, text, buffer_size);
    return nullptr;
}

void json_add_string_field(json_object *json, const char *field_name, const char *value)
{
    if (!value) {
        fprintf(stderr, "warning: empty value for field \"%s\"\n", field_name);
        value = "";
    }
    json_object_object_add(json, field_name, json_object_new_string(value));
}

errdesc_t *controller_get_registry_string(const char *key, char *buffer, size_t buffer_size)
{
    buffer[0] = '\0';
    json_ptr request(json_object_new_object());
    json_add_string_field(request.get(), "method_name", "get_value");
    json_add_string_field(request.get(), "method_args", key);
    registry_read_t read{key, buffer, buffer_size};
    return controller_raw_do_post_json(controller_get_url(), "registry", request.get(), &read,
                                       registry_reply);
}

errdesc_t *controller_get_master_uuid(char *buffer, size_t buffer_size)
{
    buffer[0] = '\0';
    text_buffer_t out{buffer, buffer_size};
    return controller_raw_do_get_ex(controller_get_url(), "node?get_master", nullptr, &out,
                                    master_reply);
}

void controller_abort_requests()
{
    abort_flag = 1;
}

void controller_allow_requests()
{
    abort_flag = 0;
}

tol_bool_t tolcontroller_is_running()
{
    const char *script = tol_program_path(tol_program_t::watchdog_test_controller);
    const char *cmd[] = {script, nullptr};
    char text[WATCHDOG_OUTPUT_MAX + 1];
    script_run_t run = run_script(cmd, text, WATCHDOG_OUTPUT_MAX, script);
    // A test that cannot be carried out counts as "running".
    if (run.stage == script_run_t::NOT_STARTED) {
        _errdesc_log(run.err, TOL_PRIO_INFO);
        return TOL_TRUE;
    }
    if (run.got == 0) {
        errdesc_t *err = run.stage == script_run_t::NOT_READ
                             ? run.err
                             : errdesc_set_fmt(ERR_UNKNOWN, "Failed to read controller's status.");
        _errdesc_log(err, TOL_PRIO_INFO);
        return TOL_TRUE;
    }
    return run.stage == script_run_t::ENDED && !run.err && strstr(text, "running") ? TOL_TRUE
                                                                                   : TOL_FALSE;
}
