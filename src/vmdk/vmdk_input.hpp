#pragma once
// Opening the files that a VMDK descriptor names (the descriptor itself, its
// extents, its parents). A backup holds whatever the protected machine held,
// so every name is hostile input: only regular files are read (block devices
// only for raw device mappings), and, given a containment root, only files
// that lie below it once every link is resolved.

#include "common/errdesc.hpp"
#include "common/unique_fd.hpp"

#include <cstddef>
#include <string>
#include <sys/stat.h>

// A descriptor is a text of a few KiB; 1024 extent lines of long names stay
// below this.
inline constexpr size_t VMDK_DESCRIPTOR_MAX = 1u << 20;

// The real path of a containment root; empty for no root (null or "").
errdesc_t *vmdk_real_root(const char *root, std::string *real);

// Opens `path` read-only without blocking on it. Refused before it is
// opened, and again on what was opened: anything but a regular file (or a
// block device when `allow_blockdev`), with EINVAL; a file outside
// `real_root` (when not empty), with EPERM. `st` receives the file's status.
errdesc_t *vmdk_open_input(const char *path, const std::string &real_root, bool allow_blockdev,
                           unique_fd *fd, struct stat *st);

// Reads a descriptor file once: the whole file when it is at most
// VMDK_DESCRIPTOR_MAX bytes; of a larger hosted sparse extent, its header
// and the descriptor embedded after it, when that fits the limit. Anything
// else is refused with EFBIG.
errdesc_t *vmdk_read_descriptor_text(int fd, const struct stat &st, const char *path,
                                     std::string *text);
