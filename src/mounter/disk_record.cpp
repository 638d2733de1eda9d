#include "mounter/disk_record.hpp"

#include "common/logging.hpp"
#include "common/programs.hpp"
#include "vmdk/vmdk_open.hpp"

#include <cerrno>
#include <cinttypes>

#include <mutex>

namespace
{

struct mounter_program_t {
    tol_program_t program;
    const char *name;
};

// In the order of the mounter's program table.
constexpr mounter_program_t mounter_programs[] = {
    {tol_program_t::kpartx, "kpartx"},
    {tol_program_t::mount, "mount"},
    {tol_program_t::umount, "umount"},
    {tol_program_t::pvs, "pvs"},
    {tol_program_t::lvs, "lvs"},
    {tol_program_t::lvchange, "lvchange"},
    {tol_program_t::vgrename, "vgrename"},
    {tol_program_t::pvcreate, "pvcreate"},
    {tol_program_t::vgcfgrestore, "vgcfgrestore"},
    {tol_program_t::sfdisk, "sfdisk"},
    {tol_program_t::dmsetup, "dmsetup"},
    {tol_program_t::vol_id, "vol_id"},
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
                ts_printf("ERROR: setup_cmds: %s not found at %s\n", p.name,
                          tol_program_path(p.program));
    });
}

namespace
{

errdesc_t *fail_cleared(errdesc_t *err, vdskdesc_t *vdskdesc)
{
    errdesc_keeper keep; // closing may set errors of its own
    vdsk_close(vdskdesc);
    return err;
}

} // namespace

errdesc_t *vdsk_get_type(const char *vdsk_path, vdsk_type_t *type, const char *root)
{
    *type = VD_UNKNOWN;
    auto scratch = std::make_unique<vmdkdesc_t>();
    if (errdesc_t *err = vmdk_open(vdsk_path, scratch.get(), root))
        return err;
    vmdk_close(scratch.get());
    *type = VD_VMDK;
    return nullptr;
}

errdesc_t *vdsk_open(const char *vdsk_path, vdskdesc_t *vdskdesc, const char *root)
{
    *vdskdesc = vdskdesc_t{};
    vdskdesc->magic = VDSKDESC_MAGIC;
    vdskdesc->version = 1;
    vdskdesc->vdsk_path = vdsk_path;

    if (errdesc_t *err = vdsk_get_type(vdsk_path, &vdskdesc->type, root))
        return fail_cleared(err, vdskdesc);
    if (vdskdesc->type != VD_VMDK)
        return fail_cleared(errdesc_set_fmt(ERR_INVALID_ARG, "Unsupported vdisk format"), vdskdesc);

    vdskdesc->desc.vmdkdesc = std::make_unique<vmdkdesc_t>();
    vmdkdesc_t *vmdk = vdskdesc->desc.vmdkdesc.get();
    if (errdesc_t *err = vmdk_open(vdsk_path, vmdk, root))
        return fail_cleared(err, vdskdesc);

    if (vmdk->extentdesccount == 0 || !vmdk->extentdesc[0]) {
        ts_printf("ERROR: vdsk_open: Disk extent #0 for %s is missing\n", vdsk_path);
        return fail_cleared(errdesc_set_fmt(EINVAL, "Disk extent #0 is missing"), vdskdesc);
    }
    vdskdesc->uuid = vmdk->cid;
    if (vdskdesc->uuid == 0) {
        ts_printf("ERROR: vdsk_open: invalid uuid for %s\n", vdsk_path);
        return fail_cleared(errdesc_set_fmt(EINVAL, "Invalid vdsk uuid"), vdskdesc);
    }

    char name[32];
    std::snprintf(name, sizeof(name), "%jx", static_cast<uintmax_t>(vdskdesc->uuid));
    vdskdesc->name = name;
    vdskdesc->vdsk_extent_path = vmdk_get_path(vmdk->extentdesc[0]->extentname, vmdk->dirname);
    return nullptr;
}

void vdsk_close(vdskdesc_t *vdskdesc)
{
    if (vdskdesc->type == VD_VMDK && vdskdesc->desc.vmdkdesc)
        vmdk_close(vdskdesc->desc.vmdkdesc.get());
    // Every string, the statistics and the descriptor go with the record.
    *vdskdesc = vdskdesc_t{};
}
