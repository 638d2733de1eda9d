#!/usr/bin/env bash
# Emission of the device-mapper table of a two-level chain of monolithic
# sparse disks (a delta over a sparse base), for two disk sizes: time, table
# lines and peak RSS of `vmdk-mount --table` (which emits exactly the table
# of `vmdk-mount --device`, extent files in place of loop devices). The
# memory must not grow with the size: one grain table per disk is held at a
# time, beside the grain directories (4 bytes per 32 MiB of disk).
#
# Both disks hold one grain in every 8th grain table: the base the first
# grain of the table, the delta the second, so every table gives a few
# lines. No root needed; the files are sparse and small.
#
# Usage: bench/chain_table.sh [SIZE_GIB ...]     default: 256 2047
# Needs /usr/bin/time (GNU time), which reports the peak RSS of the program
# alone.
set -uo pipefail
SRC=$(cd "$(dirname "$0")/.." && pwd)
B=${RFS_BUILD_DIR:-$SRC/build}
VMOUNT=$B/tools/vmdk-mount
[ -x "$VMOUNT" ] || { echo "$VMOUNT is not built" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "needs /usr/bin/time (GNU time)" >&2; exit 1; }
W=$(mktemp -d /tmp/bench-chain-table.XXXXXX)
trap 'rm -rf "$W"' EXIT

[ $# -gt 0 ] || set -- 256 2047
printf '%-10s %10s %12s %14s\n' "disk" "seconds" "table lines" "peak RSS KiB"
for gib in "$@"; do
    /usr/bin/python3 - "$W" "$gib" <<'EOF'
import os, struct, sys
w, gib = sys.argv[1], int(sys.argv[2])
GS, GTE = 128, 512
cap = gib << 21  # sectors
tables = -(-cap // (GS * GTE))

def sparse(path, slot):
    gd_sectors = -(-tables * 4 // 512)
    held = range(0, tables, 8)
    gt_at = {t: 1 + gd_sectors + i * 4 for i, t in enumerate(held)}
    data = 1 + gd_sectors + len(gt_at) * 4
    with open(path, "wb") as f:
        f.write(struct.pack("<4sIIQQQQIQQQ", b"KDMV", 1, 0, cap, GS, 0, 0, GTE, 0, 1, 0))
        f.seek(512)
        f.write(struct.pack("<%dI" % tables, *[gt_at.get(t, 0) for t in range(tables)]))
        for i, (t, at) in enumerate(gt_at.items()):
            gt = [0] * GTE
            gt[slot] = data + i * GS
            f.seek(at * 512)
            f.write(struct.pack("<%dI" % GTE, *gt))
        f.truncate((data + len(gt_at) * GS) * 512)

def descriptor(name, cid, parent):
    hint = 'parentFileNameHint="%s"\n' % parent if parent else ""
    with open(os.path.join(w, name + ".vmdk"), "w") as f:
        f.write('# Disk DescriptorFile\nversion=1\nCID=%08x\nparentCID=%s\n'
                'createType="monolithicSparse"\n%sRW %d SPARSE "%s-s.vmdk"\n'
                % (cid, "%08x" % (cid - 1) if parent else "ffffffff", hint, cap, name))
    sparse(os.path.join(w, name + "-s.vmdk"), 0 if not parent else 1)

descriptor("base", 0x100, None)
descriptor("delta", 0x101, "base.vmdk")
EOF
    lines=$(/usr/bin/time -o "$W/time" -f '%e %M' "$VMOUNT" --table "$W/delta.vmdk" | wc -l)
    read -r secs rss < "$W/time"
    printf '%-10s %10s %12s %14s\n' "$gib GiB" "$secs" "$lines" "$rss"
done
