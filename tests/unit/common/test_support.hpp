#pragma once
// Small helpers shared by the common-runtime unit tests.

#include "common/files.hpp"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

namespace rfs_test {

// A fresh directory under /tmp, removed with everything in it at the end.
class temp_dir {
  public:
    temp_dir()
    {
        char tmpl[] = "/tmp/rfs_common_XXXXXX";
        if (char *p = mkdtemp(tmpl))
            path_ = p;
    }
    ~temp_dir()
    {
        if (!path_.empty())
            rmdirr(path_.c_str());
    }
    temp_dir(const temp_dir &) = delete;
    temp_dir &operator=(const temp_dir &) = delete;

    const std::string &path() const { return path_; }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

inline std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline void write_file(const std::string &path, const std::string &text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

// Everything written to the stream `fp` while `fn` runs: the stream's
// descriptor points at a temporary file meanwhile.
template <typename Fn> std::string capture_stream(FILE *fp, Fn fn)
{
    fflush(fp);
    int fd = fileno(fp);
    int saved = dup(fd);
    FILE *tmp = tmpfile();
    dup2(fileno(tmp), fd);
    fn();
    fflush(fp);
    dup2(saved, fd);
    close(saved);
    std::string text;
    rewind(tmp);
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), tmp)) > 0)
        text.append(buf, n);
    fclose(tmp);
    return text;
}

template <typename Fn> std::string capture_stdout(Fn fn) { return capture_stream(stdout, fn); }
template <typename Fn> std::string capture_stderr(Fn fn) { return capture_stream(stderr, fn); }

// The time prefix of every log line.
inline const char *TIME_PREFIX_RE = "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{6}: ";

} // namespace rfs_test
