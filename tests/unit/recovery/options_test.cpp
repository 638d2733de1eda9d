// Option parsing against the option table, the usage text, the settings
// defaults and the FUSE file handle.

#include "controller/settings.hpp"
#include "image/fuse_fh.hpp"
#include "recovery/recovery_options.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace
{

class option_parse : public ::testing::Test
{
  protected:
    void TearDown() override { recovery_fs_options_reset(&fs_options); }

    // Parses argv into the global record; returns what stays for FUSE.
    std::vector<std::string> parse(std::vector<const char *> argv, int *res = nullptr)
    {
        std::vector<char *> args;
        for (const char *a : argv)
            args.push_back(const_cast<char *>(a));
        struct fuse_args fa = FUSE_ARGS_INIT(static_cast<int>(args.size()), args.data());
        int r = fuse_opt_parse(&fa, &fs_options, recovery_fs_opts, recovery_fs_parse_opt);
        if (res)
            *res = r;
        std::vector<std::string> rest(fa.argv, fa.argv + fa.argc);
        fuse_opt_free_args(&fa);
        return rest;
    }
};

TEST_F(option_parse, Defaults)
{
    EXPECT_EQ(fs_options.recovery_mount_point, nullptr);
    EXPECT_STREQ(fs_options.scratch_mount_point, "/scratch");
    EXPECT_STREQ(fs_options.recovery_volumes_mount_point, "/var/tolvane/recover");
    EXPECT_EQ(fs_options.log_dir, nullptr);
    EXPECT_FALSE(fs_options.hide_image_files);
    EXPECT_FALSE(fs_options.hide_file_level_view);
    EXPECT_FALSE(fs_options.ignore_tolcbt_files);
    EXPECT_TRUE(fs_options.is_readonly);
    EXPECT_FALSE(fs_options.show_help);
    EXPECT_FALSE(fs_options.show_version);
    EXPECT_STREQ(recovery_fs_version, "0.1 09/10/2010");
}

TEST_F(option_parse, EveryTemplate)
{
    int res;
    auto rest = parse({"recovery_fs", "-L", "/logs", "-P", "/scr", "--volume-path=/vols",
                       "--hide-image-files", "--hide-file-level-view", "--ignore-tolcbt-files",
                       "/mnt", "-h", "-V"},
                      &res);
    ASSERT_EQ(res, 0);
    EXPECT_STREQ(fs_options.log_dir, "/logs");
    EXPECT_STREQ(fs_options.scratch_mount_point, "/scr");
    EXPECT_STREQ(fs_options.recovery_volumes_mount_point, "/vols");
    EXPECT_STREQ(fs_options.recovery_mount_point, "/mnt");
    EXPECT_TRUE(fs_options.hide_image_files);
    EXPECT_TRUE(fs_options.hide_file_level_view);
    EXPECT_TRUE(fs_options.ignore_tolcbt_files);
    EXPECT_TRUE(fs_options.show_help);
    EXPECT_TRUE(fs_options.show_version);
    EXPECT_TRUE(fs_options.is_readonly);
    EXPECT_EQ(rest, (std::vector<std::string>{"recovery_fs", "/mnt"}));
}

TEST_F(option_parse, LongFormsAndWritable)
{
    parse({"recovery_fs", "--log-dir", "/l2", "--scratch-path=/s2", "--writable", "--help",
           "--version", "/m"});
    EXPECT_STREQ(fs_options.log_dir, "/l2");
    EXPECT_STREQ(fs_options.scratch_mount_point, "/s2");
    EXPECT_FALSE(fs_options.is_readonly);
    EXPECT_TRUE(fs_options.show_help);
    EXPECT_TRUE(fs_options.show_version);
    recovery_fs_options_reset(&fs_options);
    parse({"recovery_fs", "-W", "/m"});
    EXPECT_FALSE(fs_options.is_readonly);
}

TEST_F(option_parse, FirstNonOptionIsTheMountPointAndEverythingElsePassesOn)
{
    auto rest = parse({"recovery_fs", "/first", "-o", "allow_other", "-f", "-d", "-s", "-D",
                       "/second", "--unknown"});
    EXPECT_STREQ(fs_options.recovery_mount_point, "/first");
    // fuse_opt gathers the -o options in front; everything else keeps its order.
    EXPECT_EQ(rest, (std::vector<std::string>{"recovery_fs", "-o", "allow_other", "/first", "-f",
                                              "-d", "-s", "-D", "/second", "--unknown"}));
}

TEST_F(option_parse, MissingArgumentFails)
{
    int res;
    parse({"recovery_fs", "/m", "-L"}, &res);
    EXPECT_EQ(res, -1);
}

TEST(RecoveryUsage, Text)
{
    char *text = nullptr;
    size_t len = 0;
    FILE *out = open_memstream(&text, &len);
    ASSERT_NE(out, nullptr);
    usage_to(out, "prog");
    fclose(out);
    std::string s(text, len);
    free(text);
    EXPECT_EQ(s.rfind("usage: prog [-L log-dir] [-P scratch-mount-point] [-W] [-D] mountpoint "
                      "[options]\n\n   Exports the recovery file system\n\ngeneral options:\n",
                      0),
              0u);
    EXPECT_NE(s.find("   --ignore-tolcbt-files  ignore \"-tolcbt\" files\n"), std::string::npos);
    EXPECT_NE(s.find("   -V  --version          print version\n\n"), std::string::npos);
    EXPECT_EQ(std::count(s.begin(), s.end(), '\n'), 17);
}

TEST(RecoverySettings, Defaults)
{
    const reg_settings_t *s = get_reg_settings();
    EXPECT_EQ(s, get_reg_settings());
    EXPECT_STREQ(s->appliance_uuid, "");
    EXPECT_STREQ(s->master_uuid, "");
    EXPECT_TRUE(s->lumiread_optimize);
    EXPECT_FALSE(s->lumiread_lvm_enabled);
    EXPECT_EQ(s->cache_ttl, 120);
    EXPECT_FALSE(s->ondemand_refresh);
    EXPECT_FALSE(s->export_vm_uuid_enabled);
    EXPECT_EQ(s->debug_level, 0);
    EXPECT_EQ(s->cbt_percent, 0);
    EXPECT_FALSE(s->cbt_debug_enabled);
    EXPECT_FALSE(s->recover_automount_enabled);
    EXPECT_STREQ(s->vendor_id, "");
    EXPECT_EQ(s->readahead_size, 1048576u);
    EXPECT_EQ(s->snapshot_max_idle, 300);
    EXPECT_EQ(s->snapshot_max_life, 172800);
    EXPECT_EQ(s->snapshot_retry_limit, 12);
    EXPECT_TRUE(s->snapshot_blocking_removal);
    EXPECT_EQ(s->nfc_session_reserved, 0);
    EXPECT_FALSE(s->directio);
    EXPECT_EQ(s->max_session, 50);
}

TEST(RecoveryFuseFh, NewAndDestroy)
{
    fuse_fh_t *fh = fuse_fh_new(7, nullptr, TOL_FALSE, "/vm1/disk-flat.vmdk", nullptr);
    ASSERT_NE(fh, nullptr);
    EXPECT_EQ(fh->magic, 0xF0005500u);
    EXPECT_EQ(fh->version, 1u);
    EXPECT_EQ(fh->fd, 7);
    EXPECT_EQ(fh->pdev, nullptr);
    EXPECT_FALSE(fh->optimize);
    EXPECT_STREQ(fh->path, "/vm1/disk-flat.vmdk");
    EXPECT_EQ(fh->extended_error_path, nullptr);
    EXPECT_EQ(fh->buffered_data.buffer, nullptr);
    fuse_fh_destroy(&fh);
    EXPECT_EQ(fh, nullptr);

    fh = fuse_fh_new(0, nullptr, TOL_FALSE, "/p", "/err");
    ASSERT_NE(fh, nullptr);
    EXPECT_STREQ(fh->extended_error_path, "/err");
    fuse_fh_destroy(&fh);

    EXPECT_EQ(fuse_fh_new(-1, nullptr, TOL_FALSE, "/p", nullptr), nullptr);
    fuse_fh_destroy(&fh); // null is fine
}

} // namespace
