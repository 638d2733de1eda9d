#include "daemon.hpp"

#include "loop_backing.hpp"
#include "lvm_filter.hpp"

#include <algorithm>
#include <cstdlib>
#include <cerrno>
#include <cstring>
#include <chrono>
#include <deque>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <linux/fs.h>
#include <linux/loop.h>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <thread>
#include <unistd.h>

namespace rfsdm {

namespace {

constexpr unsigned loop_major = 7;
constexpr size_t max_name = 127; // the kernel's DM_NAME_LEN less the terminator

std::mutex reg_mutex; // guards `registry`; held only briefly
std::map<std::string, std::shared_ptr<device>> registry;
std::mutex ctl_mutex; // serialises control commands
std::mutex ext_mutex;
std::map<dev_t, std::weak_ptr<external_dev>> externals;

std::string errno_text(int e) { return std::strerror(e); }

// Opens a block device by number: through its usual node when there is one,
// otherwise through a private node made for the occasion.
unique_fd open_block(dev_t rdev, int flags)
{
    char path[64];
    if (major(rdev) == loop_major) {
        snprintf(path, sizeof path, "/dev/loop%u", minor(rdev));
        struct stat st{};
        if (::stat(path, &st) == 0 && S_ISBLK(st.st_mode) && st.st_rdev == rdev)
            return unique_fd(::open(path, flags | O_CLOEXEC));
    }
    snprintf(path, sizeof path, "/dev/block/%u:%u", major(rdev), minor(rdev));
    struct stat st{};
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

bool valid_name(const std::string &name)
{
    return !name.empty() && name.size() <= max_name && name != "." && name != ".." &&
           name.find('/') == std::string::npos;
}

std::string dev_mapper(const std::string &name) { return "/dev/mapper/" + name; }
std::string file_path(const std::string &name) { return mount_dir() + "/" + name; }

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

int full_pread(int fd, char *buf, size_t n, uint64_t off) { return full_io(::pread, fd, buf, n, off); }

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
        struct stat st{};
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

namespace {

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
        return write ? full_pwrite(e.file.get(), buf, n, off) : full_pread(e.file.get(), buf, n, off);
    }
    bool aligned = (reinterpret_cast<uintptr_t>(buf) % dio_align) == 0 && off % sector_size == 0 &&
                   n % sector_size == 0;
    if (aligned)
        return write ? full_pwrite(e.fd.get(), buf, n, off) : full_pread(e.fd.get(), buf, n, off);
    uint64_t first = off / sector_size * sector_size;
    uint64_t last = (off + n + sector_size - 1) / sector_size * sector_size;
    size_t span = size_t(last - first);
    aligned_buf bounce(static_cast<char *>(std::aligned_alloc(dio_align, (span + dio_align - 1) / dio_align * dio_align)));
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

// ---------------------------------------------------------------- targets

namespace {

struct linear_target final : target {
    std::unique_ptr<dev_ref> dev;
    uint64_t offset = 0; // sectors
    const char *type() const override { return "linear"; }
    std::string params() const override { return dev->major_minor() + " " + std::to_string(offset); }
    int io(bool write, char *buf, size_t n, uint64_t off) override
    {
        return dev->io(write, buf, n, off + offset * sector_size);
    }
    int flush() override { return dev->flush(); }
    bool map(uint64_t off, size_t n, splice_source &out, int depth) const override
    {
        return dev->map(off + offset * sector_size, n, out, depth);
    }
    std::vector<const dev_ref *> refs() const override { return {dev.get()}; }
};

struct zero_target final : target {
    const char *type() const override { return "zero"; }
    std::string params() const override { return ""; }
    int io(bool write, char *buf, size_t n, uint64_t) override
    {
        if (!write)
            std::memset(buf, 0, n);
        return 0;
    }
};

struct error_target final : target {
    const char *type() const override { return "error"; }
    std::string params() const override { return ""; }
    int io(bool, char *, size_t, uint64_t) override { return -EIO; }
};

struct ref_cow_io final : cow_io {
    std::shared_ptr<dev_ref> dev;
    explicit ref_cow_io(std::shared_ptr<dev_ref> d) : dev(std::move(d)) {}
    int read(void *buf, size_t n, uint64_t off) override { return dev->io(false, static_cast<char *>(buf), n, off); }
    int write(const void *buf, size_t n, uint64_t off) override
    {
        // dev_ref::io takes a mutable buffer for both directions; a write
        // never modifies it.
        return dev->io(true, const_cast<char *>(static_cast<const char *>(buf)), n, off);
    }
    uint64_t size_bytes() const override { return dev->size_bytes(); }
};

struct snapshot_target;

// Every snapshot target that exists, in any table. Two snapshots of one
// origin on one store are a handover pair, as in the kernel: the one that
// ran first (the source) passes its exceptions to the other (the
// destination) when the destination resumes, which it may only do while the
// source is suspended; the source then fails all I/O.
std::mutex snap_mutex;
std::vector<snapshot_target *> snapshots;

struct snapshot_target final : target {
    std::unique_ptr<dev_ref> origin;
    std::shared_ptr<dev_ref> cow;
    std::string origin_id, cow_id;
    std::unique_ptr<ref_cow_io> cow_io_;
    std::unique_ptr<exception_store> store;
    bool active = false;        // has been resumed
    bool handover_dest = false; // waits for the exceptions of its source
    bool handed_over = false;   // a source whose exceptions went away
    mutable std::shared_mutex lock; // exclusive while a chunk is copied

    ~snapshot_target() override
    {
        std::lock_guard lk(snap_mutex);
        std::erase(snapshots, this);
    }

    const char *type() const override { return "snapshot"; }
    std::string params() const override
    {
        return origin_id + " " + cow_id + (store->persistent() ? " P " : " N ") + std::to_string(store->chunk_sectors());
    }
    std::string status() const override
    {
        std::shared_lock lk(lock);
        if (!usable())
            return "Invalid";
        return std::to_string(store->allocated_sectors()) + "/" + std::to_string(store->total_sectors()) + " " +
               std::to_string(store->metadata_sectors());
    }
    bool usable() const { return !handed_over && !handover_dest && store->valid(); }

    // The source and destination among the snapshots sharing this one's
    // origin and store; call with snap_mutex held.
    void find_pair(snapshot_target *&src, snapshot_target *&dest) const
    {
        src = dest = nullptr;
        for (auto *s : snapshots) {
            if (s->origin_id != origin_id || s->cow_id != cow_id)
                continue;
            (s->active ? src : dest) = s;
        }
    }

    int preresume(std::string &error) override
    {
        std::lock_guard lk(snap_mutex);
        snapshot_target *src, *dest;
        find_pair(src, dest);
        if (!src || !dest)
            return 0;
        if (src == this) {
            error = "Unable to resume snapshot source until handover completes.";
            return -EINVAL;
        }
        bool src_suspended = false;
        if (src->owner) {
            std::lock_guard dl(src->owner->m);
            src_suspended = src->owner->suspended;
        }
        if (!src_suspended) {
            error = "Unable to perform snapshot handover until source is suspended.";
            return -EINVAL;
        }
        return 0;
    }

    void resume() override
    {
        std::lock_guard lk(snap_mutex);
        snapshot_target *src, *dest;
        find_pair(src, dest);
        if (src && dest == this && src != this) {
            std::unique_lock a(src->lock), b(lock);
            std::swap(store, src->store);
            std::swap(cow_io_, src->cow_io_);
            std::swap(cow, src->cow);
            handover_dest = false;
            src->handed_over = true;
        } else if (handover_dest) {
            // The source went away before the handover: read the store.
            std::unique_lock b(lock);
            std::string error;
            if (store->init(error) < 0)
                store->invalidate();
            handover_dest = false;
        }
        active = true;
    }

    int read_chunk_piece(char *buf, size_t n, uint64_t chunk, uint64_t within)
    {
        std::shared_lock lk(lock);
        if (!usable())
            return -EIO;
        if (auto e = store->lookup(chunk))
            return cow->io(false, buf, n, *e * store->chunk_bytes() + within);
        return origin->io(false, buf, n, chunk * store->chunk_bytes() + within);
    }

    int write_chunk_piece(char *buf, size_t n, uint64_t chunk, uint64_t within)
    {
        std::unique_lock lk(lock);
        if (!usable())
            return -EIO;
        uint64_t cb = store->chunk_bytes();
        if (auto e = store->lookup(chunk))
            return cow->io(true, buf, n, *e * cb + within);
        uint64_t new_chunk = 0;
        if (int r = store->allocate(new_chunk); r < 0) {
            // A full store invalidates the snapshot; from now on every
            // request fails, as the kernel's snapshot does.
            store->invalidate();
            return -EIO;
        }
        std::vector<char> data(cb);
        uint64_t origin_off = chunk * cb;
        uint64_t avail = origin->size_bytes() > origin_off ? origin->size_bytes() - origin_off : 0;
        if (n < cb && avail) {
            if (int r = origin->io(false, data.data(), std::min<uint64_t>(cb, avail), origin_off); r < 0)
                return r;
        }
        std::memcpy(data.data() + within, buf, n);
        if (int r = cow->io(true, data.data(), cb, new_chunk * cb); r < 0)
            return r;
        return store->commit(chunk, new_chunk);
    }

    int io(bool write, char *buf, size_t n, uint64_t off) override
    {
        uint64_t cb;
        {
            std::shared_lock lk(lock);
            cb = store->chunk_bytes();
        }
        while (n) {
            uint64_t chunk = off / cb, within = off % cb;
            size_t piece = size_t(std::min<uint64_t>(n, cb - within));
            int r = write ? write_chunk_piece(buf, piece, chunk, within) : read_chunk_piece(buf, piece, chunk, within);
            if (r < 0)
                return r;
            buf += piece;
            off += piece;
            n -= piece;
        }
        return 0;
    }
    int flush() override { return cow->flush(); }
    std::vector<const dev_ref *> refs() const override { return {origin.get(), cow.get()}; }
};

std::unique_ptr<target> make_target(const table_line &l, std::string &error)
{
    if (l.target == "linear") {
        if (l.args.size() != 2) {
            error = "Invalid argument count";
            return nullptr;
        }
        auto t = std::make_unique<linear_target>();
        if (!parse_u64(l.args[1], t->offset)) {
            error = "Invalid device sector";
            return nullptr;
        }
        t->dev = dev_ref::open(l.args[0], error);
        if (!t->dev)
            return nullptr;
        if ((t->offset + l.length) * sector_size > t->dev->size_bytes()) {
            error = l.args[0] + " too small for target";
            return nullptr;
        }
        return t;
    }
    if (l.target == "zero" || l.target == "error") {
        if (!l.args.empty()) {
            error = "Invalid argument count";
            return nullptr;
        }
        if (l.target == "zero")
            return std::make_unique<zero_target>();
        return std::make_unique<error_target>();
    }
    if (l.target == "snapshot") {
        if (l.args.size() != 4) {
            error = "requires exactly 4 arguments";
            return nullptr;
        }
        std::string kind = l.args[2];
        std::transform(kind.begin(), kind.end(), kind.begin(), ::toupper);
        if (kind != "P" && kind != "N" && kind != "PO") {
            error = "Couldn't create exception store";
            return nullptr;
        }
        uint64_t chunk = 0;
        if (!parse_u64(l.args[3], chunk) || chunk == 0 || chunk > (1u << 16) || (chunk & (chunk - 1))) {
            error = "Invalid chunk size";
            return nullptr;
        }
        auto t = std::make_unique<snapshot_target>();
        t->origin = dev_ref::open(l.args[0], error);
        if (!t->origin)
            return nullptr;
        t->cow = dev_ref::open(l.args[1], error);
        if (!t->cow)
            return nullptr;
        t->origin_id = t->origin->major_minor();
        t->cow_id = t->cow->major_minor();
        t->cow_io_ = std::make_unique<ref_cow_io>(t->cow);
        t->store = std::make_unique<exception_store>(*t->cow_io_, uint32_t(chunk), kind != "N");
        std::lock_guard lk(snap_mutex);
        int sharing = 0;
        for (auto *s : snapshots)
            if (s->origin_id == t->origin_id && s->cow_id == t->cow_id)
                ++sharing;
        if (sharing >= 2) {
            error = "Snapshot cow pairing for exception table handover failed";
            return nullptr;
        }
        // A second snapshot on the same store takes the exceptions over from
        // the first when it resumes; it must not read the store itself.
        if (sharing == 1)
            t->handover_dest = true;
        else if (t->store->init(error) < 0)
            return nullptr;
        snapshots.push_back(t.get());
        return t;
    }
    error = "unknown target type";
    return nullptr;
}

} // namespace

// Targets are sorted and contiguous: the first one that ends after byte `off`.
std::vector<std::unique_ptr<target>>::const_iterator table::target_at(uint64_t off) const
{
    return std::upper_bound(targets.begin(), targets.end(), off, [](uint64_t o, const std::unique_ptr<target> &t) {
        return o < (t->start + t->length) * sector_size;
    });
}

int table::io(bool write, char *buf, size_t n, uint64_t off)
{
    auto it = target_at(off);
    while (n) {
        if (it == targets.end())
            return -EIO;
        target &t = **it;
        uint64_t tstart = t.start * sector_size, tend = (t.start + t.length) * sector_size;
        size_t piece = size_t(std::min<uint64_t>(n, tend - off));
        if (int r = t.io(write, buf, piece, off - tstart); r < 0)
            return r;
        buf += piece;
        off += piece;
        n -= piece;
        ++it;
    }
    return 0;
}

bool table::map(uint64_t off, size_t n, splice_source &out, int depth) const
{
    auto it = target_at(off);
    if (it == targets.end() || off + n > ((*it)->start + (*it)->length) * sector_size)
        return false;
    return (*it)->map(off - (*it)->start * sector_size, n, out, depth);
}

int table::flush()
{
    int res = 0;
    for (auto &t : targets)
        if (int r = t->flush(); r < 0)
            res = r;
    return res;
}

bool table::uses(const device *d, int depth) const
{
    // Stacks are shallow; the bound only guards against a cycle made
    // behind our back.
    if (depth > 64)
        return true;
    for (auto &t : targets)
        for (const dev_ref *r : t->refs()) {
            device *lower = r->internal_device();
            if (!lower)
                continue;
            if (lower == d)
                return true;
            std::shared_ptr<table> lt;
            {
                std::lock_guard lk(lower->m);
                lt = lower->live;
            }
            if (lt && lt->uses(d, depth + 1))
                return true;
        }
    return false;
}

std::shared_ptr<table> build_table(const std::string &text, std::string &error)
{
    std::vector<table_line> lines;
    if (!parse_table(text, lines, error))
        return nullptr;
    auto t = std::make_shared<table>();
    for (const auto &l : lines) {
        auto tg = make_target(l, error);
        if (!tg) {
            error = l.target + ": " + error;
            return nullptr;
        }
        tg->start = l.start;
        tg->length = l.length;
        t->targets.push_back(std::move(tg));
    }
    return t;
}

std::shared_ptr<table> error_table(uint64_t sectors)
{
    auto t = std::make_shared<table>();
    if (sectors) {
        auto e = std::make_unique<error_target>();
        e->start = 0;
        e->length = sectors;
        t->targets.push_back(std::move(e));
    }
    return t;
}

// ---------------------------------------------------------------- device

uint64_t device::size_bytes()
{
    std::lock_guard lk(m);
    return live ? live->sectors() * sector_size : 0;
}

int device::io(bool write, char *buf, size_t n, uint64_t off)
{
    std::shared_ptr<table> t;
    {
        std::unique_lock lk(m);
        cv.wait(lk, [&] { return !suspended || removed; });
        if (removed || !live)
            return -EIO;
        t = live;
        ++inflight;
    }
    int r = (off + n > t->sectors() * sector_size) ? -EIO : t->io(write, buf, n, off);
    {
        std::lock_guard lk(m);
        if (--inflight == 0)
            cv.notify_all();
    }
    return r;
}

bool device::map_to_file(uint64_t off, size_t n, splice_source &out, int depth)
{
    if (depth > 16) // tables that stack deeper are served by io
        return false;
    std::shared_ptr<table> t;
    {
        std::lock_guard lk(m);
        if (suspended || removed || !live)
            return false;
        t = live;
    }
    return off + n <= t->sectors() * sector_size && t->map(off, n, out, depth);
}

int device::flush()
{
    std::shared_ptr<table> t;
    {
        std::lock_guard lk(m);
        t = live;
    }
    return t ? t->flush() : 0;
}

std::shared_ptr<device> find_device(const std::string &name)
{
    std::lock_guard lk(reg_mutex);
    auto it = registry.find(name);
    return it == registry.end() ? nullptr : it->second;
}

std::shared_ptr<device> find_device_by_rdev(dev_t rdev)
{
    std::lock_guard lk(reg_mutex);
    for (auto &[n, d] : registry)
        if (d->loop_nr >= 0 && d->rdev == rdev)
            return d;
    return nullptr;
}

std::vector<std::shared_ptr<device>> all_devices()
{
    std::lock_guard lk(reg_mutex);
    std::vector<std::shared_ptr<device>> v;
    for (auto &[n, d] : registry)
        v.push_back(d);
    return v;
}

// ---------------------------------------------------------------- loop devices

namespace {

int attach_loop(const std::string &file, bool read_only, int &nr, std::string &error)
{
    unique_fd ffd(::open(file.c_str(), (read_only ? O_RDONLY : O_RDWR) | O_CLOEXEC));
    if (!ffd) {
        error = "cannot open " + file + ": " + errno_text(errno);
        return -errno;
    }
    unique_fd ctl(::open("/dev/loop-control", O_RDWR | O_CLOEXEC));
    if (!ctl) {
        error = std::string("cannot open /dev/loop-control: ") + errno_text(errno);
        return -errno;
    }
    // Other users of the machine take loop devices too: retry a lost race.
    for (int attempt = 0; attempt < 100; ++attempt) {
        int n = ::ioctl(ctl.get(), LOOP_CTL_GET_FREE);
        if (n < 0) {
            error = std::string("no free loop device: ") + errno_text(errno);
            return -errno;
        }
        unique_fd lfd = open_block(makedev(loop_major, unsigned(n)), O_RDWR);
        if (!lfd) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            continue;
        }
        loop_config cfg{};
        cfg.fd = uint32_t(ffd.get());
        cfg.block_size = 512;
        std::strncpy(reinterpret_cast<char *>(cfg.info.lo_file_name), file.c_str(), LO_NAME_SIZE - 1);
        // Direct I/O lets the loop device pass a whole request to the file
        // at once instead of one page at a time.
        uint32_t ro = read_only ? LO_FLAGS_READ_ONLY : 0;
        cfg.info.lo_flags = LO_FLAGS_DIRECT_IO | ro;
        if (::ioctl(lfd.get(), LOOP_CONFIGURE, &cfg) == 0) {
            nr = n;
            return 0;
        }
        if (errno == EINVAL) {
            cfg.info.lo_flags = ro;
            if (::ioctl(lfd.get(), LOOP_CONFIGURE, &cfg) == 0) {
                nr = n;
                return 0;
            }
        }
        if (errno != EBUSY) {
            error = std::string("LOOP_CONFIGURE: ") + errno_text(errno);
            return -errno;
        }
    }
    error = "no free loop device after 100 attempts";
    return -EBUSY;
}

void detach_loop(int nr)
{
    unique_fd lfd = open_block(makedev(loop_major, unsigned(nr)), O_RDONLY);
    if (lfd)
        (void)::ioctl(lfd.get(), LOOP_CLR_FD, 0);
}

// Makes the loop device see a new size of its file.
void refresh_loop_size(const std::shared_ptr<device> &d)
{
    struct stat st{};
    (void)::stat(file_path(d->name).c_str(), &st); // refreshes the cached size
    unique_fd lfd = open_block(d->rdev, O_RDONLY);
    if (lfd)
        (void)::ioctl(lfd.get(), LOOP_SET_CAPACITY, 0);
}

bool make_node(const std::string &name, dev_t rdev, std::string &error)
{
    ::mkdir("/dev/mapper", 0755);
    std::string p = dev_mapper(name);
    ::unlink(p.c_str());
    if (::mknod(p.c_str(), S_IFBLK | 0660, rdev) < 0) {
        error = "mknod " + p + ": " + errno_text(errno);
        return false;
    }
    return true;
}

struct openers {
    int fds = 0;    // descriptors of processes
    int mounts = 0; // mounts of the device
    int total() const { return fds + mounts; }
};

// Who holds the block device open.
openers count_openers(dev_t rdev)
{
    openers o;
    pid_t self = ::getpid();
    if (DIR *proc = ::opendir("/proc")) {
        while (dirent *pe = ::readdir(proc)) {
            char *end = nullptr;
            long pid = std::strtol(pe->d_name, &end, 10);
            if (*end || pid <= 0 || pid == self)
                continue;
            std::string fddir = std::string("/proc/") + pe->d_name + "/fd";
            DIR *fds = ::opendir(fddir.c_str());
            if (!fds)
                continue;
            while (dirent *fe = ::readdir(fds)) {
                if (fe->d_name[0] == '.')
                    continue;
                std::string link = fddir + "/" + fe->d_name;
                char target[256];
                ssize_t len = ::readlink(link.c_str(), target, sizeof target - 1);
                // Only device nodes matter; never stat files that may sit
                // on a hung file system.
                if (len < 5 || std::strncmp(target, "/dev/", 5) != 0)
                    continue;
                struct stat st{};
                if (::stat(link.c_str(), &st) == 0 && S_ISBLK(st.st_mode) && st.st_rdev == rdev)
                    ++o.fds;
            }
            ::closedir(fds);
        }
        ::closedir(proc);
    }
    std::ifstream mi("/proc/self/mountinfo");
    std::string line;
    std::string want = std::to_string(major(rdev)) + ":" + std::to_string(minor(rdev));
    while (std::getline(mi, line)) {
        std::istringstream ls(line);
        std::string id, parent, mm;
        ls >> id >> parent >> mm;
        if (mm == want)
            ++o.mounts;
    }
    return o;
}

int open_count(const std::shared_ptr<device> &d)
{
    return d->holders + (d->loop_nr >= 0 ? count_openers(d->rdev).total() : 0);
}

// Like open_count, but rides out short opens by other processes: device
// scans (LVM, blkid, udev) open every block device for a moment, and
// libdevmapper retries a removal for the same reason.
int settled_open_count(const std::shared_ptr<device> &d)
{
    for (int attempt = 0;; ++attempt) {
        if (d->holders > 0)
            return d->holders;
        openers o = d->loop_nr >= 0 ? count_openers(d->rdev) : openers{};
        if (o.total() == 0 || o.mounts > 0 || attempt >= 25)
            return o.total();
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
}

// ---------------------------------------------------------------- commands

struct options {
    bool force = false;
    bool readonly = false;
    bool inactive = false;
    bool notable = false;
    std::string uuid;
    std::vector<std::string> pos;
};

options parse_options(const std::vector<std::string> &args)
{
    options o;
    for (size_t i = 1; i < args.size(); ++i) {
        const auto &a = args[i];
        if (a == "--force")
            o.force = true;
        else if (a == "--readonly")
            o.readonly = true;
        else if (a == "--inactive")
            o.inactive = true;
        else if (a == "--notable")
            o.notable = true;
        else if (a.rfind("--uuid=", 0) == 0)
            o.uuid = a.substr(7);
        else
            o.pos.push_back(a);
    }
    return o;
}

struct result {
    dm_reply r;
    void out(const std::string &s) { r.out += s; }
    void err(const std::string &s) { r.err += s; }
    dm_reply ok()
    {
        r.rc = 0;
        return r;
    }
    dm_reply fail()
    {
        r.rc = 1;
        r.err += "Command failed.\n";
        return r;
    }
    dm_reply ioctl_fail(const char *op, const std::string &name, const std::string &uuid, int e)
    {
        err(std::string("device-mapper: ") + op + " ioctl on " + name + " " + uuid + " failed: " + errno_text(e) +
            "\n");
        return fail();
    }
};

// Accepts NAME, /dev/mapper/NAME or any node of the device.
std::shared_ptr<device> lookup(const std::string &arg)
{
    if (arg.rfind("/dev/mapper/", 0) == 0)
        return find_device(arg.substr(12));
    if (arg.find('/') != std::string::npos) {
        struct stat st{};
        if (::stat(arg.c_str(), &st) == 0 && S_ISBLK(st.st_mode))
            return find_device_by_rdev(st.st_rdev);
        return nullptr;
    }
    return find_device(arg);
}

std::string name_of(const std::string &arg)
{
    return arg.rfind("/dev/mapper/", 0) == 0 ? arg.substr(12) : arg;
}

std::string table_text(const std::shared_ptr<table> &t, bool status)
{
    std::string s;
    if (!t)
        return s;
    for (auto &tg : t->targets)
        s += format_line(tg->start, tg->length, tg->type(), status ? tg->status() : tg->params()) + "\n";
    return s;
}

void adopt(const std::shared_ptr<table> &t, device *owner)
{
    if (t)
        for (auto &tg : t->targets)
            tg->owner = owner;
}

// Loads `text` as the inactive table of `d`.
int load_table(const std::shared_ptr<device> &d, const std::string &text, std::string &error)
{
    auto t = build_table(text, error);
    if (!t)
        return -EINVAL;
    // A device on top of itself would recurse forever on its first I/O.
    if (t->uses(d.get())) {
        error = "table refers to the device itself";
        return -EINVAL;
    }
    adopt(t, d.get());
    std::lock_guard lk(d->m);
    d->inactive = std::move(t);
    return 0;
}

void suspend_device(const std::shared_ptr<device> &d)
{
    std::unique_lock lk(d->m);
    d->suspended = true;
    // In-flight I/O finishes first; new I/O waits for the resume.
    d->cv.wait(lk, [&] { return d->inflight == 0; });
}

// The kernel's resume: a new table is swapped in first (the device is
// suspended for that), then its targets' checks run; when one refuses, the
// device stays suspended with the new table live.
int resume_device(const std::shared_ptr<device> &d, std::string &error)
{
    uint64_t before = 0, after = 0;
    std::shared_ptr<table> old, live;
    bool swapped = false;
    {
        std::unique_lock lk(d->m);
        before = d->live ? d->live->sectors() : 0;
        if (d->inactive) {
            d->suspended = true;
            d->cv.wait(lk, [&] { return d->inflight == 0; });
            old = std::move(d->live);
            d->live = std::move(d->inactive);
            ++d->event_nr;
            swapped = true;
        }
        live = d->live;
        after = live ? live->sectors() : 0;
    }
    if (live) {
        for (auto &t : live->targets)
            if (int r = t->preresume(error); r < 0)
                return r;
        for (auto &t : live->targets)
            t->resume();
    }
    {
        std::lock_guard lk(d->m);
        d->suspended = false;
        d->cv.notify_all();
    }
    if (swapped && before != after && d->loop_nr >= 0)
        refresh_loop_size(d);
    return 0;
}

int remove_device(const std::shared_ptr<device> &d, bool force)
{
    if (settled_open_count(d) > 0) {
        if (!force)
            return -EBUSY;
        // As dmsetup does with --force: fail all I/O of a device that is
        // still in use.
        {
            std::lock_guard lk(d->m);
            d->inactive = error_table(d->live ? d->live->sectors() : 0);
        }
        std::string ignored;
        resume_device(d, ignored);
        if (settled_open_count(d) > 0)
            return -EBUSY;
    }
    {
        std::lock_guard lk(d->m);
        d->removed = true;
        d->suspended = false;
        d->cv.notify_all();
    }
    if (d->loop_nr >= 0)
        detach_loop(d->loop_nr);
    struct stat st{};
    std::string node = dev_mapper(d->name);
    if (::lstat(node.c_str(), &st) == 0 && S_ISBLK(st.st_mode) && st.st_rdev == d->rdev)
        ::unlink(node.c_str());
    std::shared_ptr<table> live, inactive;
    {
        std::lock_guard lk(d->m);
        live = std::move(d->live);
        inactive = std::move(d->inactive);
    }
    std::lock_guard lk(reg_mutex);
    registry.erase(d->name);
    return 0;
}

dm_reply cmd_create(const dm_request &req, const options &o)
{
    result res;
    if (o.pos.size() < 1 || o.pos.size() > 2) {
        res.err("Usage: create <dev_name> [<table_file>]\n");
        return res.fail();
    }
    std::string name = o.pos[0];
    if (!valid_name(name)) {
        res.err("Invalid device name: " + name + "\n");
        return res.fail();
    }
    if (find_device(name))
        return res.ioctl_fail("create", name, o.uuid, EBUSY);
    std::shared_ptr<table> t;
    if (!o.notable) {
        std::string error;
        t = build_table(req.input, error);
        if (!t) {
            res.err("device-mapper: reload ioctl on " + name + " " + o.uuid + " failed: Invalid argument (" + error +
                    ")\n");
            return res.fail();
        }
    }
    auto d = std::make_shared<device>();
    d->name = name;
    d->uuid = o.uuid;
    d->read_only = o.readonly;
    adopt(t, d.get());
    if (t) {
        std::string error;
        for (auto &tg : t->targets)
            if (int r = tg->preresume(error); r < 0) {
                res.err("device-mapper: " + error + "\n");
                return res.ioctl_fail("resume", name, o.uuid, -r);
            }
    }
    d->live = t;
    {
        std::lock_guard lk(reg_mutex);
        registry[name] = d;
    }
    std::string error;
    int nr = -1;
    if (int r = attach_loop(file_path(name), o.readonly, nr, error); r < 0) {
        std::lock_guard lk(reg_mutex);
        registry.erase(name);
        res.err("device-mapper: create ioctl on " + name + " " + o.uuid + " failed: " + error + "\n");
        return res.fail();
    }
    d->loop_nr = nr;
    d->rdev = makedev(loop_major, unsigned(nr));
    if (!make_node(name, d->rdev, error)) {
        remove_device(d, true);
        res.err(error + "\n");
        return res.fail();
    }
    if (t)
        for (auto &tg : t->targets)
            tg->resume();
    return res.ok();
}

dm_reply cmd_load(const dm_request &req, const options &o)
{
    result res;
    if (o.pos.size() < 1 || o.pos.size() > 2) {
        res.err("Usage: load <dev_name> [<table_file>]\n");
        return res.fail();
    }
    auto d = lookup(o.pos[0]);
    if (!d)
        return res.ioctl_fail("reload", name_of(o.pos[0]), "", ENXIO);
    std::string error;
    if (load_table(d, req.input, error) < 0) {
        res.err("device-mapper: reload ioctl on " + d->name + " " + d->uuid + " failed: Invalid argument (" + error +
                ")\n");
        return res.fail();
    }
    return res.ok();
}

dm_reply cmd_suspend_resume(const options &o, bool suspend)
{
    result res;
    if (o.pos.empty()) {
        res.err(std::string("Usage: ") + (suspend ? "suspend" : "resume") + " <dev_name>\n");
        return res.fail();
    }
    for (const auto &arg : o.pos) {
        auto d = lookup(arg);
        if (!d)
            return res.ioctl_fail(suspend ? "suspend" : "resume", name_of(arg), "", ENXIO);
        if (suspend) {
            suspend_device(d);
            continue;
        }
        std::string error;
        if (int r = resume_device(d, error); r < 0) {
            if (!error.empty())
                res.err("device-mapper: " + error + "\n");
            return res.ioctl_fail("resume", d->name, d->uuid, -r);
        }
    }
    return res.ok();
}

dm_reply cmd_remove(const options &o)
{
    result res;
    if (o.pos.empty()) {
        res.err("Usage: remove [-f] <dev_name>\n");
        return res.fail();
    }
    bool failed = false;
    for (const auto &arg : o.pos) {
        auto d = lookup(arg);
        if (!d) {
            res.err("device-mapper: remove ioctl on " + name_of(arg) + "  failed: " + errno_text(ENXIO) + "\n");
            failed = true;
            continue;
        }
        if (int r = remove_device(d, o.force); r < 0) {
            res.err("device-mapper: remove ioctl on " + d->name + " " + d->uuid + " failed: " + errno_text(-r) +
                    "\n");
            failed = true;
        }
    }
    return failed ? res.fail() : res.ok();
}

// Removes devices that nothing uses, repeatedly, so that stacks come apart
// from the top; with force, what stays in use is switched to error tables.
void remove_all(bool force)
{
    for (;;) {
        bool progress = false;
        for (auto &d : all_devices())
            if (d->holders == 0 && remove_device(d, false) == 0)
                progress = true;
        if (!progress)
            break;
    }
    if (force)
        for (auto &d : all_devices())
            (void)remove_device(d, true);
}

dm_reply cmd_ls()
{
    result res;
    auto devs = all_devices();
    if (devs.empty()) {
        res.out("No devices found\n");
        return res.ok();
    }
    size_t w = 0;
    for (auto &d : devs)
        w = std::max(w, d->name.size());
    for (auto &d : devs) {
        std::string n = d->name;
        n.resize(w, ' ');
        res.out(n + "\t(" + std::to_string(major(d->rdev)) + ":" + std::to_string(minor(d->rdev)) + ")\n");
    }
    return res.ok();
}

std::string info_text(const std::shared_ptr<device> &d)
{
    bool susp, has_live, has_inactive;
    size_t targets;
    {
        std::lock_guard lk(d->m);
        susp = d->suspended;
        has_live = bool(d->live);
        has_inactive = bool(d->inactive);
        targets = d->live ? d->live->targets.size() : 0;
    }
    std::string tables = !has_live && !has_inactive ? "None"
                                                    : std::string(has_live ? "LIVE" : "") +
                                                          (has_live && has_inactive ? " & " : "") +
                                                          (has_inactive ? "INACTIVE" : "");
    std::string s;
    s += "Name:              " + d->name + "\n";
    s += std::string("State:             ") + (susp ? "SUSPENDED" : "ACTIVE") + (d->read_only ? " (READ-ONLY)" : "") +
         "\n";
    s += "Read Ahead:        256\n";
    s += "Tables present:    " + tables + "\n";
    s += "Open count:        " + std::to_string(open_count(d)) + "\n";
    s += "Event number:      " + std::to_string(d->event_nr.load()) + "\n";
    s += "Major, minor:      " + std::to_string(major(d->rdev)) + ", " + std::to_string(minor(d->rdev)) + "\n";
    s += "Number of targets: " + std::to_string(targets) + "\n";
    if (!d->uuid.empty())
        s += "UUID: " + d->uuid + "\n";
    s += "\n";
    return s;
}

dm_reply cmd_info(const options &o)
{
    result res;
    if (o.pos.empty()) {
        auto devs = all_devices();
        if (devs.empty())
            res.out("No devices found\n");
        for (auto &d : devs)
            res.out(info_text(d));
        return res.ok();
    }
    for (const auto &arg : o.pos) {
        auto d = lookup(arg);
        if (!d) {
            res.out("Device does not exist.\n");
            return res.fail();
        }
        res.out(info_text(d));
    }
    return res.ok();
}

dm_reply cmd_table(const options &o, bool status)
{
    result res;
    auto text_of = [&](const std::shared_ptr<device> &d) {
        std::lock_guard lk(d->m);
        return table_text(o.inactive ? d->inactive : d->live, status);
    };
    if (o.pos.empty()) {
        auto devs = all_devices();
        if (devs.empty())
            res.out("No devices found\n");
        for (auto &d : devs) {
            std::istringstream in(text_of(d));
            std::string line;
            while (std::getline(in, line))
                res.out(d->name + ": " + line + "\n");
        }
        return res.ok();
    }
    for (const auto &arg : o.pos) {
        auto d = lookup(arg);
        if (!d) {
            res.err("Device does not exist.\n");
            return res.fail();
        }
        res.out(text_of(d));
    }
    return res.ok();
}

// Tells whether "/dev/mapper/NAME" of a device still leads to it.
dm_reply cmd_mknodes()
{
    result res;
    std::string error;
    for (auto &d : all_devices()) {
        if (d->loop_nr < 0)
            continue;
        struct stat st{};
        if (::stat(dev_mapper(d->name).c_str(), &st) == 0 && S_ISBLK(st.st_mode) && st.st_rdev == d->rdev)
            continue;
        if (!make_node(d->name, d->rdev, error))
            res.err(error + "\n");
    }
    return res.ok();
}

// Tells the LVM tools which devices to leave out of their scan: the suspended
// ones, and those `about_to_suspend`. Only in a sandbox that names the file.
void publish_lvm_filter(const std::vector<std::shared_ptr<device>> &about_to_suspend = {})
{
    const char *conf = std::getenv("RFS_DM_LVM_CONF");
    if (!conf || !*conf)
        return;
    std::vector<lvm_hidden_dev> hidden;
    for (const auto &d : all_devices()) {
        bool suspended = false;
        {
            std::lock_guard lk(d->m);
            suspended = d->suspended && !d->removed;
        }
        if (suspended || std::find(about_to_suspend.begin(), about_to_suspend.end(), d) != about_to_suspend.end())
            hidden.push_back({d->name, d->loop_nr});
    }
    if (!lvm_filter_write(conf, hidden))
        fprintf(stderr, "rfs-dmd: cannot write %s: %s\n", conf, errno_text(errno).c_str());
}

dm_reply dispatch(const dm_request &req, const std::string &cmd, const options &o)
{
    result res;
    if (cmd == "create")
        return cmd_create(req, o);
    if (cmd == "load" || cmd == "reload")
        return cmd_load(req, o);
    if (cmd == "suspend")
        return cmd_suspend_resume(o, true);
    if (cmd == "resume")
        return cmd_suspend_resume(o, false);
    if (cmd == "remove")
        return cmd_remove(o);
    if (cmd == "remove_all") {
        remove_all(o.force);
        return res.ok();
    }
    if (cmd == "ls")
        return cmd_ls();
    if (cmd == "info")
        return cmd_info(o);
    if (cmd == "table")
        return cmd_table(o, false);
    if (cmd == "status")
        return cmd_table(o, true);
    if (cmd == "mknodes")
        return cmd_mknodes();
    if (cmd == "clear") {
        for (const auto &arg : o.pos)
            if (auto d = lookup(arg)) {
                std::lock_guard dl(d->m);
                d->inactive.reset();
            }
        return res.ok();
    }
    res.err("Unknown command: " + cmd + "\n");
    return res.fail();
}

} // namespace

dm_reply run_command(const dm_request &req)
{
    if (req.args.empty()) {
        result res;
        res.err("No command given\n");
        return res.fail();
    }
    std::lock_guard lk(ctl_mutex);
    const std::string &cmd = req.args[0];
    options o = parse_options(req.args);
    // Hidden before the first I/O can wait on the device, so that no LVM
    // command that starts from now on blocks on it.
    if (cmd == "suspend") {
        std::vector<std::shared_ptr<device>> to_suspend;
        for (const auto &arg : o.pos)
            if (auto d = lookup(arg))
                to_suspend.push_back(std::move(d));
        publish_lvm_filter(to_suspend);
    }
    dm_reply reply = dispatch(req, cmd, o);
    if (cmd == "suspend" || cmd == "resume" || cmd == "remove" || cmd == "remove_all")
        publish_lvm_filter();
    return reply;
}

void remove_all_devices()
{
    std::lock_guard lk(ctl_mutex);
    remove_all(true);
    publish_lvm_filter();
}

void discover_dead_devices()
{
    DIR *dir = ::opendir("/dev/mapper");
    if (!dir)
        return;
    std::string prefix = mount_dir() + "/";
    while (dirent *e = ::readdir(dir)) {
        std::string name = e->d_name;
        struct stat st{};
        if (!valid_name(name) || ::lstat(dev_mapper(name).c_str(), &st) < 0 || !S_ISBLK(st.st_mode) ||
            major(st.st_rdev) != loop_major)
            continue;
        std::ifstream bf("/sys/block/loop" + std::to_string(minor(st.st_rdev)) + "/loop/backing_file");
        std::string backing;
        std::getline(bf, backing);
        if (backing.rfind(prefix, 0) != 0)
            continue;
        auto d = std::make_shared<device>();
        d->name = name;
        d->loop_nr = int(minor(st.st_rdev));
        d->rdev = st.st_rdev;
        d->dead = true;
        std::lock_guard lk(reg_mutex);
        registry[name] = d;
    }
    ::closedir(dir);
}

} // namespace rfsdm
