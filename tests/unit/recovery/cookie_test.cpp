// Open cookies on files only (no devices): validation of flat images, sharing,
// the 32-cookie limit, eviction passes, teardown failures and concurrency.

#include "common/programs.hpp"
#include "recovery/recovery_cookie.hpp"
#include "recovery/recovery_ops.hpp"
#include "recovery_fixture.hpp"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

namespace
{

using rfs_recovery_test::recovery_test;

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
    const struct {
        const char *what;
        size_t size;
        std::string desc, cbt;
        int number;
        std::string text; // empty: not compared
    } cases[] = {
        {"not whole sectors", 1000, "", "", EBUSY,
         flat + " file has incorrect size 1000." + TRY},
        {"nothing to compare the size with", 4096, "", "", 0, ""},
        {"descriptor size", 4096, descriptor(16), "", EBUSY,
         "Expect 8192 bytes in " + flat + " but found 4096 bytes." + TRY},
        {"descriptor agrees", 4096, descriptor(8), "", 0, ""},
        {"descriptor cut short", 4096, "version=1\nRW 1 FLAT \"a\"\nCID=1", "", EBUSY,
         scratch_ + "//vm1/disk.vmdk file is invalid." + TRY},
        {"not a change-block file", 4096, "", "garbage", EINVAL, ""},
    };
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
        EXPECT_EQ(err ? err->number : 0, c.number);
        if (err && !c.text.empty()) {
            EXPECT_EQ(err->string, c.text);
        }
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
    ASSERT_NE(err, nullptr);
    EXPECT_EQ(err->number, EMFILE);
    busy->mutex.unlock();
    EXPECT_TRUE(listed("recent") && listed("held") && listed("busy"));

    // Forced: idle time does not count, the first of equal stamps goes.
    cookie("a", 5);
    cookie("b", 5);
    for (const char *name : {"busy", "recent", "a"}) {
        {
            std::lock_guard<std::mutex> lock(recovery_open_list.lock);
            EXPECT_EQ(recovery_evict_intern(true), nullptr);
        }
        EXPECT_FALSE(listed(name));
    }
    EXPECT_TRUE(listed("b"));
}

TEST_F(cookie_test, FailedTeardownStepStillReleasesTheRestAndFreesTheCookie)
{
    // A loop device that cannot be detached: every losetup run fails.
    tree_.write("bin/losetup", "#!/bin/sh\nexit 2\n");
    chmod(tree_.path("bin/losetup").c_str(), 0755);
    tol_programs_set_root(tree_.path("bin").c_str());

    write("dev", std::string(8192, 'd'));
    tree_.write("bm/dev", std::string(2, '\xff'));
    auto bitmap = tol_dev_open_at(tree_.path("bm").c_str(), scratch("dev").c_str(), nullptr, false);
    ASSERT_NE(bitmap, nullptr);
    recovery_cookie_t *c = cookie("image", 100);
    c->loop_image = std::make_unique<flat_image>(
        loop_attachment::adopt("/dev/loop-rfs-unit-none"), nullptr, partition_mapping{},
        unique_fd(open(scratch("dev").c_str(), O_RDONLY)), bitmap_device(std::move(bitmap)));

    testing::internal::CaptureStdout();
    errdesc_t *err = recovery_evict();
    std::string log = testing::internal::GetCapturedStdout();
    tol_programs_set_root(nullptr);
    ASSERT_NE(err, nullptr);
    EXPECT_EQ(err->number, 2) << "the loop device's release";
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

} // namespace
