#pragma once
// Change-block files ("-tolcbt.vmdk"): the blocks of a flat disk that changed
// after its base flat file was written, with the list of where they belong.
// The merged device shows the disk's current content: the flat file and the
// change-block file on read-only loop devices, joined by a device-mapper
// table of linear targets.

#include "common/errdesc.hpp"
#include "mounter/dm_names.hpp"
#include "mounter/owners.hpp"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

static_assert(std::endian::native == std::endian::little,
              "change-block files are little-endian and read in place");

inline constexpr uint32_t CBT_MAGIC_HEADER = 0xCBCB1111;
inline constexpr uint32_t CBT_MAGIC_EXTENT_MORE = 0xCBCB4444; // more entries follow
inline constexpr uint32_t CBT_MAGIC_EXTENT_LAST = 0xCBCB5555; // the last entry, itself a range

// Table files are named after their merged device, with this suffix, in this
// directory.
inline constexpr const char *CBT_TABLE_DIR = "/tmp";
inline constexpr const char *CBT_TABLE_SUFFIX = "dm_table_merge";
inline constexpr const char *CBT_DM_PREFIX = MERGED_DM_PREFIX; // the names crash recovery knows

#pragma pack(push, 1)
struct cbt_file_header_t {
    uint32_t magic_header;
    uint32_t version;
    int64_t block_list_offset; // file offset of the extent list
    int64_t block_data_offset; // first changed byte; also where the list ends
    int64_t total_change_size; // 0: no changes, the list is not read
    int64_t tolcbt_file_size;  // the size the whole file must have
    int64_t flat_file_size;
    char changeid[64]; // "<uuid text>/<suffix>", NUL-terminated
    char device[256];
    uint32_t magic_block_list;
};

struct cbt_extent_data_t {
    uint32_t magic;
    int64_t start;  // byte offset in the disk image
    int64_t length; // bytes
};
#pragma pack(pop)

static_assert(sizeof(cbt_file_header_t) == 372);
static_assert(offsetof(cbt_file_header_t, version) == 4);
static_assert(offsetof(cbt_file_header_t, block_list_offset) == 8);
static_assert(offsetof(cbt_file_header_t, block_data_offset) == 16);
static_assert(offsetof(cbt_file_header_t, total_change_size) == 24);
static_assert(offsetof(cbt_file_header_t, tolcbt_file_size) == 32);
static_assert(offsetof(cbt_file_header_t, flat_file_size) == 40);
static_assert(offsetof(cbt_file_header_t, changeid) == 48);
static_assert(offsetof(cbt_file_header_t, device) == 112);
static_assert(offsetof(cbt_file_header_t, magic_block_list) == 368);
static_assert(sizeof(cbt_extent_data_t) == 20);
static_assert(offsetof(cbt_extent_data_t, start) == 4);
static_assert(offsetof(cbt_extent_data_t, length) == 12);

// The extent list in file order. The data of entry i begins at
// block_data_offset plus the lengths of the entries before it.
using cbt_extent_list_t = std::vector<cbt_extent_data_t>;
// Most entries a changed block list may have (80 MiB of list): whatever its
// header says, a list is never read or held beyond this.
inline constexpr size_t CBT_MAX_EXTENTS = size_t{1} << 22;

// A stretch of the merged device: `length` bytes from `start` (bytes of the
// device) are those of the change-block file (`changed`) or of the flat file
// from `offset`. The stretches of a table are in order and without gaps.
struct merge_extent {
    int64_t start;
    int64_t length;
    bool changed;
    int64_t offset;
};

// One merged device. Members are in creation order, so destroying the handle
// removes the device, then the table file, then both loop devices; a step
// that fails is logged and the later ones still run.
struct tolcbt_merge_handle_t {
    loop_attachment flat_loop;        // the base flat file, read-only
    loop_attachment tolcbt_loop;      // the change-block file; empty without changes
    temp_file table;                  // empty once deleted, or when kept for debugging
    dm_device device;                 // empty without changes
    std::vector<merge_extent> layout; // the device's table; empty without changes

    // What readers open: "/dev/mapper/NAME", or the flat file's loop device
    // when there are no changes.
    std::string device_path() const { return device.empty() ? flat_loop.path() : device.path(); }
};

// Reads and checks the header and, when there are changes, the extent list.
// `*header` is allocated even when the call fails; `*list` must be empty on
// entry and may hold the entries read so far after a failure.
errdesc_t *read_tolcbt_header(const char *path, std::unique_ptr<cbt_file_header_t> *header,
                              cbt_extent_list_t *list);
void free_cbt_header(std::unique_ptr<cbt_file_header_t> *header);
void cbt_list_free(cbt_extent_list_t *list);

// Checks that every extent has a non-negative start and length and that its
// data lie inside a change-block file of `file_size` bytes. A range mapped
// beyond the file would otherwise only fail later, in "dmsetup create".
errdesc_t *check_tolcbt_extents(const cbt_file_header_t &header, const cbt_extent_list_t &list,
                                int64_t file_size);

// Builds the merged device of `flat_path` and `tolcbt_path`. `*handle` must
// be null; on failure everything set up is undone and it stays null.
errdesc_t *get_merged_tolcbt(const char *flat_path, const char *tolcbt_path,
                             std::unique_ptr<tolcbt_merge_handle_t> *handle);

// Destroys the handle (see tolcbt_merge_handle_t). Accepts a null pointer and
// a null handle.
void release_merged_tolcbt(std::unique_ptr<tolcbt_merge_handle_t> *handle);

// The steps of get_merged_tolcbt, for tests and tools.

// "%s/%s.%s" of at most 4096 bytes.
errdesc_t *make_cbt_path(const char *dir, const char *name, const char *suffix, std::string *out);

// Appends "<start> <length> linear <device> <offset>\n" in sectors at
// `file_offset`; `*written` is the line's length.
errdesc_t *write_dm_table_entry(int64_t start, int64_t length, const char *device,
                                int64_t dev_offset, int fd, off_t file_offset, size_t *written);

// Names the device ("cbt.<n>") and writes its table file into `table_dir`;
// `layout`, when given, receives the table's stretches.
errdesc_t *create_devmap_table_merge_in(const char *table_dir, const char *flat_path,
                                        const char *flat_loop_dev, const char *tolcbt_loop_dev,
                                        const cbt_extent_list_t &list,
                                        const cbt_file_header_t &header,
                                        std::string *devmap_cbt_name, std::string *devmap_table,
                                        std::vector<merge_extent> *layout = nullptr);
errdesc_t *create_devmap_table_merge(const char *flat_path, const char *flat_loop_dev,
                                     const char *tolcbt_loop_dev, const cbt_extent_list_t &list,
                                     const cbt_file_header_t &header, std::string *devmap_cbt_name,
                                     std::string *devmap_table);

// Runs "dmsetup create <name> <table>"; `*device` stays empty on failure.
errdesc_t *define_devmap_device(const char *table_path, const char *name, dm_device *device);
