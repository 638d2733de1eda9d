// The settings record: an immutable snapshot behind one shared pointer. The
// pointer is copied and replaced under a mutex held for nothing else, so
// that the controller thread can replace the record while FUSE and eviction
// threads read theirs. (std::atomic<std::shared_ptr> would do the same, but
// gcc 12's implementation is opaque to ThreadSanitizer.)

#include "controller/settings.hpp"

#include <mutex>

namespace
{

using snapshot_t = std::shared_ptr<const reg_settings_t>;

struct published_t {
    std::mutex lock;
    snapshot_t current = std::make_shared<const reg_settings_t>();
};

published_t &published()
{
    // A function-local object: readers in static initialisers of other
    // modules find the defaults too.
    static published_t p;
    return p;
}

// Makes `next` current if the current record is still `seen`.
bool replace_if(const snapshot_t &seen, snapshot_t &next)
{
    published_t &p = published();
    std::lock_guard<std::mutex> guard(p.lock);
    if (p.current != seen)
        return false;
    p.current.swap(next); // the old record is released outside the lock
    return true;
}

} // namespace

std::shared_ptr<const reg_settings_t> get_reg_settings()
{
    published_t &p = published();
    std::lock_guard<std::mutex> guard(p.lock);
    return p.current;
}

void reg_settings_publish(const reg_settings_t &settings)
{
    snapshot_t next = std::make_shared<const reg_settings_t>(settings);
    published_t &p = published();
    std::lock_guard<std::mutex> guard(p.lock);
    p.current.swap(next);
}

void reg_settings_update(const std::function<void(reg_settings_t &)> &change)
{
    // `change` runs without the lock: it may read the settings itself.
    for (;;) {
        snapshot_t seen = get_reg_settings();
        auto changed = std::make_shared<reg_settings_t>(*seen);
        change(*changed);
        snapshot_t next = std::move(changed);
        if (replace_if(seen, next))
            return;
    }
}
