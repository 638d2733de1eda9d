#pragma once
// Bounded string copying and formatting.

#include <cstddef>

void tol_safe_strncpy(char *dst, const char *src, size_t n);
// A new copy of `str` (non-null); the caller releases it with free().
char *tol_strdup(const char *str);
// The formatted text must fit; callers size their buffers so that it does.
// A text that does not fit is logged and cut; the result is then >= n.
int tol_snprintf(char *s, size_t n, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
// Cuts a text that does not fit; the last byte of `s` is always NUL.
int tol_safe_snprintf(char *s, size_t n, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));
// Formats a path into `buf` of `size` bytes; false when it does not fit
// (the buffer then holds a cut text that must not be used).
bool format_path(char *buf, size_t size, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
