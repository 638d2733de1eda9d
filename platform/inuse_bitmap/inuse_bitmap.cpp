// rfs-inuse-bitmap: publishes the in-use bitmap of every device.
//
//   rfs-inuse-bitmap MOUNTPOINT [--devices=DIR] [--override=DIR] [--no-loops] [FUSE options]
//
// One read-only file per device: the entries of the device directory
// (default "/dev/mapper", "control" excluded) and, unless --no-loops, every
// bound loop device ("loopN"). The file holds one bit per 512-byte sector,
// 1 = in use, computed when read: a sector is in use unless it is all zero.
//
// A file OVERRIDE/NAME (default "/var/tolvane/inuse_override/NAME") replaces
// the computed bitmap of NAME byte for byte, size included, and publishes NAME
// even when no such device exists: that is how tests and users supply a bitmap.
//
// Every file carries the extended attribute "dev_ref_count": the number of
// open handles of that file, as decimal text. Opens may carry any flag bits
// (readers pass 0x10000000); only write access is refused.

#include "common/unique_fd.hpp"
#include "inuse_logic.hpp"
#include "loop_backing.hpp"

#include <fuse.h>

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr const char *ref_count_attr = "dev_ref_count";
// Device bytes examined per pread while computing a bitmap read.
constexpr size_t scan_chunk = 1 << 20;

struct config_t {
    char *devices_dir = nullptr;
    char *override_dir = nullptr;
    int no_loops = 0;
};

config_t config;

const char *devices_dir() { return config.devices_dir ? config.devices_dir : "/dev/mapper"; }
const char *override_dir() { return config.override_dir ? config.override_dir : "/var/tolvane/inuse_override"; }

// What one bitmap file is made of.
struct source_t {
    bool is_override = false;
    std::string path;      // the override file or the device
    uint64_t size = 0;     // bytes of the bitmap file
    uint64_t sectors = 0;  // sectors of the device (0 for an override)
    time_t mtime = 0;
};

// One open of a bitmap file.
struct handle_t {
    std::string name;
    source_t source;
    unique_fd fd;
    // A read-only loop device's file: its holes need no scan.
    rfsdm::loop_backing backing;
};

std::mutex refs_lock;
std::map<std::string, long> refs;  // open handles per file name

long ref_count(const std::string &name)
{
    std::lock_guard<std::mutex> g(refs_lock);
    auto it = refs.find(name);
    return it == refs.end() ? 0 : it->second;
}

void add_ref(const std::string &name, long delta)
{
    std::lock_guard<std::mutex> g(refs_lock);
    long &n = refs[name];
    n += delta;
    if (n <= 0)
        refs.erase(name);
}

std::optional<uint64_t> device_bytes(const std::string &path, const struct stat &st)
{
    if (S_ISREG(st.st_mode))
        return static_cast<uint64_t>(st.st_size);
    if (!S_ISBLK(st.st_mode))
        return std::nullopt;
    unique_fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    uint64_t bytes = 0;
    if (!fd || ::ioctl(fd.get(), BLKGETSIZE64, &bytes) != 0)
        return std::nullopt;
    return bytes;
}

bool is_bound_loop(const std::string &name)
{
    if (config.no_loops || name.rfind("loop", 0) != 0 || name.size() == 4)
        return false;
    if (name.find_first_not_of("0123456789", 4) != std::string::npos)
        return false;
    struct stat st;
    return ::stat(("/sys/block/" + name + "/loop/backing_file").c_str(), &st) == 0;
}

std::optional<source_t> find_source(const std::string &name)
{
    if (!inuse::is_device_name(name))
        return std::nullopt;
    struct stat st;
    std::string over = std::string(override_dir()) + "/" + name;
    if (::stat(over.c_str(), &st) == 0 && S_ISREG(st.st_mode))
        return source_t{true, over, static_cast<uint64_t>(st.st_size), 0, st.st_mtime};

    std::string dev = std::string(devices_dir()) + "/" + name;
    if (::stat(dev.c_str(), &st) != 0) {
        if (!is_bound_loop(name))
            return std::nullopt;
        dev = "/dev/" + name;
        if (::stat(dev.c_str(), &st) != 0)
            return std::nullopt;
    }
    std::optional<uint64_t> bytes = device_bytes(dev, st);
    if (!bytes)
        return std::nullopt;
    uint64_t sectors = inuse::sectors_of(*bytes);
    return source_t{false, dev, inuse::bitmap_size(sectors), sectors, st.st_mtime};
}

void add_dir_names(const char *dir, std::set<std::string> &names)
{
    DIR *d = ::opendir(dir);
    if (!d)
        return;
    while (struct dirent *e = ::readdir(d))
        if (inuse::is_device_name(e->d_name))
            names.insert(e->d_name);
    ::closedir(d);
}

std::set<std::string> list_names()
{
    std::set<std::string> names;
    add_dir_names(override_dir(), names);
    add_dir_names(devices_dir(), names);
    if (!config.no_loops) {
        std::set<std::string> blocks;
        add_dir_names("/sys/block", blocks);
        for (const std::string &b : blocks)
            if (is_bound_loop(b))
                names.insert(b);
    }
    // Only names that still resolve: a device may have gone since it was listed.
    std::set<std::string> live;
    for (const std::string &n : names)
        if (find_source(n))
            live.insert(n);
    return live;
}

// "/NAME" to NAME; anything deeper or the root gives nothing.
std::optional<std::string> file_name(const char *path)
{
    if (path[0] != '/' || path[1] == '\0' || std::strchr(path + 1, '/'))
        return std::nullopt;
    return std::string(path + 1);
}

handle_t *handle_of(struct fuse_file_info *fi) { return reinterpret_cast<handle_t *>(fi->fh); }

int op_getattr(const char *path, struct stat *st)
{
    std::memset(st, 0, sizeof *st);
    if (std::strcmp(path, "/") == 0) {
        st->st_mode = S_IFDIR | 0555;
        st->st_nlink = 2;
        return 0;
    }
    std::optional<std::string> name = file_name(path);
    std::optional<source_t> src = name ? find_source(*name) : std::nullopt;
    if (!src)
        return -ENOENT;
    st->st_mode = S_IFREG | 0444;
    st->st_nlink = 1;
    st->st_size = static_cast<off_t>(src->size);
    st->st_mtime = st->st_ctime = st->st_atime = src->mtime;
    return 0;
}

int op_readdir(const char *path, void *buf, fuse_fill_dir_t fill, off_t, struct fuse_file_info *)
{
    if (std::strcmp(path, "/") != 0)
        return -ENOTDIR;
    fill(buf, ".", nullptr, 0);
    fill(buf, "..", nullptr, 0);
    for (const std::string &n : list_names())
        fill(buf, n.c_str(), nullptr, 0);
    return 0;
}

int op_open(const char *path, struct fuse_file_info *fi)
{
    if ((fi->flags & O_ACCMODE) != O_RDONLY)
        return -EROFS;
    std::optional<std::string> name = file_name(path);
    std::optional<source_t> src = name ? find_source(*name) : std::nullopt;
    if (!src)
        return -ENOENT;
    auto h = std::make_unique<handle_t>();
    h->name = *name;
    h->source = *src;
    h->fd.reset(::open(src->path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!h->fd)
        return -errno;
    struct stat st{};
    if (!src->is_override && ::fstat(h->fd.get(), &st) == 0 && S_ISBLK(st.st_mode)) {
        h->backing = rfsdm::open_loop_backing(h->fd.get(), st.st_rdev, O_RDONLY);
        if (!h->backing.read_only)
            h->backing = {}; // a writable device's newest data may not be in the file yet
    }
    // The content is computed on every read: never serve it from the page cache.
    fi->direct_io = 1;
    fi->keep_cache = 0;
    add_ref(h->name, 1);
    fi->fh = reinterpret_cast<uint64_t>(h.release());
    return 0;
}

int read_override(handle_t &h, char *buf, size_t size, off_t offset)
{
    ssize_t n = ::pread(h.fd.get(), buf, size, offset);
    return n < 0 ? -errno : static_cast<int>(n);
}

// Calls `scan` for the device bytes of [from, to) that may hold data: all of
// them, or for a loop device over a sparse file only its data extents, since
// a hole reads as zeros and none of its sectors is in use. The ranges are
// whole sectors.
template <class F> bool for_each_data_range(const handle_t &h, uint64_t from, uint64_t to, F &&scan)
{
    if (!h.backing.file)
        return scan(from, to);
    const int fd = h.backing.file.get();
    const uint64_t off = h.backing.offset;
    for (uint64_t p = from; p < to;) {
        off_t data = ::lseek(fd, static_cast<off_t>(p + off), SEEK_DATA);
        if (data < 0)
            return errno == ENXIO || scan(p, to); // ENXIO: no data up to the end
        uint64_t d = static_cast<uint64_t>(data) - off;
        d -= d % inuse::sector_size;
        if (d >= to)
            return true;
        off_t hole = ::lseek(fd, data, SEEK_HOLE);
        uint64_t e = hole < 0 ? to : static_cast<uint64_t>(hole) - off;
        e = std::min(to, (e + inuse::sector_size - 1) / inuse::sector_size * inuse::sector_size);
        if (!scan(d, e))
            return false;
        p = e;
    }
    return true;
}

int read_computed(handle_t &h, char *buf, size_t size, off_t offset)
{
    uint64_t off = static_cast<uint64_t>(offset);
    if (off >= h.source.size)
        return 0;
    size = static_cast<size_t>(std::min<uint64_t>(size, h.source.size - off));
    std::memset(buf, 0, size);
    inuse::sector_range r = inuse::sectors_for_bitmap_read(off, size, h.source.sectors);
    std::vector<uint8_t> data(scan_chunk);
    const uint64_t bitmap_first = off * inuse::sectors_per_byte;
    const int fd = h.backing.file ? h.backing.file.get() : h.fd.get();
    const uint64_t fd_offset = h.backing.file ? h.backing.offset : 0;
    auto scan = [&](uint64_t pos, uint64_t end) {
        while (pos < end) {
            size_t want = static_cast<size_t>(std::min<uint64_t>(scan_chunk, end - pos));
            ssize_t got = ::pread(fd, data.data(), want, static_cast<off_t>(pos + fd_offset));
            if (got < 0)
                return false;
            if (got == 0)
                break; // the device shrank: what is not there is not in use
            inuse::mark_used_sectors(data.data(), static_cast<size_t>(got), pos / inuse::sector_size,
                                     reinterpret_cast<uint8_t *>(buf), bitmap_first);
            pos += static_cast<uint64_t>(got);
        }
        return true;
    };
    const uint64_t first = r.first * inuse::sector_size;
    if (!for_each_data_range(h, first, first + r.count * inuse::sector_size, scan))
        return -EIO;
    return static_cast<int>(size);
}

int op_read(const char *, char *buf, size_t size, off_t offset, struct fuse_file_info *fi)
{
    handle_t *h = handle_of(fi);
    if (!h)
        return -EBADF;
    return h->source.is_override ? read_override(*h, buf, size, offset) : read_computed(*h, buf, size, offset);
}

int op_release(const char *, struct fuse_file_info *fi)
{
    std::unique_ptr<handle_t> h(handle_of(fi));
    if (h)
        add_ref(h->name, -1);
    return 0;
}

int op_getxattr(const char *path, const char *attr, char *value, size_t size)
{
    std::optional<std::string> name = file_name(path);
    if (!name)
        return -ENODATA;
    if (!find_source(*name) && ref_count(*name) == 0)
        return -ENOENT;
    if (std::strcmp(attr, ref_count_attr) != 0)
        return -ENODATA;
    std::string text = std::to_string(ref_count(*name));
    if (size == 0)
        return static_cast<int>(text.size());
    if (size < text.size())
        return -ERANGE;
    std::memcpy(value, text.data(), text.size());
    return static_cast<int>(text.size());
}

int op_listxattr(const char *path, char *list, size_t size)
{
    if (!file_name(path))
        return 0;
    size_t len = std::strlen(ref_count_attr) + 1;
    if (size == 0)
        return static_cast<int>(len);
    if (size < len)
        return -ERANGE;
    std::memcpy(list, ref_count_attr, len);
    return static_cast<int>(len);
}

int op_setxattr(const char *, const char *, const char *, size_t, int) { return -EROFS; }

struct fuse_operations make_operations()
{
    struct fuse_operations ops;
    std::memset(&ops, 0, sizeof ops);
    ops.getattr = op_getattr;
    ops.readdir = op_readdir;
    ops.open = op_open;
    ops.read = op_read;
    ops.release = op_release;
    ops.getxattr = op_getxattr;
    ops.listxattr = op_listxattr;
    ops.setxattr = op_setxattr;
    return ops;
}

const struct fuse_opt option_spec[] = {
    {"--devices=%s", offsetof(config_t, devices_dir), 0},
    {"--override=%s", offsetof(config_t, override_dir), 0},
    {"--no-loops", offsetof(config_t, no_loops), 1},
    FUSE_OPT_END,
};

} // namespace

int main(int argc, char **argv)
{
    struct fuse_args args = FUSE_ARGS_INIT(argc, argv);
    if (fuse_opt_parse(&args, &config, option_spec, nullptr) != 0)
        return 1;
    struct fuse_operations ops = make_operations();
    // Bitmaps change with the devices: no attribute or entry caching.
    fuse_opt_add_arg(&args, "-oattr_timeout=0,entry_timeout=0,negative_timeout=0,ro,fsname=inuse_bitmap");
    int rc = fuse_main(args.argc, args.argv, &ops, nullptr);
    fuse_opt_free_args(&args);
    std::free(config.devices_dir);
    std::free(config.override_dir);
    return rc;
}
