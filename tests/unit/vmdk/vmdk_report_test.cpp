// The JSON report carries the record's field names and enumeration names.

#include "vmdk_fixtures.hpp"

#include "vmdk/vmdk_open.hpp"
#include "vmdk/vmdk_report.hpp"

using namespace vmdk_test;

TEST(VmdkReport, JsonUsesFieldAndEnumerationNamesAndGraindirOnlyWhenLoaded)
{
    temp_dir dir;
    write_file(dir.file("s.vmdk"),
               make_descriptor({.create_type = "twoGbMaxExtentSparse",
                                .extents = {"RW 2097152 SPARSE \"s-s001.vmdk\""}}) +
                   "ddb.uuid = \"60 00 C2\"\n");
    write_file(dir.file("s-s001.vmdk"), make_sparse_extent({}));
    desc_ptr d = new_desc();
    ASSERT_EQ(vmdk_open(dir.file("s.vmdk").c_str(), d.get()), nullptr);
    ASSERT_EQ(vmdk_open_extentfiles(d.get()), nullptr);

    // The values of the keys that matter, as JSON text, "" when missing.
    auto values = [](json_object *o, std::initializer_list<const char *> keys) {
        std::string s;
        for (const char *key : keys) {
            json_object *v = nullptr;
            s += json_object_object_get_ex(o, key, &v) ? json_object_to_json_string(v) : "";
            s += ' ';
        }
        return s;
    };
    json_object *o = vmdk_desc_to_json(d.get());
    EXPECT_EQ(values(o, {"createtype", "cid", "pcid", "parentfilenamehint"}),
              "\"CT_TWOGB_MAX_EXTENT_SPARSE\" 305441741 4294967295 \"\" ");
    json_object *extents = nullptr;
    ASSERT_TRUE(json_object_object_get_ex(o, "extentdesc", &extents));
    ASSERT_EQ(json_object_array_length(extents), 1u);
    json_object *e = json_object_array_get_idx(extents, 0);
    EXPECT_EQ(values(e, {"mode", "extenttype", "extentname", "extentsize", "extentoffset"}),
              "\"EM_RW\" \"ET_SPARSE\" \"s-s001.vmdk\" 2097152 0 ");
    json_object *gd = nullptr;
    ASSERT_TRUE(json_object_object_get_ex(e, "graindir", &gd));
    EXPECT_EQ(values(gd, {"capacity", "grainsize", "numgtespergt", "gd_entry_count"}),
              "2097152 128 512 32 ");
    json_object *db = nullptr;
    ASSERT_TRUE(json_object_object_get_ex(o, "diskdb", &db));
    EXPECT_EQ(values(db, {"adaptertype", "uuid"}), "\"AT_LSILOGIC\" \"\\\"60 00 C2\\\"\" ");
    json_object_put(o);

    vmdk_close_extentfiles(d.get());
    o = vmdk_desc_to_json(d.get());
    ASSERT_TRUE(json_object_object_get_ex(o, "extentdesc", &extents));
    EXPECT_FALSE(
        json_object_object_get_ex(json_object_array_get_idx(extents, 0), "graindir", nullptr));
    json_object_put(o);
}
