#pragma once
// 16-byte UUIDs of disks, machines, datastores and changes, and their text
// forms.

#include <cstdint>
#include <string>

struct tol_uuid_t {
    uint8_t value[16]; // in the order in which the hex pairs appear in the text
};
static_assert(sizeof(tol_uuid_t) == 16);

// Reads hex pairs from `text`, skipping every non-hex character, until 16 bytes
// are filled or the text ends; bytes not reached stay 0. A hex digit not
// followed by another one makes the text invalid (false).
bool uuid_str_to_value(const char *text, tol_uuid_t *uuid);

// The 8-4-4-4-12 lower-case form, 36 characters.
std::string uuid_value_to_str(const tol_uuid_t *uuid);
