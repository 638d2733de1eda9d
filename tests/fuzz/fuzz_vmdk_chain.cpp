// Fuzz target of opening a disk with its parent chain: the input is split at
// lines "---" into up to three descriptor texts, written as d0.vmdk, d1.vmdk
// and d2.vmdk beside a small extent file e.vmdk in a tree of this process;
// d0.vmdk is opened below that tree, with its chain and every extent file of
// it. Whatever they name (each other, the tree's directory, files outside,
// devices), the open must end, refuse what lies outside and leave nothing open.

#include "vmdk/vmdk_open.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

const std::string &tree()
{
    static const std::string path = [] {
        static char tmpl[] = "/tmp/rfs-fuzz-chain.XXXXXX";
        if (!mkdtemp(tmpl))
            abort();
        atexit([] { std::filesystem::remove_all(tmpl); }); // a run ends with exit()
        std::string s = std::string(tmpl) + "/tree";
        if (mkdir(s.c_str(), 0700) != 0)
            abort();
        FILE *f = fopen((s + "/e.vmdk").c_str(), "w");
        static const char sector[512] = {};
        if (!f || fwrite(sector, 1, sizeof sector, f) != sizeof sector || fclose(f) != 0)
            abort();
        return s;
    }();
    return path;
}

void put(const std::string &path, std::string_view text)
{
    FILE *f = fopen(path.c_str(), "w");
    if (!f || fwrite(text.data(), 1, text.size(), f) != text.size() || fclose(f) != 0)
        abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string_view rest(reinterpret_cast<const char *>(data), size);
    for (int i = 0; i < 3; i++) {
        const size_t cut = i < 2 ? rest.find("\n---\n") : std::string_view::npos;
        put(tree() + "/d" + std::to_string(i) + ".vmdk", rest.substr(0, cut));
        rest = cut == std::string_view::npos ? std::string_view() : rest.substr(cut + 5);
    }

    auto d = std::make_unique<vmdkdesc_t>();
    const std::string path = tree() + "/d0.vmdk";
    if (vmdk_open(path.c_str(), d.get(), tree().c_str()) != nullptr)
        return 0;
    if (vmdk_get_ancestors(d.get(), 0, &d->vmdk_ancestor_array) == nullptr) {
        for (int k = 0; d->vmdk_ancestor_array[k]; k++) {
            vmdkdesc_t *m = d->vmdk_ancestor_array[k];
            if (k >= 3)
                abort(); // a loop: only three descriptors of the tree can parse
            if (vmdk_open_extentfiles(m) == nullptr)
                vmdk_close_extentfiles(m);
        }
    }
    vmdk_close(d.get());
    return 0;
}
