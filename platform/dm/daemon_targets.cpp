#include "daemon.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <shared_mutex>

namespace rfsdm
{

// ---------------------------------------------------------------- targets

namespace
{

struct linear_target final : target {
    std::unique_ptr<dev_ref> dev;
    uint64_t offset = 0; // sectors
    const char *type() const override { return "linear"; }
    std::string params() const override
    {
        return dev->major_minor() + " " + std::to_string(offset);
    }
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
    int read(void *buf, size_t n, uint64_t off) override
    {
        return dev->io(false, static_cast<char *>(buf), n, off);
    }
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
    bool active = false;            // has been resumed
    bool handover_dest = false;     // waits for the exceptions of its source
    bool handed_over = false;       // a source whose exceptions went away
    mutable std::shared_mutex lock; // exclusive while a chunk is copied

    ~snapshot_target() override
    {
        std::lock_guard lk(snap_mutex);
        std::erase(snapshots, this);
    }

    const char *type() const override { return "snapshot"; }
    std::string params() const override
    {
        return origin_id + " " + cow_id + (store->persistent() ? " P " : " N ") +
               std::to_string(store->chunk_sectors());
    }
    std::string status() const override
    {
        std::shared_lock lk(lock);
        if (!usable())
            return "Invalid";
        return std::to_string(store->allocated_sectors()) + "/" +
               std::to_string(store->total_sectors()) + " " +
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
            if (int r = origin->io(false, data.data(), std::min<uint64_t>(cb, avail), origin_off);
                r < 0)
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
            int r = write ? write_chunk_piece(buf, piece, chunk, within)
                          : read_chunk_piece(buf, piece, chunk, within);
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
        if (!parse_u64(l.args[3], chunk) || chunk == 0 || chunk > (1u << 16) ||
            (chunk & (chunk - 1))) {
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
    return std::upper_bound(targets.begin(), targets.end(), off,
                            [](uint64_t o, const std::unique_ptr<target> &t) {
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

} // namespace rfsdm
