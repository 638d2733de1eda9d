#!/usr/bin/env python3
"""What a client must read from a served flat image, computed without the
system's code: the flat file with every changed range of its change-block
file laid over it, unused sectors of an in-use bitmap zeroed, the
recovery-header sector hidden.

    image_merge.py FLAT OUT [--cbt FILE] [--hide-sector N] [--bitmap FILE]

Change-block file: a header (magic 0xCBCB1111, extent list offset at byte 8,
data offset at 16, total change size at 24), 20-byte entries (marker, start,
length), the entries' data in order from the data offset. An entry that
starts before the end of the previous one goes right after it, as in the
merged device's table.
"""

import argparse
import struct

SECTOR = 512


def cbt_extents(path):
    """(start, data) of every changed range, in list order."""
    blob = open(path, "rb").read()
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

    image = bytearray(open(args.flat, "rb").read())
    size = len(image)
    if args.cbt:
        position = 0
        for start, data in cbt_extents(args.cbt):
            position = max(start, position)
            image[position:position + len(data)] = data
            position += len(data)
        del image[size:]  # the client sees the flat file's size
    if args.bitmap:
        bits = open(args.bitmap, "rb").read()
        for sector in range(size // SECTOR):
            if not bits[sector // 8] >> (sector % 8) & 1:
                image[sector * SECTOR:(sector + 1) * SECTOR] = bytes(SECTOR)
    if args.hide_sector is not None:
        s = args.hide_sector * SECTOR
        image[s:s + SECTOR] = bytes(SECTOR)
    open(args.out, "wb").write(image)


if __name__ == "__main__":
    main()
