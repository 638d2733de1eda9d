#pragma once
// A fresh directory under /tmp for one test, removed with everything in it at
// the end, and the file and error helpers of every unit test program.

#include "common/errdesc.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

namespace rfs_test
{

class temp_dir
{
  public:
    // `tag` names the directory, so that a leftover tells which tests made it.
    explicit temp_dir(const std::string &tag = "rfs-test")
    {
        std::string tmpl = "/tmp/" + tag + ".XXXXXX";
        // Without it a test would write relative to "/": stop at once.
        if (!mkdtemp(tmpl.data())) {
            perror(tmpl.c_str());
            abort();
        }
        path_ = tmpl;
    }
    ~temp_dir()
    {
        std::error_code ec;
        if (!path_.empty())
            std::filesystem::remove_all(path_, ec);
    }
    temp_dir(const temp_dir &) = delete;
    temp_dir &operator=(const temp_dir &) = delete;

    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }
    std::string operator/(const std::string &name) const { return file(name); }

  private:
    std::string path_;
};

// Writes `bytes` to `path`, making the directories above it.
inline void write_file(const std::string &path, std::string_view bytes)
{
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}
inline void write_file(const std::string &path, const std::vector<char> &bytes)
{
    write_file(path, std::string_view(bytes.data(), bytes.size()));
}

inline std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// "NUMBER TEXT" of an error with `dir` written as T, or "" for none.
inline std::string outcome(const errdesc_t *err, const std::string &dir = "")
{
    std::string text = err ? std::to_string(err->number) + " " + err->string : "";
    size_t at = dir.empty() ? std::string::npos : text.find(dir);
    return at == std::string::npos ? text : text.replace(at, dir.size(), "T");
}

// An error with this number and, unless `text` is empty, this text.
inline void expect_error(const errdesc_t *err, int number, const std::string &text = "")
{
    ASSERT_NE(err, nullptr) << text;
    EXPECT_EQ(err->number, number) << err->string;
    EXPECT_EQ(std::string(text.empty() ? "" : err->string), text);
}

// Everything written to standard output or error while `fn` runs, its
// children's output included.
template <typename Fn> std::string capture_stdout(Fn fn)
{
    testing::internal::CaptureStdout();
    fn();
    return testing::internal::GetCapturedStdout();
}
template <typename Fn> std::string capture_stderr(Fn fn)
{
    testing::internal::CaptureStderr();
    fn();
    return testing::internal::GetCapturedStderr();
}

} // namespace rfs_test
