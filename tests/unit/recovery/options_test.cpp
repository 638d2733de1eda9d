// Option parsing against the option table (the usage text and the
// refusals are in tests/integration/test_browse_cli.sh) and the FUSE file
// handle.

#include "recovery/fuse_fh.hpp"
#include "recovery/recovery_options.hpp"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace
{

using args_t = std::vector<std::string>;

class option_parse : public ::testing::Test
{
  protected:
    void TearDown() override { recovery_fs_options_reset(&fs_options); }

    // Parses argv into a freshly reset global record; returns what stays for
    // FUSE.
    args_t parse(std::vector<const char *> argv, int *res = nullptr)
    {
        recovery_fs_options_reset(&fs_options);
        std::vector<char *> args;
        for (const char *a : argv)
            args.push_back(const_cast<char *>(a));
        struct fuse_args fa = FUSE_ARGS_INIT(static_cast<int>(args.size()), args.data());
        int r = fuse_opt_parse(&fa, &fs_options, recovery_fs_opts, recovery_fs_parse_opt);
        if (res)
            *res = r;
        args_t rest(fa.argv, fa.argv + fa.argc);
        fuse_opt_free_args(&fa);
        return rest;
    }
};

TEST_F(option_parse, DefaultsShortAndLongFormsAndWhatPassesOnToFuse)
{
    parse({"recovery_fs", "/m"});
    EXPECT_TRUE(fs_options.is_readonly);
    EXPECT_STREQ(fs_options.scratch_mount_point, "/scratch");
    EXPECT_STREQ(fs_options.recovery_volumes_mount_point, "/var/tolvane/recover");

    parse({"recovery_fs", "-L", "/logs", "-P", "/scr", "--volume-path=/vols", "--hide-image-files",
           "/mnt", "-W"});
    EXPECT_STREQ(fs_options.log_dir, "/logs");
    EXPECT_STREQ(fs_options.scratch_mount_point, "/scr");
    EXPECT_STREQ(fs_options.recovery_volumes_mount_point, "/vols");
    EXPECT_TRUE(fs_options.hide_image_files && !fs_options.hide_file_level_view);
    EXPECT_FALSE(fs_options.is_readonly);

    int res;
    parse({"recovery_fs", "/m", "-L"}, &res);
    EXPECT_EQ(res, -1) << "a missing option argument";

    // The first non-option is the mount point; fuse_opt gathers the -o
    // options in front, everything else keeps its order.
    auto rest = parse({"recovery_fs", "/first", "-o", "allow_other", "-f", "-d", "/second",
                       "--unknown", "--scratch-path=/s2"});
    EXPECT_STREQ(fs_options.recovery_mount_point, "/first");
    EXPECT_STREQ(fs_options.scratch_mount_point, "/s2");
    EXPECT_EQ(rest, (args_t{"recovery_fs", "-o", "allow_other", "/first", "-f", "-d", "/second",
                            "--unknown"}));
}

TEST(RecoveryFuseFh, NeedsSomethingToReadAndCopiesItsPaths)
{
    std::string path = "/vm1/vm1.vmx";
    fuse_fh_t *fh = fuse_fh_new(0, nullptr, path.c_str(), "/err");
    ASSERT_TRUE(fuse_fh_valid(fh));
    path[1] = 'X';
    EXPECT_STREQ(fh->path, "/vm1/vm1.vmx");
    EXPECT_STREQ(fh->extended_error_path, "/err");
    fuse_fh_destroy(&fh);
    EXPECT_EQ(fh, nullptr);
    EXPECT_EQ(fuse_fh_new(-1, nullptr, "/p", nullptr), nullptr);
}

} // namespace
