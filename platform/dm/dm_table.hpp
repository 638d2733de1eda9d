#pragma once
// Device-mapper table text: parsing, validation and printing. Shared by the
// daemon, the dmsetup client and the kpartx/lvchange stand-ins.

#include <cstdint>
#include <string>
#include <vector>

namespace rfsdm {

inline constexpr uint64_t sector_size = 512;

// One line of a table: "START LENGTH TARGET ARGS...". Lengths are sectors.
struct table_line {
    uint64_t start = 0;
    uint64_t length = 0;
    std::string target;
    std::vector<std::string> args;
};

// Parses a whole table. Blank lines and lines starting with '#' are skipped,
// as dmsetup does. The lines must start at sector 0 and follow each other
// without gap or overlap, which is what the kernel enforces on load.
// Returns false with a message in `error` on bad input.
bool parse_table(const std::string &text, std::vector<table_line> &out, std::string &error);

// Splits on blanks (spaces and tabs).
std::vector<std::string> split_words(const std::string &s);

// Parses a decimal unsigned 64-bit number; the whole string must be digits.
bool parse_u64(const std::string &s, uint64_t &value);

// Parses "MAJOR:MINOR"; false when `s` is not of that form.
bool parse_major_minor(const std::string &s, unsigned &major, unsigned &minor);

// "START LENGTH TARGET PARAMS" as dmsetup prints it. dmsetup always puts a
// blank between the target name and its parameters, even when they are empty.
std::string format_line(uint64_t start, uint64_t length, const std::string &target, const std::string &params);

// LVM's device-mapper name of a logical volume: dashes inside each part are
// doubled and the parts are joined with one dash.
std::string lvm_dm_name(const std::string &vg, const std::string &lv);

} // namespace rfsdm
