// vmdk-mount: mounts the file systems of a VMDK disk and its snapshot chain
// as the file-level view does, or makes only its block device, with the
// snapshot overlay that keeps writes away from the image files; and removes
// it all again. See man/vmdk-mount.1.
//
//   vmdk-mount DESCRIPTOR DIR          mounts every file system on DIR/NAME/N,
//                                      one line per mount: N DEVICE TYPE DIRECTORY
//   vmdk-mount -u DIR                  unmounts them and removes every device
//   vmdk-mount --device DESCRIPTOR     prints /dev/mapper/NAME; the devices stay
//   vmdk-mount -u /dev/mapper/NAME     removes NAME and everything made for it
//   vmdk-mount --table DESCRIPTOR      prints the table, extent files in place
//                                      of loop devices (no device is made)

#include "common/errdesc.hpp"
#include "common/kept_error.hpp"
#include "common/files.hpp"
#include "common/logging.hpp"
#include "mounter/disk_device.hpp"
#include "mounter/dm_names.hpp"
#include "mounter/dm_table.hpp"
#include "mounter/partitions.hpp"
#include "mounter/vmount.hpp"
#include "vmdk/vmdk_open.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <exception>
#include <getopt.h>
#include <memory>
#include <new>
#include <string>
#include <unistd.h>
#include <vector>

namespace
{

void usage(FILE *out)
{
    fprintf(out, "usage: vmdk-mount DESCRIPTOR DIR\n"
                 "       vmdk-mount -u DIR\n"
                 "       vmdk-mount --device DESCRIPTOR\n"
                 "       vmdk-mount -u /dev/mapper/NAME\n"
                 "       vmdk-mount --table DESCRIPTOR\n");
}

int fail(const char *what, errdesc_t *err)
{
    fprintf(stderr, "vmdk-mount: %s: %s (error %d)\n", what, err->string, err->number);
    return 1;
}

int make_device(const char *descriptor, FILE *result)
{
    // The devices outlive this process (vmdk-mount -u removes them), so their
    // owners are never destroyed once the device is complete.
    auto vdsk = std::make_unique<vdskdesc_t>();
    auto dev = std::make_unique<disk_device_t>();
    if (errdesc_t *err = vdsk_setup(descriptor, vdsk.get(), dev.get()))
        return fail(descriptor, err);
    fprintf(result, "%s/%s\n", DM_ROOT, vdsk->dmdesc.base.c_str());
    (void)dev.release();
    (void)vdsk.release();
    return fflush(result) == 0 ? 0 : 1;
}

int remove_device(const char *path)
{
    const std::string prefix = std::string(DM_ROOT) + "/";
    std::string name = path;
    if (name.rfind(prefix, 0) == 0)
        name.erase(0, prefix.size());
    if (name.empty() || name.find('/') != std::string::npos) {
        fprintf(stderr, "vmdk-mount: %s is not a device under %s\n", path, DM_ROOT);
        return 1;
    }
    disk_device_t dev;
    if (errdesc_t *err = vdsk_adopt_devicemapper_dev(name.c_str(), &dev))
        return fail(path, err);
    if (errdesc_t *err = vdsk_free_devicemapper_dev(nullptr, &dev))
        return fail(path, err);
    return 0;
}

// The volumes that were mounted, in mount order: a volume that failed to
// mount left its number to the next one, so a directory belongs to the last
// volume that was given it.
std::vector<const partlogvol_t *> mounted_volumes(const vdskdesc_t &vdsk,
                                                  const vdsk_mounted_t &made)
{
    std::vector<const partlogvol_t *> tried;
    for (uint32_t p = 0; p < vdsk.part_map.count; ++p)
        tried.push_back(&vdsk.part_map.part[p]);
    for (uint32_t g = 0; g < vdsk.volgrp_map_count; ++g)
        for (uint32_t v = 0; v < vdsk.volgrp_map[g].count; ++v)
            tried.push_back(&vdsk.volgrp_map[g].logvol[v]);
    std::vector<const partlogvol_t *> mounted;
    for (const auto &m : made.mounts) {
        auto it = std::find_if(tried.rbegin(), tried.rend(),
                               [&](const partlogvol_t *vol) { return vol->mnt_dir == m.dir(); });
        if (it != tried.rend())
            mounted.push_back(*it);
    }
    return mounted;
}

void print_mount(const partlogvol_t &vol, FILE *result)
{
    const char *number = strrchr(vol.mnt_dir.c_str(), '/') + 1;
    fprintf(result, "%s %s %s %s\n", number, vol.name.c_str(), filesys_table[vol.fstype].name,
            vol.mnt_dir.c_str());
}

int mount_disk(const char *descriptor, const char *dir, FILE *result)
{
    if (access(dir, F_OK) != 0 && mkdirp(dir, 0755) != 0) {
        fprintf(stderr, "vmdk-mount: cannot create %s: %s\n", dir, strerror(errno));
        return 1;
    }
    auto vdsk = std::make_unique<vdskdesc_t>();
    auto made = std::make_unique<vdsk_mounted_t>();
    if (errdesc_t *err = vdsk_mount(dir, descriptor, vdsk.get(), made.get()))
        return fail(descriptor, err);
    if (made->mounts.empty()) {
        // Nothing to unmount later would find the devices: take them down now.
        vdsk_umount(dir, vdsk.get(), made.get());
        fprintf(stderr, "vmdk-mount: %s: no file system could be mounted\n", descriptor);
        return 1;
    }
    for (const partlogvol_t *vol : mounted_volumes(*vdsk, *made))
        print_mount(*vol, result);
    // The mounts and devices outlive this process; vmdk-mount -u DIR removes them.
    (void)made.release();
    (void)vdsk.release();
    return fflush(result) == 0 ? 0 : 1;
}

// The names under /dev/mapper, sorted.
std::vector<std::string> dm_names()
{
    std::vector<std::string> names;
    if (DIR *d = opendir(DM_ROOT)) {
        while (const dirent *de = readdir(d))
            if (de->d_name[0] != '.' && strcmp(de->d_name, "control") != 0)
                names.push_back(de->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Everything made for the disk device `base` mounted below `dir`, found
// from the directory tree and the device-mapper names.
errdesc_t *unmount_disk(const char *dir, const std::string &base)
{
    kept_error first;
    std::vector<mount_owner> none;
    first.keep(vdsk_do_umount(dir, base.c_str(), &none));
    std::vector<std::string> volumes;
    part_map_t parts;
    for (const auto &name : dm_names()) {
        const dm_name_parts_t on = dm_parse_name(name);
        if (on.base != base)
            continue;
        if (on.kind == dm_name_kind_t::partition && parts.count < PART_MAP_MAX)
            parts.part[parts.count++].name = std::string(DM_ROOT) + "/" + name;
        else if (on.kind == dm_name_kind_t::volume)
            volumes.push_back("/dev/" + on.group + "/" + on.volume);
    }
    errdesc_t *err = volgroup_activation::adopt(volumes, lvm_disk_config(base)).release();
    if (first.empty())
        first.keep(err);
    const std::string disk = std::string(DM_ROOT) + "/" + base;
    err = vdsk_free_partitions_ex(disk.c_str(), &parts, TOL_TRUE);
    if (first.empty())
        first.keep(err);
    disk_device_t dev;
    err = vdsk_adopt_devicemapper_dev(base.c_str(), &dev);
    if (!err)
        err = vdsk_free_devicemapper_dev(nullptr, &dev);
    if (first.empty())
        first.keep(err);
    return first.raise();
}

int unmount_dir(const char *dir)
{
    // A disk directory is named after its disk device.
    std::vector<std::string> bases;
    if (DIR *d = opendir(dir)) {
        while (const dirent *de = readdir(d)) {
            const std::string name = de->d_name;
            const std::string dev = std::string(DM_ROOT) + "/" + name;
            if (name[0] != '.' && access(dev.c_str(), F_OK) == 0 &&
                access((dev + ".dup").c_str(), F_OK) == 0)
                bases.push_back(name);
        }
        closedir(d);
    }
    if (bases.empty()) {
        fprintf(stderr, "vmdk-mount: no disk is mounted below %s\n", dir);
        return 1;
    }
    int status = 0;
    for (const auto &base : bases) {
        if (errdesc_t *err = unmount_disk(dir, base))
            status = fail(dir, err);
    }
    return status;
}

int print_table(const char *descriptor, FILE *result)
{
    vmdkdesc_t disk;
    if (errdesc_t *err = vmdk_open(descriptor, &disk))
        return fail(descriptor, err);
    uint32_t len = 0;
    errdesc_t *err = vmdk_open_dm_chain(&disk, &len);
    for (uint32_t k = 0; !err && k < len; k++) {
        vmdkdesc_t *d = vmdk_chain_disk(&disk, k);
        for (uint32_t e = 0; e < d->extentdesccount; e++)
            d->extentdesc[e]->loopdev = vmdk_get_path(d->extentdesc[e]->extentname, d->dirname);
    }
    fflush(result);
    if (!err)
        err = vmdk_emit_dm_table(fileno(result), &disk, len);
    int status = err ? fail(descriptor, err) : 0;
    vmdk_close_dm_chain(&disk, len);
    vmdk_close(&disk);
    return status;
}

} // namespace

static int run(int argc, char **argv)
{
    enum { NONE, MOUNT, UNMOUNT, DEVICE, REMOVE, TABLE } action = NONE;
    static const option options[] = {
        {"device", no_argument, nullptr, 'D'},
        {"table", no_argument, nullptr, 't'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    for (int c; (c = getopt_long(argc, argv, "uh", options, nullptr)) != -1;) {
        switch (c) {
        case 'D':
            action = DEVICE;
            break;
        case 'u':
            action = REMOVE;
            break;
        case 't':
            action = TABLE;
            break;
        case 'h':
            usage(stdout);
            return 0;
        default:
            usage(stderr);
            return 2;
        }
    }
    const int args = argc - optind;
    if ((action == NONE && args != 2) || (action != NONE && args != 1)) {
        usage(stderr);
        return 2;
    }
    if (action == NONE)
        action = MOUNT;
    if (action == REMOVE && strncmp(argv[optind], "/dev/mapper/", 12) != 0)
        action = UNMOUNT;

    // The result goes to standard output alone: the library's log lines and
    // the programs it runs write to standard output, so they go to standard
    // error instead.
    int out = dup(STDOUT_FILENO);
    FILE *result = out < 0 ? nullptr : fdopen(out, "w");
    if (!result || dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
        perror("vmdk-mount: standard output");
        return 1;
    }
    // A program that stops reading its input must fail the write, not end us.
    signal(SIGPIPE, SIG_IGN);

    const char *arg = argv[optind];
    switch (action) {
    case MOUNT:
        return mount_disk(arg, argv[optind + 1], result);
    case UNMOUNT:
        return unmount_dir(arg);
    case DEVICE:
        return make_device(arg, result);
    case REMOVE:
        return remove_device(arg);
    default:
        return print_table(arg, result);
    }
}

// An exception caught here unwinds the owners of whatever was made, so their
// destructors release it; an uncaught one would end the program without that.
int main(int argc, char **argv)
{
    try {
        return run(argc, argv);
    } catch (const std::bad_alloc &) {
        std::fprintf(stderr, "%s: out of memory\n", "vmdk-mount");
    } catch (const std::exception &e) {
        std::fprintf(stderr, "%s: %s\n", "vmdk-mount", e.what());
    }
    return 1;
}
