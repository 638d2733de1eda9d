// vmdk-mount: makes the block device of a VMDK disk and its snapshot chain,
// with the snapshot overlay that keeps writes away from the image files, and
// removes it again. See man/vmdk-mount.1.
//
//   vmdk-mount --device DESCRIPTOR     prints /dev/mapper/NAME; the devices stay
//   vmdk-mount -u /dev/mapper/NAME     removes NAME and everything made for it
//   vmdk-mount --table DESCRIPTOR      prints the table, extent files in place
//                                      of loop devices (no device is made)

#include "common/errdesc.hpp"
#include "common/logging.hpp"
#include "mounter/disk_device.hpp"
#include "mounter/dm_names.hpp"
#include "mounter/dm_table.hpp"
#include "vmdk/vmdk_open.hpp"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>
#include <memory>
#include <string>
#include <unistd.h>

namespace
{

void usage(FILE *out)
{
    fprintf(out, "usage: vmdk-mount --device DESCRIPTOR\n"
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

int main(int argc, char **argv)
{
    enum { NONE, DEVICE, REMOVE, TABLE } action = NONE;
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
    if (action == NONE || optind != argc - 1) {
        usage(stderr);
        return 2;
    }

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
    case DEVICE:
        return make_device(arg, result);
    case REMOVE:
        return remove_device(arg);
    default:
        return print_table(arg, result);
    }
}
