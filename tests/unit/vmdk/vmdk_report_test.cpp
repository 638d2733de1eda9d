// The JSON report carries the record's field names and enumeration names.

#include "vmdk_fixtures.hpp"

#include "vmdk/vmdk_open.hpp"
#include "vmdk/vmdk_report.hpp"

using namespace vmdk_test;

namespace {

json_object *get(json_object *o, const char *key)
{
    json_object *v = nullptr;
    EXPECT_TRUE(json_object_object_get_ex(o, key, &v)) << key;
    return v;
}

} // namespace

TEST(VmdkReport, JsonUsesFieldAndEnumerationNames)
{
    temp_dir dir;
    write_file(dir.file("s.vmdk"), make_descriptor({.create_type = "twoGbMaxExtentSparse",
                                                    .extents = {"RW 2097152 SPARSE \"s-s001.vmdk\""}}) +
                                       "ddb.uuid = \"60 00 C2\"\n");
    write_file(dir.file("s-s001.vmdk"), make_sparse_extent({}));
    desc_ptr d = new_desc();
    ASSERT_EQ(vmdk_open(dir.file("s.vmdk").c_str(), d.get()), nullptr);
    ASSERT_EQ(vmdk_open_extentfiles(d.get()), nullptr);

    json_object *o = vmdk_desc_to_json(d.get());
    EXPECT_STREQ(json_object_get_string(get(o, "createtype")), "CT_TWOGB_MAX_EXTENT_SPARSE");
    EXPECT_EQ(json_object_get_uint64(get(o, "cid")), 0x1234abcdu);
    EXPECT_EQ(json_object_get_uint64(get(o, "pcid")), 0xffffffffu);
    EXPECT_STREQ(json_object_get_string(get(o, "parentfilenamehint")), "");
    json_object *extents = get(o, "extentdesc");
    ASSERT_EQ(json_object_array_length(extents), 1u);
    json_object *e = json_object_array_get_idx(extents, 0);
    EXPECT_STREQ(json_object_get_string(get(e, "mode")), "EM_RW");
    EXPECT_STREQ(json_object_get_string(get(e, "extenttype")), "ET_SPARSE");
    EXPECT_STREQ(json_object_get_string(get(e, "extentname")), "s-s001.vmdk");
    EXPECT_EQ(json_object_get_uint64(get(e, "extentsize")), 2097152u);
    EXPECT_EQ(json_object_get_uint64(get(e, "extentoffset")), 0u);
    json_object *gd = get(e, "graindir");
    EXPECT_EQ(json_object_get_uint64(get(gd, "capacity")), 2097152u);
    EXPECT_EQ(json_object_get_uint64(get(gd, "grainsize")), 128u);
    EXPECT_EQ(json_object_get_uint64(get(gd, "numgtespergt")), 512u);
    EXPECT_EQ(json_object_get_uint64(get(gd, "gd_entry_count")), 32u);
    json_object *db = get(o, "diskdb");
    EXPECT_STREQ(json_object_get_string(get(db, "adaptertype")), "AT_LSILOGIC");
    EXPECT_STREQ(json_object_get_string(get(db, "uuid")), "\"60 00 C2\"");
    json_object_put(o);

    // Without open extent files there is no graindir.
    vmdk_close_extentfiles(d.get());
    o = vmdk_desc_to_json(d.get());
    json_object *e2 = json_object_array_get_idx(get(o, "extentdesc"), 0);
    EXPECT_FALSE(json_object_object_get_ex(e2, "graindir", nullptr));
    json_object_put(o);
}

TEST(VmdkReport, EnumerationNames)
{
    EXPECT_STREQ(createtype_name(CT_VMFS), "CT_VMFS");
    EXPECT_STREQ(createtype_name(CT_SE_SPARSE), "CT_SE_SPARSE");
    EXPECT_STREQ(extenttype_name(ET_VMFSRDM), "ET_VMFSRDM");
    EXPECT_STREQ(extentmode_name(EM_NOACCESS), "EM_NOACCESS");
    EXPECT_STREQ(adaptertype_name(AT_LEGACYESX), "AT_LEGACYESX");
}
