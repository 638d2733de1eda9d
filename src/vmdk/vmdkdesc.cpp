// Names of the descriptor record's enumeration values, for reports.

#include "vmdk/vmdkdesc.hpp"

const char *createtype_name(createtype_t t)
{
    switch (t) {
    case CT_UNKNOWN: return "CT_UNKNOWN";
    case CT_MONOLITHIC_SPARSE: return "CT_MONOLITHIC_SPARSE";
    case CT_VMFS_SPARSE: return "CT_VMFS_SPARSE";
    case CT_MONOLITHIC_FLAT: return "CT_MONOLITHIC_FLAT";
    case CT_VMFS: return "CT_VMFS";
    case CT_TWOGB_MAX_EXTENT_SPARSE: return "CT_TWOGB_MAX_EXTENT_SPARSE";
    case CT_TWOGB_MAX_EXTENT_FLAT: return "CT_TWOGB_MAX_EXTENT_FLAT";
    case CT_FULL_DEVICE: return "CT_FULL_DEVICE";
    case CT_VMFS_RAW: return "CT_VMFS_RAW";
    case CT_PARTITIONED_DEVICE: return "CT_PARTITIONED_DEVICE";
    case CT_VMFS_RAW_DEVICE_MAP: return "CT_VMFS_RAW_DEVICE_MAP";
    case CT_VMFS_PASSTHROUGH_RAW_DEVICE_MAP: return "CT_VMFS_PASSTHROUGH_RAW_DEVICE_MAP";
    case CT_STREAM_OPTIMIZED: return "CT_STREAM_OPTIMIZED";
    case CT_SE_SPARSE: return "CT_SE_SPARSE";
    }
    return "CT_UNKNOWN";
}

const char *extenttype_name(extenttype_t t)
{
    switch (t) {
    case ET_UNKNOWN: return "ET_UNKNOWN";
    case ET_FLAT: return "ET_FLAT";
    case ET_SPARSE: return "ET_SPARSE";
    case ET_ZERO: return "ET_ZERO";
    case ET_VMFS: return "ET_VMFS";
    case ET_VMFSSPARSE: return "ET_VMFSSPARSE";
    case ET_VMFSRDM: return "ET_VMFSRDM";
    case ET_VMFSRAW: return "ET_VMFSRAW";
    case ET_SESPARSE: return "ET_SESPARSE";
    }
    return "ET_UNKNOWN";
}

const char *extentmode_name(extentmode_t m)
{
    switch (m) {
    case EM_RW: return "EM_RW";
    case EM_RDONLY: return "EM_RDONLY";
    case EM_NOACCESS: return "EM_NOACCESS";
    }
    return "EM_RW";
}

const char *adaptertype_name(adaptertype_t a)
{
    switch (a) {
    case AT_IDE: return "AT_IDE";
    case AT_BUSLOGIC: return "AT_BUSLOGIC";
    case AT_LSILOGIC: return "AT_LSILOGIC";
    case AT_LEGACYESX: return "AT_LEGACYESX";
    }
    return "AT_IDE";
}
