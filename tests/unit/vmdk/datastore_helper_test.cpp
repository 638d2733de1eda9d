// Datastore paths and the preference for the direct view, over a private
// root so that nothing is written under the real "/vmfs" trees.

#include "vmdk_fixtures.hpp"

#include "vmdk/datastore_helper.hpp"
#include "vmdk/vmdk_open.hpp"

#include <cerrno>

using namespace vmdk_test;

namespace {

class private_datastores {
  public:
    private_datastores()
        : direct_(dir_.file("vmfs.direct/volumes")), fs_(dir_.file("vmfs/volumes")),
          table_{{direct_.c_str(), fs_.c_str()}}
    {
        std::filesystem::create_directories(direct_);
        std::filesystem::create_directories(fs_);
    }
    const datastore_table_t &table() const { return table_; }
    const std::string &direct() const { return direct_; }
    const std::string &fs() const { return fs_; }

  private:
    temp_dir dir_;
    std::string direct_, fs_;
    datastore_table_t table_;
};

} // namespace

TEST(DatastoreHelper, FixedTableAndFsPaths)
{
    EXPECT_STREQ(vmdk_datastore_table.mount_points[0], "/vmfs.direct/volumes");
    EXPECT_STREQ(vmdk_datastore_table.mount_points[1], "/vmfs/volumes");
    EXPECT_TRUE(is_datastore_fs_path("/vmfs/volumes/ds1/vm/disk.vmdk"));
    EXPECT_TRUE(is_datastore_fs_path("/vmfs/volumes/"));
    EXPECT_FALSE(is_datastore_fs_path("/vmfs/volumes"));
    EXPECT_FALSE(is_datastore_fs_path("/vmfs/volumesX/ds1"));
    EXPECT_FALSE(is_datastore_fs_path("/vmfs.direct/volumes/ds1/x"));
    EXPECT_FALSE(is_datastore_fs_path("/scratch/vm/disk.vmdk"));
}

TEST(DatastoreHelper, RemoveMountPointAndParse)
{
    const char *rest = nullptr;
    ASSERT_EQ(remove_datastore_mount_point("/vmfs/volumes//ds1/vm/d.vmdk", &rest), nullptr);
    EXPECT_STREQ(rest, "ds1/vm/d.vmdk");
    ASSERT_EQ(remove_datastore_mount_point("/vmfs.direct/volumes/ds2/d.vmdk", &rest), nullptr);
    EXPECT_STREQ(rest, "ds2/d.vmdk");
    errdesc_t *err = remove_datastore_mount_point("/scratch/d.vmdk", &rest);
    ASSERT_NE(err, nullptr);
    EXPECT_EQ(rest, nullptr);
    EXPECT_EQ(err->number, EINVAL);
    EXPECT_STREQ(err->string, "Invalid datastore path /scratch/d.vmdk");

    std::string ds, folder, file;
    ASSERT_EQ(parse_datastore_path("/vmfs/volumes/ds1/vm/sub/disk.vmdk", &ds, &folder, &file), nullptr);
    EXPECT_EQ(ds, "ds1");
    EXPECT_EQ(folder, "vm/sub");
    EXPECT_EQ(file, "disk.vmdk");
    ASSERT_EQ(parse_datastore_path("/vmfs/volumes/ds1/disk.vmdk", &ds, &folder, &file), nullptr);
    EXPECT_EQ(ds, "ds1");
    EXPECT_EQ(folder, "");
    EXPECT_EQ(file, "disk.vmdk");
    ASSERT_EQ(parse_datastore_path("/vmfs/volumes/ds3", &ds, &folder, &file), nullptr);
    EXPECT_EQ(ds, "ds3");
    EXPECT_EQ(folder, "");
    EXPECT_EQ(file, "");
    ASSERT_EQ(parse_datastore_path("/vmfs/volumes/ds4/x", &ds, nullptr, nullptr), nullptr);
    EXPECT_EQ(ds, "ds4");
    EXPECT_NE(parse_datastore_path("/elsewhere/ds", &ds, nullptr, nullptr), nullptr);
}

TEST(DatastoreHelper, MountPointOfADatastore)
{
    private_datastores p;
    std::filesystem::create_directories(p.direct() + "/both");
    std::filesystem::create_directories(p.fs() + "/both");
    std::filesystem::create_directories(p.fs() + "/fsonly");
    write_file(p.direct() + "/notadir", "x");
    EXPECT_EQ(get_datastore_mount_point_in(p.table(), "both"), p.direct());
    EXPECT_EQ(get_datastore_mount_point_in(p.table(), "fsonly"), p.fs());
    EXPECT_EQ(get_datastore_mount_point_in(p.table(), "notadir"), p.fs());
    EXPECT_EQ(get_datastore_mount_point_in(p.table(), "nowhere"), p.fs());
    // The fixed table falls back to "/vmfs/volumes".
    EXPECT_EQ(get_datastore_mount_point("rfs-test-no-such-datastore"), "/vmfs/volumes");
}

TEST(DatastoreHelper, OpenPrefersTheDirectView)
{
    private_datastores p;
    std::string disk = make_descriptor({});
    write_file(p.fs() + "/ds1/vm/disk.vmdk", disk);
    write_file(p.direct() + "/ds1/vm/disk.vmdk", disk);
    write_file(p.fs() + "/ds2/vm/disk.vmdk", disk);

    std::string preferred;
    ASSERT_EQ(get_preferred_datastore_path_in(p.table(), (p.fs() + "/ds1/vm/disk.vmdk").c_str(), &preferred),
              nullptr);
    EXPECT_EQ(preferred, p.direct() + "/ds1/vm/disk.vmdk");

    // With the datastore present under the direct view.
    desc_ptr d = new_desc();
    ASSERT_EQ(vmdk_open_in(p.table(), (p.fs() + "/ds1/vm/disk.vmdk").c_str(), d.get()), nullptr);
    EXPECT_EQ(d->filename, p.direct() + "/ds1/vm/disk.vmdk");
    EXPECT_STREQ(d->dirname, (p.direct() + "/ds1/vm").c_str());
    EXPECT_EQ(d->datastore_direct, TOL_TRUE);

    // Without it: unchanged, not direct.
    ASSERT_EQ(vmdk_open_in(p.table(), (p.fs() + "/ds2/vm/disk.vmdk").c_str(), d.get()), nullptr);
    EXPECT_EQ(d->filename, p.fs() + "/ds2/vm/disk.vmdk");
    EXPECT_EQ(d->datastore_direct, TOL_FALSE);

    // Outside both trees: unchanged, direct.
    temp_dir other;
    write_file(other.file("disk.vmdk"), disk);
    ASSERT_EQ(vmdk_open_in(p.table(), other.file("disk.vmdk").c_str(), d.get()), nullptr);
    EXPECT_EQ(d->filename, other.file("disk.vmdk"));
    EXPECT_EQ(d->datastore_direct, TOL_TRUE);

    // The direct view is only chosen for a datastore directory, not per file:
    // a disk missing there fails rather than falling back.
    unlink((p.direct() + "/ds1/vm/disk.vmdk").c_str());
    errdesc_t *err = vmdk_open_in(p.table(), (p.fs() + "/ds1/vm/disk.vmdk").c_str(), d.get());
    ASSERT_NE(err, nullptr);
    EXPECT_EQ(err->number, ENOENT);
}
