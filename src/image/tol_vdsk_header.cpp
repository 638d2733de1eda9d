#include "image/tol_vdsk_header.hpp"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <ctime>
#include <iterator>

namespace
{

// Dump texts of the create types, by value; larger values are unsupported.
constexpr const char *createtype_text[] = {
    "unknown",
    "monolithic sparse",
    "VMFS sparse",
    "monolithic flat",
    "VMFS",
    "2GB extent sparse",
    "2GB extent flat",
    "full",
    "raw",
    "partitioned",
    "VMFS raw",
    "VMFS passthru raw",
    "stream optimized",
};

struct attribute_name_t {
    uint8_t bit;
    const char *name;
};

// In the order in which the dump names them.
constexpr attribute_name_t attribute_names[] = {
    {TOL_VDSK_ATTR_PERSISTENT, "persistent, "},       {TOL_VDSK_ATTR_THIN, "thin provisioned, "},
    {TOL_VDSK_ATTR_WRITE_THROUGH, "write through, "}, {TOL_VDSK_ATTR_SPLIT, "split, "},
    {TOL_VDSK_ATTR_EAGERLY_SCRUB, "eagerly scrub, "}, {TOL_VDSK_ATTR_CBT_ENABLED, "cbt enabled, "},
};

const char *createtype_dump_text(uint8_t value)
{
    if (value < std::size(createtype_text))
        return createtype_text[value];
    return "unsupported";
}

bool read_full_sector(int fd, uint32_t sector, void *buffer)
{
    size_t length = TOL_SECTOR_SIZE;
    if (read_sector(fd, static_cast<off_t>(sector) * static_cast<off_t>(TOL_SECTOR_SIZE), &length,
                    buffer))
        return false;
    return length == TOL_SECTOR_SIZE;
}

// String `index` of the area: it begins after the index-th NUL and ends at
// the next NUL or at the end of the area.
bool get_variable_string(const char *area, size_t area_size, int index, std::string *out)
{
    size_t pos = 0;
    for (int nuls = 0; nuls < index; ++pos) {
        if (pos >= area_size)
            break;
        if (area[pos] == '\0')
            ++nuls;
    }
    if (pos >= area_size) {
        if (out)
            out->clear();
        return false;
    }
    const char *begin = area + pos;
    const char *end = static_cast<const char *>(std::memchr(begin, '\0', area_size - pos));
    if (out)
        out->assign(begin, end ? end : area + area_size);
    return true;
}

// Fields common to both layouts, read at the offsets of the header's version.
template <typename V> void dump_vmdk_fields(FILE *out, int version, const V &v)
{
    std::fprintf(out, "version: %d\n", version);
    std::fprintf(out, "cid: %8.8x\n", v.cid);
    std::fprintf(out, "disk size: %jd\n", static_cast<intmax_t>(v.size) * 512);
    std::fprintf(out, "create type: %s\n", createtype_dump_text(v.createtype));
    std::fprintf(out, "attributes: ");
    for (const auto &attr : attribute_names)
        if (v.attributes & attr.bit)
            std::fputs(attr.name, out);
    std::fputc('\n', out);

    time_t when = static_cast<time_t>(v.snapshot_time);
    struct tm tm_local {
    };
    char when_text[64] = "";
    if (localtime_r(&when, &tm_local) && asctime_r(&tm_local, when_text))
        std::fprintf(out, "snapshot time: %s", when_text); // brings its own newline
    else
        std::fprintf(out, "snapshot time: ?\n");

    tol_uuid_t change_id = v.change_id;
    tol_uuid_t disk_uuid = v.disk_uuid;
    tol_uuid_t vm_uuid = v.vm_uuid;
    tol_uuid_t ds_uuid = v.ds_uuid;
    if (v.attributes & TOL_VDSK_ATTR_CBT_ENABLED)
        std::fprintf(out, "change id: %s/%d\n", uuid_value_to_str(&change_id).c_str(),
                     static_cast<int>(v.change_suffix));
    std::fprintf(out, "disk id: %s\n", uuid_value_to_str(&disk_uuid).c_str());
    std::fprintf(out, "virtual machine id: %s\n", uuid_value_to_str(&vm_uuid).c_str());
    std::fprintf(out, "datastore id: %s\n", uuid_value_to_str(&ds_uuid).c_str());
}

} // namespace

bool is_tol_vdsk_header(const tol_vdsk_header_t *header)
{
    return std::memcmp(header->magic_begin, TOL_VDSK_HEADER_MAGIC, 4) == 0 &&
           std::memcmp(header->magic_end, TOL_VDSK_HEADER_MAGIC, 4) == 0;
}

bool is_sector_available(int fd, uint32_t sector)
{
    tol_vdsk_header_t data;
    if (!read_full_sector(fd, sector, &data))
        return false;
    if (is_tol_vdsk_header(&data))
        return true;
    const auto *bytes = reinterpret_cast<const unsigned char *>(&data);
    return std::all_of(bytes, bytes + TOL_SECTOR_SIZE, [](unsigned char b) { return b == 0; });
}

errdesc_t *find_free_sector_by_partition(int fd, uint32_t *sector)
{
    *sector = TOL_VDSK_NO_SECTOR;
    mbr_t mbr;
    if (errdesc_t *err = read_mbr(fd, &mbr))
        return err;
    if (!is_valid_mbr(&mbr))
        return errdesc_set_fmt(EIO, "unknown partition format");

    // Entries of type 0 are unused, whatever their start says.
    uint32_t first_start = TOL_VDSK_NO_SECTOR;
    for (const auto &entry : mbr.part_entry)
        if (entry.type != 0 && entry.first_sector_lba < first_start)
            first_start = entry.first_sector_lba;

    if (first_start <= TOL_VDSK_HEADER_FIRST_SECTOR)
        return errdesc_set_fmt(EIO, "partition start at %d, sectors %d to %d are not available",
                               static_cast<int>(first_start), TOL_VDSK_HEADER_FIRST_SECTOR,
                               TOL_VDSK_HEADER_LAST_SECTOR);

    for (uint32_t s = TOL_VDSK_HEADER_FIRST_SECTOR;
         s <= TOL_VDSK_HEADER_LAST_SECTOR && s < first_start; ++s) {
        if (is_sector_available(fd, s)) {
            *sector = s;
            return nullptr;
        }
    }
    return errdesc_set_fmt(EIO, "Cannot find any empty sector between %d-%d",
                           TOL_VDSK_HEADER_FIRST_SECTOR, TOL_VDSK_HEADER_LAST_SECTOR);
}

errdesc_t *read_tol_vdsk_header(int fd, tol_vdsk_header_t *header)
{
    uint32_t sector = TOL_VDSK_NO_SECTOR;
    if (errdesc_t *err = find_free_sector_by_partition(fd, &sector))
        return err;
    if (!read_full_sector(fd, sector, header) || !is_tol_vdsk_header(header))
        return errdesc_set_fmt(ENODATA, "The data is not a valid recover header");
    return nullptr;
}

bool get_vmdk_variable_strings(const tol_vdsk_header_t *header, std::string *s0, std::string *s1,
                               std::string *s2, std::string *s3)
{
    const char *area = nullptr;
    size_t area_size = 0;
    if (header->version == 1) {
        area = header->data.v1.varstrings;
        area_size = sizeof(header->data.v1.varstrings);
    } else if (header->version == 2) {
        area = header->data.v2.varstrings;
        area_size = sizeof(header->data.v2.varstrings);
    }

    std::string *outs[] = {s0, s1, s2, s3};
    bool result = true;
    for (int i = 0; i < 4; ++i) {
        if (!outs[i])
            continue;
        // A version without a known layout has no strings at all.
        result = area ? get_variable_string(area, area_size, i, outs[i]) : false;
        if (!area)
            outs[i]->clear();
    }
    return result;
}

void dump_tol_vdsk_header_to(FILE *out, const tol_vdsk_header_t *header)
{
    if (!is_tol_vdsk_header(header)) {
        std::fprintf(out, "Invalid recover header\n");
        return;
    }
    if (header->type == TOL_VDSK_HEADER_TYPE_VMDK) {
        std::fprintf(out, "type: VMDK\n");
        if (header->version == 1)
            dump_vmdk_fields(out, 1, header->data.v1);
        else if (header->version == 2)
            dump_vmdk_fields(out, 2, header->data.v2);
        else
            std::fprintf(out, "Unknown version number\n");
    } else if (header->type == TOL_VDSK_HEADER_TYPE_VHD) {
        std::fprintf(out, "type: VHD\n");
    } else {
        std::fprintf(out, "Unknown type");
    }

    std::string path, ds, hv, vm;
    if (!get_vmdk_variable_strings(header, &path, &ds, &hv, &vm))
        std::fprintf(out, "(Some of the following strings may be truncated)\n");
    std::fprintf(out, "HV: %s\n", hv.c_str());
    std::fprintf(out, "VM: %s\n", vm.c_str());
    std::fprintf(out, "DS: %s\n", ds.c_str());
    std::fprintf(out, "path: %s\n", path.c_str());
}

void dump_tol_vdsk_header(const tol_vdsk_header_t *header)
{
    dump_tol_vdsk_header_to(stdout, header);
}
