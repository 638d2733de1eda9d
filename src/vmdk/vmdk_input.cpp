// Checked opens and bounded reads of the files a descriptor names.

#include "vmdk/vmdk_input.hpp"

#include "common/files.hpp"
#include "common/types.hpp"
#include "vmdk/extent_header.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace
{

bool is_below(const std::string &real, const std::string &root)
{
    if (root == "/")
        return true;
    return real.size() > root.size() && real.compare(0, root.size(), root) == 0 &&
           real[root.size()] == '/';
}

errdesc_t *check_type(const char *path, const struct stat &st, bool allow_blockdev)
{
    if (S_ISREG(st.st_mode) || (allow_blockdev && S_ISBLK(st.st_mode)))
        return nullptr;
    return errdesc_set_fmt(EINVAL, "%s: not a regular file", path);
}

errdesc_t *check_below(const char *path, const std::string &real, const std::string &root)
{
    if (is_below(real, root))
        return nullptr;
    return errdesc_set_fmt(EPERM, "%s: resolves to %s, outside %s", path, real.c_str(),
                           root.c_str());
}

// Where the open descriptor really leads: links, ".." and bind tricks
// resolved by the kernel, so no rename between check and open matters.
errdesc_t *opened_path(int fd, const char *path, std::string *real)
{
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    char buf[PATH_MAX];
    ssize_t n = readlink(link, buf, sizeof buf - 1);
    if (n < 0)
        return errdesc_set_fmt(errno, "%s: cannot resolve the opened file", path);
    real->assign(buf, static_cast<size_t>(n));
    return nullptr;
}

} // namespace

errdesc_t *vmdk_real_root(const char *root, std::string *real)
{
    real->clear();
    if (!root || !*root)
        return nullptr;
    char buf[PATH_MAX];
    if (!realpath(root, buf))
        return errdesc_set_str(errno, root);
    *real = buf;
    return nullptr;
}

errdesc_t *vmdk_open_input(const char *path, const std::string &real_root, bool allow_blockdev,
                           unique_fd *fd, struct stat *st)
{
    // Checked before the open as well: opening some devices has effects.
    if (!real_root.empty()) {
        char buf[PATH_MAX];
        if (!realpath(path, buf))
            return errdesc_set_str(errno, path);
        if (errdesc_t *err = check_below(path, buf, real_root))
            return err;
    }
    if (stat(path, st) != 0)
        return errdesc_set_str(errno, path);
    if (errdesc_t *err = check_type(path, *st, allow_blockdev))
        return err;

    unique_fd opened(open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!opened)
        return errdesc_set_str(errno, path);
    if (fstat(opened.get(), st) != 0)
        return errdesc_set_str(errno, path);
    if (errdesc_t *err = check_type(path, *st, allow_blockdev))
        return err;
    if (!real_root.empty()) {
        std::string real;
        if (errdesc_t *err = opened_path(opened.get(), path, &real))
            return err;
        if (errdesc_t *err = check_below(path, real, real_root))
            return err;
    }
    *fd = std::move(opened);
    return nullptr;
}

errdesc_t *vmdk_read_descriptor_text(int fd, const struct stat &st, const char *path,
                                     std::string *text)
{
    const uint64_t size = static_cast<uint64_t>(std::max<off_t>(st.st_size, 0));
    uint64_t want = size;
    uint64_t embedded = 0; // where an embedded descriptor starts, 0 for none
    if (size > VMDK_DESCRIPTOR_MAX) {
        // Only a hosted sparse extent may be this large: its header says where
        // its own descriptor ends.
        sparsehdr_t hdr{};
        int rc = vmdk_pread_exact(fd, &hdr, sizeof hdr, 0);
        if (rc != 0 && rc != VMDK_SHORT_READ)
            return errdesc_set_str(rc, path);
        const uint64_t limit = VMDK_DESCRIPTOR_MAX / TOL_SECTOR_SIZE;
        if (rc != 0 || hdr.magic != SPARSE_MAGIC || hdr.descoffset == 0 || hdr.descsize == 0 ||
            hdr.descoffset > limit || hdr.descsize > limit - hdr.descoffset)
            return errdesc_set_fmt(EFBIG,
                                   "%s: descriptor file of %ju bytes, more than %zu (and no "
                                   "embedded descriptor within that)",
                                   path, static_cast<uintmax_t>(size), VMDK_DESCRIPTOR_MAX);
        want = (hdr.descoffset + hdr.descsize) * TOL_SECTOR_SIZE;
        embedded = hdr.descoffset * TOL_SECTOR_SIZE;
    }
    text->resize(want);
    size_t got = 0;
    if (errdesc_t *err = tol_pread(fd, text->data(), text->size(), 0, &got))
        return err;
    text->resize(got); // a file that shrank meanwhile
    // An embedded descriptor is padded with NULs up to its size.
    if (embedded && embedded < text->size())
        text->resize(std::min(text->size(), text->find('\0', embedded)));
    return nullptr;
}
