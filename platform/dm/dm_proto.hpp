#pragma once
// Wire format between the dmsetup client and the rfs-dmd daemon, over a unix
// stream socket: one request (argument vector and standard input) and one
// reply (exit code, standard output, standard error) per connection.

#include <cstdint>
#include <string>
#include <vector>

namespace rfsdm {

// Requests and replies are small: a table of a few thousand lines at most.
// Anything bigger is a broken peer.
inline constexpr uint32_t max_frame = 64u << 20;
inline constexpr uint32_t max_args = 4096;

struct dm_request {
    std::vector<std::string> args;
    std::string input;
};

struct dm_reply {
    int rc = 1;
    std::string out;
    std::string err;
};

bool write_request(int fd, const dm_request &req);
bool read_request(int fd, dm_request &req);
bool write_reply(int fd, const dm_reply &rep);
bool read_reply(int fd, dm_reply &rep);

// Runtime directory of the daemon: $RFS_DM_RUN_DIR or "/run/rfs-dm".
std::string run_dir();
std::string socket_path();
std::string mount_dir();

// Sends one command to the daemon, starting the daemon when none answers.
// Returns false (with `error`) when the daemon cannot be reached.
bool dm_call(const dm_request &req, dm_reply &reply, std::string &error);

// Sends one command only when a daemon is already running; `running` tells
// whether one answered.
bool dm_call_if_running(const dm_request &req, dm_reply &reply, bool &running, std::string &error);

} // namespace rfsdm
