#pragma once
// Timestamped log lines, the debug-level gate, and logging start-up with log
// rotation on SIGHUP. Callers end their format texts with their own newline.

#include "common/errdesc.hpp"

#include <cstdarg>
#include <cstdio>

struct toldesc_t {
    const char *name;   // syslog identity and log file name
    const char *logdir; // directory of the log file, or nullptr for none
};

void ts_printf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void ts_vfprintf(FILE *out, const char *fmt, va_list args) __attribute__((format(printf, 2, 0)));
void ts_dprintf(int level, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void set_debug_level(int level);
int get_debug_level();

errdesc_t *tol_startup(const toldesc_t *toldesc);
errdesc_t *tol_exit();
void logrotate_hndlr(int signo);
