#pragma once
// On a real kernel the LVM tools see that a device-mapper device is suspended
// and leave it out of their scan. A stand-in device is a loop device to them,
// so the daemon tells them instead: it keeps a "devices { global_filter }"
// section in an LVM configuration file (the sandbox's lvmlocal.conf) that
// rejects every suspended device by its names.

#include <string>
#include <vector>

namespace rfsdm
{

struct lvm_hidden_dev {
    std::string name; // the device-mapper name, node "/dev/mapper/NAME"
    int loop_nr = -1; // its loop device, or -1
};

// The marker line that starts the generated section; what follows it is ours.
extern const char lvm_filter_marker[];

// An LVM regular expression that matches exactly `path`. Characters that LVM's
// regex or its configuration strings treat specially are matched as classes,
// never with backslashes (the configuration parser takes those itself).
std::string lvm_literal_regex(const std::string &path);

// The configuration text: `existing` without any earlier generated section,
// followed by a new section when `hidden` is not empty.
std::string lvm_filter_conf(const std::string &existing, const std::vector<lvm_hidden_dev> &hidden);

// Rewrites `path` atomically with lvm_filter_conf(); false (errno set) when the
// file cannot be written.
bool lvm_filter_write(const std::string &path, const std::vector<lvm_hidden_dev> &hidden);

} // namespace rfsdm
