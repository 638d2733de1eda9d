#pragma once
// A private scratch tree and volume path for one test, with the options
// record pointed at them; every cookie is released and everything put back
// afterwards.

#include "controller/settings.hpp"
#include "recovery/recovery_cookie.hpp"
#include "recovery/recovery_options.hpp"
#include "support/temp_dir.hpp"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

using rfs_test::outcome;

class recovery_test : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        saved_settings_ = *get_reg_settings();
        saved_options_ = fs_options;
        scratch_ = path("scratch");
        volumes_ = path("vol");
        mount_ = path("mnt");
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
    std::string scratch_;
    std::string volumes_;
    std::string mount_;
    reg_settings_t saved_settings_;
    recovery_fs_options saved_options_;
};
