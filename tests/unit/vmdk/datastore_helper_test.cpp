// Datastore paths and the preference for the direct view, over a private
// root so that nothing is written under the real "/vmfs" trees.

#include "vmdk_fixtures.hpp"

#include "vmdk/datastore_helper.hpp"
#include "vmdk/vmdk_open.hpp"

#include <cerrno>

using namespace vmdk_test;

TEST(DatastoreHelper, PathsUnderTheFixedMountPoints)
{
    for (const char *path : {"/vmfs/volumes/ds1/vm/disk.vmdk", "/vmfs/volumes/"})
        EXPECT_TRUE(is_datastore_fs_path(path)) << path;
    for (const char *path : {"/vmfs/volumes", "/vmfs/volumesX/ds1", "/vmfs.direct/volumes/ds1/x",
                             "/scratch/vm/disk.vmdk"})
        EXPECT_FALSE(is_datastore_fs_path(path)) << path;

    const struct {
        const char *path, *datastore, *folder, *file;
    } cases[] = {
        {"/vmfs/volumes//ds1/vm/sub/disk.vmdk", "ds1", "vm/sub", "disk.vmdk"},
        {"/vmfs.direct/volumes/ds2/disk.vmdk", "ds2", "", "disk.vmdk"},
        {"/vmfs/volumes/ds3", "ds3", "", ""},
    };
    for (const auto &c : cases) {
        std::string ds, folder, file;
        ASSERT_EQ(parse_datastore_path(c.path, &ds, &folder, &file), nullptr) << c.path;
        EXPECT_EQ(ds + "|" + folder + "|" + file,
                  std::string(c.datastore) + "|" + c.folder + "|" + c.file);
    }
    std::string ds;

    const char *rest = "unchanged";
    expect_error(remove_datastore_mount_point("/scratch/d.vmdk", &rest), EINVAL,
                 "Invalid datastore path /scratch/d.vmdk");
    EXPECT_EQ(rest, nullptr);
    EXPECT_NE(parse_datastore_path("/elsewhere/ds", &ds, nullptr, nullptr), nullptr);
    EXPECT_EQ(get_datastore_mount_point("rfs-test-no-such-datastore"), "/vmfs/volumes");
}

TEST(DatastoreHelper, OpenPrefersTheDirectViewOfADatastoreDirectory)
{
    temp_dir root;
    const std::string direct = root.file("vmfs.direct/volumes"), fs = root.file("vmfs/volumes");
    const datastore_table_t table{{direct.c_str(), fs.c_str()}};
    std::string disk = make_descriptor({});
    write_file(fs + "/ds1/vm/disk.vmdk", disk);
    write_file(direct + "/ds1/vm/disk.vmdk", disk);
    write_file(fs + "/ds2/vm/disk.vmdk", disk);
    write_file(direct + "/notadir", "x");
    write_file(root.file("other/disk.vmdk"), disk);

    EXPECT_EQ(get_datastore_mount_point_in(table, "ds1"), direct);
    for (const char *ds : {"ds2", "notadir", "nowhere"})
        EXPECT_EQ(get_datastore_mount_point_in(table, ds), fs) << ds;

    const struct {
        std::string path, read;
        tol_bool_t direct;
    } cases[] = {
        {fs + "/ds1/vm/disk.vmdk", direct + "/ds1/vm/disk.vmdk", TOL_TRUE},
        {fs + "/ds2/vm/disk.vmdk", fs + "/ds2/vm/disk.vmdk", TOL_FALSE},
        {root.file("other/disk.vmdk"), root.file("other/disk.vmdk"), TOL_TRUE},
    };
    for (const auto &c : cases) {
        desc_ptr d = new_desc();
        ASSERT_EQ(vmdk_open_in(table, c.path.c_str(), d.get()), nullptr) << c.path;
        EXPECT_EQ(d->filename, c.read);
        EXPECT_STREQ(d->dirname, std::filesystem::path(c.read).parent_path().c_str());
        EXPECT_EQ(d->datastore_direct, c.direct) << c.path;
    }

    // The view is chosen per datastore, not per file: a disk missing under
    // the direct view fails rather than falling back.
    unlink((direct + "/ds1/vm/disk.vmdk").c_str());
    desc_ptr d = new_desc();
    expect_error(vmdk_open_in(table, (fs + "/ds1/vm/disk.vmdk").c_str(), d.get()), ENOENT,
                 direct + "/ds1/vm/disk.vmdk");
}
