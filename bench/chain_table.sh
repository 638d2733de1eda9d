#!/usr/bin/env bash
# Emission of the device-mapper table of a two-level chain of monolithic
# sparse disks (a delta over a sparse base), for two disk sizes: time, table
# lines and peak RSS of `vmdk-mount --table` (which emits exactly the table
# of `vmdk-mount --device`, extent files in place of loop devices). The
# memory must not grow with the size: one grain table per disk is held at a
# time, beside the grain directories (4 bytes per 32 MiB of disk).
#
# qemu-img makes both disks (subformat monolithicSparse) and qemu-io writes
# a few thousand grains of 64 KiB at random grain-aligned offsets into each
# level. The appliance reads the disks through descriptor files of their own
# that name the sparse files as extents, the base's and the delta's with
# their parent link. No root needed; the files are sparse and small.
#
# A hosted sparse disk's capacity must fit 32 bits of sectors, so the
# largest size is 2047 GiB rather than 2 TiB.
#
# Usage: bench/chain_table.sh [SIZE_GIB ...]     default: 256 2047
# GRAINS (default 3000) sets the grains written per level. The peak RSS is
# that of vmdk-mount alone (wait4's ru_maxrss).
set -uo pipefail
SRC=$(cd "$(dirname "$0")/.." && pwd)
B=${RFS_BUILD_DIR:-$SRC/build}
VMOUNT=$B/tools/vmdk-mount
GRAINS=${GRAINS:-3000}
[ -x "$VMOUNT" ] || { echo "$VMOUNT is not built" >&2; exit 1; }
for c in qemu-img qemu-io; do
    command -v "$c" >/dev/null || { echo "needs $c (tools/setup-deps.sh)" >&2; exit 1; }
done
W=$(mktemp -d /tmp/bench-chain-table.XXXXXX)
trap 'rm -rf "$W"' EXIT
cd "$W" || exit 1

# writes SEED BYTE GIB: qemu-io commands writing GRAINS grains of 64 KiB.
writes() {
    awk -v n="$GRAINS" -v seed="$1" -v byte="$2" -v slots=$(($3 * 16384)) 'BEGIN {
        srand(seed)
        for (i = 0; i < n; i++)
            printf "write -P %d %.0f 65536\n", byte, int(rand() * slots) * 65536
    }'
}

# descriptor NAME CID PARENT_CID [PARENT]: the appliance's descriptor NAME.vmdk
# of the sparse file NAME-s.vmdk.
descriptor() {
    printf '# Disk DescriptorFile\nversion=1\nCID=%s\nparentCID=%s\ncreateType="monolithicSparse"\n' "$2" "$3"
    [ -n "${4:-}" ] && printf 'parentFileNameHint="%s"\n' "$4"
    printf 'RW %d SPARSE "%s-s.vmdk"\n' "$sectors" "$1"
}

# Time, lines and peak RSS of a command whose output is counted, not kept.
measure() {
    /usr/bin/python3 - "$@" <<'EOF'
import os, sys, time
start = time.monotonic()
r, w = os.pipe()
pid = os.fork()
if pid == 0:
    os.dup2(w, 1)
    os.close(r)
    os.close(w)
    os.execv(sys.argv[1], sys.argv[1:])
os.close(w)
lines = 0
with os.fdopen(r, "rb") as out:
    for block in iter(lambda: out.read(1 << 16), b""):
        lines += block.count(b"\n")
_, status, usage = os.wait4(pid, 0)
print("%.2f %d %d %d" % (time.monotonic() - start, lines, usage.ru_maxrss,
                         os.waitstatus_to_exitcode(status)))
EOF
}

printf '%-10s %12s %10s %12s %14s\n' "disk" "grains/level" "seconds" "table lines" "peak RSS KiB"
[ $# -gt 0 ] || set -- 256 2047
for gib in "$@"; do
    rm -f ./*.vmdk
    sectors=$((gib * 2097152))
    qemu-img create -q -f vmdk -o subformat=monolithicSparse base-s.vmdk "${gib}G" &&
        writes 1 17 "$gib" | qemu-io -f vmdk base-s.vmdk >/dev/null &&
        qemu-img create -q -f vmdk -o subformat=monolithicSparse -b base-s.vmdk -F vmdk delta-s.vmdk &&
        writes 2 34 "$gib" | qemu-io -f vmdk delta-s.vmdk >/dev/null || exit 1
    descriptor base 00000100 ffffffff >base.vmdk
    descriptor delta 00000101 00000100 base.vmdk >delta.vmdk
    read -r secs lines rss rc < <(measure "$VMOUNT" --table "$W/delta.vmdk")
    [ "$rc" = 0 ] || { echo "vmdk-mount --table failed for $gib GiB (status $rc)" >&2; exit 1; }
    printf '%-10s %12s %10s %12s %14s\n' "$gib GiB" "$GRAINS" "$secs" "$lines" "$rss"
done
