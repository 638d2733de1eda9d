#include "snapshot_store.hpp"

#include <cerrno>
#include <cstring>

namespace rfsdm {

exception_store::exception_store(cow_io &cow, uint32_t chunk_sectors, bool persistent)
    : cow_(cow), chunk_sectors_(chunk_sectors), persistent_(persistent)
{
}

int exception_store::write_header()
{
    std::vector<char> chunk(chunk_bytes(), 0);
    snap_disk_header h{snap_magic, valid_ ? 1u : 0u, snap_disk_version, chunk_sectors_};
    std::memcpy(chunk.data(), &h, sizeof h);
    return cow_.write(chunk.data(), chunk.size(), 0);
}

int exception_store::zero_area(uint64_t area)
{
    std::vector<char> zeros(chunk_bytes(), 0);
    return cow_.write(zeros.data(), zeros.size(), area_location(area) * chunk_bytes());
}

int exception_store::write_area()
{
    return cow_.write(area_.data(), chunk_bytes(), area_location(current_area_) * chunk_bytes());
}

void exception_store::skip_metadata()
{
    uint64_t stride = exceptions_per_area() + 1;
    if (next_free_ % stride == snap_header_chunks)
        ++next_free_;
}

int exception_store::read_exceptions(std::string &error)
{
    // A store cannot describe more areas than the device holds; that bounds
    // the loop even when the terminating entry is missing.
    uint64_t max_area = cow_.size_bytes() / chunk_bytes();
    for (uint64_t area = 0;; ++area) {
        if (area_location(area) >= max_area) {
            current_area_ = area;
            current_committed_ = 0;
            area_.assign(exceptions_per_area(), snap_disk_exception{0, 0});
            return 0;
        }
        area_.assign(exceptions_per_area(), snap_disk_exception{0, 0});
        int r = cow_.read(area_.data(), chunk_bytes(), area_location(area) * chunk_bytes());
        if (r < 0) {
            error = "Unable to read snapshot metadata";
            return r;
        }
        for (uint64_t i = 0; i < exceptions_per_area(); ++i) {
            const auto &e = area_[i];
            if (e.new_chunk == 0) {
                current_area_ = area;
                current_committed_ = i;
                return 0;
            }
            if (e.new_chunk * chunk_bytes() >= cow_.size_bytes()) {
                error = "Invalid or corrupt snapshot: exception beyond the end of the store";
                return -EINVAL;
            }
            map_[e.old_chunk] = e.new_chunk;
            if (e.new_chunk + 1 > next_free_)
                next_free_ = e.new_chunk + 1;
        }
    }
}

int exception_store::init(std::string &error)
{
    uint32_t cs = chunk_sectors_;
    if (cs == 0 || (cs & (cs - 1)) != 0 || cs > (1u << 16)) {
        error = "Invalid chunk size";
        return -EINVAL;
    }
    if (!persistent_) {
        next_free_ = 0;
        return 0;
    }
    if (cow_.size_bytes() < 2 * chunk_bytes()) {
        error = "Snapshot store is too small";
        return -EINVAL;
    }
    snap_disk_header h{};
    if (int r = cow_.read(&h, sizeof h, 0); r < 0) {
        error = "Unable to read snapshot header";
        return r;
    }
    next_free_ = snap_header_chunks + 1;
    if (h.magic == 0) {
        // A blank device: a new store.
        valid_ = true;
        current_area_ = 0;
        current_committed_ = 0;
        area_.assign(exceptions_per_area(), snap_disk_exception{0, 0});
        if (int r = zero_area(0); r < 0)
            return r;
        return write_header();
    }
    if (h.magic != snap_magic) {
        error = "Invalid or corrupt snapshot";
        return -EINVAL;
    }
    if (h.version != snap_disk_version) {
        error = "Unable to handle snapshot disk version " + std::to_string(h.version);
        return -EINVAL;
    }
    // The store's own chunk size wins over the table's, as in the kernel.
    if (h.chunk_size != chunk_sectors_) {
        uint32_t hc = h.chunk_size;
        if (hc == 0 || (hc & (hc - 1)) != 0 || hc > (1u << 16)) {
            error = "Invalid or corrupt snapshot: bad chunk size";
            return -EINVAL;
        }
        chunk_sectors_ = hc;
    }
    valid_ = h.valid != 0;
    if (!valid_)
        return 0;
    if (int r = read_exceptions(error); r < 0)
        return r;
    skip_metadata();
    return 0;
}

std::optional<uint64_t> exception_store::lookup(uint64_t old_chunk) const
{
    auto it = map_.find(old_chunk);
    if (it == map_.end())
        return std::nullopt;
    return it->second;
}

int exception_store::allocate(uint64_t &new_chunk)
{
    uint64_t size_sectors = cow_.size_bytes() / 512;
    if (size_sectors < (next_free_ + 1) * chunk_sectors_)
        return -ENOSPC;
    new_chunk = next_free_++;
    if (persistent_)
        skip_metadata();
    return 0;
}

int exception_store::commit(uint64_t old_chunk, uint64_t new_chunk)
{
    map_[old_chunk] = new_chunk;
    if (!persistent_)
        return 0;
    area_[current_committed_] = snap_disk_exception{old_chunk, new_chunk};
    if (int r = write_area(); r < 0)
        return r;
    if (++current_committed_ == exceptions_per_area()) {
        current_committed_ = 0;
        ++current_area_;
        area_.assign(exceptions_per_area(), snap_disk_exception{0, 0});
        if (area_location(current_area_) * chunk_bytes() < cow_.size_bytes())
            return zero_area(current_area_);
    }
    return 0;
}

void exception_store::invalidate()
{
    valid_ = false;
    if (persistent_)
        (void)write_header();
}

uint64_t exception_store::allocated_sectors() const
{
    return next_free_ * chunk_sectors_;
}

uint64_t exception_store::metadata_sectors() const
{
    if (!persistent_)
        return 0;
    return (snap_header_chunks + current_area_ + 1) * chunk_sectors_;
}

} // namespace rfsdm
