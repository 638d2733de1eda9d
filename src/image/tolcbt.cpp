#include "image/tolcbt.hpp"

#include "common/files.hpp"
#include "common/logging.hpp"
#include "common/spawn.hpp"
#include "common/types.hpp"
#include "common/unique_fd.hpp"
#include "controller/settings.hpp"
#include "mounter/made_record.hpp"
#include "mounter/dm_names.hpp"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

bool cbt_debug()
{
    return get_reg_settings()->cbt_debug_enabled == TOL_TRUE;
}

// Change-block debug lines are printed whatever the debug level, but only
// while the change-block debug setting is on.
#define CBT_DEBUG(...)                                                                             \
    do {                                                                                           \
        if (cbt_debug())                                                                           \
            ts_printf(__VA_ARGS__);                                                                \
    } while (0)

errdesc_t *invalid_list()
{
    return errdesc_set_fmt(EINVAL, "invalid tolcbt changed block list");
}

// Bounded text of a fixed-size field that should, but need not, hold a NUL.
std::string field_text(const char *field, size_t size)
{
    return std::string(field, strnlen(field, size));
}

errdesc_t *read_extent_list(int fd, const char *path, const cbt_file_header_t &hdr,
                            int64_t *read_offset, cbt_extent_list_t *list)
{
    // Both offsets are checked before they are subtracted: hostile values
    // must not overflow.
    if (hdr.block_list_offset < 0 || hdr.block_data_offset < hdr.block_list_offset)
        return invalid_list();
    const int64_t list_bytes = hdr.block_data_offset - hdr.block_list_offset;
    if (list_bytes < static_cast<int64_t>(sizeof(cbt_extent_data_t)))
        return invalid_list();

    // The list must lie inside the file, whatever the header claims.
    struct stat st;
    if (fstat(fd, &st) != 0)
        return errdesc_set_str(errno, path);
    if (hdr.block_data_offset > st.st_size)
        return invalid_list();

    const int64_t block_list_num = list_bytes / static_cast<int64_t>(sizeof(cbt_extent_data_t));

    // Read a window at a time, and keep only entries up to the last one: a
    // sparse file may claim a list of any length at no cost to its writer.
    constexpr size_t WINDOW_ENTRIES = 4096;
    std::vector<cbt_extent_data_t> window(WINDOW_ENTRIES);
    for (int64_t i = 0; i < block_list_num;) {
        const size_t count =
            static_cast<size_t>(std::min<int64_t>(block_list_num - i, WINDOW_ENTRIES));
        const size_t bytes = count * sizeof(cbt_extent_data_t);
        const off_t at =
            hdr.block_list_offset + i * static_cast<int64_t>(sizeof(cbt_extent_data_t));
        size_t got = 0;
        if (errdesc_t *err = tol_pread(fd, window.data(), bytes, at, &got))
            return err;
        *read_offset += static_cast<int64_t>(got);
        CBT_DEBUG("tolcbt_header read_offset: %ld\n", static_cast<long>(*read_offset));
        CBT_DEBUG("tolcbt_header bytes_read: %ld\n", static_cast<long>(got));
        if (got < bytes)
            return invalid_list();
        if (i == 0)
            CBT_DEBUG("tolcbt_header block_list_num: %jd\n", static_cast<intmax_t>(block_list_num));
        for (size_t k = 0; k < count; ++k, ++i) {
            const cbt_extent_data_t &item = window[k];
            CBT_DEBUG("cbt_item->start / length: %jd / %jd\n", static_cast<intmax_t>(item.start),
                      static_cast<intmax_t>(item.length));
            CBT_DEBUG("cbt_item->next : %u\n", item.magic);
            if (list->size() >= CBT_MAX_EXTENTS)
                return errdesc_set_fmt(EFBIG, "%s: changed block list of more than %zu entries",
                                       path, CBT_MAX_EXTENTS);
            // Kept before its marker is judged: a bad entry is in the list too.
            list->push_back(item);
            if (item.magic == CBT_MAGIC_EXTENT_LAST)
                return nullptr;
            if (item.magic != CBT_MAGIC_EXTENT_MORE)
                return invalid_list();
        }
    }
    return invalid_list();
}

errdesc_t *define_loop_dev(const char *path, loop_attachment *field)
{
    CBT_DEBUG("defining loop device for target: %s\n", path);
    if (errdesc_t *err = loop_attachment::attach(path, true, SPAWN_TIMEOUT_LONG, field))
        return err;
    CBT_DEBUG("defined loop device: %s\n", field->path().c_str());
    return nullptr;
}

errdesc_t *build_merged(const char *flat_path, const char *tolcbt_path, tolcbt_merge_handle_t *h)
{
    std::unique_ptr<cbt_file_header_t> header;
    cbt_extent_list_t list;
    if (errdesc_t *err = read_tolcbt_header(tolcbt_path, &header, &list))
        return err;

    if (header->total_change_size > 0) {
        struct stat st;
        if (stat(tolcbt_path, &st) != 0)
            return errdesc_set_str(errno, tolcbt_path);
        if (errdesc_t *err = check_tolcbt_extents(*header, list, st.st_size))
            return err;
    }

    if (errdesc_t *err = define_loop_dev(flat_path, &h->flat_loop))
        return err;
    if (header->total_change_size <= 0)
        return nullptr; // readers read the flat file's loop device directly

    if (errdesc_t *err = define_loop_dev(tolcbt_path, &h->tolcbt_loop))
        return err;

    std::string name;
    std::string table;
    errdesc_t *err = create_devmap_table_merge_in(
        CBT_TABLE_DIR, flat_path, h->flat_loop.path().c_str(), h->tolcbt_loop.path().c_str(), list,
        *header, &name, &table, &h->layout);
    if (!table.empty())
        h->table = temp_file(table); // removed also when writing it failed
    if (err)
        return err;
    return define_devmap_device(h->table.path().c_str(), name.c_str(), &h->device);
}

} // namespace

errdesc_t *read_tolcbt_header(const char *path, std::unique_ptr<cbt_file_header_t> *header,
                              cbt_extent_list_t *list)
{
    *header = std::make_unique<cbt_file_header_t>();
    std::memset(header->get(), 0, sizeof(cbt_file_header_t)); // a short file reads as zeros
    CBT_DEBUG("opening tolcbt_file: %s\n", path);

    // O_NONBLOCK: a FIFO by this name must not block the caller.
    unique_fd fd(open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!fd)
        return errdesc_set_str(errno, path);
    struct stat st;
    if (fstat(fd.get(), &st) != 0)
        return errdesc_set_str(errno, path);
    if (!S_ISREG(st.st_mode))
        return errdesc_set_fmt(EINVAL, "%s: not a regular file", path);

    cbt_file_header_t &hdr = **header;
    size_t got = 0;
    if (errdesc_t *err = tol_pread(fd.get(), &hdr, sizeof(hdr), 0, &got))
        return err;
    int64_t read_offset = static_cast<int64_t>(got);
    CBT_DEBUG("tolcbt_header read_offset: %ld\n", static_cast<long>(read_offset));
    CBT_DEBUG("tolcbt_header bytes_read: %ld\n", static_cast<long>(got));

    if (got < sizeof(hdr) || hdr.magic_header != CBT_MAGIC_HEADER)
        return errdesc_set_fmt(EINVAL, "invalid tolcbt header magic number");

    CBT_DEBUG("tolcbt_header magic number: %x\n", hdr.magic_header);
    CBT_DEBUG("tolcbt_header version: %d\n", static_cast<int>(hdr.version));
    CBT_DEBUG("tolcbt_header changeid: %s\n",
              field_text(hdr.changeid, sizeof(hdr.changeid)).c_str());
    CBT_DEBUG("tolcbt_header device: %s\n", field_text(hdr.device, sizeof(hdr.device)).c_str());
    CBT_DEBUG("tolcbt_header block_list_offset: %jd\n",
              static_cast<intmax_t>(hdr.block_list_offset));
    CBT_DEBUG("tolcbt_header block_data_offset: %jd\n",
              static_cast<intmax_t>(hdr.block_data_offset));
    CBT_DEBUG("tolcbt_header total_change_size: %jd\n",
              static_cast<intmax_t>(hdr.total_change_size));

    if (hdr.total_change_size == 0)
        return nullptr;
    return read_extent_list(fd.get(), path, hdr, &read_offset, list);
}

errdesc_t *check_tolcbt_extents(const cbt_file_header_t &header, const cbt_extent_list_t &list,
                                int64_t file_size)
{
    int64_t data_end = header.block_data_offset;
    for (size_t i = 0; i < list.size(); ++i) {
        const cbt_extent_data_t &item = list[i];
        if (item.start < 0 || item.length < 0)
            return errdesc_set_fmt(
                EINVAL, "tolcbt extent %zu has a negative start or length (%jd / %jd)", i,
                static_cast<intmax_t>(item.start), static_cast<intmax_t>(item.length));
        if (__builtin_add_overflow(data_end, item.length, &data_end) || data_end > file_size)
            return errdesc_set_fmt(
                EINVAL, "tolcbt extent %zu data end beyond the end of the file (%jd bytes)", i,
                static_cast<intmax_t>(file_size));
    }
    return nullptr;
}

void free_cbt_header(std::unique_ptr<cbt_file_header_t> *header)
{
    if (header)
        header->reset();
}

void cbt_list_free(cbt_extent_list_t *list)
{
    if (list) {
        list->clear();
        list->shrink_to_fit();
    }
}

errdesc_t *make_cbt_path(const char *dir, const char *name, const char *suffix, std::string *out)
{
    std::string path = std::string(dir) + "/" + name + "." + suffix;
    if (path.size() >= static_cast<size_t>(TOL_PATH_MAX))
        return errdesc_set_fmt(ENAMETOOLONG, "%s/%s.%s", dir, name, suffix);
    *out = std::move(path);
    CBT_DEBUG("make_cbt_path returning: %s\n", out->c_str());
    return nullptr;
}

errdesc_t *write_dm_table_entry(int64_t start, int64_t length, const char *device,
                                int64_t dev_offset, int fd, off_t file_offset, size_t *written)
{
    char line[4096];
    int n = std::snprintf(line, sizeof(line), "%jd %jd linear %s %jd\n",
                          static_cast<intmax_t>(start / TOL_SECTOR_SIZE),
                          static_cast<intmax_t>(length / TOL_SECTOR_SIZE), device,
                          static_cast<intmax_t>(dev_offset / TOL_SECTOR_SIZE));
    if (n < 0 || static_cast<size_t>(n) >= sizeof(line))
        return errdesc_set_str(ENAMETOOLONG, device);
    CBT_DEBUG("writing dm_table_entry: %s", line);

    size_t moved = 0;
    if (errdesc_t *err = tol_pwrite(fd, line, static_cast<size_t>(n), file_offset, &moved))
        return errdesc_set_str(err->number, device);
    *written = moved;
    return nullptr;
}

errdesc_t *create_devmap_table_merge_in(const char *table_dir, const char *flat_path,
                                        const char *flat_loop_dev, const char *tolcbt_loop_dev,
                                        const cbt_extent_list_t &list,
                                        const cbt_file_header_t &header,
                                        std::string *devmap_cbt_name, std::string *devmap_table,
                                        std::vector<merge_extent> *layout)
{
    CBT_DEBUG("defining dm table flat_loop_dev: %s\n", flat_loop_dev);
    CBT_DEBUG("defining dm table tolcbt_loop_dev: %s\n", tolcbt_loop_dev);
    int64_t change_offset = header.block_data_offset;

    if (errdesc_t *err = dm_mk_unique_name(CBT_DM_PREFIX, devmap_cbt_name))
        return err;
    if (errdesc_t *err =
            make_cbt_path(table_dir, devmap_cbt_name->c_str(), CBT_TABLE_SUFFIX, devmap_table))
        return err;
    CBT_DEBUG("create_devmap_table_merge, using devmap_table: %s\n", devmap_table->c_str());

    made_note(made_kind_t::file, *devmap_table);
    unique_fd fd(open(devmap_table->c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (!fd)
        return errdesc_set_str(errno, devmap_table->c_str());

    int64_t position = 0; // bytes of the image covered so far
    off_t file_offset = 0;
    auto entry = [&](int64_t start, int64_t length, bool changed,
                     int64_t dev_offset) -> errdesc_t * {
        const char *device = changed ? tolcbt_loop_dev : flat_loop_dev;
        size_t written = 0;
        if (errdesc_t *err = write_dm_table_entry(start, length, device, dev_offset, fd.get(),
                                                  file_offset, &written))
            return errdesc_set_str(err->number, devmap_table->c_str());
        file_offset += static_cast<off_t>(written);
        if (layout && length > 0)
            layout->push_back({start, length, changed, dev_offset});
        return nullptr;
    };

    for (const cbt_extent_data_t &item : list) {
        CBT_DEBUG("dm cbt_item start: %jd\n", static_cast<intmax_t>(item.start));
        CBT_DEBUG("   dm cbt_item length: %jd\n", static_cast<intmax_t>(item.length));
        if (item.start > position) {
            CBT_DEBUG("dm adding extent to flat at %jd\n", static_cast<intmax_t>(position));
            if (errdesc_t *err = entry(position, item.start - position, false, position))
                return err;
            position = item.start;
        }
        // An entry that starts too early is mapped at the current position.
        CBT_DEBUG("dm adding extent to tolcbt at %jd\n", static_cast<intmax_t>(position));
        if (errdesc_t *err = entry(position, item.length, true, change_offset))
            return err;
        position += item.length;
        change_offset += item.length;
    }

    struct stat st;
    if (stat(flat_path, &st) != 0)
        return errdesc_set_str(errno, flat_path);
    if (st.st_size > position)
        return entry(position, st.st_size - position, false, position);
    return nullptr;
}

errdesc_t *create_devmap_table_merge(const char *flat_path, const char *flat_loop_dev,
                                     const char *tolcbt_loop_dev, const cbt_extent_list_t &list,
                                     const cbt_file_header_t &header, std::string *devmap_cbt_name,
                                     std::string *devmap_table)
{
    return create_devmap_table_merge_in(CBT_TABLE_DIR, flat_path, flat_loop_dev, tolcbt_loop_dev,
                                        list, header, devmap_cbt_name, devmap_table);
}

errdesc_t *define_devmap_device(const char *table_path, const char *name, dm_device *device)
{
    CBT_DEBUG("define_devmap_device dm_cbt_name: %s\n", name);
    return dm_device::create(name, table_path, device);
}

errdesc_t *get_merged_tolcbt(const char *flat_path, const char *tolcbt_path,
                             std::unique_ptr<tolcbt_merge_handle_t> *handle)
{
    if (*handle)
        return errdesc_set_fmt(EINVAL, "get_merged_tolcbt: handle already set");
    auto merged = std::make_unique<tolcbt_merge_handle_t>();
    errdesc_t *err = build_merged(flat_path, tolcbt_path, merged.get());

    // The table is needed only by "dmsetup create"; debugging keeps it.
    if (cbt_debug())
        merged->table.disown();
    else if (errdesc_t *unlinked = merged->table.release())
        errdesc_log(unlinked, TOL_PRIO_WARNING);

    if (err)
        return err; // `merged` goes, and with it everything set up
    *handle = std::move(merged);
    return nullptr;
}

void release_merged_tolcbt(std::unique_ptr<tolcbt_merge_handle_t> *handle)
{
    if (!handle || !*handle)
        return;
    for (const loop_attachment *loop : {&(*handle)->tolcbt_loop, &(*handle)->flat_loop})
        if (!loop->empty())
            CBT_DEBUG("releasing loop device: %s\n", loop->path().c_str());
    handle->reset();
}
