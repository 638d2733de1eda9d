// The merged change-block device with change-block debugging on, on real
// block devices. It needs root and the appliance sandbox (device-mapper
// stand-in): tests/integration/test_image_devices.sh runs it inside
// platform/sandbox. The merged device itself, as a client reads it through
// the mount, is checked by test_image_merged.sh.

#include "controller/settings.hpp"
#include "image/tolcbt.hpp"
#include "unit/image/cbt_test_util.hpp"
#include "unit/image/image_test_util.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

namespace
{

TEST(DeviceSandbox, DebugModeKeepsTheTableFile)
{
    temp_dir dir;
    const std::string flat = dir.file("vm1-flat.vmdk"), cbt = dir.file("vm1-tolcbt.vmdk");
    write_file(flat, std::vector<char>(10 << 20, 'f'));
    write_file(cbt, make_cbt({{0, 4096, CBT_MAGIC_EXTENT_LAST}}, 512, 1024));
    reg_settings_update([](reg_settings_t &s) { s.cbt_debug_enabled = TOL_TRUE; });
    std::unique_ptr<tolcbt_merge_handle_t> h;
    errdesc_t *err = get_merged_tolcbt(flat.c_str(), cbt.c_str(), &h);
    ASSERT_EQ(err, nullptr) << err->string;
    const std::string table = "/tmp/" + h->device.name() + ".dm_table_merge";
    EXPECT_EQ(read_text(table), "0 8 linear " + h->tolcbt_loop.path() + " 2\n8 20472 linear " +
                                    h->flat_loop.path() + " 8\n");
    release_merged_tolcbt(&h);
    reg_settings_update([](reg_settings_t &s) { s.cbt_debug_enabled = TOL_FALSE; });
    EXPECT_EQ(access(table.c_str(), F_OK), 0) << "release leaves the table alone";
    unlink(table.c_str());
}

} // namespace
