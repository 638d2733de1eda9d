#pragma once
// Parse of a VMDK descriptor file into a vmdkdesc_t, and release of what the
// record owns. The parse is lenient: a line it does not recognise is skipped
// whole and the parse goes on.

#include "common/errdesc.hpp"
#include "vmdk/vmdkdesc.hpp"

#include <cstddef>

// Clears `vmdkdesc`, then parses the file from its start and, when that
// fails, once more from byte 512 (a descriptor embedded after a sparse
// header), without clearing the record in between. Errors: errno of the open
// or a read; EAGAIN "cannot parse the input file" when both attempts fail;
// ERR_OVERFLOW, at once, for a token longer than 1023 bytes or more than 1024
// extents. The file is read once and must be a regular file of at most
// VMDK_DESCRIPTOR_MAX bytes (or a hosted sparse extent whose embedded
// descriptor ends within that), below `root` when one is given (see
// vmdk_open_input); file_dev and file_ino receive its identity.
errdesc_t *vmdk_parse_file_contents(const char *vmdkfile, vmdkdesc_t *vmdkdesc,
                                    const char *root = nullptr);

// The same two attempts over a descriptor held in memory.
errdesc_t *vmdk_parse_buffer(const char *data, size_t size, vmdkdesc_t *vmdkdesc);

// Releases the strings and extents (with their loop-device names) that the
// record owns; leaves every other field as it is.
void vmdk_free_vmdkdesc(vmdkdesc_t *vmdkdesc);

// Resets the whole record to its cleared state, releasing what it owns and
// closing any extent file left open.
void vmdk_clear_vmdkdesc(vmdkdesc_t *vmdkdesc);
