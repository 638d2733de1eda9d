#!/usr/bin/env python3
"""What a client must read from a flat image that recovery_fs serves,
computed here without the system's code: the base flat file, every changed
range of its change-block file laid over it, unused sectors of an in-use
bitmap zeroed, and the recovery-header sector hidden.

    image_merge.py FLAT OUT [--cbt FILE] [--hide-sector N] [--bitmap FILE]

The change-block file is parsed from its documented layout: a 372-byte
header (magic 0xCBCB1111, extent list offset at byte 8, data offset at 16,
total change size at 24), 20-byte entries (marker, start, length), and the
data of the entries one after another from the data offset. Entries are
meant to be sorted; one that starts before the end of the previous one is
placed right after it (where the merged device's table puts it).
"""

import argparse
import struct
import sys

SECTOR = 512


def cbt_extents(path):
    """(start, data) of every changed range, in list order."""
    with open(path, "rb") as f:
        blob = f.read()
    magic, _version, list_off, data_off, total = struct.unpack_from("<IIqqq", blob, 0)
    if magic != 0xCBCB1111:
        raise SystemExit("%s: not a change-block file" % path)
    if total == 0:
        return []
    out, pos = [], data_off
    for i in range((data_off - list_off) // 20):
        marker, start, length = struct.unpack_from("<Iqq", blob, list_off + 20 * i)
        out.append((start, blob[pos:pos + length]))
        pos += length
        if marker == 0xCBCB5555:
            return out
    raise SystemExit("%s: extent list without its last entry" % path)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("flat")
    ap.add_argument("out")
    ap.add_argument("--cbt")
    ap.add_argument("--hide-sector", type=int)
    ap.add_argument("--bitmap")
    args = ap.parse_args()

    with open(args.flat, "rb") as f:
        image = bytearray(f.read())
    size = len(image)
    if args.cbt:
        position = 0
        for start, data in cbt_extents(args.cbt):
            position = max(start, position)
            image[position:position + len(data)] = data
            position += len(data)
        del image[size:]  # the client sees the flat file's size
    if args.bitmap:
        with open(args.bitmap, "rb") as f:
            bits = f.read()
        for sector in range(size // SECTOR):
            if not bits[sector // 8] >> (sector % 8) & 1:
                image[sector * SECTOR:(sector + 1) * SECTOR] = bytes(SECTOR)
    if args.hide_sector is not None:
        s = args.hide_sector * SECTOR
        image[s:s + SECTOR] = bytes(SECTOR)
    with open(args.out, "wb") as f:
        f.write(image)
    return 0


if __name__ == "__main__":
    sys.exit(main())
