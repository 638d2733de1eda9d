// Fuzz target of the change-block reader: the input is a change-block file
// (header, extent list, data) after a first byte that extends the file with
// a hole of up to 4 GiB, as a sparse file on the appliance may claim a list
// of any size. The reader and the extent check must answer, bounded.

#include "image/tolcbt.hpp"

#include "common/unique_fd.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sys/mman.h>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const off_t hole = static_cast<off_t>(data[0] & 0x3f) << 26;
    data++;
    size--;

    unique_fd fd(memfd_create("tolcbt", MFD_CLOEXEC));
    // A memfd takes a whole write at once.
    if (!fd || write(fd.get(), data, size) != static_cast<ssize_t>(size))
        abort();
    if (hole && ftruncate(fd.get(), static_cast<off_t>(size) + hole) != 0)
        abort();
    char path[64];
    snprintf(path, sizeof path, "/proc/self/fd/%d", fd.get());

    std::unique_ptr<cbt_file_header_t> header;
    cbt_extent_list_t list;
    errdesc_t *err = read_tolcbt_header(path, &header, &list);
    if (!header || list.size() > CBT_MAX_EXTENTS)
        abort();
    if (!err && header->total_change_size > 0)
        check_tolcbt_extents(*header, list, static_cast<int64_t>(size) + hole);
    free_cbt_header(&header);
    cbt_list_free(&list);
    return 0;
}
