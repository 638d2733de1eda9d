#include "mounter/disk_device.hpp"

#include "common/logging.hpp"
#include "common/programs.hpp"
#include "common/spawn.hpp"
#include "common/unique_fd.hpp"
#include "mounter/dm_names.hpp"
#include "mounter/dm_table.hpp"
#include "mounter/made_record.hpp"
#include "mounter/run_program.hpp"
#include "vmdk/vmdk_open.hpp"

#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <fcntl.h>
#include <glob.h>
#include <linux/fs.h>
#include <memory>
#include <set>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace
{

constexpr int DM_TIMEOUT = 120;

const char *dmsetup()
{
    return tol_program_path(tol_program_t::dmsetup);
}

std::string dm_path(const std::string &name)
{
    return std::string(DM_ROOT) + "/" + name;
}

bool dm_exists(const std::string &name)
{
    return access(dm_path(name).c_str(), F_OK) == 0;
}

std::string store_path(const std::string &base)
{
    return "/tmp/" + base + ".tolstorage";
}

errdesc_t *run_dmsetup(std::initializer_list<const char *> args, int timeout = DM_TIMEOUT)
{
    std::vector<const char *> cmd{dmsetup()};
    cmd.insert(cmd.end(), args);
    cmd.push_back(nullptr);
    return run_program_wait(cmd.data(), 0, timeout);
}

// The device-mapper device `name`, adopted when it exists after a "create"
// whatever that reported, so that a failure never leaves it behind.
errdesc_t *adopt_created(const std::string &name, errdesc_t *err, dm_device *out)
{
    if (!dm_exists(name))
        made_forget(made_kind_t::dm, name);
    if (err) {
        if (dm_exists(name))
            *out = dm_device::adopt(name);
        return err;
    }
    if (!dm_exists(name))
        return errdesc_set_fmt(ENOENT, "dmsetup create %s made no device", name.c_str());
    *out = dm_device::adopt(name);
    return nullptr;
}

// Every extent file of the disks that the table uses, on read-only loop
// devices; each extent names its device in `loopdev` for the table.
errdesc_t *vmdk_assign_loop_devs(vmdkdesc_t *vmdk, uint32_t chain_len, disk_device_t *dev)
{
    for (uint32_t k = 0; k < chain_len; k++) {
        vmdkdesc_t *disk = vmdk_chain_disk(vmdk, k);
        for (uint32_t e = 0; e < disk->extentdesccount; e++) {
            extentdesc_t *x = disk->extentdesc[e].get();
            if (!x->loopdev.empty())
                return errdesc_set_fmt(EBUSY, "extent %s of %s is already attached to %s",
                                       x->extentname, disk->filename.c_str(), x->loopdev.c_str());
            const std::string path = vmdk_get_path(x->extentname, disk->dirname);
            loop_attachment loop;
            if (errdesc_t *err =
                    loop_attachment::attach(path.c_str(), true, SPAWN_TIMEOUT_LONG, &loop))
                return err;
            x->loopdev = loop.path();
            dev->extent_loops.push_back(std::move(loop));
        }
    }
    return nullptr;
}

// Streams the chain's table into "dmsetup create <name>". On an emission
// failure dmsetup is killed before it sees the end of its input, so a table
// cut short never becomes a device.
errdesc_t *create_disk_device(vmdkdesc_t *vmdk, uint32_t chain_len, const std::string &name,
                              disk_device_t *dev)
{
    const char *cmd[] = {dmsetup(), "create", name.c_str(), nullptr};
    const std::string cmdline = program_cmdline(cmd);
    int wfd = -1;
    child_process child;
    made_note(made_kind_t::dm, name);
    if (errdesc_t *err = spawn(cmd, SPAWN_WRITE, nullptr, &wfd, child.out(), 0))
        return adopt_created(name, err, &dev->disk);
    unique_fd input(wfd);
    errdesc_t *err = vmdk_emit_dm_table(input.get(), vmdk, chain_len);
    if (err) {
        {
            errdesc_keeper keep;
            child.kill_and_reap();
            input.reset();
        }
        return adopt_created(name, err, &dev->disk);
    }
    input.reset();
    errdesc_t *waited = child.wait(cmdline.c_str(), SPAWN_TIMEOUT_LONG);
    run_program_kill_point(dmsetup());
    return adopt_created(name, waited, &dev->disk);
}

errdesc_t *make_store(const std::string &path, disk_device_t *dev)
{
    made_note(made_kind_t::file, path);
    dev->store = temp_file(path); // removed, and forgotten, also when it was not made
    unique_fd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0660));
    if (!fd)
        return errdesc_set_extended_err(errno, path.c_str());
    const char zero = 0;
    if (pwrite(fd.get(), &zero, 1, SNAPSHOT_STORE_SIZE - 1) != 1)
        return errdesc_set_extended_err(errno, path.c_str());
    if (close(fd.release()) != 0)
        return errdesc_set_extended_err(errno, path.c_str());
    return nullptr;
}

// "dmsetup table <from>" fed into "dmsetup <verb> <to>".
errdesc_t *copy_table(const std::string &from, const char *verb, const std::string &to)
{
    const char *table[] = {dmsetup(), "table", from.c_str(), nullptr};
    const char *load[] = {dmsetup(), verb, to.c_str(), nullptr};
    int rfd = -1;
    child_process reader;
    if (errdesc_t *err = spawn(table, SPAWN_READ, &rfd, nullptr, reader.out(), 0))
        return err;
    errdesc_t *err = spawn(load, SPAWN_WAIT | SPAWN_RELAY, nullptr, &rfd, nullptr, DM_TIMEOUT);
    if (err) {
        errdesc_keeper keep;
        reader.kill_and_reap();
        return err;
    }
    errdesc_t *waited = reader.wait(program_cmdline(table).c_str(), DM_TIMEOUT);
    run_program_kill_point(dmsetup());
    return waited;
}

errdesc_t *device_sectors(const std::string &name, uint64_t *sectors)
{
    const std::string path = dm_path(name);
    unique_fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    uint64_t bytes = 0;
    if (!fd || ioctl(fd.get(), BLKGETSIZE64, &bytes) != 0)
        return errdesc_set_extended_err(errno, path.c_str());
    *sectors = bytes / 512;
    return nullptr;
}

errdesc_t *create_snapshot(const std::string &top, const std::string &dup,
                           const std::string &store_loop, uint64_t sectors, disk_device_t *dev)
{
    const char *cmd[] = {dmsetup(), "create", top.c_str(), nullptr};
    int wfd = -1;
    child_process child;
    made_note(made_kind_t::dm, top);
    if (errdesc_t *err = spawn(cmd, SPAWN_WRITE, nullptr, &wfd, child.out(), 0))
        return adopt_created(top, err, &dev->top);
    unique_fd input(wfd);
    char table[512];
    int n = snprintf(table, sizeof(table), "0 %jd snapshot %s %s p 4",
                     static_cast<intmax_t>(sectors), dm_path(dup).c_str(), store_loop.c_str());
    if (n < 0 || n >= static_cast<int>(sizeof(table)) || write(input.get(), table, n) != n) {
        errdesc_t *err = errdesc_set_str(EIO, "writing the snapshot table");
        errdesc_keeper keep;
        child.kill_and_reap();
        return adopt_created(top, err, &dev->top);
    }
    input.reset();
    errdesc_t *waited = child.wait(program_cmdline(cmd).c_str(), DM_TIMEOUT);
    run_program_kill_point(dmsetup());
    return adopt_created(top, waited, &dev->top);
}

// Puts the snapshot between the disk device's name and its data. The
// snapshot ".top" is made over the duplicate first, and its table is then
// loaded into the disk device. A persistent store passes from one snapshot
// to the next only while the one that has it is suspended, so ".top" is
// suspended before the disk device resumes with the table.
errdesc_t *vdsk_get_devicemapper_snapshot(dmdesc_t *dm, disk_device_t *dev)
{
    const std::string &base = dm->base;
    dm->storage = store_path(base);
    if (errdesc_t *err = make_store(dm->storage, dev))
        return err;
    if (errdesc_t *err =
            loop_attachment::attach(dm->storage.c_str(), false, DM_TIMEOUT, &dev->store_loop))
        return err;
    dm->loop = dev->store_loop.path();

    dm->dup = base + DM_DUP_SUFFIX;
    made_note(made_kind_t::dm, dm->dup);
    if (errdesc_t *err = adopt_created(dm->dup, copy_table(base, "create", dm->dup), &dev->dup))
        return err;
    if (errdesc_t *err = run_dmsetup({"suspend", base.c_str()}))
        return err;
    uint64_t sectors = 0;
    if (errdesc_t *err = device_sectors(dm->dup, &sectors))
        return err;
    dm->top = base + DM_TOP_SUFFIX;
    if (errdesc_t *err = create_snapshot(dm->top, dm->dup, dm->loop, sectors, dev))
        return err;
    if (errdesc_t *err = copy_table(dm->top, "load", base))
        return err;
    if (errdesc_t *err = run_dmsetup({"suspend", dm->top.c_str()}))
        return err;
    return run_dmsetup({"resume", base.c_str()});
}

// Everything in `dev` goes, in the order of removal, and the extents forget
// their loop devices.
errdesc_t *release_all(vmdkdesc_t *vmdk, disk_device_t *dev)
{
    // The first failure is returned; later steps run whatever failed.
    errdesc_t *first = nullptr;
    std::unique_ptr<errdesc_keeper> keep;
    auto note = [&](errdesc_t *err) {
        if (err && !first) {
            first = err;
            keep = std::make_unique<errdesc_keeper>();
        }
    };
    note(dev->disk.release());
    note(dev->top.release());
    note(dev->dup.release());
    note(dev->store_loop.release());
    if (!dev->store.empty()) {
        const std::string path = dev->store.path();
        if (errdesc_t *err = dev->store.release()) {
            ts_printf("ERROR: vdsk_free_devicemapper_snapshot: failed to unlink %s (ret %d, "
                      "errno %d)\n",
                      path.c_str(), -1, err->number);
            note(err);
        }
    }
    for (auto it = dev->extent_loops.rbegin(); it != dev->extent_loops.rend(); ++it)
        note(it->release());
    dev->extent_loops.clear();
    if (vmdk) {
        for (uint32_t k = 0; vmdkdesc_t *disk = vmdk_chain_disk(vmdk, k); k++) {
            for (uint32_t e = 0; e < disk->extentdesccount; e++)
                disk->extentdesc[e]->loopdev.clear();
        }
        vmdk_free_ancestors(vmdk);
    }
    return first;
}

// "7:3" (what a kernel prints) or a path (what the stand-ins print) of a
// loop device, as its path.
std::string loop_device_path(const std::string &token)
{
    unsigned maj = 0, min = 0;
    if (sscanf(token.c_str(), "%u:%u", &maj, &min) != 2)
        return token;
    glob_t g{};
    std::string found;
    if (glob("/dev/loop[0-9]*", 0, nullptr, &g) == 0) {
        for (size_t i = 0; i < g.gl_pathc && found.empty(); i++) {
            struct stat st;
            if (stat(g.gl_pathv[i], &st) == 0 && S_ISBLK(st.st_mode) &&
                st.st_rdev == makedev(maj, min))
                found = g.gl_pathv[i];
        }
    }
    globfree(&g);
    return found;
}

// The lines of "dmsetup table <name>", split into words.
errdesc_t *read_table(const std::string &name, std::vector<std::vector<std::string>> *lines)
{
    const char *cmd[] = {dmsetup(), "table", name.c_str(), nullptr};
    return run_program_read(cmd, 0, DM_TIMEOUT, [lines](FILE *out) {
        char buf[8192];
        while (fgets(buf, sizeof(buf), out)) {
            std::istringstream words(buf);
            std::vector<std::string> line;
            for (std::string w; words >> w;)
                line.push_back(w);
            if (!line.empty())
                lines->push_back(std::move(line));
        }
    });
}

} // namespace

errdesc_t *vdsk_get_devicemapper_dev(vdskdesc_t *vdskdesc, const char *basedev, disk_device_t *dev)
{
    dmdesc_t &dm = vdskdesc->dmdesc;
    if (vdskdesc->type != VD_VMDK || !vdskdesc->desc.vmdkdesc)
        return errdesc_set_str(ERR_INVALID_ARG, "Unsupported vdisk format");
    if (!dm.base.empty() || !dev->disk.empty() || !dev->extent_loops.empty())
        return errdesc_set_fmt(EINVAL, "%s already has a device", vdskdesc->vdsk_path.c_str());
    if (errdesc_t *err = dm_mk_unique_name(basedev, &dm.base))
        return err;

    vmdkdesc_t *vmdk = vdskdesc->desc.vmdkdesc.get();
    uint32_t chain_len = 0;
    errdesc_t *err = vmdk_open_dm_chain(vmdk, &chain_len);
    if (!err) {
        err = vmdk_assign_loop_devs(vmdk, chain_len, dev);
        if (!err)
            err = create_disk_device(vmdk, chain_len, dm.base, dev);
        vmdk_close_dm_chain(vmdk, chain_len);
    }
    if (!err)
        err = vdsk_get_devicemapper_snapshot(&dm, dev);
    if (err) {
        errdesc_log(err, TOL_PRIO_WARNING);
        errdesc_keeper keep;
        vdsk_free_devicemapper_dev(vdskdesc, dev);
        return err;
    }
    return nullptr;
}

errdesc_t *vdsk_free_devicemapper_dev(vdskdesc_t *vdskdesc, disk_device_t *dev)
{
    vmdkdesc_t *vmdk =
        vdskdesc && vdskdesc->type == VD_VMDK ? vdskdesc->desc.vmdkdesc.get() : nullptr;
    errdesc_t *err = release_all(vmdk, dev);
    if (vdskdesc)
        vdskdesc->dmdesc = dmdesc_t{};
    return err;
}

errdesc_t *vdsk_setup(const char *vdsk_path, vdskdesc_t *vdskdesc, disk_device_t *dev,
                      const char *root)
{
    setup_cmds();
    if (errdesc_t *err = vdsk_open(vdsk_path, vdskdesc, root))
        return err;
    if (errdesc_t *err = vdsk_get_devicemapper_dev(vdskdesc, vdskdesc->name.c_str(), dev)) {
        errdesc_keeper keep;
        vdsk_close(vdskdesc);
        return err;
    }
    return nullptr;
}

errdesc_t *vdsk_unsetup(vdskdesc_t *vdskdesc, disk_device_t *dev)
{
    errdesc_t *err = vdsk_free_devicemapper_dev(vdskdesc, dev);
    errdesc_keeper keep;
    vdsk_close(vdskdesc);
    return err;
}

errdesc_t *vdsk_adopt_devicemapper_dev(const char *base, disk_device_t *dev)
{
    const std::string name = base;
    const std::string dup = name + ".dup", top = name + ".top";
    if (!dm_exists(name) || !dm_exists(dup))
        return errdesc_set_fmt(ENOENT,
                               "%s is not a disk device with a snapshot overlay "
                               "(no %s and %s)",
                               name.c_str(), dm_path(name).c_str(), dm_path(dup).c_str());
    std::vector<std::vector<std::string>> snapshot, linear;
    if (errdesc_t *err = read_table(name, &snapshot))
        return err;
    if (snapshot.size() != 1 || snapshot[0].size() < 6 || snapshot[0][2] != "snapshot")
        return errdesc_set_fmt(EINVAL, "%s does not carry a snapshot table", name.c_str());
    if (errdesc_t *err = read_table(dup, &linear))
        return err;

    // Only what was found is adopted; a failure to read a table leaves
    // everything in place for a second attempt.
    std::set<std::string> loops;
    for (const auto &line : linear) {
        if (line.size() >= 5 && line[2] == "linear")
            loops.insert(loop_device_path(line[3]));
    }
    for (const auto &loop : loops) {
        if (!loop.empty())
            dev->extent_loops.push_back(loop_attachment::adopt(loop));
    }
    if (access(store_path(name).c_str(), F_OK) == 0)
        dev->store = temp_file(store_path(name));
    if (std::string loop = loop_device_path(snapshot[0][4]); !loop.empty())
        dev->store_loop = loop_attachment::adopt(loop);
    dev->dup = dm_device::adopt(dup);
    if (dm_exists(top))
        dev->top = dm_device::adopt(top);
    dev->disk = dm_device::adopt(name);
    return nullptr;
}
