// Fuzz target of the relocation file: the input is "movara.json" beside a
// missing flat file in a scratch tree. Whatever it holds, the relocation
// stays inside the tree and within a path's length.

#include "recovery/recovery_path.hpp"

#include "common/types.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

// A scratch tree of this process: "<tmp>/scratch/vm", with "store" in it.
const std::string &scratch()
{
    static const std::string path = [] {
        static char tmpl[] = "/tmp/rfs-fuzz-movara.XXXXXX";
        if (!mkdtemp(tmpl))
            abort();
        atexit([] { std::filesystem::remove_all(tmpl); }); // a run ends with exit()
        std::string s = std::string(tmpl) + "/scratch";
        if (mkdir(s.c_str(), 0700) != 0 || mkdir((s + "/vm").c_str(), 0700) != 0 ||
            mkdir((s + "/vm/store").c_str(), 0700) != 0)
            abort();
        return s;
    }();
    return path;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string movara = scratch() + "/vm/movara.json";
    FILE *f = fopen(movara.c_str(), "w");
    if (!f || fwrite(data, 1, size, f) != size || fclose(f) != 0)
        abort();
    char out[TOL_PATH_MAX];
    if (!recovery_follow_movara_link("vm/disk-flat.vmdk", out, scratch().c_str()))
        return 0;
    // A relocation is the flat file's own directory, a plain relative one
    // below it, then the file's name.
    const std::string got = out;
    if (got.size() >= TOL_PATH_MAX || got.rfind("vm/", 0) != 0 ||
        !got.ends_with("/disk-flat.vmdk") || got.find("/../") != std::string::npos)
        abort();
    return 0;
}
