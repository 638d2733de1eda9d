#!/usr/bin/env python3
"""The bytes of change-block files, recovery headers and MBRs, for the
scratch trees of tools/mkscratch. Standard library only.

Change-block file (little-endian, packed): a 372-byte header, the extent list
of 20-byte entries, then the changed data in list order. Corrupt files: pass
`corrupt=` one of CORRUPTIONS to cbt_bytes.
"""

import dataclasses
import struct

SECTOR = 512

CBT_MAGIC_HEADER = 0xCBCB1111
CBT_MAGIC_MORE = 0xCBCB4444
CBT_MAGIC_LAST = 0xCBCB5555

CBT_HEADER = struct.Struct("<IIqqqqq64s256sI")
CBT_EXTENT = struct.Struct("<Iqq")
assert CBT_HEADER.size == 372 and CBT_EXTENT.size == 20

# Ways to damage a change-block file; each gives one precise reader error.
CORRUPTIONS = (
    "header_magic",     # "invalid tolcbt header magic number"
    "short_header",     # file cut inside the header: same error
    "no_last_marker",   # every entry 0xCBCB4444: "invalid tolcbt changed block list"
    "foreign_marker",   # the last entry carries another marker: same error
    "list_truncated",   # file ends inside the extent list: same error
    "data_truncated",   # data area one byte short (file size check, extent check)
    "extent_past_data", # an extent's length reaches past the data area
)


@dataclasses.dataclass
class Extent:
    start: int  # byte offset in the disk image
    data: bytes  # the changed bytes


def cbt_bytes(extents, changeid="", device="", flat_file_size=0, list_offset=SECTOR,
              data_offset=None, corrupt=None, version=1):
    """The bytes of a change-block file holding `extents` (in list order)."""
    if corrupt is not None and corrupt not in CORRUPTIONS:
        raise ValueError("unknown corruption %r" % corrupt)
    if data_offset is None:
        list_end = list_offset + CBT_EXTENT.size * max(len(extents), 1)
        data_offset = (list_end + 4095) // 4096 * 4096
    if data_offset - list_offset < CBT_EXTENT.size * len(extents):
        raise ValueError("extent list does not fit between the offsets")

    total = sum(len(e.data) for e in extents)
    entries = []
    for i, e in enumerate(extents):
        marker = CBT_MAGIC_LAST if i == len(extents) - 1 else CBT_MAGIC_MORE
        length = len(e.data)
        if corrupt == "no_last_marker":
            marker = CBT_MAGIC_MORE
        if corrupt == "foreign_marker" and i == len(extents) - 1:
            marker = 0xDEADBEEF
        if corrupt == "extent_past_data" and i == len(extents) - 1:
            length += 1 << 30
        entries.append(CBT_EXTENT.pack(marker, e.start, length))

    magic = CBT_MAGIC_HEADER ^ (1 if corrupt == "header_magic" else 0)
    file_size = data_offset + total
    header = CBT_HEADER.pack(magic, version, list_offset, data_offset, total, file_size,
                             flat_file_size, changeid.encode()[:63], device.encode()[:255],
                             CBT_MAGIC_MORE)
    out = bytearray(data_offset)
    out[0:len(header)] = header
    for i, entry in enumerate(entries):
        pos = list_offset + i * CBT_EXTENT.size
        out[pos:pos + CBT_EXTENT.size] = entry
    for e in extents:
        out += e.data

    if corrupt == "short_header":
        del out[CBT_HEADER.size - 1:]
    elif corrupt == "list_truncated":
        del out[list_offset + CBT_EXTENT.size // 2:]
    elif corrupt == "data_truncated":
        del out[-1:]
    return bytes(out)


ATTR_CBT_ENABLED = 0x01
ATTR_THIN = 0x02
ATTR_PERSISTENT = 0x20


@dataclasses.dataclass
class RecoveryHeader:
    version: int = 2  # 1: 16-bit change suffix, 2: 32-bit
    type: int = 1  # 1 VMDK, 2 VHD
    cid: int = 0x12345678
    size_sectors: int = 0  # 0: the image's size
    attributes: int = ATTR_PERSISTENT
    createtype: int = 3  # monolithic flat
    disk_uuid: bytes = bytes(range(0x10, 0x20))
    vm_uuid: bytes = bytes(range(0x20, 0x30))
    ds_uuid: bytes = bytes(range(0x30, 0x40))
    change_id: bytes = bytes(16)
    change_suffix: int = 0
    snapshot_time: int = 1262304000
    path: str = "[ds1] vm1/vm1-flat.vmdk"
    datastore: str = "ds1"
    hypervisor: str = "esx1"
    vm: str = "vm1"
    cbt_enabled: bool = False

    def to_bytes(self, image_size):
        size = self.size_sectors or image_size // SECTOR
        attributes = self.attributes | (ATTR_CBT_ENABLED if self.cbt_enabled else 0)
        head = struct.pack("<IIBB16s16s16s16s", self.cid, size, attributes, self.createtype,
                           self.disk_uuid, self.vm_uuid, self.ds_uuid, self.change_id)
        if self.version == 1:
            head += struct.pack("<HI", self.change_suffix, self.snapshot_time)
        else:
            head += struct.pack("<II", self.change_suffix, self.snapshot_time)
        strings = b"".join(s.encode() + b"\0" for s in (self.path, self.datastore, self.hypervisor, self.vm))
        data = (head + strings)[:502].ljust(502, b"\0")
        sector = b"RVHD" + bytes([self.version, self.type]) + data + b"RVHD"
        assert len(sector) == SECTOR
        return sector


def mbr_bytes(partitions):
    """Sector 0 with up to four (type, first_lba[, sectors]) entries."""
    mbr = bytearray(SECTOR)
    for i, part in enumerate(partitions[:4]):
        ptype, lba = part[0], part[1]
        count = part[2] if len(part) > 2 else 2048
        mbr[446 + 16 * i:446 + 16 * (i + 1)] = struct.pack("<B3sB3sII", 0, b"\0\0\0", ptype, b"\0\0\0",
                                                           lba, count)
    mbr[510:512] = b"\x55\xaa"
    return bytes(mbr)
