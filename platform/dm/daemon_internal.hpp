#pragma once
// What the files of rfs-dmd's core share among themselves: helpers for block
// devices, the device registry and loop devices. Not for the daemon's users.

#include "daemon.hpp"

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <sys/types.h>

namespace rfsdm
{

inline constexpr unsigned loop_major = 7;

// daemon_io.cpp
std::string errno_text(int e);
unique_fd open_block(dev_t rdev, int flags);

// daemon_devices.cpp
extern std::mutex reg_mutex; // guards `registry`; held only briefly
extern std::map<std::string, std::shared_ptr<device>> registry;
bool valid_name(const std::string &name);
std::string dev_mapper(const std::string &name);
std::string file_path(const std::string &name);
int attach_loop(const std::string &file, bool read_only, int &nr, std::string &error);
void detach_loop(int nr);
void refresh_loop_size(const std::shared_ptr<device> &d);
bool make_node(const std::string &name, dev_t rdev, std::string &error);
int open_count(const std::shared_ptr<device> &d);
int settled_open_count(const std::shared_ptr<device> &d);

} // namespace rfsdm
