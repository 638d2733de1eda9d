#pragma once
// Opening a disk by the path of its descriptor, its extent files, and the
// chain of parent descriptors of a snapshot disk down to its base disk.
//
// Life of a record: cleared -> vmdk_open -> [vmdk_open_extentfiles ...
// vmdk_close_extentfiles] -> [vmdk_get_ancestors ... vmdk_free_ancestors] ->
// vmdk_close. Parent records in a chain are open with closed extent files;
// whoever opens their extent files closes them again before the chain goes.

#include "common/errdesc.hpp"
#include "vmdk/datastore_helper.hpp"
#include "vmdk/vmdkdesc.hpp"

#include <string>

// Opens the disk whose descriptor is at `vmdkfile` (read from the preferred
// datastore view) into the caller's record: magic VMDK_MAGIC, filename the
// path actually read, dirname its directory, datastore_direct true unless that
// path lies under "/vmfs/volumes/". On failure the record is left cleared.
// With a containment `root` (a directory), the descriptor, every extent and
// every parent of the chain must lie below it once links are resolved; the
// record keeps the root for them. Without one any file may be named (an
// operator's tool), but all of them must still be regular files.
errdesc_t *vmdk_open(const char *vmdkfile, vmdkdesc_t *vmdkdesc, const char *root = nullptr);
// The same with another datastore table (tests).
errdesc_t *vmdk_open_in(const datastore_table_t &table, const char *vmdkfile, vmdkdesc_t *vmdkdesc,
                        const char *root = nullptr);

// Parses the descriptor and sets dirname to the directory of `vmdkfile`.
errdesc_t *vmdk_read_diskdescriptor(const char *vmdkfile, vmdkdesc_t *vmdkdesc,
                                    const char *root = nullptr);

// Releases the chain, what the record owns and the grain-table buffer, then
// clears the record. Returns null.
errdesc_t *vmdk_close(vmdkdesc_t *vmdkdesc);

// `name` itself when it begins with "/", otherwise "<path>/<name>".
std::string vmdk_get_path(const char *name, const char *path);

// Opens every extent file read-only, then loads the grain directories of the
// sparse ones. On failure every extent file is closed again. Extent files
// must be regular files (raw device mappings may be block devices) below the
// record's root.
errdesc_t *vmdk_open_extentfiles(vmdkdesc_t *vmdkdesc);
// Releases the grain directories and closes the extent files. Returns null.
errdesc_t *vmdk_close_extentfiles(vmdkdesc_t *vmdkdesc);

// Builds the chain of an open disk into *vmdk_ancestor_array (which must be
// empty): the caller passes index 0 and &vmdkdesc->vmdk_ancestor_array. Entry
// 0 is the disk, each next entry the parent of the one before, the last
// non-null one the base disk (pcid 0xffffffff). At most 128 descriptors.
// Parents are opened below the record's root; a parent that is a descriptor
// already in the chain is refused with ELOOP. On failure nothing of the
// chain remains allocated.
errdesc_t *vmdk_get_ancestors(vmdkdesc_t *vmdkdesc, int index,
                              vmdk_ancestor_array_t *vmdk_ancestor_array);
// Closes and releases the parents (entries 1 onwards) and the array. Returns null.
errdesc_t *vmdk_free_ancestors(vmdkdesc_t *vmdkdesc);
