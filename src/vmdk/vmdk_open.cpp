// Opening and closing disks, their extent files and their ancestor chains.

#include "vmdk/vmdk_open.hpp"

#include "common/files.hpp"
#include "vmdk/descriptor_parser.hpp"
#include "vmdk/graindir.hpp"
#include "vmdk/vmdk_input.hpp"

#include <algorithm>
#include <vector>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <libgen.h>
#include <sys/stat.h>
#include <unistd.h>

void vmdk_ancestor_deleter::operator()(vmdkdesc_t **array) const
{
    // Entry 0 belongs to whoever owns the disk's record.
    for (int i = 1; array[i] != nullptr; i++) {
        std::unique_ptr<vmdkdesc_t> parent(array[i]);
        array[i] = nullptr;
        vmdk_close(parent.get());
    }
    delete[] array;
}

errdesc_t *vmdk_read_diskdescriptor(const char *vmdkfile, vmdkdesc_t *vmdkdesc, const char *root)
{
    if (errdesc_t *err = vmdk_parse_file_contents(vmdkfile, vmdkdesc, root))
        return err;
    std::string copy(vmdkfile); // dirname() may write into its argument
    const char *dir = dirname(copy.data());
    if (strlen(dir) >= sizeof vmdkdesc->dirname)
        return errdesc_set_str(ENAMETOOLONG, vmdkfile);
    strcpy(vmdkdesc->dirname, dir);
    return nullptr;
}

errdesc_t *vmdk_open_in(const datastore_table_t &table, const char *vmdkfile, vmdkdesc_t *vmdkdesc,
                        const char *root)
{
    vmdk_clear_vmdkdesc(vmdkdesc);
    std::string real_root;
    std::string preferred;
    errdesc_t *err = vmdk_real_root(root, &real_root);
    if (!err)
        err = get_preferred_datastore_path_in(table, vmdkfile, &preferred);
    if (!err)
        err = vmdk_read_diskdescriptor(preferred.c_str(), vmdkdesc, real_root.c_str());
    if (err) {
        vmdk_close(vmdkdesc);
        return err;
    }
    vmdkdesc->datastore_direct = tol_bool(!is_datastore_fs_path_in(table, preferred.c_str()));
    vmdkdesc->filename = std::move(preferred);
    vmdkdesc->root = std::move(real_root);
    vmdkdesc->magic = VMDK_MAGIC;
    return nullptr;
}

errdesc_t *vmdk_open(const char *vmdkfile, vmdkdesc_t *vmdkdesc, const char *root)
{
    return vmdk_open_in(vmdk_datastore_table, vmdkfile, vmdkdesc, root);
}

errdesc_t *vmdk_close(vmdkdesc_t *vmdkdesc)
{
    vmdk_free_ancestors(vmdkdesc);
    vmdk_free_vmdkdesc(vmdkdesc);
    vmdk_free_gtbuf(vmdkdesc);
    vmdk_clear_vmdkdesc(vmdkdesc);
    return nullptr;
}

std::string vmdk_get_path(const char *name, const char *path)
{
    if (name[0] == '/')
        return name;
    return std::string(path) + "/" + name;
}

errdesc_t *vmdk_open_extentfiles(vmdkdesc_t *vmdkdesc)
{
    for (uint32_t i = 0; i < vmdkdesc->extentdesccount; i++) {
        extentdesc_t *e = vmdkdesc->extentdesc[i].get();
        std::string path = vmdk_get_path(e->extentname, vmdkdesc->dirname);
        // Raw device mappings may name a device; every other extent is a file.
        const bool raw = (e->extenttype & (ET_VMFSRDM | ET_VMFSRAW)) != 0;
        unique_fd fd;
        struct stat st;
        errdesc_t *err = vmdk_open_input(path.c_str(), vmdkdesc->root, raw, &fd, &st);
        e->fd = fd.release();
        if (err) {
            errdesc_print(err, TOL_PRIO_ERROR);
            vmdk_close_extentfiles(vmdkdesc);
            return err;
        }
    }
    if (errdesc_t *err = vmdk_open_graindir(vmdkdesc)) {
        vmdk_close_extentfiles(vmdkdesc);
        return err;
    }
    return nullptr;
}

errdesc_t *vmdk_close_extentfiles(vmdkdesc_t *vmdkdesc)
{
    vmdk_close_graindir(vmdkdesc);
    for (uint32_t i = 0; i < vmdkdesc->extentdesccount; i++) {
        extentdesc_t *e = vmdkdesc->extentdesc[i].get();
        if (e && e->fd >= 0)
            tol_safe_close(&e->fd);
    }
    return nullptr;
}

namespace
{

struct file_id {
    dev_t dev;
    ino_t ino;
    bool operator==(const file_id &) const = default;
};

errdesc_t *get_ancestors(vmdkdesc_t *vmdkdesc, int index,
                         vmdk_ancestor_array_t *vmdk_ancestor_array, std::vector<file_id> *seen)
{
    if (vmdkdesc->magic != VMDK_MAGIC)
        return errdesc_set_fmt(EINVAL, "VMDK descriptor %s is not open", vmdkdesc->filename.c_str());
    if (index >= VMDK_MAX_ANCESTORS)
        return errdesc_set_fmt(EAGAIN,
                               "Length of VMDK ancestors chain for %s has reached the limit (%d)",
                               vmdkdesc->filename.c_str(), index);

    if (vmdkdesc->pcid == VMDK_NO_PARENT_CID) {
        // The base disk: its depth is the number of parents, so the array has
        // one entry per descriptor and a final null.
        vmdk_ancestor_array->reset(new vmdkdesc_t *[index + 2]());
    } else if (vmdkdesc->pcid != 0 && !vmdkdesc->parentfilenamehint.empty()) {
        auto parent = std::make_unique<vmdkdesc_t>();
        std::string path = vmdk_get_path(vmdkdesc->parentfilenamehint.c_str(), vmdkdesc->dirname);
        if (errdesc_t *err = vmdk_open(path.c_str(), parent.get(), vmdkdesc->root.c_str()))
            return err; // vmdk_open left the parent cleared
        const file_id id{parent->file_dev, parent->file_ino};
        if (std::find(seen->begin(), seen->end(), id) != seen->end()) {
            errdesc_t *err = errdesc_set_fmt(
                ELOOP, "VMDK descriptor %s (%d): its parent %s is already in its chain",
                vmdkdesc->filename.c_str(), index, parent->filename.c_str());
            vmdk_close(parent.get());
            return err;
        }
        seen->push_back(id);
        if (errdesc_t *err = get_ancestors(parent.get(), index + 1, vmdk_ancestor_array, seen)) {
            vmdk_close(parent.get());
            return err;
        }
        parent.release(); // (*vmdk_ancestor_array)[index + 1] owns it now
    } else {
        return errdesc_set_fmt(EBADFD, "VMDK descriptor for %s (%d) is corrupted",
                               vmdkdesc->filename.c_str(), index);
    }
    (*vmdk_ancestor_array)[index] = vmdkdesc;
    return nullptr;
}

} // namespace

errdesc_t *vmdk_get_ancestors(vmdkdesc_t *vmdkdesc, int index,
                              vmdk_ancestor_array_t *vmdk_ancestor_array)
{
    std::vector<file_id> seen{{vmdkdesc->file_dev, vmdkdesc->file_ino}};
    return get_ancestors(vmdkdesc, index, vmdk_ancestor_array, &seen);
}

errdesc_t *vmdk_free_ancestors(vmdkdesc_t *vmdkdesc)
{
    vmdkdesc->vmdk_ancestor_array.reset();
    return nullptr;
}
