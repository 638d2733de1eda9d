#include "partitions.hpp"

#include <array>
#include <cstring>
#include <memory>

namespace rfsdm {

uint32_t crc32_le(const uint8_t *data, size_t n)
{
    static const auto table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xedb88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    uint32_t crc = 0xffffffffu;
    for (size_t i = 0; i < n; ++i)
        crc = table[(crc ^ data[i]) & 0xff] ^ (crc >> 8);
    return crc ^ 0xffffffffu;
}

bool is_dos_extended(uint8_t t) { return t == 0x05 || t == 0x0f || t == 0x85; }

namespace {

bool read_sector(const sector_reader &read, uint64_t lba, std::array<uint8_t, 512> &buf)
{
    return read(lba, 1, buf.data());
}

bool has_boot_signature(const std::array<uint8_t, 512> &b) { return b[510] == 0x55 && b[511] == 0xaa; }

dos_partition entry_at(const std::array<uint8_t, 512> &b, int i)
{
    dos_partition p;
    std::memcpy(&p, b.data() + mbr_table_offset + i * sizeof(dos_partition), sizeof p);
    return p;
}

// Follows the chain of extended boot records. Logical partitions are
// numbered from 5 in chain order; each record's start is relative to the
// record, each link relative to the start of the extended partition.
void read_logical(const sector_reader &read, uint64_t ext_start, std::vector<slice> &out)
{
    uint64_t here = ext_start;
    unsigned number = 5;
    for (unsigned hops = 0; hops < max_logical; ++hops) {
        std::array<uint8_t, 512> b{};
        if (!read_sector(read, here, b) || !has_boot_signature(b))
            return;
        for (int i = 0; i < 2; ++i) {
            auto p = entry_at(b, i);
            if (p.nr_sects == 0 || is_dos_extended(p.sys_type))
                continue;
            out.push_back(slice{number++, here + p.start_sect, p.nr_sects, false});
        }
        bool more = false;
        for (int i = 0; i < 2; ++i) {
            auto p = entry_at(b, i);
            if (p.nr_sects != 0 && is_dos_extended(p.sys_type)) {
                uint64_t next = ext_start + p.start_sect;
                if (next == here)
                    return;
                here = next;
                more = true;
                break;
            }
        }
        if (!more)
            return;
    }
}

bool valid_gpt_header(const sector_reader &read, uint64_t lba, uint64_t disk_sectors, gpt_header &h,
                      std::vector<gpt_entry> &entries)
{
    std::array<uint8_t, 512> b{};
    if (!read_sector(read, lba, b))
        return false;
    std::memcpy(&h, b.data(), sizeof h);
    if (std::memcmp(h.signature, "EFI PART", 8) != 0)
        return false;
    if (h.header_size < sizeof(gpt_header) || h.header_size > 512 || h.my_lba != lba)
        return false;
    std::array<uint8_t, 512> copy = b;
    std::memset(copy.data() + offsetof(gpt_header, header_crc32), 0, 4);
    if (crc32_le(copy.data(), h.header_size) != h.header_crc32)
        return false;
    if (h.sizeof_partition_entry < sizeof(gpt_entry) || h.sizeof_partition_entry > 4096 ||
        h.sizeof_partition_entry % 8 != 0 || h.num_partition_entries > gpt_max_entries)
        return false;
    uint64_t bytes = uint64_t(h.num_partition_entries) * h.sizeof_partition_entry;
    uint64_t sectors = (bytes + 511) / 512;
    if (h.partition_entry_lba + sectors > disk_sectors)
        return false;
    std::vector<uint8_t> raw(sectors * 512);
    if (sectors && !read(h.partition_entry_lba, sectors, raw.data()))
        return false;
    if (crc32_le(raw.data(), bytes) != h.partition_entry_array_crc32)
        return false;
    entries.resize(h.num_partition_entries);
    for (uint32_t i = 0; i < h.num_partition_entries; ++i)
        std::memcpy(&entries[i], raw.data() + uint64_t(i) * h.sizeof_partition_entry, sizeof(gpt_entry));
    return true;
}

bool zero_guid(const uint8_t *g)
{
    for (int i = 0; i < 16; ++i)
        if (g[i])
            return false;
    return true;
}

} // namespace

bool read_gpt(const sector_reader &read, uint64_t disk_sectors, std::vector<slice> &out)
{
    if (disk_sectors < 3)
        return false;
    gpt_header h{};
    std::vector<gpt_entry> entries;
    // The backup header at the last sector stands in for a damaged primary.
    if (!valid_gpt_header(read, 1, disk_sectors, h, entries) &&
        !valid_gpt_header(read, disk_sectors - 1, disk_sectors, h, entries))
        return false;
    for (uint32_t i = 0; i < entries.size(); ++i) {
        const auto &e = entries[i];
        if (zero_guid(e.type_guid) || e.ending_lba < e.starting_lba)
            continue;
        out.push_back(slice{i + 1, e.starting_lba, e.ending_lba - e.starting_lba + 1, false});
    }
    return true;
}

bool read_dos(const sector_reader &read, std::vector<slice> &out)
{
    std::array<uint8_t, 512> b{};
    if (!read_sector(read, 0, b) || !has_boot_signature(b))
        return false;
    for (int i = 0; i < 4; ++i)
        if (entry_at(b, i).sys_type == dos_type_gpt_protective)
            return false;
    std::vector<uint64_t> extended;
    for (int i = 0; i < 4; ++i) {
        auto p = entry_at(b, i);
        if (p.nr_sects == 0)
            continue;
        if (is_dos_extended(p.sys_type)) {
            // Only the first 1 KiB of an extended partition is mapped, room
            // for a boot loader, as kpartx does.
            out.push_back(slice{unsigned(i + 1), p.start_sect, 2, true});
            extended.push_back(p.start_sect);
            continue;
        }
        out.push_back(slice{unsigned(i + 1), p.start_sect, p.nr_sects, false});
    }
    // Only the first extended partition holds logical partitions.
    if (!extended.empty())
        read_logical(read, extended.front(), out);
    return true;
}

std::vector<slice> read_partitions(const sector_reader &read, uint64_t disk_sectors)
{
    std::vector<slice> out;
    if (read_gpt(read, disk_sectors, out))
        return out;
    out.clear();
    read_dos(read, out);
    return out;
}

} // namespace rfsdm
