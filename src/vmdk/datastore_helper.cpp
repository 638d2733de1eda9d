// Choice between the direct and the file-system view of a datastore.

#include "vmdk/datastore_helper.hpp"

#include <cerrno>
#include <cstring>
#include <string_view>
#include <sys/stat.h>

const datastore_table_t vmdk_datastore_table = {{"/vmfs.direct/volumes", "/vmfs/volumes"}};

namespace {

// `path` is `prefix` followed by "/".
bool is_under(const char *path, const char *prefix)
{
    size_t n = strlen(prefix);
    return strncmp(path, prefix, n) == 0 && path[n] == '/';
}

const char *fs_mount_point(const datastore_table_t &table)
{
    return table.mount_points[std::size(table.mount_points) - 1];
}

} // namespace

bool is_datastore_fs_path_in(const datastore_table_t &table, const char *path)
{
    return is_under(path, fs_mount_point(table));
}

errdesc_t *remove_datastore_mount_point_in(const datastore_table_t &table, const char *path,
                                           const char **ds_name_path)
{
    *ds_name_path = nullptr;
    for (const char *mp : table.mount_points) {
        size_t n = strlen(mp);
        if (strncmp(path, mp, n) != 0)
            continue;
        const char *rest = path + n;
        while (*rest == '/')
            rest++;
        *ds_name_path = rest;
        return nullptr;
    }
    return errdesc_set_fmt(EINVAL, "Invalid datastore path %s", path);
}

errdesc_t *parse_datastore_path_in(const datastore_table_t &table, const char *path,
                                   std::string *datastore, std::string *folder,
                                   std::string *filename)
{
    const char *rest = nullptr;
    if (errdesc_t *err = remove_datastore_mount_point_in(table, path, &rest))
        return err;
    std::string_view r(rest);
    size_t slash = r.find('/');
    *datastore = std::string(r.substr(0, slash));
    std::string_view within = slash == std::string_view::npos ? std::string_view() : r.substr(slash + 1);
    size_t last = within.rfind('/');
    if (folder)
        *folder = last == std::string_view::npos ? std::string() : std::string(within.substr(0, last));
    if (filename)
        *filename = std::string(last == std::string_view::npos ? within : within.substr(last + 1));
    return nullptr;
}

std::string get_datastore_mount_point_in(const datastore_table_t &table, const char *ds)
{
    for (const char *mp : table.mount_points) {
        std::string dir = std::string(mp) + "/" + ds;
        struct stat st;
        if (stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            return mp;
    }
    return fs_mount_point(table);
}

errdesc_t *get_preferred_datastore_path_in(const datastore_table_t &table, const char *path,
                                           std::string *preferred_path)
{
    if (!is_datastore_fs_path_in(table, path)) {
        *preferred_path = path;
        return nullptr;
    }
    std::string ds;
    if (errdesc_t *err = parse_datastore_path_in(table, path, &ds, nullptr, nullptr))
        return err;
    const char *rest = nullptr;
    if (errdesc_t *err = remove_datastore_mount_point_in(table, path, &rest))
        return err;
    *preferred_path = get_datastore_mount_point_in(table, ds.c_str()) + "/" + rest;
    return nullptr;
}

bool is_datastore_fs_path(const char *path)
{
    return is_datastore_fs_path_in(vmdk_datastore_table, path);
}

errdesc_t *remove_datastore_mount_point(const char *path, const char **ds_name_path)
{
    return remove_datastore_mount_point_in(vmdk_datastore_table, path, ds_name_path);
}

errdesc_t *parse_datastore_path(const char *path, std::string *datastore, std::string *folder,
                                std::string *filename)
{
    return parse_datastore_path_in(vmdk_datastore_table, path, datastore, folder, filename);
}

std::string get_datastore_mount_point(const char *ds)
{
    return get_datastore_mount_point_in(vmdk_datastore_table, ds);
}

errdesc_t *get_preferred_datastore_path(const char *path, std::string *preferred_path)
{
    return get_preferred_datastore_path_in(vmdk_datastore_table, path, preferred_path);
}
