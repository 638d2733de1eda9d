#pragma once
// The block device of a virtual disk: the extent files on read-only loop
// devices, the disk device made from the chain's table, and a snapshot
// overlay that keeps every write away from the image files. Afterwards
// "/dev/mapper/<base>" shows the disk through a copy-on-write snapshot whose
// store is a sparse file "/tmp/<base>.tolstorage" of 50 MiB and one byte on
// a loop device; the disk's original table lives on in "<base>.dup", the
// snapshot that first received the store in "<base>.top".

#include "common/errdesc.hpp"
#include "mounter/disk_record.hpp"
#include "mounter/owners.hpp"

#include <string>
#include <vector>

inline constexpr uint64_t SNAPSHOT_STORE_SIZE = 52428801; // 50 MiB and one byte

// What one disk device made. Released in reverse member order, which is the
// order of removal, not of creation: the disk device goes first (it holds
// the duplicate and the store open), the extent files' loop devices last.
struct disk_device_t {
    std::vector<loop_attachment> extent_loops;
    temp_file store;
    loop_attachment store_loop;
    dm_device dup;
    dm_device top;
    dm_device disk;
};

// Makes the device of an open disk record under a new unique name
// "<basedev>.<n>" and fills `vdskdesc->dmdesc` with the names. `*dev` must be
// empty. On failure everything made is removed and `dmdesc` is empty.
errdesc_t *vdsk_get_devicemapper_dev(vdskdesc_t *vdskdesc, const char *basedev, disk_device_t *dev);
// Removes everything in `*dev` (forced, best effort: failures are logged and
// the rest still goes), releases the chain that the table loaded, and
// empties `dmdesc`. Returns the first failure.
errdesc_t *vdsk_free_devicemapper_dev(vdskdesc_t *vdskdesc, disk_device_t *dev);

// Opens the disk at `vdsk_path` into `vdskdesc` and makes its device; on
// failure the record is left cleared and nothing remains. `root` as for
// vdsk_open.
errdesc_t *vdsk_setup(const char *vdsk_path, vdskdesc_t *vdskdesc, disk_device_t *dev,
                      const char *root = nullptr);
// The reverse of vdsk_setup.
errdesc_t *vdsk_unsetup(vdskdesc_t *vdskdesc, disk_device_t *dev);

// Takes over, in another process, the disk device named `base` and
// everything made for it, found from the device-mapper tables of `base` and
// its duplicate and from the store file's name. Fails when `base` is not a
// disk device with a snapshot overlay.
errdesc_t *vdsk_adopt_devicemapper_dev(const char *base, disk_device_t *dev);
