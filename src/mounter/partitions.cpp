#include "mounter/partitions.hpp"

#include "common/programs.hpp"
#include "common/spawn.hpp"
#include "mounter/dm_names.hpp"
#include "mounter/run_program.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

const fs_type_entry_t filesys_table[FS_TYPE_MAX] = {
    {FS_TYPE_UNKNOWN, VOL_UNKNOWN, "unknown"},
    {FS_TYPE_VFAT, VOL_FILESYS, "vfat"},
    {FS_TYPE_NTFS, VOL_FILESYS, "ntfs"},
    {FS_TYPE_EXT2, VOL_FILESYS, "ext2"},
    {FS_TYPE_EXT3, VOL_FILESYS, "ext3"},
    {FS_TYPE_EXT4, VOL_FILESYS, "ext4"},
    {FS_TYPE_UFS, VOL_FILESYS, "ufs"},
    {FS_TYPE_LVM2, VOL_LVM, "LVM2_member"},
    {FS_TYPE_SWAP, VOL_UNMOUNTABLE, "swap"},
    {FS_TYPE_MD, VOL_LVM, "raid"},
    // Last, so that it is tried after every other row and cannot take a
    // word that one of them names.
    {FS_TYPE_XFS, VOL_FILESYS, "xfs"},
};

namespace
{

constexpr bool table_in_value_order()
{
    for (int i = 0; i < FS_TYPE_MAX; ++i)
        if (filesys_table[i].fs_type != i)
            return false;
    return true;
}

void clear_part_map(part_map_t *part_map)
{
    for (auto &entry : part_map->part)
        entry = partlogvol_t{};
    part_map->count = 0;
}

std::string last_component(const char *path)
{
    const char *slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

} // namespace

const fs_type_entry_t *fs_name_to_entry(const char *fs_type_str)
{
    static_assert(sizeof(filesys_table) / sizeof(filesys_table[0]) == FS_TYPE_MAX);
    if (!table_in_value_order())
        return &filesys_table[0];
    for (const auto &row : filesys_table)
        if (std::strstr(fs_type_str, row.name))
            return &row;
    return &filesys_table[0];
}

errdesc_t *get_vol_fs_type(const char *pdev_path, vol_type_t *vtype, fs_type_t *fstype)
{
    *vtype = VOL_UNKNOWN;
    *fstype = FS_TYPE_UNKNOWN;
    const char *cmd[] = {tol_program_path(tol_program_t::vol_id), "-t", pdev_path, nullptr};
    errdesc_t *err = run_program_read(cmd, 0, SPAWN_TIMEOUT, [&](FILE *out) {
        char word[128];
        if (std::fscanf(out, "%127s", word) != 1)
            return;
        const fs_type_entry_t *row = fs_name_to_entry(word);
        *vtype = row->vol_type;
        *fstype = row->fs_type;
    });
    if (err && err->number == 4)
        return nullptr; // vol_id's "nothing recognised" is no failure
    if (err)
        errdesc_log(err, TOL_PRIO_WARNING);
    return err;
}

errdesc_t *vdsk_get_fs_subtype(const char *vol, fs_subtype_t *fssubtype, int partnum)
{
    *fssubtype = FS_SUBTYPE_UNKNOWN;
    const std::string number = std::to_string(partnum);
    const char *cmd[] = {tol_program_path(tol_program_t::sfdisk),
                         "--print-id",
                         "--force",
                         vol,
                         number.c_str(),
                         nullptr};
    return run_program_read(cmd, 0, SPAWN_TIMEOUT, [&](FILE *out) {
        unsigned id = 0;
        if (std::fscanf(out, "%x", &id) == 1) {
            *fssubtype = static_cast<fs_subtype_t>(id);
            return;
        }
        errdesc_log(errdesc_set_fmt(EINVAL, "Couldn't scan the filesystem subtype"), TOL_PRIO_INFO);
    });
}

errdesc_t *vdsk_get_partitions_at(const char *dm_dir, const char *dsk_path, part_map_t *part_map,
                                  tol_bool_t create_part_dev)
{
    setup_cmds();
    if (create_part_dev) {
        const char *cmd[] = {tol_program_path(tol_program_t::kpartx), "-pp", "-a", dsk_path,
                             nullptr};
        if (errdesc_t *err = run_program_wait(cmd, 0, SPAWN_TIMEOUT)) {
            errdesc_log(err, TOL_PRIO_WARNING);
            // kpartx goes on past a partition it cannot map (one that ends
            // beyond the disk): the mappings it did make would hold the
            // device, so they go with the failure.
            errdesc_keeper keep;
            const char *undo[] = {tol_program_path(tol_program_t::kpartx), "-pp", "-d", dsk_path,
                                  nullptr};
            if (errdesc_t *undo_err = run_program_wait(undo, 0, SPAWN_TIMEOUT))
                errdesc_log(undo_err, TOL_PRIO_WARNING);
            return err;
        }
    }

    part_map->magic = PART_MAP_MAGIC;
    part_map->version = 1;
    part_map->max_count = PART_MAP_MAX;
    clear_part_map(part_map);

    const std::string base = last_component(dsk_path);
    for (uint32_t i = 1; i < part_map->max_count; ++i) {
        const std::string path = std::string(dm_dir) + "/" + base + partdelim + std::to_string(i);
        if (access(path.c_str(), R_OK) != 0)
            continue;
        partlogvol_t &entry = part_map->part[part_map->count];
        entry.magic = PARTLOGVOL_MAGIC;
        entry.version = 1;
        if (errdesc_t *err = get_vol_fs_type(path.c_str(), &entry.vtype, &entry.fstype)) {
            errdesc_log(err, TOL_PRIO_INFO);
            entry.vtype = VOL_UNKNOWN;
            entry.fstype = FS_TYPE_UNKNOWN;
        }
        if (entry.vtype == VOL_FILESYS) {
            // A file system whose partition type cannot be read is not mounted.
            if (errdesc_t *err =
                    vdsk_get_fs_subtype(dsk_path, &entry.fssubtype, static_cast<int>(i))) {
                errdesc_log(err, TOL_PRIO_INFO);
                entry.vtype = VOL_UNKNOWN;
            }
        } else {
            entry.fstype = FS_TYPE_UNKNOWN;
            entry.fssubtype = FS_SUBTYPE_UNKNOWN;
        }
        entry.name = path;
        part_map->count++;
    }
    return nullptr;
}

errdesc_t *vdsk_get_partitions_ex(const char *dsk_path, part_map_t *part_map,
                                  tol_bool_t create_part_dev)
{
    return vdsk_get_partitions_at(dmroot, dsk_path, part_map, create_part_dev);
}

errdesc_t *vdsk_free_partitions_ex(const char *dsk_path, part_map_t *part_map,
                                   tol_bool_t delete_part_dev)
{
    setup_cmds();
    errdesc_t *err = nullptr;
    if (delete_part_dev) {
        const char *cmd[] = {tol_program_path(tol_program_t::kpartx), "-pp", "-d", dsk_path,
                             nullptr};
        err = run_program_wait(cmd, 0, SPAWN_TIMEOUT);
        if (err)
            errdesc_log(err, TOL_PRIO_WARNING);
    }
    if (delete_part_dev) {
        errdesc_keeper keep; // kpartx's error is the one returned
        // kpartx may leave a mapping behind; removal failures are logged there.
        for (uint32_t i = 0; i < part_map->count && i < PART_MAP_MAX; ++i)
            if (!part_map->part[i].name.empty())
                dm_check_and_remove(part_map->part[i].name.c_str());
    }
    clear_part_map(part_map);
    return err;
}

errdesc_t *vdsk_get_partitions(vdskdesc_t *vdskdesc)
{
    const std::string path = std::string(dmroot) + "/" + vdskdesc->dmdesc.base;
    return vdsk_get_partitions_ex(path.c_str(), &vdskdesc->part_map,
                                  tol_bool(!vdskdesc->dmdesc.top.empty()));
}

errdesc_t *vdsk_free_partitions(vdskdesc_t *vdskdesc)
{
    if (vdskdesc->dmdesc.base.empty())
        return nullptr;
    const std::string path = std::string(dmroot) + "/" + vdskdesc->dmdesc.base;
    return vdsk_free_partitions_ex(path.c_str(), &vdskdesc->part_map,
                                   tol_bool(!vdskdesc->dmdesc.top.empty()));
}
