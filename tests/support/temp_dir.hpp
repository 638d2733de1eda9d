#pragma once
// A fresh directory under /tmp for one test, removed with everything in it at
// the end. Shared by every unit test program.

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

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

} // namespace rfs_test
