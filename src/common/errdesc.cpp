// Per-thread error descriptors: filling, the two log line formats, and the
// errors that the store's component records in extended attributes.

#include "common/errdesc.hpp"

#include "common/strings.hpp"

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <sys/xattr.h>
#include <syslog.h>
#include <unistd.h>
#include <vector>

const errnum_str_t errnum_table[ERRNUM_TABLE_ROWS] = {
    {"base", ERR_BASE},
    {"out of memory", ERR_OUT_OF_MEM},
    {"filesystem not mounted", ERR_FS_NOT_MOUNTED},
    {"out of range", ERR_OUT_OF_RANGE},
    {"overflow", ERR_OVERFLOW},
    {"unmatched", ERR_UNMATCHED},
    {"controller down", ERR_CONTROLLER_DOWN},
    {"json parse error", ERR_JSON_PARSE_ERROR},
    {"json missing field", ERR_JSON_MISSING_FIELD},
    {"invalid argument", ERR_INVALID_ARG},
    {"invalid command", ERR_INVALID_COMMAND},
    {"not found", ERR_OBJ_NOT_FOUND},
    {"already exists", ERR_OBJ_EXISTS},
    {"not available", ERR_NOT_AVAILABLE},
    {"I/O error", ERR_IO},
    {"cancelled", ERR_CANCELLED},
    {"insufficient access rights", ERR_INSUFFICIENT_PERMS},
    {"not supported", ERR_NOT_SUPPORTED},
    {"connection refused", ERR_CONNECTION_REFUSED},
    {"unknown error", ERR_UNKNOWN},
    {"registry key not found", ERR_REGISTRY_KEY_NOT_FOUND},
    {"max", ERR_MAX},
    {"NULL", 0},
};

namespace {

constexpr int ERRNO_MAX = 131;
constexpr size_t SET_STR_BUFLEN = 512; // messages built by set_str and set_fmt

// strerror_r exists in a GNU and an XSI flavour; these accept either result.
[[maybe_unused]] const char *strerror_result(int rc, const char *buf)
{
    return rc == 0 ? buf : "unknown error";
}
[[maybe_unused]] const char *strerror_result(const char *text, const char *) { return text; }

pthread_key_t errdesc_key;
pthread_once_t errdesc_once = PTHREAD_ONCE_INIT;
bool errdesc_key_ok = false;

// Used only when the thread-specific slot cannot be set, so that a caller
// always gets a descriptor back.
errdesc_t errdesc_fallback;

void errdesc_destroy(void *ptr) { delete static_cast<errdesc_t *>(ptr); }

void errdesc_key_create()
{
    errdesc_key_ok = pthread_key_create(&errdesc_key, errdesc_destroy) == 0;
    // The first backtrace() loads the unwinder; do it here so that capturing a
    // stack while setting an error allocates nothing later.
    stacktrace_t warmup;
    stacktrace_get(&warmup);
}

errdesc_t *errdesc_current()
{
    pthread_once(&errdesc_once, errdesc_key_create);
    if (!errdesc_key_ok)
        return &errdesc_fallback;
    auto *err = static_cast<errdesc_t *>(pthread_getspecific(errdesc_key));
    if (err)
        return err;
    auto owned = std::make_unique<errdesc_t>();
    owned->sequence = 0;
    if (pthread_setspecific(errdesc_key, owned.get()) != 0)
        return &errdesc_fallback;
    return owned.release(); // the key's destructor frees it at thread end
}

// Steps common to every set operation, into any descriptor.
void errdesc_fill(errdesc_t *err, errnum_t number, const char *string, uint32_t linenumber,
                  const char *filename)
{
    err->status = ERRDESC_ALLOCATED;
    gettimeofday(&err->timestamp, nullptr);
    if (gethostname(err->hostname, sizeof(err->hostname)) != 0)
        err->hostname[0] = '\0';
    err->hostname[sizeof(err->hostname) - 1] = '\0';
    err->number = number;
    tol_safe_strncpy(err->string, string ? string : "", sizeof(err->string));
    err->linenumber = linenumber;
    tol_safe_strncpy(err->filename, filename ? filename : "", sizeof(err->filename));
    err->sequence++;
    err->tid = pthread_self();
    err->origin = ERRDESC_FROM_CALL;
    stacktrace_get(&err->bt_buf);
}

void format_time(const struct timeval &tv, char *buf, size_t buflen)
{
    struct tm tm;
    time_t secs = tv.tv_sec;
    localtime_r(&secs, &tm);
    if (strftime(buf, buflen, "%Y-%m-%d %H:%M:%S", &tm) == 0)
        buf[0] = '\0';
}

} // namespace

const char *errnum_text(errnum_t number, char *buf, size_t buflen)
{
    const char *text = "unknown error";
    if (number > ERR_BASE && number < ERR_MAX) {
        text = errnum_table[number - ERR_BASE].string;
    } else if (number >= 1 && number <= ERRNO_MAX) {
        char sysbuf[1024];
        sysbuf[0] = '\0';
        text = strerror_result(strerror_r(number, sysbuf, sizeof(sysbuf)), sysbuf);
    }
    tol_safe_strncpy(buf, text, buflen);
    return buf;
}

const char *errdesc_priority_name(int priority)
{
    switch (priority) {
    case TOL_PRIO_WARNING:
        return "WARNING";
    case TOL_PRIO_INFO:
        return "INFO";
    case TOL_PRIO_DEBUG:
        return "DEBUG";
    default:
        return "ERROR";
    }
}

errdesc_t *_intern_errdesc_set_str(errnum_t number, const char *string, uint32_t linenumber,
                                   const char *filename)
{
    errdesc_t *err = errdesc_current();
    errdesc_fill(err, number, string, linenumber, filename);
    return err;
}

errdesc_t *_errdesc_set(errnum_t number, uint32_t linenumber, const char *filename)
{
    char text[1024];
    errnum_text(number, text, sizeof(text));
    return _intern_errdesc_set_str(number, text, linenumber, filename);
}

errdesc_t *_errdesc_set_str(errnum_t number, const char *string, uint32_t linenumber,
                            const char *filename)
{
    char text[1024];
    char msg[SET_STR_BUFLEN];
    errnum_text(number, text, sizeof(text));
    tol_safe_snprintf(msg, sizeof(msg), "%s: %s", string ? string : "", text);
    return _intern_errdesc_set_str(number, msg, linenumber, filename);
}

errdesc_t *_errdesc_set_fmt(errnum_t number, uint32_t linenumber, const char *filename,
                            const char *fmt, ...)
{
    char msg[SET_STR_BUFLEN];
    va_list args;
    va_start(args, fmt);
    vsnprintf(msg, sizeof(msg), fmt, args);
    va_end(args);
    return _intern_errdesc_set_str(number, msg, linenumber, filename);
}

errdesc_t *_errdesc_exit_status(int status, const char *string, uint32_t linenumber,
                                const char *filename)
{
    if (status == -1)
        return _errdesc_set_str(errno, string, linenumber, filename);
    if ((status & 0x7f) != 0)
        return _errdesc_set_str(EINVAL, string, linenumber, filename);
    int code = (status >> 8) & 0xff;
    if (code == 0)
        return nullptr;
    errdesc_t *err = _intern_errdesc_set_str(code, string, linenumber, filename);
    err->origin = ERRDESC_FROM_CHILD;
    return err;
}

errdesc_t *_errdesc_set_extended_err(errnum_t number, const char *path, uint32_t linenumber,
                                     const char *filename)
{
    if (!path)
        return _errdesc_set(number, linenumber, filename);

    // The attribute values carry no terminator: keep one byte spare for ours.
    char numbuf[65];
    ssize_t len = getxattr(path, "user.err_num", numbuf, 64);
    if (len <= 0)
        return _errdesc_set_str(number, path, linenumber, filename);
    numbuf[len] = '\0';
    long recorded = strtol(numbuf, nullptr, 10);
    if (recorded == 0)
        return _errdesc_set_str(number, path, linenumber, filename);

    ssize_t slen = getxattr(path, "user.err_string", nullptr, 0);
    if (slen <= 0)
        return _errdesc_set_str(static_cast<errnum_t>(recorded), path, linenumber, filename);
    std::vector<char> text(static_cast<size_t>(slen) + 1, '\0');
    ssize_t got = getxattr(path, "user.err_string", text.data(), static_cast<size_t>(slen));
    if (got <= 0)
        return _errdesc_set_str(static_cast<errnum_t>(recorded), path, linenumber, filename);
    text[static_cast<size_t>(got)] = '\0';
    return _errdesc_set_str(static_cast<errnum_t>(recorded), text.data(), linenumber, filename);
}

void _errdesc_fprint(FILE *out, errdesc_t *err, int priority)
{
    if (!err || !out)
        return;
    char when[64];
    format_time(err->timestamp, when, sizeof(when));
    fprintf(out, "%s.%06ld: %s [thread:%lu, where:%s:%d, error:%d] %s\n", when,
            static_cast<long>(err->timestamp.tv_usec), errdesc_priority_name(priority),
            static_cast<unsigned long>(err->tid), err->filename,
            static_cast<int>(err->linenumber), err->number, err->string);
    err->status |= ERRDESC_PRINTED;
}

void _errdesc_print(errdesc_t *err, int priority) { _errdesc_fprint(stdout, err, priority); }

void _errdesc_log(errdesc_t *err, int priority)
{
    if (!err)
        return;
    _errdesc_print(err, priority);
    syslog(priority, "%s [thread:%lu, where:%s:%d, error:%d] %s\n",
           errdesc_priority_name(priority), static_cast<unsigned long>(err->tid), err->filename,
           static_cast<int>(err->linenumber), err->number, err->string);
    err->status |= ERRDESC_LOGGED;
}

errdesc_keeper::errdesc_keeper() : saved_(*errdesc_current()) {}

errdesc_keeper::~errdesc_keeper()
{
    // The sequence counts every error set on the thread, the hidden ones too.
    errdesc_t *err = errdesc_current();
    const uint64_t sequence = err->sequence;
    *err = saved_;
    err->sequence = sequence;
}

void _errdesc_log_aside(int priority, errnum_t number, uint32_t linenumber, const char *filename,
                        const char *fmt, ...)
{
    char msg[SET_STR_BUFLEN];
    va_list args;
    va_start(args, fmt);
    vsnprintf(msg, sizeof(msg), fmt, args);
    va_end(args);
    // A descriptor of its own, so that the thread's pending error survives.
    errdesc_t err{};
    errdesc_fill(&err, number, msg, linenumber, filename);
    _errdesc_log(&err, priority);
}
