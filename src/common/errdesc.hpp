#pragma once
// Per-thread error descriptors: every fallible operation returns one (failure)
// or nullptr (success). The descriptor belongs to the calling thread; it stays
// valid until that thread sets its next error, and receivers never free it.

#include "common/types.hpp"

#include <cstdint>
#include <cstdio>
#include <pthread.h>
#include <sys/time.h>

using errnum_t = int32_t;

enum : errnum_t {
    ERR_BASE = 1000,
    ERR_OUT_OF_MEM = 1001,
    ERR_FS_NOT_MOUNTED = 1002,
    ERR_OUT_OF_RANGE = 1003,
    ERR_OVERFLOW = 1004,
    ERR_UNMATCHED = 1005,
    ERR_CONTROLLER_DOWN = 1006,
    ERR_JSON_PARSE_ERROR = 1007,
    ERR_JSON_MISSING_FIELD = 1008,
    ERR_INVALID_ARG = 1009,
    ERR_INVALID_COMMAND = 1010,
    ERR_OBJ_NOT_FOUND = 1011,
    ERR_OBJ_EXISTS = 1012,
    ERR_NOT_AVAILABLE = 1013,
    ERR_IO = 1014,
    ERR_CANCELLED = 1015,
    ERR_INSUFFICIENT_PERMS = 1016,
    ERR_NOT_SUPPORTED = 1017,
    ERR_CONNECTION_REFUSED = 1018,
    ERR_UNKNOWN = 1019,
    ERR_REGISTRY_KEY_NOT_FOUND = 1020,
    ERR_MAX = 1021,
};

enum errdesc_status_t : uint32_t {
    ERRDESC_ALLOCATED = 1,
    ERRDESC_PRINTED = 2,
    ERRDESC_LOGGED = 4,
};

// Syslog priorities used by the system.
enum : int { TOL_PRIO_ERROR = 3, TOL_PRIO_WARNING = 4, TOL_PRIO_INFO = 6, TOL_PRIO_DEBUG = 7 };

inline constexpr int STACKTRACE_MAX_FRAMES = 40;

struct stacktrace_t {
    int frame_count;
    void *frames[STACKTRACE_MAX_FRAMES]; // innermost first
};

void stacktrace_get(stacktrace_t *st);

// Where a descriptor's number comes from: an errno value or one of the
// system's own codes, or the exit code of a child program (which may collide
// with an errno value and means nothing to the kernel).
enum errdesc_origin_t : uint32_t {
    ERRDESC_FROM_CALL = 0,
    ERRDESC_FROM_CHILD = 1,
};

struct errdesc_t {
    pthread_t tid;
    struct timeval timestamp;
    uint32_t status; // errdesc_status_t bits
    char hostname[1024];
    errnum_t number;
    char string[1024];
    uint32_t linenumber;
    char filename[4096];
    uint64_t sequence;
    stacktrace_t bt_buf;
    errdesc_origin_t origin;
};

struct errnum_str_t {
    char string[1024];
    errnum_t number;
};

inline constexpr int ERRNUM_TABLE_ROWS = 23;
extern const errnum_str_t errnum_table[ERRNUM_TABLE_ROWS];

// The text that a descriptor gets for `number`.
const char *errnum_text(errnum_t number, char *buf, size_t buflen);

// Priority name in log lines: "ERROR", "WARNING", "INFO", "DEBUG".
const char *errdesc_priority_name(int priority);

errdesc_t *_errdesc_set(errnum_t number, uint32_t linenumber, const char *filename);
errdesc_t *_errdesc_set_str(errnum_t number, const char *string, uint32_t linenumber,
                            const char *filename);
errdesc_t *_errdesc_set_fmt(errnum_t number, uint32_t linenumber, const char *filename,
                            const char *fmt, ...) __attribute__((format(printf, 4, 5)));
errdesc_t *_intern_errdesc_set_str(errnum_t number, const char *string, uint32_t linenumber,
                                   const char *filename);
errdesc_t *_errdesc_exit_status(int status, const char *string, uint32_t linenumber,
                                const char *filename);
errdesc_t *_errdesc_set_extended_err(errnum_t number, const char *path, uint32_t linenumber,
                                     const char *filename);

void _errdesc_fprint(FILE *out, errdesc_t *err, int priority);
void _errdesc_print(errdesc_t *err, int priority);
void _errdesc_log(errdesc_t *err, int priority);
// Logs one error like `_errdesc_log` without touching the thread's descriptor,
// for reports (closing, draining) that must not overwrite an error the caller
// is still holding. The message is the formatted text alone.
void _errdesc_log_aside(int priority, errnum_t number, uint32_t linenumber, const char *filename,
                        const char *fmt, ...) __attribute__((format(printf, 5, 6)));

// A copy of this thread's descriptor, put back when the keeper goes away: for
// teardown that runs while the caller still holds an error it is about to
// return, and that may set errors of its own.
class errdesc_keeper
{
  public:
    errdesc_keeper();
    ~errdesc_keeper();
    errdesc_keeper(const errdesc_keeper &) = delete;
    errdesc_keeper &operator=(const errdesc_keeper &) = delete;

  private:
    errdesc_t saved_;
};

// Callers use these: each module passes its own file name and line.
#define errdesc_set(n) _errdesc_set((n), __LINE__, __FILE_NAME__)
#define errdesc_set_str(n, s) _errdesc_set_str((n), (s), __LINE__, __FILE_NAME__)
#define errdesc_set_fmt(n, ...) _errdesc_set_fmt((n), __LINE__, __FILE_NAME__, __VA_ARGS__)
#define errdesc_exit_status(st, s) _errdesc_exit_status((st), (s), __LINE__, __FILE_NAME__)
#define errdesc_set_extended_err(n, p) _errdesc_set_extended_err((n), (p), __LINE__, __FILE_NAME__)
#define errdesc_log(e, prio) _errdesc_log((e), (prio))
#define errdesc_print(e, prio) _errdesc_print((e), (prio))
#define errdesc_log_aside(prio, n, ...) \
    _errdesc_log_aside((prio), (n), __LINE__, __FILE_NAME__, __VA_ARGS__)
