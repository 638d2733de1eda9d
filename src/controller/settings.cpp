// The settings record: an immutable snapshot behind one atomic pointer, so
// that the controller thread can replace it while FUSE and eviction threads
// read it without a lock.

#include "controller/settings.hpp"

#include <atomic>

namespace
{

using snapshot_t = std::shared_ptr<const reg_settings_t>;

std::atomic<snapshot_t> &current()
{
    // A function-local object: readers in static initialisers of other
    // modules find the defaults too.
    static std::atomic<snapshot_t> settings{std::make_shared<const reg_settings_t>()};
    return settings;
}

} // namespace

std::shared_ptr<const reg_settings_t> get_reg_settings()
{
    return current().load(std::memory_order_acquire);
}

void reg_settings_publish(const reg_settings_t &settings)
{
    current().store(std::make_shared<const reg_settings_t>(settings), std::memory_order_release);
}

void reg_settings_update(const std::function<void(reg_settings_t &)> &change)
{
    snapshot_t seen = current().load(std::memory_order_acquire);
    for (;;) {
        auto next = std::make_shared<reg_settings_t>(*seen);
        change(*next);
        if (current().compare_exchange_weak(seen, std::move(next), std::memory_order_acq_rel,
                                            std::memory_order_acquire))
            return;
    }
}
