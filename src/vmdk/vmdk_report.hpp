#pragma once
// Reports of an opened or parsed descriptor for operators: a JSON object whose
// keys are the record's field names, and the same as text lines.

#include "vmdk/vmdkdesc.hpp"

#include <cstdio>
#include <json-c/json.h>

// A new JSON object (the caller puts it) of the record: header fields,
// `extentdesc` entries (with `graindir` for every loaded grain directory) and
// `diskdb`. Enumerations appear as their names.
json_object *vmdk_desc_to_json(const vmdkdesc_t *vmdkdesc);

// The same content as text, one field per line, each line indented by
// `indent` blanks.
void vmdk_print_desc(FILE *out, const vmdkdesc_t *vmdkdesc, int indent);
