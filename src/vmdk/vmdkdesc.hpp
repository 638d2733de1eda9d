#pragma once
// The in-memory record of a VMDK descriptor: header values, extents, disk
// database, and what opening the disk adds (extent files, grain directories,
// the grain-table buffer, the ancestor chain).

#include "common/types.hpp"
#include "vmdk/extent_header.hpp"

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <sys/types.h>

// Set in `magic` by vmdk_open; a record that was only parsed has 0.
inline constexpr uint32_t VMDK_MAGIC = 0xbeeeeeed;
// pcid of a disk without a parent.
inline constexpr uint32_t VMDK_NO_PARENT_CID = 0xffffffff;
// The system's inputs never describe more extents than this in one descriptor.
inline constexpr uint32_t VMDK_MAX_EXTENTS = 1024;
// Longest path, terminator included.
inline constexpr size_t VMDK_PATH_MAX = 4096;

inline constexpr uint32_t EN_UTF8 = 0;

enum createtype_t : uint32_t {
    CT_UNKNOWN = 0,
    CT_MONOLITHIC_SPARSE = 1,
    CT_VMFS_SPARSE = 2,
    CT_MONOLITHIC_FLAT = 3,
    CT_VMFS = 4,
    CT_TWOGB_MAX_EXTENT_SPARSE = 5,
    CT_TWOGB_MAX_EXTENT_FLAT = 6,
    CT_FULL_DEVICE = 7,
    CT_VMFS_RAW = 8,
    CT_PARTITIONED_DEVICE = 9,
    CT_VMFS_RAW_DEVICE_MAP = 10,
    CT_VMFS_PASSTHROUGH_RAW_DEVICE_MAP = 11,
    CT_STREAM_OPTIMIZED = 12,
    CT_SE_SPARSE = 13,
};

// One bit each, so that callers can test a set of types with a mask.
enum extenttype_t : uint32_t {
    ET_UNKNOWN = 1,
    ET_FLAT = 2,
    ET_SPARSE = 4,
    ET_ZERO = 8,
    ET_VMFS = 16,
    ET_VMFSSPARSE = 32,
    ET_VMFSRDM = 64,
    ET_VMFSRAW = 128,
    ET_SESPARSE = 256,
};

enum extentmode_t : uint32_t {
    EM_RW = 0,
    EM_RDONLY = 1,
    EM_NOACCESS = 2,
};

enum adaptertype_t : uint32_t {
    AT_IDE = 0,
    AT_BUSLOGIC = 1,
    AT_LSILOGIC = 2,
    AT_LEGACYESX = 3,
};

// A loaded grain directory of one sparse or COWD extent.
inline constexpr uint32_t GRAINDIR_MAGIC = 0x564d444c;

struct graindir_t {
    uint32_t magic = 0;
    uint32_t version = 0;
    uint32_t capacity = 0;     // sectors (low 32 bits of the header's value)
    uint32_t grainsize = 0;    // sectors
    uint32_t numgtespergt = 0; // entries per grain table
    uint32_t gd_entry_count = 0;
    std::unique_ptr<uint32_t[]> gd_entry; // sector of each grain table, 0 = none
    uint32_t gt_entry_count = 0;          // gd_entry_count * numgtespergt
    uint32_t gt_entry_total = 0;          // not used
};

union extenthdr_t {
    sparsehdr_t sparse;
    cowdiskhdr_t cowd;
};
static_assert(sizeof(extenthdr_t) == 2050);

struct extentdesc_t {
    uint32_t magicnumber = 0;
    uint32_t version = 0;
    extentmode_t mode = EM_RW;
    uint64_t extentsize = 0; // sectors
    extenttype_t extenttype = ET_UNKNOWN;
    // As written between its quotes: relative to the descriptor's directory
    // unless it begins with "/".
    char extentname[VMDK_PATH_MAX] = {};
    uint64_t extentoffset = 0; // first sector within the virtual disk
    extenthdr_t hdr = {};
    graindir_t graindir;
    int fd = -1;
    // Loop device attached by the volume mounter; empty when none.
    std::string loopdev;
};

struct diskdb_t {
    uint32_t magicnumber = 0;
    uint32_t hwversion = 0;
    uint32_t cylinders = 0;
    uint32_t heads = 0;
    uint32_t sectors = 0;
    adaptertype_t adaptertype = AT_IDE;
    uint32_t toolsversion = 0;
    uint32_t encoding = EN_UTF8;
    char uuid[50] = {};          // as written, double quotes included
    char longcontentid[50] = {}; // likewise
};

struct vmdkdesc_t;

// The ancestor chain: a null-terminated array whose entry 0 is the disk's own
// record (not owned) and whose later entries are parent records owned by the
// chain; the deleter closes and frees them.
struct vmdk_ancestor_deleter {
    void operator()(vmdkdesc_t **array) const;
};
using vmdk_ancestor_array_t = std::unique_ptr<vmdkdesc_t *[], vmdk_ancestor_deleter>;

// A chain never holds more descriptors than this.
inline constexpr int VMDK_MAX_ANCESTORS = 128;

struct vmdkdesc_t {
    uint32_t magic = 0;
    uint32_t version = 0;
    uint32_t encoding = EN_UTF8;
    uint32_t cid = 0;
    uint32_t pcid = 0;
    createtype_t createtype = CT_UNKNOWN;
    std::string filename;           // path of the descriptor actually read
    std::string parentfilenamehint; // without its quotes; empty when none
    uint32_t extentdesccount = 0;
    std::array<std::unique_ptr<extentdesc_t>, VMDK_MAX_EXTENTS> extentdesc;
    diskdb_t diskdb;
    char dirname[VMDK_PATH_MAX] = {};
    // One grain table at a time (see vmdk_fill_gtbuf); gtbuf_count entries.
    std::unique_ptr<uint32_t[]> gtbuf;
    uint32_t gtbuf_count = 0;
    vmdk_ancestor_array_t vmdk_ancestor_array;
    tol_bool_t thin_provisioned = TOL_FALSE;
    std::string change_track_path; // quotes included; empty when none
    tol_bool_t datastore_direct = TOL_FALSE;
    // Containment root of this disk and its chain (real path; empty for
    // none): extents and parents must lie below it.
    std::string root;
    // Identity of the descriptor file read, to find a chain that loops.
    dev_t file_dev = 0;
    ino_t file_ino = 0;
};

// Names of enumeration values as they appear in code, for reports.
const char *createtype_name(createtype_t t);
const char *extenttype_name(extenttype_t t);
const char *extentmode_name(extentmode_t m);
const char *adaptertype_name(adaptertype_t a);
