#include "mounter/disk_record.hpp"

#include "common/logging.hpp"
#include "common/programs.hpp"

#include <mutex>

namespace {

struct mounter_program_t {
    tol_program_t program;
    const char *name;
};

// In the order of the mounter's program table.
constexpr mounter_program_t mounter_programs[] = {
    {tol_program_t::kpartx, "kpartx"},     {tol_program_t::mount, "mount"},
    {tol_program_t::umount, "umount"},     {tol_program_t::pvs, "pvs"},
    {tol_program_t::lvs, "lvs"},           {tol_program_t::lvchange, "lvchange"},
    {tol_program_t::vgrename, "vgrename"}, {tol_program_t::pvcreate, "pvcreate"},
    {tol_program_t::vgcfgrestore, "vgcfgrestore"}, {tol_program_t::sfdisk, "sfdisk"},
    {tol_program_t::dmsetup, "dmsetup"},   {tol_program_t::vol_id, "vol_id"},
    {tol_program_t::losetup, "losetup"},
};

std::once_flag setup_once;

} // namespace

void setup_cmds()
{
    // The paths themselves are chosen by the program index; this only tells
    // the log which programs this installation lacks.
    std::call_once(setup_once, [] {
        for (const auto &p : mounter_programs)
            if (!tol_program_available(p.program))
                ts_printf("ERROR: setup_cmds: %s not found at %s\n", p.name, tol_program_path(p.program));
    });
}
