#!/usr/bin/env bash
# Soak run: 16 reader threads (bench_soak_reader) over 32 flat images, half of
# them with a change-block file (merged devices), served by one recovery_fs
# for minutes, while the controller stand-in flips "lumiread.enabled" every
# few seconds (settings refreshed every 2 s) and the eviction thread runs
# every second. The readers move over the images, so that images fall idle
# for more than 60 s, are evicted and opened again. Every byte read is
# compared with the expected content (computed by
# tests/integration/image_merge.py). Prints the bytes read, the errors, the
# evictions, and recovery_fs's open descriptors, the device-mapper devices,
# the loop devices and recovery_fs's resident memory after the first minute
# and at the end, and what is left after the unmount.
#
# Usage (root): bench/soak.sh [SECONDS]        default 180
# Runs in the appliance sandbox; the images live below the build directory
# (real disk, removed at the end). RFS_BUILD_DIR selects the build.
# Exit status 0 when no read failed or differed.
set -uo pipefail
. "$(dirname "$0")/lib.sh"
shift
SECONDS_TOTAL=${1:-180}
THREADS=16
IMAGES=32
IMAGE_SIZE=$((4 * 1048576))
REG=/var/tolvane/controller/registry.json

W=$(mktemp -d "$B/bench-soak.XXXXXX")
S=$W/scratch
M=$W/mnt
LOG=$W/log
RFS=
FLIPPER=
cleanup() {
    [ -n "$FLIPPER" ] && kill "$FLIPPER" 2>/dev/null
    mountpoint -q "$M" && fusermount -u "$M"
    [ -n "$RFS" ] && wait "$RFS" 2>/dev/null
    rm -rf "$W"
}
trap cleanup EXIT
mkdir -p "$M" "$LOG" "$W/want"
say() { echo "# $*" >&2; }

# --- the images -------------------------------------------------------------
say "generating $IMAGES flat images of $((IMAGE_SIZE / 1048576)) MiB"
python3 - "$W/layout.json" "$IMAGES" "$IMAGE_SIZE" <<'PY'
import json, sys
path, count, size = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
change = "7c8d9e0f-1a2b-4c3d-8e4f-5a6b7c8d9e0f"
vms = []
for v in range(count // 4):
    disks = []
    for d in range(4):
        disk = {"name": "disk%d" % d, "size": size, "content": "fast:%d" % (4 * v + d + 1),
                "mbr": [[131, 2048, size // 512 - 2048]],
                "header": {"version": 2, "change_id": change, "change_suffix": 1}}
        if d % 2 == 0:
            disk["tolcbt"] = {"random_extents": {"count": 64, "seed": 4 * v + d, "max_sectors": 128,
                                                 "min_sector": 2048}}
        disks.append(disk)
    vms.append({"name": "vm%d" % v, "disks": disks})
json.dump({"vms": vms}, open(path, "w"))
PY
python3 "$SRC/tools/mkscratch" "$S" --layout "$W/layout.json" >/dev/null || exit 1
: >"$W/list"
for flat in "$S"/vm*/disk*-flat.vmdk; do
    rel=${flat#"$S"/}
    want=$W/want/${rel//\//_}
    cbt=()
    [ -e "${flat%-flat.vmdk}-tolcbt.vmdk" ] && cbt=(--cbt "${flat%-flat.vmdk}-tolcbt.vmdk")
    python3 "$SRC/tests/integration/image_merge.py" "$flat" "$want" "${cbt[@]}" --hide-sector 2 || exit 1
    echo "$M/$rel $want" >>"$W/list"
done

# --- the run ------------------------------------------------------------------
set_reg() { # KEY VALUE
    python3 - "$REG" "$1" "$2" <<'PY'
import json, os, sys
path, key, value = sys.argv[1:]
reg = json.load(open(path))
reg[key] = value
json.dump(reg, open(path + ".new", "w"))
os.rename(path + ".new", path)
PY
}

# Debug level 1 logs every eviction. Eviction every second, the controller
# asked every second, a refresh every 2 s.
set_reg appliance.debug.level 1
RFS_TEST_THREAD_PERIODS=1,1,2 "$B/src/recovery_fs" "$M" -P "$S" --volume-path="$W/vol" -L "$LOG" -f \
    >"$LOG/rfs.out" 2>&1 &
RFS=$!
for _ in $(seq 200); do mountpoint -q "$M" && break; sleep 0.05; done
mountpoint -q "$M" || { echo "recovery_fs did not mount" >&2; exit 1; }

(
    value=0
    while :; do
        sleep 3
        set_reg lumiread.enabled "$value"
        value=$((1 - value))
    done
) &
FLIPPER=$!

# sample: descriptors, device-mapper devices, loop devices over the scratch
# files, resident memory (KiB) of recovery_fs.
sample() {
    local fds dms loops rss
    fds=$(ls "/proc/$RFS/fd" 2>/dev/null | wc -l)
    dms=$(ls /dev/mapper | grep -vc '^control$')
    loops=$(losetup -n -O BACK-FILE 2>/dev/null | grep -c "^$S/")
    rss=$(awk '/^VmRSS:/ { print $2 }' "/proc/$RFS/status" 2>/dev/null)
    echo "$fds $dms $loops ${rss:-0}"
}

say "reading for $SECONDS_TOTAL s with $THREADS threads"
"$B/bench/bench_soak_reader" "$SECONDS_TOTAL" "$THREADS" "$W/list" >"$W/reader.out" 2>"$W/reader.err" &
READER=$!
FIRST="- - - -"
if [ "$SECONDS_TOTAL" -gt 60 ]; then
    sleep 60
    FIRST=$(sample)
fi
wait "$READER"
READER_RC=$?
LAST=$(sample)
EVICTIONS=$(grep -c 'recovery_do_evict: evicting' "$LOG/recovery_fs")
kill "$FLIPPER" 2>/dev/null
wait "$FLIPPER" 2>/dev/null
FLIPPER=
fusermount -u "$M"
wait "$RFS"
RFS_RC=$?
RFS=
sleep 1
AFTER="$(ls /dev/mapper | grep -vc '^control$') $(losetup -n -O BACK-FILE 2>/dev/null | grep -c "^$S/")"

# --- report -------------------------------------------------------------------
get() { awk -v k="$1" '$1 == k { print $2 }' "$W/reader.out"; }
flips=$(grep -c 'reg: changing lumiread.enabled' "$LOG/recovery_fs")
validated=$(grep -c 'successfully validated' "$LOG/recovery_fs")
echo
echo "Soak: $THREADS readers, $IMAGES images of $((IMAGE_SIZE / 1048576)) MiB ($((IMAGES / 2)) merged), $SECONDS_TOTAL s"
echo "bytes read        $(get bytes_read) ($(( $(get bytes_read) / 1048576 / SECONDS_TOTAL )) MiB/s) in $(get reads) reads, $(get opens) opens"
echo "errors            $(get errors)"
echo "settings flips    $flips (lumiread.enabled changes seen by recovery_fs)"
echo "evictions         $EVICTIONS (idle images released while running)"
echo "images validated  $validated (first opens and opens after an eviction)"
printf '%-18s %8s %8s %8s %10s\n' "" descr dm loop "VmRSS KiB"
printf '%-18s %8s %8s %8s %10s\n' "after 1 minute" $FIRST
printf '%-18s %8s %8s %8s %10s\n' "at the end" $LAST
printf '%-18s %8s %8s %8s\n' "after unmount" - $AFTER
echo "recovery_fs exit status $RFS_RC"
if [ -s "$W/reader.err" ]; then
    echo "first errors:"
    head -10 "$W/reader.err"
fi
[ "$READER_RC" -eq 0 ] && [ "$RFS_RC" -eq 0 ]
