#pragma once
// The master boot record in sector 0 of a disk and positioned sector reads.

#include "common/errdesc.hpp"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <sys/types.h>

static_assert(std::endian::native == std::endian::little,
              "on-disk records are little-endian and read in place");

inline constexpr uint16_t MBR_SIGNATURE = 0xAA55;

#pragma pack(push, 1)
struct chs_t {
    uint8_t head;
    uint8_t sector_n_cylinder;
    uint8_t cylinder;
};

struct part_table_entry_t {
    uint8_t status;
    chs_t first_sector_chs;
    uint8_t type; // 0: unused entry
    chs_t last_sector_chs;
    uint32_t first_sector_lba;
    uint32_t number_of_sectors;
};

struct mbr_t {
    uint8_t code[440];
    uint32_t disk_signature;
    uint16_t unused;
    part_table_entry_t part_entry[4];
    uint16_t mbr_signature;
};
#pragma pack(pop)

static_assert(sizeof(chs_t) == 3);
static_assert(sizeof(part_table_entry_t) == 16);
static_assert(offsetof(part_table_entry_t, type) == 4);
static_assert(offsetof(part_table_entry_t, first_sector_lba) == 8);
static_assert(offsetof(part_table_entry_t, number_of_sectors) == 12);
static_assert(sizeof(mbr_t) == 512);
static_assert(offsetof(mbr_t, disk_signature) == 440);
static_assert(offsetof(mbr_t, part_entry) == 446);
static_assert(offsetof(mbr_t, mbr_signature) == 510);

// Reads up to `*length` bytes at `byte_offset`; at end of file `*length`
// becomes the count read and the call still succeeds.
errdesc_t *read_sector(int fd, off_t byte_offset, size_t *length, void *buffer);

// Zeroes `mbr` and reads sector 0; a short disk fails with ENODATA.
errdesc_t *read_mbr(int fd, mbr_t *mbr);
bool is_valid_mbr(const mbr_t *mbr);
