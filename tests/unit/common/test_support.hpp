#pragma once
// Small helpers shared by the common-runtime unit tests.

#include "support/temp_dir.hpp"

#include <cstdio>
#include <string>
#include <unistd.h>

namespace rfs_test
{

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

template <typename Fn> std::string capture_stdout(Fn fn)
{
    return capture_stream(stdout, fn);
}
template <typename Fn> std::string capture_stderr(Fn fn)
{
    return capture_stream(stderr, fn);
}

} // namespace rfs_test
