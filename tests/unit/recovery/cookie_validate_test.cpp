// Validation of flat images at cookie creation, on files only (no devices):
// sizes against the recovery header and the descriptor, the change-block
// file's recorded size, change ids and suffixes, and what an open does with
// a refused image.

#include "image/mbr.hpp"
#include "image/tol_uuid.hpp"
#include "image/tol_vdsk_header.hpp"
#include "image/tolcbt.hpp"
#include "recovery/recovery_cookie.hpp"
#include "recovery_fixture.hpp"

#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>
#include <string>

namespace
{

using rfs_recovery_test::recovery_test;

constexpr const char *ID = "0a1b2c3d-4e5f-4061-8273-94a5b6c7d8e9";
constexpr size_t MIB = 1 << 20;

// A flat image: an MBR with one partition at sector 2048 and, when asked, a
// recovery header in sector 2.
std::string flat_image(size_t size, int version, uint32_t size_sectors, uint32_t suffix)
{
    std::string image(size, '\x5a');
    mbr_t mbr = {};
    mbr.part_entry[0].type = 0x83;
    mbr.part_entry[0].first_sector_lba = 2048;
    mbr.part_entry[0].number_of_sectors = 2048;
    mbr.mbr_signature = MBR_SIGNATURE;
    memcpy(image.data(), &mbr, sizeof(mbr));
    memset(image.data() + 512, 0, 16 * 512); // sectors 1 to 16 free
    if (version) {
        tol_vdsk_header_t h = {};
        memcpy(h.magic_begin, TOL_VDSK_HEADER_MAGIC, 4);
        memcpy(h.magic_end, TOL_VDSK_HEADER_MAGIC, 4);
        h.version = static_cast<uint8_t>(version);
        h.type = TOL_VDSK_HEADER_TYPE_VMDK;
        auto fill = [&](auto &v) {
            v.size = size_sectors ? size_sectors : static_cast<uint32_t>(size / 512);
            EXPECT_TRUE(uuid_str_to_value(ID, &v.change_id));
            v.change_suffix = static_cast<decltype(v.change_suffix)>(suffix);
        };
        if (version == 1)
            fill(h.data.v1);
        else
            fill(h.data.v2);
        memcpy(image.data() + 1024, &h, sizeof(h));
    }
    return image;
}

// A change-block file with one 4 KiB extent at 1 MiB.
std::string cbt_file(const std::string &changeid, int64_t size_delta = 0, bool empty = false)
{
    cbt_file_header_t h = {};
    h.magic_header = CBT_MAGIC_HEADER;
    h.version = 1;
    h.block_list_offset = 512;
    h.block_data_offset = 4096;
    h.total_change_size = empty ? 0 : 4096;
    h.tolcbt_file_size = (empty ? 4096 : 8192) + size_delta;
    strncpy(h.changeid, changeid.c_str(), sizeof(h.changeid) - 1);
    std::string out(empty ? 4096 : 8192, '\0');
    memcpy(out.data(), &h, sizeof(h));
    cbt_extent_data_t e = {CBT_MAGIC_EXTENT_LAST, static_cast<int64_t>(MIB), 4096};
    memcpy(out.data() + 512, &e, sizeof(e));
    return out;
}

class validate_test : public recovery_test
{
  protected:
    // Validates vm1/disk-flat.vmdk; the error number (0: accepted) and text.
    int validate(std::string *text = nullptr)
    {
        std::string shadow = scratch("vm1/disk-flat.vmdk");
        errdesc_t *err =
            validate_vmdk_flat("/vm1/disk-flat.vmdk", shadow.c_str(), scratch_.c_str());
        if (text)
            *text = err ? err->string : "";
        return err ? err->number : 0;
    }
    std::string flat() const { return scratch("vm1/disk-flat.vmdk"); }
    std::string cbt() const { return scratch_ + "//vm1/disk-tolcbt.vmdk"; }
    void descriptor(uint64_t sectors)
    {
        write("vm1/disk.vmdk",
              "# Disk DescriptorFile\nversion=1\nCID=fffffffe\nparentCID=ffffffff\n"
              "createType=\"vmfs\"\nRW " +
                  std::to_string(sectors) + " VMFS \"disk-flat.vmdk\"\n");
    }
};

const char *TRY = "Recovery is probably in progress, please try again later.";

TEST_F(validate_test, SizesAgainstHeaderAndDescriptor)
{
    std::string text;
    write("vm1/disk-flat.vmdk", std::string(1000, 'x'));
    EXPECT_EQ(validate(&text), EBUSY);
    EXPECT_EQ(text, flat() + " file has incorrect size 1000. " + TRY);

    // No header, no descriptor: nothing to compare the size with.
    write("vm1/disk-flat.vmdk", std::string(4096, 'x'));
    EXPECT_EQ(validate(), 0);

    descriptor(16);
    EXPECT_EQ(validate(&text), EBUSY);
    EXPECT_EQ(text, "Expect 8192 bytes in " + flat() + " but found 4096 bytes. " + TRY);
    descriptor(8);
    EXPECT_EQ(validate(), 0);

    // The header's size wins over the descriptor's.
    write("vm1/disk-flat.vmdk", flat_image(MIB, 2, 4096, 0));
    EXPECT_EQ(validate(&text), EBUSY);
    EXPECT_EQ(text, "Expect 2097152 bytes in " + flat() + " but found 1048576 bytes. " + TRY);
    write("vm1/disk-flat.vmdk", flat_image(MIB, 1, 0, 0));
    EXPECT_EQ(validate(), 0);

    // A descriptor that does not parse.
    write("vm1/disk-flat.vmdk", std::string(4096, 'x'));
    write("vm1/disk.vmdk", "version=1\nRW 1 FLAT \"a\"\nCID=1"); // cut in the middle
    EXPECT_EQ(validate(&text), EBUSY);
    EXPECT_EQ(text, scratch_ + "//vm1/disk.vmdk file is invalid. " + TRY);
}

TEST_F(validate_test, ChangeIdsAndSuffixes)
{
    std::string text;
    const std::string other = "0a1b2c3d-4e5f-4061-8273-94a5b6c7d8e8";
    write("vm1/disk-flat.vmdk", flat_image(2 * MIB, 2, 0, 7));
    write("vm1/disk-tolcbt.vmdk", cbt_file(std::string(ID) + "/7"));
    EXPECT_EQ(validate(), 0);

    write("vm1/disk-tolcbt.vmdk", cbt_file(std::string(ID) + "/8"));
    EXPECT_EQ(validate(&text), EIO);
    EXPECT_EQ(text, "The change suffix 7 in the flat file " + flat() +
                        " does not match the change suffix 8 in the change block file.");

    // Version 2 without a suffix in the change-block file is refused.
    write("vm1/disk-tolcbt.vmdk", cbt_file(ID));
    EXPECT_EQ(validate(&text), EIO);
    EXPECT_EQ(text, "The change suffix 7 in the flat file " + flat() +
                        " does not match the change suffix -1 in the change block file.");

    write("vm1/disk-tolcbt.vmdk", cbt_file(other + "/7"));
    EXPECT_EQ(validate(&text), EIO);
    EXPECT_EQ(text, std::string("The changeid ") + ID + " in the flat file " + flat() +
                        " does not match the changeid " + other + "/7 in the change block file.");

    // Version 1 compares the change ids only.
    write("vm1/disk-flat.vmdk", flat_image(2 * MIB, 1, 0, 7));
    write("vm1/disk-tolcbt.vmdk", cbt_file(std::string(ID) + "/9"));
    EXPECT_EQ(validate(), 0);
    write("vm1/disk-tolcbt.vmdk", cbt_file(other + "/7"));
    EXPECT_EQ(validate(), EIO);

    // Without changes the change-block file is not compared.
    write("vm1/disk-tolcbt.vmdk", cbt_file(other, 0, true));
    EXPECT_EQ(validate(), 0);

    // Without a recovery header the change id is not compared either.
    write("vm1/disk-flat.vmdk", flat_image(2 * MIB, 0, 0, 0));
    write("vm1/disk-tolcbt.vmdk", cbt_file(other + "/7"));
    EXPECT_EQ(validate(), 0);
}

TEST_F(validate_test, ChangeBlockFileSizeAndDamage)
{
    std::string text;
    write("vm1/disk-flat.vmdk", flat_image(2 * MIB, 2, 0, 7));
    write("vm1/disk-tolcbt.vmdk", cbt_file(std::string(ID) + "/7", 512));
    EXPECT_EQ(validate(&text), EBUSY);
    EXPECT_EQ(text, "Expect 8704 bytes in " + cbt() + " but found 8192 bytes. " + TRY);

    write("vm1/disk-tolcbt.vmdk", "not a change-block file");
    EXPECT_EQ(validate(&text), EINVAL);
    EXPECT_EQ(text.rfind("invalid tolcbt header magic number", 0), 0u) << text;
}

TEST_F(validate_test, RefusedOpenLeavesNoCookie)
{
    write("vm1/disk-flat.vmdk", std::string(1000, 'x'));
    uint64_t slot = 0;
    std::string shadow = flat();
    errdesc_t *err =
        recovery_fs_open_impl("/vm1/disk-flat.vmdk", shadow.c_str(), &slot, scratch_.c_str());
    ASSERT_NE(err, nullptr);
    EXPECT_EQ(err->number, ENOENT);
    EXPECT_EQ(slot, 0u);
    EXPECT_EQ(list_count(recovery_open_list.list), 0);
}

} // namespace
