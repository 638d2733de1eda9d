#include "controller/httpclnt.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

// The controller's protocol is fixed to the classic progress callback and the
// floating-point content length; libcurl keeps both, though newer names exist.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

namespace
{

std::once_flag curl_global_once;

// Appends one piece to an http_buffer_t and keeps it NUL-terminated. A piece
// that does not fit in memory is refused: libcurl then fails the transfer
// with CURLE_WRITE_ERROR instead of storing a truncated reply.
size_t memory_sink(char *piece, size_t size, size_t count, void *userdata)
{
    auto *buf = static_cast<http_buffer_t *>(userdata);
    size_t n = size * count;
    auto *grown = static_cast<char *>(realloc(buf->base, buf->length + n + 1));
    if (!grown)
        return 0;
    buf->base = grown;
    memcpy(buf->base + buf->length, piece, n);
    buf->length += n;
    buf->base[buf->length] = '\0';
    return n;
}

int progress_callback(void *flag, double, double, double, double)
{
    return static_cast<const std::atomic<int> *>(flag)->load() != 0;
}

errdesc_t *curl_failure(CURLcode code, const char *what)
{
    return errdesc_set_fmt(code, "Cannot set %s: %s", what, curl_easy_strerror(code));
}

template <typename Value>
errdesc_t *set_option(CURL *curl, CURLoption option, Value value, const char *name)
{
    CURLcode code = curl_easy_setopt(curl, option, value);
    return code == CURLE_OK ? nullptr : curl_failure(code, name);
}

#define SET_OPTION(curl, option, value) set_option((curl), (option), (value), #option)

class handle_lock
{
  public:
    explicit handle_lock(http_handle_t *h) : h_(h) { pthread_mutex_lock(&h_->mutex); }
    ~handle_lock() { pthread_mutex_unlock(&h_->mutex); }
    handle_lock(const handle_lock &) = delete;
    handle_lock &operator=(const handle_lock &) = delete;

  private:
    http_handle_t *h_;
};

errdesc_t *get_info_failure(CURLcode code)
{
    return errdesc_set_fmt(code, "Cannot get curl info: %s", curl_easy_strerror(code));
}

// The options every request sets, the transfer and the status check.
errdesc_t *do_request(http_handle_t *h, const char *url, http_response_t *response)
{
    CURL *c = h->curl_hndl;
    errdesc_t *err = nullptr;
    if ((err = SET_OPTION(c, CURLOPT_URL, url)) || (err = SET_OPTION(c, CURLOPT_NOSIGNAL, 1L)) ||
        (err = SET_OPTION(c, CURLOPT_SSL_VERIFYPEER, 0L)) ||
        (err = SET_OPTION(c, CURLOPT_SSL_VERIFYHOST, 0L)))
        return err;
    if (h->http_headers && (err = SET_OPTION(c, CURLOPT_HTTPHEADER, h->http_headers)))
        return err;
    if ((err = SET_OPTION(c, CURLOPT_WRITEFUNCTION, memory_sink)) ||
        (err = SET_OPTION(c, CURLOPT_WRITEDATA, &response->body)) ||
        (err = SET_OPTION(c, CURLOPT_HEADERFUNCTION, memory_sink)) ||
        (err = SET_OPTION(c, CURLOPT_WRITEHEADER, &response->header)))
        return err;

    CURLcode code = curl_easy_perform(c);
    if (code != CURLE_OK)
        return errdesc_set_fmt(code, "Cannot perform operations on %s: %s", url,
                               curl_easy_strerror(code));
    code = curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &response->status);
    if (code != CURLE_OK)
        return get_info_failure(code);
    if ((err = httpclnt_check_response(response->status, url,
                                       response->header.base ? response->header.base : "")))
        return err;
    double length = 0;
    code = curl_easy_getinfo(c, CURLINFO_CONTENT_LENGTH_DOWNLOAD, &length);
    if (code != CURLE_OK)
        return get_info_failure(code);
    response->content_length = static_cast<int64_t>(length);
    return nullptr;
}

} // namespace

errdesc_t *httpclnt_check_response(long status, const char *url, const char *header_text)
{
    if (status == 0 || (status >= 200 && status <= 299))
        return nullptr;
    int number = EIO;
    if (status == 404 || status == 500 || status == 503)
        number = EAGAIN;
    else if (status == 401)
        number = EKEYEXPIRED;
    return errdesc_set_fmt(number, "HTTP error status %ld: %s: %s", status, url, header_text);
}

errdesc_t *httpclnt_open(http_handle_t **handle)
{
    std::call_once(curl_global_once, [] { curl_global_init(CURL_GLOBAL_ALL); });
    auto *h = static_cast<http_handle_t *>(calloc(1, sizeof(http_handle_t)));
    if (!h)
        return errdesc_set(ERR_OUT_OF_MEM);
    h->curl_hndl = curl_easy_init();
    if (!h->curl_hndl) {
        free(h);
        return errdesc_set_fmt(ERR_OUT_OF_MEM, "Cannot create a curl handle");
    }
    pthread_mutex_init(&h->mutex, nullptr);
    if (errdesc_t *err = SET_OPTION(h->curl_hndl, CURLOPT_COOKIESESSION, 0L)) {
        httpclnt_close(h);
        return err;
    }
    *handle = h;
    return nullptr;
}

void httpclnt_close(http_handle_t *handle)
{
    if (!handle)
        return;
    curl_easy_cleanup(handle->curl_hndl);
    curl_slist_free_all(handle->http_headers);
    pthread_mutex_destroy(&handle->mutex);
    free(handle);
}

errdesc_t *httpclnt_set_content_type_in_header(http_handle_t *handle, const char *header_line)
{
    if (!header_line || !*header_line)
        return errdesc_set_fmt(EINVAL, "Cannot set Content-Type to NULL");
    curl_slist_free_all(handle->http_headers);
    handle->http_headers = curl_slist_append(nullptr, header_line);
    return handle->http_headers ? nullptr : errdesc_set(ERR_OUT_OF_MEM);
}

errdesc_t *httpclnt_interrupt(http_handle_t *handle, const std::atomic<int> *flag)
{
    handle_lock lock(handle);
    CURL *c = handle->curl_hndl;
    if (!flag)
        return SET_OPTION(c, CURLOPT_NOPROGRESS, 1L);
    // All three are tried; the last failure is the one reported.
    errdesc_t *result = nullptr;
    if (errdesc_t *err = SET_OPTION(c, CURLOPT_NOPROGRESS, 0L))
        result = err;
    if (errdesc_t *err = SET_OPTION(c, CURLOPT_PROGRESSFUNCTION, progress_callback))
        result = err;
    if (errdesc_t *err = SET_OPTION(c, CURLOPT_PROGRESSDATA, const_cast<void *>(static_cast<const void *>(flag))))
        result = err;
    return result;
}

errdesc_t *httpclnt_get(http_handle_t *handle, const char *url, http_response_t *response)
{
    handle_lock lock(handle);
    if (errdesc_t *err = SET_OPTION(handle->curl_hndl, CURLOPT_HTTPGET, 1L))
        return err;
    return do_request(handle, url, response);
}

errdesc_t *httpclnt_post(http_handle_t *handle, const char *url, const char *body,
                         http_response_t *response)
{
    handle_lock lock(handle);
    if (errdesc_t *err = SET_OPTION(handle->curl_hndl, CURLOPT_POSTFIELDS, body))
        return err;
    return do_request(handle, url, response);
}

void httpclnt_response_init(http_response_t *response)
{
    *response = http_response_t{};
}

void httpclnt_response_free(http_response_t *response)
{
    free(response->header.base);
    free(response->body.base);
    httpclnt_response_init(response);
}
