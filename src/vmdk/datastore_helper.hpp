#pragma once
// Datastore paths: "<mount point>/<datastore>/<path within it>", under one of
// two views of the datastores. A disk under "/vmfs/volumes" is read from
// "/vmfs.direct/volumes" instead whenever its datastore is present there.

#include "common/errdesc.hpp"

#include <string>

// The two mount points, in order of preference; the last one is the
// datastore file-system view.
struct datastore_table_t {
    const char *mount_points[2];
};
extern const datastore_table_t vmdk_datastore_table; // "/vmfs.direct/volumes", "/vmfs/volumes"

// True when `path` begins with "/vmfs/volumes/".
bool is_datastore_fs_path(const char *path);
// Sets *ds_name_path to the part of `path` after the first mount point it
// begins with, leading "/" skipped (a pointer into `path`); null and EINVAL
// "Invalid datastore path %s" when none matches.
errdesc_t *remove_datastore_mount_point(const char *path, const char **ds_name_path);
// Datastore name, and (each when given) the directory part and last component
// of what follows the name's "/" (empty when there is no "/").
errdesc_t *parse_datastore_path(const char *path, std::string *datastore, std::string *folder,
                                std::string *filename);
// The first mount point under which a directory `ds` exists; "/vmfs/volumes"
// when there is none.
std::string get_datastore_mount_point(const char *ds);
// The path to read a disk from: a datastore file-system path moves to the
// preferred mount point of its datastore; any other path stays as it is.
errdesc_t *get_preferred_datastore_path(const char *path, std::string *preferred_path);

// The same over another table of mount points (tests use a private root).
bool is_datastore_fs_path_in(const datastore_table_t &table, const char *path);
errdesc_t *remove_datastore_mount_point_in(const datastore_table_t &table, const char *path,
                                           const char **ds_name_path);
errdesc_t *parse_datastore_path_in(const datastore_table_t &table, const char *path,
                                   std::string *datastore, std::string *folder,
                                   std::string *filename);
std::string get_datastore_mount_point_in(const datastore_table_t &table, const char *ds);
errdesc_t *get_preferred_datastore_path_in(const datastore_table_t &table, const char *path,
                                           std::string *preferred_path);
