// Bounded string copying and formatting.

#include "common/strings.hpp"

#include "common/logging.hpp"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

void tol_safe_strncpy(char *dst, const char *src, size_t n)
{
    if (n == 0)
        return;
    strncpy(dst, src, n);
    dst[n - 1] = '\0';
}

char *tol_strdup(const char *str)
{
    // Plain strdup: callers release the copy with free().
    return strdup(str);
}

int tol_snprintf(char *s, size_t n, const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    int len = vsnprintf(s, n, fmt, args);
    va_end(args);
    // Callers size their buffers so that this cannot happen; if it does, say
    // so rather than hand on a cut path unnoticed. The result still tells the
    // caller the length the text needed.
    if (len < 0 || static_cast<size_t>(len) >= n)
        ts_printf("tol_snprintf: text of %d bytes does not fit in %zu bytes: \"%.64s\"\n", len, n,
                  n > 0 ? s : "");
    return len;
}

int tol_safe_snprintf(char *s, size_t n, const char *fmt, ...)
{
    if (n == 0)
        return 0;
    va_list args;
    va_start(args, fmt);
    int len = vsnprintf(s, n, fmt, args);
    va_end(args);
    if (len < 0)
        s[0] = '\0';
    s[n - 1] = '\0';
    return len;
}

bool format_path(char *buf, size_t size, const char *fmt, ...)
{
    va_list args;
    va_start(args, fmt);
    int len = vsnprintf(buf, size, fmt, args);
    va_end(args);
    return len >= 0 && static_cast<size_t>(len) < size;
}
