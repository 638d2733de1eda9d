#include "daemon_internal.hpp"

#include "loop_backing.hpp"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <linux/fs.h>
#include <map>
#include <mutex>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <thread>
#include <unistd.h>

namespace rfsdm
{

std::string errno_text(int e)
{
    return std::strerror(e);
}

// Opens a block device by number: through its usual node when there is one,
// otherwise through a private node made for the occasion.
unique_fd open_block(dev_t rdev, int flags)
{
    char path[64];
    if (major(rdev) == loop_major) {
        snprintf(path, sizeof path, "/dev/loop%u", minor(rdev));
        struct stat st {
        };
        if (::stat(path, &st) == 0 && S_ISBLK(st.st_mode) && st.st_rdev == rdev)
            return unique_fd(::open(path, flags | O_CLOEXEC));
    }
    snprintf(path, sizeof path, "/dev/block/%u:%u", major(rdev), minor(rdev));
    struct stat st {
    };
    if (::stat(path, &st) == 0 && S_ISBLK(st.st_mode) && st.st_rdev == rdev)
        return unique_fd(::open(path, flags | O_CLOEXEC));
    std::string tmp = run_dir() + "/node." + std::to_string(::getpid()) + "." +
                      std::to_string(std::hash<std::thread::id>{}(std::this_thread::get_id()));
    ::unlink(tmp.c_str());
    if (::mknod(tmp.c_str(), S_IFBLK | 0600, rdev) < 0)
        return {};
    unique_fd fd(::open(tmp.c_str(), flags | O_CLOEXEC));
    int saved = errno;
    ::unlink(tmp.c_str());
    errno = saved;
    return fd;
}

namespace
{

std::mutex ext_mutex;
std::map<dev_t, std::weak_ptr<external_dev>> externals;

// Moves all n bytes or fails; end of device counts as EIO. `io` is pread or
// pwrite, whose buffer types differ only in constness.
template <typename Buf, typename Io> int full_io(Io io, int fd, Buf *buf, size_t n, uint64_t off)
{
    while (n) {
        ssize_t r = io(fd, buf, n, off_t(off));
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return -errno;
        if (r == 0)
            return -EIO;
        buf += r;
        n -= size_t(r);
        off += uint64_t(r);
    }
    return 0;
}

int full_pread(int fd, char *buf, size_t n, uint64_t off)
{
    return full_io(::pread, fd, buf, n, off);
}

int full_pwrite(int fd, const char *buf, size_t n, uint64_t off)
{
    return full_io(::pwrite, fd, buf, n, off);
}

// A reply spliced from a backing file is written by FUSE after the read
// handler returns, so the file's descriptor must outlive the last table that
// uses it by a moment: descriptors are closed a second after they retire.
std::mutex retired_mutex;
std::deque<std::pair<std::chrono::steady_clock::time_point, unique_fd>> retired;
bool reaper_running = false;

void retire_fd(unique_fd fd)
{
    std::lock_guard lk(retired_mutex);
    retired.emplace_back(std::chrono::steady_clock::now(), std::move(fd));
    if (reaper_running)
        return;
    reaper_running = true;
    std::thread([] {
        for (;;) {
            std::this_thread::sleep_for(std::chrono::seconds(1));
            std::lock_guard lk(retired_mutex);
            const auto cut = std::chrono::steady_clock::now() - std::chrono::seconds(1);
            while (!retired.empty() && retired.front().first <= cut)
                retired.pop_front();
            if (retired.empty()) {
                reaper_running = false;
                return;
            }
        }
    }).detach();
}

std::shared_ptr<external_dev> open_external(dev_t rdev, const std::string &path, std::string &error)
{
    std::lock_guard lk(ext_mutex);
    if (auto e = externals[rdev].lock())
        return e;
    auto e = std::make_shared<external_dev>();
    e->rdev = rdev;
    // Exclusive like the kernel's claim: nobody may mount a device that a
    // table uses.
    auto try_open = [&](int flags) {
        if (!path.empty())
            return unique_fd(::open(path.c_str(), flags | O_CLOEXEC));
        return open_block(rdev, flags);
    };
    e->fd = try_open(O_RDWR | O_EXCL | O_DIRECT);
    if (!e->fd && (errno == EROFS || errno == EACCES || errno == EPERM)) {
        e->fd = try_open(O_RDONLY | O_EXCL | O_DIRECT);
        e->read_only = true;
    }
    if (!e->fd) {
        error = "Device lookup failed: " + errno_text(errno);
        return nullptr;
    }
    uint64_t size = 0;
    if (::ioctl(e->fd.get(), BLKGETSIZE64, &size) < 0) {
        error = "Cannot read device size: " + errno_text(errno);
        return nullptr;
    }
    e->size = size;
    // A loop device over a regular file: its I/O goes to the file.
    loop_backing b = open_loop_backing(e->fd.get(), rdev, e->read_only ? O_RDONLY : O_RDWR);
    e->file = std::move(b.file);
    e->file_offset = b.offset;
    externals[rdev] = e;
    return e;
}

} // namespace

external_dev::~external_dev()
{
    if (file)
        retire_fd(std::move(file));
}

// ---------------------------------------------------------------- dev_ref

dev_ref::~dev_ref()
{
    if (internal_)
        --internal_->holders;
}

std::unique_ptr<dev_ref> dev_ref::open(const std::string &dev_arg, std::string &error)
{
    dev_t rdev = 0;
    std::string path;
    unsigned ma = 0, mi = 0;
    if (parse_major_minor(dev_arg, ma, mi)) {
        rdev = makedev(ma, mi);
    } else {
        struct stat st {
        };
        if (dev_arg.empty() || dev_arg[0] != '/' || ::stat(dev_arg.c_str(), &st) < 0) {
            error = "Device lookup failed: " + dev_arg;
            return nullptr;
        }
        if (!S_ISBLK(st.st_mode)) {
            error = "Device lookup failed: " + dev_arg + " is not a block device";
            return nullptr;
        }
        rdev = st.st_rdev;
        path = dev_arg;
    }
    std::unique_ptr<dev_ref> ref(new dev_ref());
    if (auto d = find_device_by_rdev(rdev)) {
        ref->internal_ = d;
        ++d->holders;
        return ref;
    }
    ref->external_ = open_external(rdev, path, error);
    if (!ref->external_)
        return nullptr;
    return ref;
}

namespace
{

struct free_deleter {
    void operator()(char *p) const { std::free(p); }
};
using aligned_buf = std::unique_ptr<char, free_deleter>;

constexpr uint64_t dio_align = 4096;

// External devices are opened with O_DIRECT, like the kernel's bios: what a
// table writes is in the device at once (a reader of the loop device's
// backing file sees it) and no stale page cache of ours hides later changes.
// Requests that are not sector-aligned in memory or on disk go through a
// bounce buffer. A loop device's backing file is used through its page cache,
// which is the one every reader of that file shares.
int external_io(external_dev &e, bool write, char *buf, size_t n, uint64_t off)
{
    if (e.file) {
        off += e.file_offset;
        return write ? full_pwrite(e.file.get(), buf, n, off)
                     : full_pread(e.file.get(), buf, n, off);
    }
    bool aligned = (reinterpret_cast<uintptr_t>(buf) % dio_align) == 0 && off % sector_size == 0 &&
                   n % sector_size == 0;
    if (aligned)
        return write ? full_pwrite(e.fd.get(), buf, n, off) : full_pread(e.fd.get(), buf, n, off);
    uint64_t first = off / sector_size * sector_size;
    uint64_t last = (off + n + sector_size - 1) / sector_size * sector_size;
    size_t span = size_t(last - first);
    aligned_buf bounce(static_cast<char *>(
        std::aligned_alloc(dio_align, (span + dio_align - 1) / dio_align * dio_align)));
    if (!bounce)
        return -ENOMEM;
    bool partial = first != off || last != off + n;
    if (!write || partial)
        if (int r = full_pread(e.fd.get(), bounce.get(), span, first); r < 0)
            return r;
    if (!write) {
        std::memcpy(buf, bounce.get() + (off - first), n);
        return 0;
    }
    std::memcpy(bounce.get() + (off - first), buf, n);
    return full_pwrite(e.fd.get(), bounce.get(), span, first);
}

} // namespace

int dev_ref::io(bool write, char *buf, size_t n, uint64_t off)
{
    if (internal_)
        return internal_->io(write, buf, n, off);
    if (off + n > external_->size)
        return -EIO;
    if (write && external_->read_only)
        return -EIO;
    return external_io(*external_, write, buf, n, off);
}

bool dev_ref::map(uint64_t off, size_t n, splice_source &out, int depth) const
{
    if (internal_)
        return internal_->map_to_file(off, n, out, depth + 1);
    if (!external_->file || off + n > external_->size)
        return false;
    out = {external_->file.get(), off + external_->file_offset};
    return true;
}

int dev_ref::flush()
{
    if (internal_)
        return internal_->flush();
    const int fd = external_->file ? external_->file.get() : external_->fd.get();
    if (!external_->read_only && ::fdatasync(fd) < 0)
        return -errno;
    return 0;
}

uint64_t dev_ref::size_bytes() const
{
    return internal_ ? internal_->size_bytes() : external_->size;
}

std::string dev_ref::major_minor() const
{
    dev_t d = internal_ ? internal_->rdev : external_->rdev;
    return std::to_string(major(d)) + ":" + std::to_string(minor(d));
}

} // namespace rfsdm
