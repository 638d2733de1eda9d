// The index of external programs: one table, resolved once per process.

#include "common/programs.hpp"

#include <cstring>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

struct program_entry {
    tol_program_t program;
    const char *first;
    const char *second; // nullptr: the first path is fixed
};

// Rows in the order of tol_program_t.
constexpr program_entry program_table[] = {
    {tol_program_t::dmsetup, "/sbin/dmsetup", nullptr},
    {tol_program_t::losetup, "/sbin/losetup", nullptr},
    {tol_program_t::kpartx, "/sbin/kpartx", nullptr},
    {tol_program_t::pvs, "/usr/sbin/pvs", "/sbin/pvs"},
    {tol_program_t::lvs, "/usr/sbin/lvs", "/sbin/lvs"},
    {tol_program_t::lvchange, "/usr/sbin/lvchange", "/sbin/lvchange"},
    {tol_program_t::vgrename, "/usr/sbin/vgrename", "/sbin/vgrename"},
    {tol_program_t::pvcreate, "/usr/sbin/pvcreate", "/sbin/pvcreate"},
    {tol_program_t::vgcfgrestore, "/usr/sbin/vgcfgrestore", "/sbin/vgcfgrestore"},
    {tol_program_t::vol_id, "/lib/udev/vol_id", "/sbin/vol_id"},
    {tol_program_t::sfdisk, "/sbin/sfdisk", nullptr},
    {tol_program_t::mount, "/bin/mount", nullptr},
    {tol_program_t::umount, "/bin/umount", nullptr},
    {tol_program_t::exportfs, "/usr/sbin/exportfs", nullptr},
    // The appliance's helper first; elsewhere the system's (fuse3).
    {tol_program_t::fusermount, "/usr/local/tolvane/bin/fusermount", "/bin/fusermount"},
    {tol_program_t::brand_reader, "/usr/local/tolvane/python/branding/BrandReader.py", nullptr},
    {tol_program_t::watchdog_test_controller, "/usr/local/tolvane/bin/watchdog-test-controller.py",
     nullptr},
};
constexpr size_t PROGRAM_COUNT = sizeof(program_table) / sizeof(program_table[0]);
static_assert(PROGRAM_COUNT == static_cast<size_t>(tol_program_t::watchdog_test_controller) + 1,
              "one row per program");

constexpr bool table_in_enum_order()
{
    for (size_t i = 0; i < PROGRAM_COUNT; i++)
        if (static_cast<size_t>(program_table[i].program) != i)
            return false;
    return true;
}
static_assert(table_in_enum_order(), "rows follow tol_program_t");

std::once_flag resolve_once;
const char *resolved[PROGRAM_COUNT];

// Set only by tests (tol_programs_set_root); empty in the product.
std::string rooted[PROGRAM_COUNT];
bool root_set = false;

bool may_execute(const char *path)
{
    struct stat st;
    return access(path, X_OK) == 0 && stat(path, &st) == 0 && !S_ISDIR(st.st_mode);
}

void resolve_table()
{
    for (size_t i = 0; i < PROGRAM_COUNT; i++) {
        const program_entry &e = program_table[i];
        resolved[i] = e.second ? tol_program_choose(e.first, e.second) : e.first;
    }
}

const program_entry *entry_of(tol_program_t program)
{
    auto i = static_cast<size_t>(program);
    return i < PROGRAM_COUNT ? &program_table[i] : nullptr;
}

} // namespace

const char *tol_program_choose(const char *first, const char *second)
{
    if (may_execute(first))
        return first;
    if (second && may_execute(second))
        return second;
    return first;
}

const char *tol_program_path(tol_program_t program)
{
    std::call_once(resolve_once, resolve_table);
    auto i = static_cast<size_t>(program);
    if (i >= PROGRAM_COUNT)
        return "";
    return root_set ? rooted[i].c_str() : resolved[i];
}

bool tol_program_available(tol_program_t program)
{
    const program_entry *e = entry_of(program);
    if (!e)
        return false;
    if (root_set)
        return may_execute(tol_program_path(program));
    return may_execute(e->first) || (e->second && may_execute(e->second));
}

void tol_programs_set_root(const char *dir)
{
    root_set = dir != nullptr;
    for (size_t i = 0; i < PROGRAM_COUNT; i++) {
        const char *slash = std::strrchr(program_table[i].first, '/');
        rooted[i] = dir ? std::string(dir) + slash : std::string();
    }
}
