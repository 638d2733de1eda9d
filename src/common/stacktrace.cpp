// Call-stack capture for error descriptors.

#include "common/errdesc.hpp"

#include <cstring>
#include <execinfo.h>

void stacktrace_get(stacktrace_t *st)
{
    memset(st, 0, sizeof(*st));
    int n = backtrace(st->frames, STACKTRACE_MAX_FRAMES);
    st->frame_count = n > 0 ? n : 0;
}
