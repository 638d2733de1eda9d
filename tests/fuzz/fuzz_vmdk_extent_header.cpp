// Fuzz target of the extent header reader: the input is an extent file (after
// a first byte that picks the extent type), read as the only extent of a
// descriptor: header checks, grain directory load and grain-table fills.

#include "vmdk/graindir.hpp"

#include "common/unique_fd.hpp"

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <sys/mman.h>
#include <unistd.h>

namespace
{

// Enough fills to cover present, absent and out-of-file tables without
// making one input slow.
constexpr uint32_t MAX_FILLS = 64;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    static const extenttype_t types[] = {ET_SPARSE, ET_VMFSSPARSE, ET_SESPARSE, ET_FLAT};
    extenttype_t type = types[data[0] % 4];
    data++;
    size--;

    unique_fd fd(memfd_create("extent", MFD_CLOEXEC));
    // A memfd takes a whole write at once.
    if (!fd || write(fd.get(), data, size) != static_cast<ssize_t>(size))
        abort();

    auto desc = std::make_unique<vmdkdesc_t>();
    auto e = std::make_unique<extentdesc_t>();
    e->extenttype = type;
    e->extentsize = 1u << 21;
    snprintf(e->extentname, sizeof e->extentname, "fuzz-extent.vmdk");
    e->fd = fd.get();
    desc->extentdesc[0] = std::move(e);
    desc->extentdesccount = 1;

    if (vmdk_open_graindir(desc.get()) == nullptr) {
        uint32_t count = desc->extentdesc[0]->graindir.gd_entry_count;
        for (uint32_t i = 0; i < count && i < MAX_FILLS; i++)
            vmdk_fill_gtbuf(desc.get(), 0, i);
        // Past the end must be refused, never read.
        if (desc->gtbuf && vmdk_fill_gtbuf(desc.get(), 0, count) == nullptr)
            abort();
    }
    vmdk_close_graindir(desc.get());
    vmdk_free_gtbuf(desc.get());
    desc->extentdesc[0]->fd = -1; // closed by its owner
    return 0;
}
