#pragma once
// Bounded string copying and formatting.

#include <cstddef>

void tol_safe_strncpy(char *dst, const char *src, size_t n);
// The formatted text must fit; callers size their buffers so that it does.
int tol_snprintf(char *s, size_t n, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
// Cuts a text that does not fit; the last byte of `s` is always NUL.
int tol_safe_snprintf(char *s, size_t n, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));
