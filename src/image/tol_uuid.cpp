#include "image/tol_uuid.hpp"

#include <cstdio>
#include <cstring>

namespace
{

int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

bool uuid_str_to_value(const char *text, tol_uuid_t *uuid)
{
    std::memset(uuid->value, 0, sizeof(uuid->value));
    size_t filled = 0;
    const char *p = text;
    while (*p != '\0' && filled < sizeof(uuid->value)) {
        int hi = hex_value(*p);
        if (hi < 0) {
            ++p;
            continue;
        }
        int lo = hex_value(p[1]);
        if (lo < 0)
            return false; // a lone digit: the pairing is lost
        uuid->value[filled++] = static_cast<uint8_t>(hi << 4 | lo);
        p += 2;
    }
    return true;
}

std::string uuid_value_to_str(const tol_uuid_t *uuid)
{
    char text[37];
    char *out = text;
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            *out++ = '-';
        std::snprintf(out, 3, "%2.2x", uuid->value[i]);
        out += 2;
    }
    *out = '\0';
    return text;
}
