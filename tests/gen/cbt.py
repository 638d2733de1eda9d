#!/usr/bin/env python3
"""Writers of change-block files and of flat images with an MBR and a
recovery header, for test scratch trees. Standard library only.

Change-block file (little-endian, packed): a 372-byte header, the extent list
of 20-byte entries, then the changed data in list order.

    from gen import cbt
    data = cbt.write_flat_image("vm1-flat.vmdk", size=10 << 20,
                                partitions=[(0x83, 2048)],
                                header=cbt.RecoveryHeader(version=2, change_id=uid,
                                                          change_suffix=7, cbt_enabled=True))
    cbt.write_cbt("vm1-tolcbt.vmdk", [cbt.Extent(1 << 20, b"x" * 65536)],
                  changeid=cbt.changeid_text(uid, 7))

Corrupt files: pass `corrupt=` one of CORRUPTIONS to write_cbt.
Run as a script for a small demonstration: `cbt.py DIR`.
"""

import dataclasses
import os
import struct
import sys
import uuid as uuidlib

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


def changeid_text(uid: bytes, suffix: int) -> str:
    """The change identifier of a change-block file: UUID text "/" suffix."""
    return "%s/%d" % (uuidlib.UUID(bytes=uid), suffix)


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


def write_cbt(path, extents, **kwargs):
    """Writes a change-block file; returns its bytes."""
    data = cbt_bytes(extents, **kwargs)
    with open(path, "wb") as f:
        f.write(data)
    return data


def merge_table(extents, data_offset, flat_size, flat_dev, cbt_dev):
    """The device-mapper table that the merged device is expected to get."""
    lines, pos, change = [], 0, data_offset
    for e in extents:
        if e.start > pos:
            lines.append("%d %d linear %s %d" % (pos // SECTOR, (e.start - pos) // SECTOR, flat_dev,
                                                 pos // SECTOR))
            pos = e.start
        lines.append("%d %d linear %s %d" % (pos // SECTOR, len(e.data) // SECTOR, cbt_dev,
                                             change // SECTOR))
        pos += len(e.data)
        change += len(e.data)
    if flat_size > pos:
        lines.append("%d %d linear %s %d" % (pos // SECTOR, (flat_size - pos) // SECTOR, flat_dev,
                                             pos // SECTOR))
    return "".join(line + "\n" for line in lines)


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


def write_flat_image(path, size, partitions=((0x83, 2048),), header=None, header_sector=2,
                     used_sectors=(), fill=None):
    """A sparse flat image of `size` bytes with an MBR, optionally a recovery
    header in `header_sector`, and non-zero bytes in `used_sectors` (which
    makes them unavailable for the header). `fill(offset, length)` may supply
    content for the rest, written at 1 MiB granularity."""
    with open(path, "wb") as f:
        f.truncate(size)
        if fill is not None:
            for off in range(0, size, 1 << 20):
                f.seek(off)
                f.write(fill(off, min(1 << 20, size - off)))
        if partitions is not None:
            f.seek(0)
            f.write(mbr_bytes(list(partitions)))
        for s in used_sectors:
            f.seek(s * SECTOR)
            f.write(b"\xff" * SECTOR)
        if header is not None:
            f.seek(header_sector * SECTOR)
            f.write(header.to_bytes(size))


def _demo(directory):
    os.makedirs(directory, exist_ok=True)
    uid = bytes(range(16))
    write_flat_image(os.path.join(directory, "vm1-flat.vmdk"), 10 << 20,
                     header=RecoveryHeader(change_id=uid, change_suffix=7, cbt_enabled=True))
    extents = [Extent(1 << 20, b"\x11" * 65536), Extent(4 << 20, b"\x22" * 4096)]
    write_cbt(os.path.join(directory, "vm1-tolcbt.vmdk"), extents, changeid=changeid_text(uid, 7),
              data_offset=4096)
    for kind in CORRUPTIONS:
        write_cbt(os.path.join(directory, "bad-%s-tolcbt.vmdk" % kind), extents, corrupt=kind)
    sys.stdout.write(merge_table(extents, 4096, 10 << 20, "FLAT", "CBT"))


if __name__ == "__main__":
    _demo(sys.argv[1] if len(sys.argv) > 1 else ".")
