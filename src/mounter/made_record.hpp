#pragma once
// What a recovery_fs process made, in a record file that outlives it. Every
// loop device, device-mapper device, mount and temporary file is noted
// before it is made and forgotten once it is gone, so that crash recovery at
// the next start removes exactly what a dead run left: never what another
// running recovery_fs made, nor a device that vmdk-mount made for an
// operator (vmdk-mount keeps no record).
//
// Liveness: the process holds an flock on its record for its whole life. The
// descriptor is close-on-exec, so programs it runs do not inherit the lock;
// a daemonizing fork shares the open file description, and with it the
// lock. A record whose lock can be taken belongs to a dead process.
//
// The record is process-wide and off until made_record_enable(); while off,
// noting and forgetting do nothing.

#include "common/errdesc.hpp"
#include "common/unique_fd.hpp"

#include <string>
#include <vector>

// Root-only; one file per process.
inline constexpr const char *MADE_RECORD_DIR = "/run/recovery_fs";

enum class made_kind_t { loop, dm, mount, file };

struct made_entry_t {
    made_kind_t kind = made_kind_t::file;
    // A loop device's path, a device-mapper name, a mount directory or a file.
    std::string name;
    // The file a loop device was attached to.
    std::string backing;
    bool operator==(const made_entry_t &) const = default;
};

// One line: "+loop /dev/loop3 /scratch/d-flat.vmdk", "-dm cbt.5". Blanks,
// control characters and backslashes in paths are written as \ooo.
std::string made_format_line(bool made, const made_entry_t &entry);
bool made_parse_line(const std::string &line, bool *made, made_entry_t *entry);
// What a record's text lists as made and not forgotten, in the order made.
// An unterminated last line (a write cut short) is ignored.
std::vector<made_entry_t> made_parse_record(const std::string &text);

// Starts this process's record in `dir` (made when missing). Fails when the
// record cannot be made; the process then records nothing.
errdesc_t *made_record_enable(const char *dir = MADE_RECORD_DIR);
bool made_record_enabled();
// Before making the object; a failure to write is logged.
void made_note(made_kind_t kind, const std::string &name, const std::string &backing = {});
// Once the object is gone, or its making failed without leaving it.
void made_forget(made_kind_t kind, const std::string &name);

// A dead process's record, locked by the caller.
struct made_record_file_t {
    std::string path;
    unique_fd fd;
    std::vector<made_entry_t> entries;
};

// The records in `dir`: those of dead processes (now locked here) and the
// entries that live processes list.
void made_records_scan(const char *dir, std::vector<made_record_file_t> *dead,
                       std::vector<made_entry_t> *live);
// Replaces a dead record by what is still left of it, or removes it when
// nothing is.
errdesc_t *made_record_replace(made_record_file_t *record, const std::vector<made_entry_t> &left);
