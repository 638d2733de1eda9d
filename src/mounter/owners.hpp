#pragma once
// Owners of the kernel objects that the mounter and the image code make: one
// type per kind of object, each releasing its object in its destructor. A
// release that fails is logged with priority 4 and the owner is empty
// afterwards whatever the outcome, so the remaining steps of a teardown still
// run. Objects held together are released in reverse member order, so a
// record lists what it made in the order it made it.
//
// Owners are move-only. `release()` releases early and returns the error
// instead of logging it; the destructor of an empty owner does nothing.

#include "common/errdesc.hpp"
#include "mounter/disk_record.hpp"

#include <string>

// A loop device attached to a file.
class loop_attachment
{
  public:
    loop_attachment() = default;
    ~loop_attachment();
    loop_attachment(loop_attachment &&other) noexcept;
    loop_attachment &operator=(loop_attachment &&other) noexcept;
    loop_attachment(const loop_attachment &) = delete;
    loop_attachment &operator=(const loop_attachment &) = delete;

    // Attaches `file` to the next free loop device; `timeout` (seconds)
    // bounds each losetup run. `*out` must be empty and stays empty on failure.
    static errdesc_t *attach(const char *file, bool read_only, int timeout, loop_attachment *out);
    // Takes over a device that is already attached (for example "/dev/loop3").
    static loop_attachment adopt(std::string device);

    const std::string &path() const { return path_; }
    bool empty() const { return path_.empty(); }
    errdesc_t *release();

  private:
    std::string path_;
};

// A device-mapper device, removed with "dmsetup remove -f" (run even when the
// node is gone: a half-made device may have none).
class dm_device
{
  public:
    dm_device() = default;
    ~dm_device();
    dm_device(dm_device &&other) noexcept;
    dm_device &operator=(dm_device &&other) noexcept;
    dm_device(const dm_device &) = delete;
    dm_device &operator=(const dm_device &) = delete;

    // "dmsetup create NAME TABLE_FILE". `*out` stays empty on failure.
    static errdesc_t *create(const char *name, const char *table_path, dm_device *out);
    // Takes over an existing device by its name under "/dev/mapper".
    static dm_device adopt(std::string name);

    const std::string &name() const { return name_; }
    std::string path() const; // "/dev/mapper/NAME"; empty when empty()
    bool empty() const { return name_.empty(); }
    errdesc_t *release();

  private:
    std::string name_;
};

// The partition mappings of one device (kpartx), with the partition map
// found for them. Release removes the mappings and any that kpartx left.
class partition_mapping
{
  public:
    partition_mapping() = default;
    ~partition_mapping();
    partition_mapping(partition_mapping &&other) noexcept;
    partition_mapping &operator=(partition_mapping &&other) noexcept;
    partition_mapping(const partition_mapping &) = delete;
    partition_mapping &operator=(const partition_mapping &) = delete;

    // Maps the partitions of `device` and classifies them. `*out` must be
    // empty and stays empty on failure.
    static errdesc_t *map(const char *device, partition_mapping *out);

    const std::string &device() const { return device_; }
    const part_map_t &parts() const { return parts_; }
    part_map_t &parts() { return parts_; }
    bool empty() const { return device_.empty(); }
    errdesc_t *release();

  private:
    std::string device_;
    part_map_t parts_;
};

// A file system mounted on a directory that the mounter made: release
// unmounts lazily with force ("umount -fl") and removes the directory.
class mount_owner
{
  public:
    mount_owner() = default;
    ~mount_owner();
    mount_owner(mount_owner &&other) noexcept;
    mount_owner &operator=(mount_owner &&other) noexcept;
    mount_owner(const mount_owner &) = delete;
    mount_owner &operator=(const mount_owner &) = delete;

    // Takes over a mount that has just been made on `dir`.
    static mount_owner adopt(std::string dir);

    const std::string &dir() const { return dir_; }
    bool empty() const { return dir_.empty(); }
    errdesc_t *release();

  private:
    std::string dir_;
};

// A file that the process made (a table file, a snapshot store): release
// unlinks it.
class temp_file
{
  public:
    temp_file() = default;
    explicit temp_file(std::string path) : path_(std::move(path)) {}
    ~temp_file();
    temp_file(temp_file &&other) noexcept;
    temp_file &operator=(temp_file &&other) noexcept;
    temp_file(const temp_file &) = delete;
    temp_file &operator=(const temp_file &) = delete;

    const std::string &path() const { return path_; }
    bool empty() const { return path_.empty(); }
    errdesc_t *release();

    // Gives the file up without unlinking it (a file kept for debugging).
    std::string disown();

  private:
    std::string path_;
};
