// Fuzz target of the descriptor scanner and parser. Every input is parsed
// twice, from memory and from a file (whose scanner reads through a bounded
// window), and both parses must agree; any crash, hang or sanitizer report is
// a finding.

#include "vmdk/descriptor_parser.hpp"

#include "common/unique_fd.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sys/mman.h>
#include <unistd.h>

namespace
{

struct outcome {
    errnum_t number = 0; // 0 for success
    std::unique_ptr<vmdkdesc_t> desc = std::make_unique<vmdkdesc_t>();
};

bool same_record(const vmdkdesc_t &a, const vmdkdesc_t &b)
{
    if (a.version != b.version || a.encoding != b.encoding || a.cid != b.cid || a.pcid != b.pcid ||
        a.createtype != b.createtype || a.parentfilenamehint != b.parentfilenamehint ||
        a.change_track_path != b.change_track_path || a.thin_provisioned != b.thin_provisioned ||
        a.extentdesccount != b.extentdesccount ||
        memcmp(&a.diskdb, &b.diskdb, sizeof a.diskdb) != 0)
        return false;
    for (uint32_t i = 0; i < a.extentdesccount; i++) {
        const extentdesc_t &x = *a.extentdesc[i];
        const extentdesc_t &y = *b.extentdesc[i];
        if (x.mode != y.mode || x.extentsize != y.extentsize || x.extenttype != y.extenttype ||
            x.extentoffset != y.extentoffset || strcmp(x.extentname, y.extentname) != 0 ||
            x.fd != -1)
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    outcome mem;
    if (errdesc_t *err =
            vmdk_parse_buffer(reinterpret_cast<const char *>(data), size, mem.desc.get()))
        mem.number = err->number;

    unique_fd fd(memfd_create("descriptor", MFD_CLOEXEC));
    // A memfd takes a whole write at once.
    if (!fd || write(fd.get(), data, size) != static_cast<ssize_t>(size))
        abort();
    char path[64];
    snprintf(path, sizeof path, "/proc/self/fd/%d", fd.get());
    outcome file;
    if (errdesc_t *err = vmdk_parse_file_contents(path, file.desc.get()))
        file.number = err->number;

    if (mem.number != file.number) {
        fprintf(stderr, "memory parse gave %d, file parse %d\n", mem.number, file.number);
        abort();
    }
    if (mem.number == 0 && !same_record(*mem.desc, *file.desc)) {
        fprintf(stderr, "memory and file parses stored different values\n");
        abort();
    }
    return 0;
}
