#pragma once
// Partition tables as kpartx reads them: DOS (MBR with primary, extended and
// logical partitions) and GPT. Pure logic over a sector reader, so that it
// runs on any device or on a buffer in tests.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace rfsdm {

// Reads `count` 512-byte sectors at `lba` into `buf`; false on failure
// (for instance past the end of the device).
using sector_reader = std::function<bool(uint64_t lba, size_t count, uint8_t *buf)>;

struct slice {
    unsigned number = 0; // partition number, from 1
    uint64_t start = 0;  // sectors from the start of the disk
    uint64_t size = 0;   // sectors
    bool extended = false; // DOS extended partition: only its first 1 KiB is mapped
};

#pragma pack(push, 1)
struct dos_partition {
    uint8_t boot_ind;
    uint8_t head;
    uint8_t sector;
    uint8_t cyl;
    uint8_t sys_type;
    uint8_t end_head;
    uint8_t end_sector;
    uint8_t end_cyl;
    uint32_t start_sect;
    uint32_t nr_sects;
};
struct gpt_header {
    char signature[8]; // "EFI PART"
    uint32_t revision;
    uint32_t header_size;
    uint32_t header_crc32;
    uint32_t reserved;
    uint64_t my_lba;
    uint64_t alternate_lba;
    uint64_t first_usable_lba;
    uint64_t last_usable_lba;
    uint8_t disk_guid[16];
    uint64_t partition_entry_lba;
    uint32_t num_partition_entries;
    uint32_t sizeof_partition_entry;
    uint32_t partition_entry_array_crc32;
};
struct gpt_entry {
    uint8_t type_guid[16];
    uint8_t unique_guid[16];
    uint64_t starting_lba;
    uint64_t ending_lba;
    uint64_t attributes;
    uint16_t name[36];
};
#pragma pack(pop)
static_assert(sizeof(dos_partition) == 16);
static_assert(offsetof(dos_partition, start_sect) == 8);
static_assert(sizeof(gpt_header) == 92);
static_assert(offsetof(gpt_header, partition_entry_lba) == 72);
static_assert(offsetof(gpt_header, partition_entry_array_crc32) == 88);
static_assert(sizeof(gpt_entry) == 128);
static_assert(offsetof(gpt_entry, starting_lba) == 32);

inline constexpr size_t mbr_table_offset = 0x1be;
inline constexpr uint8_t dos_type_gpt_protective = 0xee;
// A GPT with more entries than this is not one that any tool writes; the cap
// keeps a hostile header from asking for a huge allocation.
inline constexpr uint32_t gpt_max_entries = 1024;
// Logical partitions are a linked list on disk; a loop must end.
inline constexpr unsigned max_logical = 128;

uint32_t crc32_le(const uint8_t *data, size_t n);

bool is_dos_extended(uint8_t sys_type);

// Each returns true when its kind of table is present, with the non-empty
// partitions in `out`.
bool read_gpt(const sector_reader &read, uint64_t disk_sectors, std::vector<slice> &out);
bool read_dos(const sector_reader &read, std::vector<slice> &out);

// GPT first (a protective MBR also looks like a DOS table), then DOS.
std::vector<slice> read_partitions(const sector_reader &read, uint64_t disk_sectors);

} // namespace rfsdm
