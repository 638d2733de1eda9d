#pragma once
// A small HTTP(S) client over libcurl's easy interface for the controller
// service: one handle per request, headers and body captured in memory,
// libcurl failures and error statuses turned into error descriptors.
//
// No connection or transfer time limit is set: a request that must be
// abandoned (at shutdown) needs the interrupt flag.

#include "common/errdesc.hpp"

#include <cstddef>
#include <atomic>
#include <cstdint>
#include <curl/curl.h>
#include <pthread.h>

struct http_handle_t {
    pthread_mutex_t mutex; // serialises option changes and the transfer
    CURL *curl_hndl;
    struct curl_slist *http_headers; // extra request header lines, or null
};

// Memory that a request filled: NUL-terminated, the terminator not counted.
struct http_buffer_t {
    char *base; // null when no byte arrived
    size_t length;
};

struct http_response_t {
    long status;            // 0 until a response has arrived
    int64_t content_length; // set only when the status check passed
    http_buffer_t header;   // every response header line as received
    http_buffer_t body;
};

errdesc_t *httpclnt_open(http_handle_t **handle);
void httpclnt_close(http_handle_t *handle);
// Replaces the extra header lines with `header_line`; takes no lock.
errdesc_t *httpclnt_set_content_type_in_header(http_handle_t *handle, const char *header_line);
// With `flag`, the next transfer is aborted as soon as `*flag` is non-zero;
// with null, progress reporting is off.
errdesc_t *httpclnt_interrupt(http_handle_t *handle, const std::atomic<int> *flag);
errdesc_t *httpclnt_get(http_handle_t *handle, const char *url, http_response_t *response);
// `body` must stay valid until the call returns; it is sent unchanged.
errdesc_t *httpclnt_post(http_handle_t *handle, const char *url, const char *body,
                         http_response_t *response);
void httpclnt_response_init(http_response_t *response);
// Header and body belong to the response on every path, also after a failure.
void httpclnt_response_free(http_response_t *response);
// The status table: 0 and 2xx succeed, 404/500/503 are EAGAIN, 401 is
// EKEYEXPIRED, anything else EIO.
errdesc_t *httpclnt_check_response(long status, const char *url, const char *header_text);
