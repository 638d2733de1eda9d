#include "mounter/owners.hpp"

#include "common/programs.hpp"
#include "common/spawn.hpp"
#include "mounter/dm_names.hpp"
#include "mounter/loopdev.hpp"
#include "mounter/made_record.hpp"
#include "mounter/partitions.hpp"
#include "mounter/run_program.hpp"

#include <cerrno>
#include <unistd.h>
#include <utility>

namespace
{

// The destructors' release: a failure is logged as a warning, and the
// caller's pending error (an early return in flight) survives it.
template <typename Owner> void release_logged(Owner *owner)
{
    if (owner->empty())
        return;
    errdesc_keeper keep;
    if (errdesc_t *err = owner->release())
        errdesc_log(err, TOL_PRIO_WARNING);
}

// Move assignment: the target's object goes first, as in its destructor.
template <typename Owner> void take_over(Owner *self, std::string *mine, std::string *theirs)
{
    release_logged(self);
    *mine = std::exchange(*theirs, std::string());
}

errdesc_t *not_empty(const char *what)
{
    return errdesc_set_fmt(EINVAL, "%s: the owner already holds an object", what);
}

} // namespace

// loop_attachment

loop_attachment::~loop_attachment() { release_logged(this); }

loop_attachment::loop_attachment(loop_attachment &&other) noexcept
    : path_(std::exchange(other.path_, std::string()))
{
}

loop_attachment &loop_attachment::operator=(loop_attachment &&other) noexcept
{
    if (this != &other)
        take_over(this, &path_, &other.path_);
    return *this;
}

errdesc_t *loop_attachment::attach(const char *file, bool read_only, int timeout,
                                   loop_attachment *out)
{
    if (!out->empty())
        return not_empty("loop_attachment::attach");
    std::string device;
    if (errdesc_t *err = vdsk_assign_next_loop_dev(&device, file, read_only ? 1 : 0, timeout))
        return err;
    out->path_ = std::move(device);
    return nullptr;
}

loop_attachment loop_attachment::adopt(std::string device)
{
    loop_attachment owner;
    owner.path_ = std::move(device);
    return owner;
}

errdesc_t *loop_attachment::release()
{
    if (empty())
        return nullptr;
    std::string device = std::exchange(path_, std::string());
    return vdsk_release_loop_dev(&device);
}

// dm_device

dm_device::~dm_device() { release_logged(this); }

dm_device::dm_device(dm_device &&other) noexcept : name_(std::exchange(other.name_, std::string()))
{
}

dm_device &dm_device::operator=(dm_device &&other) noexcept
{
    if (this != &other)
        take_over(this, &name_, &other.name_);
    return *this;
}

errdesc_t *dm_device::create(const char *name, const char *table_path, dm_device *out)
{
    if (!out->empty())
        return not_empty("dm_device::create");
    const char *cmd[] = {tol_program_path(tol_program_t::dmsetup), "create", name, table_path,
                         nullptr};
    made_note(made_kind_t::dm, name);
    errdesc_t *err = run_program_wait(cmd, 0, SPAWN_TIMEOUT_LONG);
    if (!err) {
        out->name_ = name;
        return nullptr;
    }
    // A create that fails late may leave the device behind: it is removed
    // here (a failure of that is only logged), and the create's error is the
    // one reported.
    dm_device leftover = adopt(name);
    return err;
}

dm_device dm_device::adopt(std::string name)
{
    dm_device owner;
    owner.name_ = std::move(name);
    return owner;
}

std::string dm_device::path() const
{
    return empty() ? std::string() : std::string(DM_ROOT) + "/" + name_;
}

errdesc_t *dm_device::release()
{
    if (empty())
        return nullptr;
    const std::string name = std::exchange(name_, std::string());
    const std::string device = std::string(DM_ROOT) + "/" + name;
    errdesc_t *err = dm_remove_forced(device.c_str());
    // A device that is still there stays in the record, for the next start.
    if (!err || access(device.c_str(), F_OK) != 0)
        made_forget(made_kind_t::dm, name);
    return err;
}

// partition_mapping

partition_mapping::~partition_mapping() { release_logged(this); }

partition_mapping::partition_mapping(partition_mapping &&other) noexcept
    : device_(std::exchange(other.device_, std::string())), parts_(std::move(other.parts_))
{
    other.parts_ = part_map_t{};
}

partition_mapping &partition_mapping::operator=(partition_mapping &&other) noexcept
{
    if (this != &other) {
        take_over(this, &device_, &other.device_);
        parts_ = std::move(other.parts_);
        other.parts_ = part_map_t{};
    }
    return *this;
}

errdesc_t *partition_mapping::map(const char *device, partition_mapping *out)
{
    if (!out->empty())
        return not_empty("partition_mapping::map");
    if (errdesc_t *err = vdsk_get_partitions_ex(device, &out->parts_, TOL_TRUE))
        return err;
    out->device_ = device;
    return nullptr;
}

errdesc_t *partition_mapping::release()
{
    if (empty())
        return nullptr;
    const std::string device = std::exchange(device_, std::string());
    return vdsk_free_partitions_ex(device.c_str(), &parts_, TOL_TRUE);
}

// mount_owner

mount_owner::~mount_owner() { release_logged(this); }

mount_owner::mount_owner(mount_owner &&other) noexcept
    : dir_(std::exchange(other.dir_, std::string()))
{
}

mount_owner &mount_owner::operator=(mount_owner &&other) noexcept
{
    if (this != &other)
        take_over(this, &dir_, &other.dir_);
    return *this;
}

mount_owner mount_owner::adopt(std::string dir)
{
    mount_owner owner;
    owner.dir_ = std::move(dir);
    return owner;
}

errdesc_t *mount_owner::release()
{
    if (empty())
        return nullptr;
    const std::string dir = std::exchange(dir_, std::string());
    // Lazy and forced: a client's open file must not keep the mount alive.
    const char *cmd[] = {tol_program_path(tol_program_t::umount), "-fl", dir.c_str(), nullptr};
    errdesc_t *err = run_program_wait(cmd, 0, SPAWN_TIMEOUT_LONG);
    // A mount point cannot be removed: one that can is no longer mounted.
    const int removed = rmdir(dir.c_str()) == 0 || errno == ENOENT ? 0 : errno;
    if (!removed)
        made_forget(made_kind_t::mount, dir);
    if (removed && !err)
        return errdesc_set_str(removed, dir.c_str());
    return err;
}

// temp_file

temp_file::~temp_file() { release_logged(this); }

temp_file::temp_file(temp_file &&other) noexcept : path_(std::exchange(other.path_, std::string()))
{
}

temp_file &temp_file::operator=(temp_file &&other) noexcept
{
    if (this != &other)
        take_over(this, &path_, &other.path_);
    return *this;
}

std::string temp_file::disown()
{
    made_forget(made_kind_t::file, path_);
    return std::exchange(path_, std::string());
}

errdesc_t *temp_file::release()
{
    if (empty())
        return nullptr;
    const std::string path = std::exchange(path_, std::string());
    if (unlink(path.c_str()) != 0 && errno != ENOENT)
        return errdesc_set_str(errno, path.c_str());
    made_forget(made_kind_t::file, path);
    return nullptr;
}
