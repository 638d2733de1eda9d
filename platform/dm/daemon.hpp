#pragma once
// The device registry and control commands of rfs-dmd. Each device is a file
// on the daemon's FUSE mount; a loop device attached to that file is the
// block device "/dev/mapper/NAME".

#include "common/unique_fd.hpp"
#include "dm_proto.hpp"
#include "dm_table.hpp"
#include "snapshot_store.hpp"

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <sys/types.h>
#include <vector>

namespace rfsdm {

struct device;

// An open external block device, shared by every table that uses it, as the
// kernel shares one claim of a device between all device-mapper tables.
struct external_dev {
    unique_fd fd; // the device itself: holds the claim
    dev_t rdev = 0;
    bool read_only = false;
    uint64_t size = 0;
    // A loop device over a regular file is read and written through that
    // file at the loop's offset, inside the daemon: no second round trip
    // through the kernel's block layer. Not open for other devices.
    unique_fd file;
    uint64_t file_offset = 0;

    external_dev() = default;
    external_dev(const external_dev &) = delete;
    external_dev &operator=(const external_dev &) = delete;
    ~external_dev();
};

// Where a read of a device can be spliced from: `pos` in the regular file
// open as `fd`.
struct splice_source {
    int fd = -1;
    uint64_t pos = 0;
};

// A device that a target refers to: either another device of this daemon
// (served directly, without a round trip through its loop device) or an
// external block device.
class dev_ref {
  public:
    ~dev_ref();
    dev_ref(const dev_ref &) = delete;
    dev_ref &operator=(const dev_ref &) = delete;

    static std::unique_ptr<dev_ref> open(const std::string &dev_arg, std::string &error);

    int io(bool write, char *buf, size_t n, uint64_t off);
    // Whether bytes [off, off + n) lie in one regular file behind this
    // reference, and where.
    bool map(uint64_t off, size_t n, splice_source &out, int depth) const;
    int flush();
    uint64_t size_bytes() const;
    std::string major_minor() const;
    // The stand-in device behind this reference, or null for an external one.
    device *internal_device() const { return internal_.get(); }

  private:
    dev_ref() = default;
    std::shared_ptr<device> internal_;
    std::shared_ptr<external_dev> external_;
};

struct target {
    uint64_t start = 0;  // sectors
    uint64_t length = 0; // sectors
    device *owner = nullptr; // the device whose table holds this target
    virtual ~target() = default;
    virtual const char *type() const = 0;
    virtual std::string params() const = 0;
    virtual std::string status() const { return ""; }
    // `off` is a byte offset inside the target.
    virtual int io(bool write, char *buf, size_t n, uint64_t off) = 0;
    virtual int flush() { return 0; }
    // Whether bytes [off, off + n) of the target lie in one regular file.
    virtual bool map(uint64_t, size_t, splice_source &, int) const { return false; }
    virtual std::vector<const dev_ref *> refs() const { return {}; }
    // Called when the table is about to become live and running; a failed
    // check refuses the resume, as the kernel's preresume does.
    virtual int preresume(std::string &) { return 0; }
    virtual void resume() {}
};

struct table {
    std::vector<std::unique_ptr<target>> targets;
    uint64_t sectors() const { return targets.empty() ? 0 : targets.back()->start + targets.back()->length; }
    int io(bool write, char *buf, size_t n, uint64_t off);
    bool map(uint64_t off, size_t n, splice_source &out, int depth) const;
    std::vector<std::unique_ptr<target>>::const_iterator target_at(uint64_t off) const;
    int flush();
    // True when the table reaches `d` through the devices it uses.
    bool uses(const device *d, int depth = 0) const;
};

// Builds a table from its text; every referenced device is opened.
std::shared_ptr<table> build_table(const std::string &text, std::string &error);
std::shared_ptr<table> error_table(uint64_t sectors);

struct device {
    std::string name;
    std::string uuid;
    int loop_nr = -1;
    dev_t rdev = 0;
    bool read_only = false;
    bool dead = false; // left by an earlier daemon: its loop device only fails
    std::atomic<int> holders{0}; // tables of other devices that use this one
    std::atomic<uint32_t> event_nr{0};

    std::mutex m;
    std::condition_variable cv;
    std::shared_ptr<table> live;
    std::shared_ptr<table> inactive;
    bool suspended = false;
    bool removed = false;
    int inflight = 0;

    uint64_t size_bytes();
    // Waits while the device is suspended, then runs the I/O on the live table.
    int io(bool write, char *buf, size_t n, uint64_t off);
    // Where a read of bytes [off, off + n) can be spliced from without the
    // daemon copying them: only a running device whose live table maps the
    // whole range, through linear targets, onto one regular file (a loop
    // device's backing file). False otherwise: then `io` serves the read.
    bool map_to_file(uint64_t off, size_t n, splice_source &out, int depth = 0);
    int flush();
};

std::shared_ptr<device> find_device(const std::string &name);
std::shared_ptr<device> find_device_by_rdev(dev_t rdev);
std::vector<std::shared_ptr<device>> all_devices();

// Runs one control command.
dm_reply run_command(const dm_request &req);

// Finds devices left by a daemon that died, before the stale mount goes.
void discover_dead_devices();
// Removes every device, by force; used at shutdown.
void remove_all_devices();

} // namespace rfsdm
