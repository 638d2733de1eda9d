// Fuzz target of the recovery header: the input is the start of a flat disk
// (MBR, then the sectors where the header may lie). The search, the read, the
// variable strings and the dump must stay inside the sector.

#include "image/tol_vdsk_header.hpp"

#include "common/unique_fd.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    unique_fd fd(memfd_create("flat", MFD_CLOEXEC));
    // A memfd takes a whole write at once.
    if (!fd || write(fd.get(), data, size) != static_cast<ssize_t>(size))
        abort();

    tol_vdsk_header_t header{};
    if (read_tol_vdsk_header(fd.get(), &header) != nullptr)
        return 0;
    std::string s[4];
    get_vmdk_variable_strings(&header, &s[0], &s[1], &s[2], &s[3]);
    static FILE *sink = fopen("/dev/null", "w");
    if (!sink)
        abort();
    dump_tol_vdsk_header_to(sink, &header);
    return 0;
}
