// recovery unit tests, one section per subject.

#include "common/programs.hpp"
#include "controller/settings.hpp"
#include "recovery/crash.hpp"
#include "recovery/fuse_fh.hpp"
#include "recovery/recovery_cookie.hpp"
#include "recovery/recovery_ops.hpp"
#include "recovery/recovery_options.hpp"
#include "recovery/recovery_path.hpp"
#include "recovery/recovery_vol.hpp"
#include "support/temp_dir.hpp"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace std::string_literals;
using rfs_test::outcome;

// A private scratch tree and volume path for one test, with the options record
// pointed at them; every cookie is released and everything put back afterwards.
class recovery_test : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        std::filesystem::create_directories(scratch_);
        fs_options.scratch_mount_point = scratch_.data();
        fs_options.recovery_volumes_mount_point = volumes_.data();
        fs_options.recovery_mount_point = mount_.data();
    }
    void TearDown() override
    {
        recovery_fs_release_all();
        fs_options = saved_options_;
        reg_settings_publish(saved_settings_);
    }

    std::string scratch(const std::string &rel) const { return scratch_ + "/" + rel; }
    // The cookie of `path`, or null.
    static recovery_cookie_t *cookie_of(const std::string &path)
    {
        std::lock_guard<std::mutex> lock(recovery_open_list.lock);
        return recovery_open_list.find(path);
    }
    static size_t cookie_count()
    {
        std::lock_guard<std::mutex> lock(recovery_open_list.lock);
        return recovery_open_list.size();
    }
    // Paths and files relative to the test's directory, and to its scratch tree.
    std::string path(const std::string &rel) const { return dir_.file(rel); }
    void put(const std::string &rel, const std::string &content) const
    {
        rfs_test::write_file(path(rel), content);
    }
    void write(const std::string &rel, const std::string &content) const
    {
        put("scratch/" + rel, content);
    }

    rfs_test::temp_dir dir_{"rfs-unit-recovery"};
    std::string scratch_ = path("scratch"), volumes_ = path("vol"), mount_ = path("mnt");
    reg_settings_t saved_settings_ = *get_reg_settings();
    recovery_fs_options saved_options_ = fs_options;
};

// The usage text and the refusals are in tests/integration/test_browse_cli.sh.
using args_t = std::vector<std::string>;

class option_parse : public ::testing::Test
{
  protected:
    void TearDown() override { recovery_fs_options_reset(&fs_options); }

    // Parses into a freshly reset record; returns what stays for FUSE.
    args_t parse(std::vector<const char *> argv)
    {
        recovery_fs_options_reset(&fs_options);
        struct fuse_args fa =
            FUSE_ARGS_INIT(static_cast<int>(argv.size()), const_cast<char **>(argv.data()));
        EXPECT_EQ(fuse_opt_parse(&fa, &fs_options, recovery_fs_opts, recovery_fs_parse_opt), 0);
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

TEST(CrashRecovery, OnlyOurNamesStackedDevicesFirstDeepestMountsFirst)
{
    // kpartx's partitions of a loop device ("loopNpK") are ours on our loop devices only.
    const std::vector<std::string> our_loops{"loop7", "loop9"};
    for (const char *name :
         {"cbt.999999", "cbt.42p1", "1a2b3c.42.dup", "1a2b3c.42.top", "1a2b3c.42p2--vg0-root",
          "1a2b3c.42p2--my--vg-my--lv", "loop7p1", "loop7p12"})
        EXPECT_TRUE(crash_is_our_dm_name(name, our_loops)) << name;
    for (const char *name :
         {"cbt", "cbt.1234567", "abc.1234567", "cbt.12.bak", "cbt.1.dup", "vg0-root", "vg0-foreign",
          "luks-3c1f", "1A2B.3", "xyz.42", "loop17p1", "loop8p1", "loop3p1", "1a2b3c.42p2-vg0-root",
          "1a2b3c.42p2--vg0", "1a2b3c.42p0", "1a2b3c.42p1x", "1a2b3c.42.dup.top", "loop7"})
        EXPECT_FALSE(crash_is_our_dm_name(name, our_loops)) << name;

    for (const char *name : {"cbt.12.dm_table_merge", "x.dm_table_merge.bak", "dm_table_merge"}) {
        dirent e = {};
        snprintf(e.d_name, sizeof(e.d_name), "%s", name);
        EXPECT_EQ(is_table_merge_file(&e) != 0, name[0] == 'c') << name;
    }

    std::vector<std::string> order = crash_removal_order(
        {"cbt.1", "ab.2.dup", "ab.2", "ab.2.top", "ab.2p1", "ab.2p1--vg-lv", "cbt.1p1", "loop3p1"});
    EXPECT_EQ(order, (std::vector<std::string>{"ab.2p1--vg-lv", "ab.2p1", "cbt.1p1", "loop3p1",
                                               "ab.2.top", "cbt.1", "ab.2", "ab.2.dup"}));
    // A directory mounted twice is unmounted twice, its later mount first.
    EXPECT_EQ(crash_unmount_order({"/m", "/v/a/b.volume/0", "/v/a", "/v/a/b.volume/1", "/m"}),
              (std::vector<std::string>{"/v/a/b.volume/1", "/v/a/b.volume/0", "/v/a", "/m", "/m"}));
}

using RecoveryClassify = recovery_test;

TEST_F(RecoveryClassify, SuffixesVisibilityMountabilityViewTopAndViewPaths)
{
    const struct {
        const char *name;
        recovery_file_type_t type;
    } cases[] = {
        {"disk.vmdk", RECOVERY_FILE_TYPE_VMDK_ASCII},
        {"disk-flat.vmdk", RECOVERY_FILE_TYPE_VMDK_FLAT},
        {"disk-rdm.vmdk", RECOVERY_FILE_TYPE_VMDK_FLAT},
        {"disk-tolcbt.vmdk", RECOVERY_FILE_TYPE_VMDK_TOLCBT},
        {"vm.vmx", RECOVERY_FILE_TYPE_VMX},
        {"disk.volume", RECOVERY_FILE_TYPE_VMDK_VOLUME},
        {"vm.cfg", RECOVERY_FILE_TYPE_CFG},
        {"a.vmdk/b.vmx", RECOVERY_FILE_TYPE_UNKNOWN}, // ".vmdk" decides and is not at the end
        {"vm.vmx/disk.vmdk", RECOVERY_FILE_TYPE_VMDK_ASCII},
        {"disk.volume/x", RECOVERY_FILE_TYPE_UNKNOWN},
        {"disk-flat.vmdk.vmx", RECOVERY_FILE_TYPE_UNKNOWN} // "-flat.vmdk" followed by text
    };
    for (const auto &c : cases)
        EXPECT_EQ(recovery_infer_file_type(c.name), c.type) << c.name;

    const struct {
        const char *path;
        bool visible, vol_dir_top;
    } paths[] = {{"/vm1/disk.vmdk", true, false},      {"/vm1/disk-flat.vmdk", true, false},
                 {"/vm1/vm.cfg", true, false},         {"/vm1/disk-tolcbt.vmdk", false, false},
                 {"/vm1/notes.txt", false, false},     {"/vm1/disk.volume", true, true},
                 {"/vm1/disk.volume///", false, true}, {"/vm1/disk.volume////", false, false},
                 {"/vm1/disk.volume/x", false, false}, {"/vm1/disk.volumes", false, false}};
    for (const auto &c : paths) {
        EXPECT_EQ(bool(recovery_is_visible_file(c.path)), c.visible) << c.path;
        EXPECT_EQ(bool(recovery_is_vol_dir_top(c.path)), c.vol_dir_top) << c.path;
    }

    EXPECT_TRUE(recovery_is_mountable_vmdk_file("/vm1", "disk.vmdk"));
    EXPECT_FALSE(recovery_is_mountable_vmdk_file("/vm1", "disk-flat.vmdk"));
    EXPECT_FALSE(recovery_is_mountable_vmdk_file("/vm1/disk.volume/0", "disk.vmdk"));
    EXPECT_FALSE(recovery_is_mountable_vmdk_file("/a.volumeX", "disk.vmdk")); // ".volume" anywhere

    // A real entry of the view's name makes it ordinary, file or directory;
    // no descriptor is needed, and resolved scratch paths never are views.
    std::filesystem::create_directories(scratch("vm1/real.volume"));
    write("vm2/other.volume", "x");
    for (const std::string path : {"/vm1/disk.volume", "/vm1/disk.volume/a/b"})
        EXPECT_TRUE(recovery_is_vmdk_volume_file(path.c_str(), scratch_.c_str())) << path;
    for (const std::string &path :
         std::vector<std::string>{"/vm1/disk.volumes", "/vm1/disk.vmdk", "/vm1/real.volume/a/b",
                                  "/vm2/other.volume", scratch_ + "/vm1/disk.volume"})
        EXPECT_FALSE(recovery_is_vmdk_volume_file(path.c_str(), scratch_.c_str())) << path;
}

TEST(RecoveryPathBuilders, VolAsciiAndTolcbtPaths)
{
    // Each builder with the buffer size that just fits, and one byte less.
    enum { VOL, ASCII, TOLCBT };
    char buf[TOL_PATH_MAX];
    const std::string long_path = "/" + std::string(TOL_PATH_MAX, 'x') + "-flat.vmdk";
    const std::string small = "22 Insufficient buffer size";
    const struct {
        int builder;
        std::string in;
        size_t size;
        std::string want; // the path, or the error's "NUMBER TEXT"
    } cases[] = {{VOL, "/vm1/disk.volume/0/etc/hosts", 0, "/vm1/disk.volume"},
                 {VOL, "/vm1/disk.volume", 0, "/vm1/disk.volume"},
                 {VOL, "/vm1/disk.vmdk", 0, "22 No '.volume' suffix found"},
                 {ASCII, "/vm1/disk-flat.vmdk", sizeof(buf), "/vm1/disk.vmdk"},
                 {ASCII, "/a-flat.vmdk", 8, "/a.vmdk"},
                 {ASCII, "/a-flat.vmdk", 7, small},
                 {ASCII, "/vm1/disk.vmdk", sizeof(buf), "22 Invalid path name /vm1/disk.vmdk"},
                 // The FUSE path keeps its slash after the scratch path.
                 {TOLCBT, "/vm1/disk-flat.vmdk", sizeof(buf), "/s//vm1/disk-tolcbt.vmdk"},
                 {TOLCBT, "/a-flat.vmdk", 18, "/s//a-tolcbt.vmdk"},
                 {TOLCBT, "/a-flat.vmdk", 17, small},
                 {TOLCBT, "/vm1/disk.vmdk", sizeof(buf), "22 Invalid path name /s//vm1/disk.vmdk"},
                 {TOLCBT, long_path, sizeof(buf), "36 Path too long: /s//xxx..."}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.in.substr(0, 40) + " in " + std::to_string(c.size));
        errdesc_t *err = c.builder == VOL ? get_vol_path(buf, c.in.c_str())
                         : c.builder == ASCII
                             ? get_ascii_vmdk_path(c.in.c_str(), buf, c.size)
                             : get_tolcbt_vmdk_path(c.in.c_str(), "/s", buf, c.size);
        const std::string got = err ? outcome(err) : buf; // "...": a prefix
        EXPECT_EQ(c.want.ends_with("...") ? got.substr(0, c.want.size() - 3) + "..." : got, c.want);
    }
}

TEST_F(recovery_test, TranslateBoundsTheLengthAndMovaraRelocatesOnlyMissingFlatFiles)
{
    // scratch + "/" + rest: 4095 bytes fit, 4096 do not.
    path_buf_t buf;
    std::string fits = std::string("/").append(TOL_PATH_MAX - 1 - scratch_.size() - 1, 'a');
    ASSERT_NE(translate_path(fits.c_str(), &buf), nullptr);
    EXPECT_EQ(strlen(buf.path_buf), size_t(TOL_PATH_MAX - 1));
    EXPECT_EQ(translate_path((fits + "a").c_str(), &buf), nullptr);
    ASSERT_NE(translate_path("/", &buf), nullptr);
    EXPECT_EQ(std::string(buf.path_buf), scratch_ + "/.");

    // The common cases run through the mount in test_image_merged.sh.
    write("vm1/movara.json", R"({"flat_directory": "store"})");
    write("vm1/disk-flat.vmdk", "here");
    char out[TOL_PATH_MAX];
    EXPECT_TRUE(recovery_follow_movara_link("vm1/disk-rdm.vmdk", out, scratch_.c_str()));
    EXPECT_STREQ(out, "vm1/store/disk-rdm.vmdk");
    for (const char *present_or_no_flat : {"vm1/disk-flat.vmdk", "vm1/disk.vmdk"}) {
        EXPECT_FALSE(recovery_follow_movara_link(present_or_no_flat, out, scratch_.c_str()));
        EXPECT_STREQ(out, "NO PATH");
    }
    write("movara.json", R"({"flat_directory": "store"})"); // at the top of the tree
    EXPECT_TRUE(recovery_follow_movara_link("disk-flat.vmdk", out, scratch_.c_str()));
    EXPECT_STREQ(out, "store/disk-flat.vmdk");
}

// A relocation file comes from the backup: one that is not a small regular
// file, or that leads out of the tree, redirects nothing, and a FIFO by its
// name does not block the reader.
TEST_F(recovery_test, MovaraNeverBlocksNorLeadsOutOfTheTree)
{
    put("outside/store/x", "");
    std::filesystem::create_directories(scratch("vm/store"));
    std::filesystem::create_symlink(path("outside/store"), scratch("vm/away"));
    std::filesystem::create_symlink(path("outside"), scratch("linked"));
    put("outside/movara.json", R"({"flat_directory": "store"})");
    const std::string big =
        R"({"flat_directory": "store", "pad": ")" + std::string(MOVARA_JSON_MAX, 'x') + "\"}";
    const struct {
        const char *what;
        const char *dir;    // of the flat file, in the scratch tree
        std::string movara; // "fifo", "link" or the file's text
        bool redirected;
    } cases[] = {
        {"a plain one", "vm", R"({"flat_directory": "store"})", true},
        {"a FIFO", "vm", "fifo", false},
        {"a link to a good one", "vm", "link", false},
        {"larger than a relocation file", "vm", big, false},
        {"up the tree", "vm", R"({"flat_directory": "../../outside/store"})", false},
        {"absolute", "vm", R"({"flat_directory": ")" + path("outside/store") + "\"}", false},
        {"through a link out of the tree", "vm", R"({"flat_directory": "away"})", false},
        {"in a directory that is a link out of the tree", "linked", "", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        const std::string movara = scratch(std::string(c.dir) + "/movara.json");
        if (std::string(c.dir) == "vm") {
            std::filesystem::remove(movara);
            if (c.movara == "fifo")
                ASSERT_EQ(mkfifo(movara.c_str(), 0600), 0);
            else if (c.movara == "link")
                std::filesystem::create_symlink(path("outside/movara.json"), movara);
            else
                write("vm/movara.json", c.movara);
        }
        char out[TOL_PATH_MAX];
        const std::string flat = std::string(c.dir) + "/disk-flat.vmdk";
        EXPECT_EQ(recovery_follow_movara_link(flat.c_str(), out, scratch_.c_str()) == TOL_TRUE,
                  c.redirected);
    }
}

TEST(RecoveryNormalize, Cases)
{
    // In and out in turn. Without a following "/", a last ".." is copied unchanged.
    const char *cases[] = {
        "/a//b/./c/../d", "/a/b/d",  "/../a",  "/a", "/a/../../b", "/b", "/a/b/../", "/a/",
        "/a/b/..",        "/a/b/..", "a/../b", "b",  "",           ""};
    for (size_t i = 0; i < std::size(cases); i += 2) {
        std::unique_ptr<char, decltype(&free)> n(normalize_path(cases[i]), &free);
        EXPECT_STREQ(n.get(), cases[i + 1]) << cases[i];
    }
}

// `target` rewritten in a buffer of `len` bytes, or of the target's if longer.
std::string convert(const std::string &cwd, const std::string &target, size_t len = 4096)
{
    std::string buf(std::max(len, target.size() + 1), '\0');
    memcpy(buf.data(), target.c_str(), target.size() + 1);
    convert_to_relative_path(cwd.c_str(), buf.data(), len);
    return buf.c_str();
}

using relative_link_test = recovery_test;

TEST_F(relative_link_test, RewritesOnlyTargetsInsideTheVolumePathWithinTheLength)
{
    const std::string v = volumes_ + "/vm1/disk.volume";
    const struct {
        std::string cwd, target, out;
    } cases[] = {
        // The common cases run through the mount in test_browse_files.sh.
        {v + "//vol0/etc/link", volumes_ + "//vm1/./disk.volume/vol0/etc/../usr/lib", "../usr/lib"},
        // Partly equal component names count as different.
        {v + "/vol0/etc/link", v + "/vol0/etx/foo", "../etx/foo"},
        {v + "/vol0/etc/link", path("other/x"), path("other/x")},
        {v + "/vol0/a/b/c/d/link", v + "/vol0/zzzzzzzz", "../../../../zzzzzzzz"}};
    for (const auto &c : cases) {
        EXPECT_EQ(convert(c.cwd, c.target), c.out) << c.cwd << " -> " << c.target;
        // A buffer as long as the target: the comparison covers it all.
        EXPECT_EQ(convert(c.cwd, c.target, c.target.size() + 1), c.out);
    }
    // The result and its terminator stay within len bytes; len 0 rewrites nothing.
    for (size_t len : {1, 5, 12, 30})
        EXPECT_LE(convert(cases[3].cwd, cases[3].target, len).size(), len - 1) << len;
    std::string buf = v + "/x";
    convert_to_relative_path((v + "/y").c_str(), buf.data(), 0);
    EXPECT_EQ(buf.c_str(), v + "/x");
}

// The handlers called directly, in what a mount cannot reach; what a client
// sees through the mount is in tests/integration/test_browse_*.sh.

TEST(RecoveryInoHash, KnownValues)
{
    EXPECT_EQ(fs_ino_hash(""), 5381u);
    EXPECT_EQ(fs_ino_hash("/vm1/disk.vmdk"), 4060970784u);
    // Bytes above 127 are signed chars widened with their sign.
    EXPECT_EQ(fs_ino_hash("/caf\xe9.vmx"), 1584080266u);
}

TEST(RecoveryFsError, AnswersAnErrnoTheKernelKnowsAndLogsOnce)
{
    const struct {
        errnum_t number;
        bool from_child;
        int answer;
    } cases[] = {{EMFILE, false, -EMFILE},
                 {ERR_OBJ_NOT_FOUND, false, -EIO},
                 {ERR_MAX + 5, false, -EIO},
                 {ENOENT, true, -EIO}};
    for (const auto &c : cases) {
        errdesc_t *err = errdesc_set(c.number);
        err->origin = c.from_child ? ERRDESC_FROM_CHILD : ERRDESC_FROM_CALL;
        EXPECT_EQ(recovery_fs_error(err, RECOVERY_FS_UNLOGGED), c.answer) << c.number;
    }
    const std::string log = rfs_test::capture_stdout(
        [] { recovery_fs_error(errdesc_set_str(EACCES, "/p"), TOL_PRIO_ERROR); });
    EXPECT_NE(log.find(": ERROR [thread:"), std::string::npos) << log;
    EXPECT_EQ(log.find("ERROR", log.find("ERROR") + 1), std::string::npos) << "logged once";
}

using ops_test = recovery_test;

int fill_two(void *buf, const char *, const struct stat *, off_t)
{
    return ++*static_cast<int *>(buf) > 2;
}

TEST_F(ops_test, PathsBeyondTheLimitAFullListingBufferAndALinkCutToTheBuffer)
{
    const std::string too_long = "/" + std::string(TOL_PATH_MAX, 'n');
    const char *p = too_long.c_str();
    struct stat st;
    struct statvfs sv;
    struct fuse_file_info fi = {};
    char buf[64];
    EXPECT_EQ(recovery_fs_getattr(p, &st), -ENAMETOOLONG);
    EXPECT_EQ(recovery_fs_statfs(p, &sv), -ENAMETOOLONG);
    EXPECT_EQ(recovery_fs_readlink(p, buf, sizeof(buf)), -ENAMETOOLONG);
    EXPECT_EQ(recovery_fs_getxattr(p, "user.x", buf, sizeof(buf)), -ENAMETOOLONG);
    EXPECT_EQ(recovery_fs_opendir(p, &fi), -ENAMETOOLONG);
    EXPECT_EQ(recovery_fs_open(p, &fi), -EIO);

    write("vm1/disk.vmdk", "d");
    write("vm1/vm1.vmx", "x");
    ASSERT_EQ(recovery_fs_opendir("/vm1", &fi), 0);
    int filled = 0;
    EXPECT_EQ(recovery_fs_readdir("/vm1", &filled, fill_two, 0, &fi), -ENOMEM);
    EXPECT_EQ(recovery_fs_releasedir("/vm1", &fi), 0);
    EXPECT_EQ(fi.fh, ~uint64_t{0});

    // A link target as long as the buffer is cut by one byte.
    std::filesystem::create_symlink("abcdefgh", scratch("short"));
    ASSERT_EQ(recovery_fs_readlink("/short", buf, 8), 0);
    EXPECT_STREQ(buf, "abcdefg");
}

// Open cookies on files only (no devices).

const std::string TRY = " Recovery is probably in progress, please try again later.";

class cookie_test : public recovery_test
{
  protected:
    // Makes the cookie of /vm/<name>.vmx with the given idle time and refs.
    recovery_cookie_t *cookie(const std::string &name, time_t idle, int64_t ref = 0)
    {
        write("vm/" + name + ".vmx", name);
        std::string path = "/vm/" + name + ".vmx";
        std::string shadow = scratch("vm/" + name + ".vmx");
        std::lock_guard<std::mutex> lock(recovery_open_list.lock);
        recovery_cookie_t *c = nullptr;
        EXPECT_EQ(recovery_get_cookie(path.c_str(), scratch_.c_str(), shadow.c_str(), &c), nullptr);
        c->stamp = time(nullptr) - idle;
        c->ref = ref;
        return c;
    }
    bool listed(const std::string &name) { return cookie_of("/vm/" + name + ".vmx") != nullptr; }
    int open_file(const std::string &path, struct fuse_file_info *fi)
    {
        *fi = {};
        fi->flags = O_RDONLY;
        return recovery_fs_open(path.c_str(), fi);
    }
};

// The recovery header and change-block cases run on real images in
// tests/integration/test_image_bad_input.sh; these need only plain files.
TEST_F(cookie_test, ValidationOfFlatImages)
{
    const std::string flat = scratch("vm1/disk-flat.vmdk");
    auto descriptor = [](uint64_t sectors) {
        return "# Disk DescriptorFile\nversion=1\nCID=fffffffe\nparentCID=ffffffff\n"
               "createType=\"vmfs\"\nRW " +
               std::to_string(sectors) + " VMFS \"disk-flat.vmdk\"\n";
    };
    const std::string busy = std::to_string(EBUSY) + " ";
    const struct {
        const char *what;
        size_t size;
        std::string desc, cbt, error;
    } cases[] = {
        {"not whole sectors", 1000, "", "", busy + flat + " file has incorrect size 1000." + TRY},
        {"nothing to compare the size with", 4096, "", "", ""},
        {"descriptor size", 4096, descriptor(16), "",
         busy + "Expect 8192 bytes in " + flat + " but found 4096 bytes." + TRY},
        {"descriptor agrees", 4096, descriptor(8), "", ""},
        {"descriptor cut short", 4096, "version=1\nRW 1 FLAT \"a\"\nCID=1", "",
         busy + scratch_ + "//vm1/disk.vmdk file is invalid." + TRY},
        {"not a change-block file", 4096, "", "garbage", "22 invalid tolcbt header magic number"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        write("vm1/disk-flat.vmdk", std::string(c.size, 'x'));
        unlink(scratch("vm1/disk.vmdk").c_str());
        unlink(scratch("vm1/disk-tolcbt.vmdk").c_str());
        if (!c.desc.empty())
            write("vm1/disk.vmdk", c.desc);
        if (!c.cbt.empty())
            write("vm1/disk-tolcbt.vmdk", c.cbt);
        errdesc_t *err = validate_vmdk_flat("/vm1/disk-flat.vmdk", flat.c_str(), scratch_.c_str());
        EXPECT_EQ(outcome(err), c.error);
    }

    // A refused image leaves no cookie behind: the next open validates again.
    write("vm1/disk-flat.vmdk", std::string(1000, 'x'));
    struct fuse_file_info fi;
    EXPECT_EQ(open_file("/vm1/disk-flat.vmdk", &fi), -EIO);
    EXPECT_EQ(cookie_count(), 0u);
}

TEST_F(cookie_test, OpensShareOneCookieThatOutlivesTheLastClose)
{
    write("vm1/vm1.vmx", std::string(1024, 'f'));
    struct fuse_file_info a, b;
    ASSERT_EQ(open_file("/vm1/vm1.vmx", &a), 0);
    ASSERT_EQ(open_file("/vm1/vm1.vmx", &b), 0);
    ASSERT_EQ(cookie_count(), 1u);
    EXPECT_EQ(cookie_of("/vm1/vm1.vmx")->ref, 2);

    char buf[600];
    EXPECT_EQ(recovery_fs_read("/vm1/vm1.vmx", buf, sizeof(buf), 700, &a), 324);
    EXPECT_EQ(buf[0], 'f');
    EXPECT_EQ(recovery_fs_read("/vm1/vm1.vmx", buf, sizeof(buf), 4096, &b), 0);
    EXPECT_EQ(recovery_fs_release("/vm1/vm1.vmx", &a), 0);
    EXPECT_EQ(recovery_fs_release("/vm1/vm1.vmx", &b), 0);
    EXPECT_EQ(cookie_of("/vm1/vm1.vmx")->ref, 0);

    // A failed open leaves no cookie; a read without a handle is stale.
    EXPECT_EQ(open_file("/vm1/missing.vmx", &a), -EIO);
    EXPECT_EQ(cookie_of("/vm1/missing.vmx"), nullptr);
    struct fuse_file_info none = {};
    EXPECT_EQ(recovery_fs_read("/x", buf, sizeof(buf), 0, &none), -ESTALE);
}

TEST_F(cookie_test, FullListEvictsTheOldestIdleCookieOrRefuses)
{
    auto path = [](size_t i) { return "/vm/f" + std::to_string(i) + ".vmx"; };
    for (size_t i = 0; i <= RECOVERY_MAX_COOKIES; ++i)
        write(path(i).substr(1), std::to_string(i));
    std::vector<struct fuse_file_info> held(RECOVERY_MAX_COOKIES);
    for (size_t i = 0; i < RECOVERY_MAX_COOKIES; ++i)
        ASSERT_EQ(open_file(path(i), &held[i]), 0);
    struct fuse_file_info fi;
    EXPECT_EQ(open_file(path(RECOVERY_MAX_COOKIES), &fi), -EIO) << "EMFILE to the client";
    for (size_t i = 0; i < RECOVERY_MAX_COOKIES; ++i)
        EXPECT_EQ(recovery_fs_release(path(i).c_str(), &held[i]), 0);

    // f5 is the oldest, although everything was used just now.
    cookie_of("/vm/f5.vmx")->stamp -= 10;
    ASSERT_EQ(open_file(path(RECOVERY_MAX_COOKIES), &fi), 0);
    EXPECT_EQ(recovery_fs_release(path(RECOVERY_MAX_COOKIES).c_str(), &fi), 0);
    EXPECT_EQ(cookie_count(), RECOVERY_MAX_COOKIES);
    EXPECT_EQ(cookie_of("/vm/f5.vmx"), nullptr);
}

TEST_F(cookie_test, EvictionPassesTakeTheOldestIdleFreeCookie)
{
    EXPECT_EQ(recovery_evict(), nullptr) << "an empty list";
    cookie("recent", 50);
    cookie("old", 61);
    cookie("older", 120);
    cookie("held", 500, 1);
    recovery_cookie_t *busy = cookie("busy", 300);
    busy->mutex.lock();
    EXPECT_EQ(recovery_evict(), nullptr);
    EXPECT_FALSE(listed("older"));
    EXPECT_EQ(recovery_evict(), nullptr);
    EXPECT_FALSE(listed("old"));
    errdesc_t *err = recovery_evict();
    EXPECT_EQ(err ? err->number : 0, EMFILE);
    busy->mutex.unlock();
    EXPECT_TRUE(listed("recent") && listed("held") && listed("busy"));

    // Forced: idle time does not count, the first of equal stamps goes.
    cookie("a", 5);
    cookie("b", 5);
    for (const char *name : {"busy", "recent", "a"}) {
        std::unique_lock<std::mutex> lock(recovery_open_list.lock);
        EXPECT_EQ(recovery_evict_intern(true), nullptr);
        lock.unlock();
        EXPECT_FALSE(listed(name));
    }
    EXPECT_TRUE(listed("b"));
}

TEST_F(cookie_test, FailedTeardownStepStillReleasesTheRestAndFreesTheCookie)
{
    // A loop device that cannot be detached: every losetup run fails.
    put("bin/losetup", "#!/bin/sh\nexit 2\n");
    chmod(path("bin/losetup").c_str(), 0755);
    tol_programs_set_root(path("bin").c_str());

    write("dev", std::string(8192, 'd'));
    put("bm/dev", std::string(2, '\xff'));
    auto bitmap = tol_dev_open_at(path("bm").c_str(), scratch("dev").c_str(), nullptr, false);
    ASSERT_NE(bitmap, nullptr);
    recovery_cookie_t *c = cookie("image", 100);
    c->loop_image = std::make_unique<flat_image>(
        loop_attachment::adopt("/dev/loop-rfs-unit-none"), nullptr, partition_mapping{},
        unique_fd(open(scratch("dev").c_str(), O_RDONLY)), bitmap_device(std::move(bitmap)));

    errdesc_t *err = nullptr;
    const std::string log = rfs_test::capture_stdout([&] { err = recovery_evict(); });
    tol_programs_set_root(nullptr);
    EXPECT_EQ(err ? err->number : 0, 2) << "the loop device's release";
    EXPECT_NE(log.find("PDEV_STATS for /dev: "), std::string::npos) << log;
    EXPECT_EQ(cookie_count(), 0u);
}

TEST_F(cookie_test, ConcurrentOpensReadsAndEvictions)
{
    // More files than cookies: forced evictions and eviction passes run
    // while other threads hold handles on other cookies.
    constexpr size_t files = RECOVERY_MAX_COOKIES + 8;
    for (size_t i = 0; i < files; ++i)
        write("vm/f" + std::to_string(i) + ".vmx", std::string(1000 + i, char('a' + i % 26)));
    std::atomic<int> bad{0};
    std::atomic<bool> done{false};
    std::thread evictor([&] {
        while (!done) {
            recovery_evict();
            std::this_thread::yield();
        }
    });
    std::vector<std::thread> threads;
    for (size_t t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (size_t k = 0; k < 150; ++k) {
                size_t i = (t * 7 + k * 3) % files;
                std::string path = "/vm/f" + std::to_string(i) + ".vmx";
                struct fuse_file_info fi = {};
                if (recovery_fs_open(path.c_str(), &fi) != 0) {
                    ++bad;
                    continue;
                }
                struct stat st;
                std::string buf(2048, '\0');
                if (recovery_fs_getattr(path.c_str(), &st) != 0 ||
                    st.st_size != static_cast<off_t>(1000 + i) ||
                    recovery_fs_read(path.c_str(), buf.data(), buf.size(), 0, &fi) !=
                        static_cast<int>(1000 + i) ||
                    buf[0] != char('a' + i % 26) || recovery_fs_release(path.c_str(), &fi) != 0)
                    ++bad;
            }
        });
    }
    for (auto &th : threads)
        th.join();
    done = true;
    evictor.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_LE(cookie_count(), RECOVERY_MAX_COOKIES);
}

class vol_test : public recovery_test
{
  protected:
    errdesc_t *access(const char *path, char *out)
    {
        return recovery_vol_access(path, mount_.c_str(), scratch_.c_str(), volumes_.c_str(), out,
                                   TOL_FALSE);
    }
};

TEST_F(vol_test, CreateEntryNamesTheViewAndMakesItsDirectory)
{
    write("vm1/disk.vmdk", "d");
    char name[256];
    struct stat st;
    auto create = [&](const char *dir, const std::string &descriptor,
                      const std::string &volume_path) {
        return recovery_vol_create_entry(name, &st, dir, scratch_.c_str(), volume_path.c_str(),
                                         descriptor.c_str());
    };
    ASSERT_EQ(create("/vm1", "disk.vmdk", volumes_), 0);
    EXPECT_STREQ(name, "disk.volume");
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    struct stat made;
    ASSERT_EQ(stat((volumes_ + "//vm1/disk.volume").c_str(), &made), 0);
    EXPECT_EQ(made.st_mode & 07777, 0755u);
    EXPECT_EQ(made.st_ino, st.st_ino);
    EXPECT_EQ(create("/vm1", "disk.vmdk", volumes_), 0) << "a second time finds it in place";

    // A real entry of that name, a file in place of the mount directory, or
    // a volume path that cannot be made (its parent is a file).
    std::filesystem::create_directories(scratch("vm1/disk.volume"));
    EXPECT_EQ(create("/vm1", "disk.vmdk", volumes_), -1);
    put("vol/vm2/other.volume", "not a directory");
    EXPECT_EQ(create("/vm2", "other.vmdk", volumes_), -1);
    put("file", "x");
    EXPECT_EQ(create("/vm3", "x.vmdk", path("file/vol")), -1);
}

TEST_F(vol_test, NoAutomountByDefaultThenThreeFailedMountsOneNoticeSilenceAndReferences)
{
    // Without automounting a view path only maps into its mount directory.
    char out[TOL_PATH_MAX];
    ASSERT_EQ(access("/vm1/disk.volume/0/etc/hosts", out), nullptr);
    EXPECT_EQ(std::string(out), volumes_ + "/vm1/disk.volume//0/etc/hosts");
    EXPECT_EQ(cookie_count(), 0u);
    EXPECT_EQ(recovery_vol_decrement_ref_cnt("/vm1/disk.volume"), nullptr);
    EXPECT_EQ(outcome(access("/vm1/disk.vmdk", out)), "22 No '.volume' suffix found");

    reg_settings_update([](reg_settings_t &s) { s.recover_automount_enabled = TOL_TRUE; });
    // The last is unlogged from now on, until the cookie is evicted.
    const std::string failed = "2 Could not mount file system view for: /vm1/disk.volume";
    for (const std::string &want :
         {failed, failed, failed, "2 Mount retries exceeded for: /vm1/disk.volume"s,
          "2 No such file or directory"s}) {
        EXPECT_EQ(outcome(access("/vm1/disk.volume/x", out)), want); // no image to open
        EXPECT_EQ(std::string(out), volumes_ + "/vm1/disk.volume");
    }
    ASSERT_EQ(cookie_count(), 1u);
    recovery_cookie_t *cookie = cookie_of("/vm1/disk.volume");
    ASSERT_NE(cookie, nullptr);
    EXPECT_TRUE(cookie->is_view());
    EXPECT_EQ(cookie->ref, 0) << "no reference taken";
    cookie->is_mounted = true;
    cookie->ref = 1;
    EXPECT_EQ(recovery_vol_decrement_ref_cnt("/vm1/disk.volume/a"), nullptr);
    EXPECT_EQ(cookie->ref, 0);
    // Nothing holds a reference, so giving one back is an error.
    EXPECT_EQ(outcome(recovery_vol_decrement_ref_cnt("/vm1/disk.volume")),
              "5 Error in recovery_vol_decrement_ref_cnt: /vm1/disk.volume");
    EXPECT_EQ(cookie->ref, 0);
    // An unmounted view drops to 0 at once.
    cookie->is_mounted = false;
    cookie->ref = 5;
    EXPECT_EQ(recovery_vol_decrement_ref_cnt("/vm1/disk.volume/x"), nullptr);
    EXPECT_EQ(cookie->ref, 0);
}
