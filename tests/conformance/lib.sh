# Device conformance suite: what every test shares. A test defines
# `prepare DIR` (on the host: builds its images with the real tools) and
# `run_tests DIR` (on the target: the kernel's device-mapper or the sandbox),
# then calls `conf_main "$@"`: without arguments it runs through
# run-target.sh auto; `--prepare DIR` only builds, `--run DIR` only runs.
# The programs run at the product's paths.

set -euo pipefail
# The last command of a pipeline runs in this shell, so that `defer` and
# variables set there stay.
shopt -s lastpipe

CONF_LIB_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
: "${RFS_SOURCE_DIR:=$(cd "$CONF_LIB_DIR/../.." && pwd)}"
CONF_SCRIPT=$(readlink -f "$0")
CONF_NAME=$(basename "$0" .sh)

DMSETUP=/sbin/dmsetup
LOSETUP=/sbin/losetup
KPARTX=/sbin/kpartx
MOUNT=/bin/mount
UMOUNT=/bin/umount

CONF_PASS=0 CONF_FAIL=0 CONF_SKIP=0
ok() { CONF_PASS=$((CONF_PASS + 1)); echo "ok    $*"; }
not_ok() { CONF_FAIL=$((CONF_FAIL + 1)); echo "FAIL  $*"; }
skip() { CONF_SKIP=$((CONF_SKIP + 1)); echo "skip  $*"; }

# Indented detail lines under a failure.
detail() { sed 's/^/        | /' | head -n 20; }

# guard COMMAND...: runs COMMAND for at most RFS_CONF_CMD_TIMEOUT seconds
# (120, the product's limit). A command stuck in device I/O cannot be killed,
# so CONF_ON_HANG (e.g. resuming a suspended device) runs first.
guard() {
    local limit=${RFS_CONF_CMD_TIMEOUT:-120} pid dog rc=0
    "$@" &
    pid=$!
    (
        # The sleep must neither outlive the command nor hold the output pipe.
        trap 'kill $sleeper 2>/dev/null; exit 0' TERM
        sleep "$limit" </dev/null >/dev/null 2>&1 &
        sleeper=$!
        wait $sleeper
        echo "rfs-conf: still running after $limit s: $*" >&2
        [[ -n ${CONF_ON_HANG:-} ]] && eval "$CONF_ON_HANG" >/dev/null 2>&1
        kill -KILL "$pid"
    ) 2>&1 &
    dog=$!
    wait "$pid" || rc=$?
    kill "$dog" 2>/dev/null || true
    wait "$dog" 2>/dev/null || true
    return "$rc"
}

# check DESC COMMAND...: COMMAND exits 0; check_fails DESC COMMAND...: non-zero.
check() { conf_expect 0 "$@"; }
check_fails() { conf_expect 1 "$@"; }
conf_expect() {
    local fails=$1 desc=$2 out rc=0
    shift 2
    out=$(guard "$@" 2>&1) || rc=$?
    if (((rc != 0) == fails)); then
        ok "$desc"
        return 0
    fi
    ((fails)) && not_ok "$desc (succeeded but must fail: $*)" || not_ok "$desc (exit $rc: $*)"
    printf '%s\n' "$out" | detail
    return 0
}

check_eq() { # DESC EXPECTED ACTUAL
    if [[ $2 == "$3" ]]; then
        ok "$1"
    else
        not_ok "$1"
        { echo "expected:"; printf '%s\n' "$2"; echo "actual:"; printf '%s\n' "$3"; } | detail
    fi
}

# Commands run in reverse order at exit, whatever happened.
CONF_DEFER=()
defer() { CONF_DEFER+=("$(printf '%q ' "$@")"); }
conf_cleanup() {
    local i
    for ((i = ${#CONF_DEFER[@]} - 1; i >= 0; i--)); do
        eval "${CONF_DEFER[i]}" >/dev/null 2>&1 || true
    done
    CONF_DEFER=()
}

conf_main() {
    case ${1:-} in
    --prepare) mkdir -p "$2" && prepare "$2" ;;
    --run) conf_run "$2" ;;
    "") exec "$CONF_LIB_DIR/run-target.sh" auto "$CONF_NAME" ;;
    *) echo "usage: $0 [--prepare DIR | --run DIR]" >&2; exit 2 ;;
    esac
}

conf_run() {
    local target="real kernel ($(uname -r))"
    [[ ${RFS_CONF_TARGET:-} == sandbox ]] && target=sandbox
    # A failing command outside the checks ends the test: say where.
    CONF_DONE=0
    trap 'rc=$?; ((CONF_DONE)) || { echo "FAIL  $CONF_NAME stopped (exit $rc) at: $BASH_COMMAND"; rc=1; }; conf_cleanup; exit $rc' EXIT
    echo "== $CONF_NAME, target: $target"
    if [[ $target != sandbox ]] && ! grep -qw device-mapper /proc/devices && [[ ! -d /sys/module/dm_mod ]]; then
        not_ok "the real-kernel target needs device-mapper in the kernel"
    else
        export DM_DISABLE_UDEV=1
        run_tests "$1"
    fi
    conf_cleanup
    echo "== $CONF_NAME [target: $target]: $CONF_PASS passed, $CONF_FAIL failed, $CONF_SKIP skipped"
    CONF_DONE=1
    exit $((CONF_FAIL != 0))
}

# "MAJOR:MINOR" of a block device, as device-mapper tables print it.
majmin() { stat -Lc '%Hr:%Lr' "$1"; }

# The product's two-step attach: "losetup -f", then "losetup [-r] DEV FILE",
# retried when another user took the device in between (exit 1 or 2).
# attach VAR FILE ro|rw: sets VAR to the device; it is detached at exit.
attach() {
    local -n _dev=$1
    local _file=$2 _mode=$3 _try _cand _rc
    for ((_try = 0; _try < 11; _try++)); do
        _cand=$("$LOSETUP" -f | head -n1) || true
        [[ -n $_cand ]] || continue
        _rc=0
        "$LOSETUP" $([[ $_mode == ro ]] && echo -r) "$_cand" "$_file" 2>/dev/null || _rc=$?
        ((_rc == 0)) && { _dev=$_cand; defer "$LOSETUP" -d "$_cand"; return 0; }
        ((_rc == 1 || _rc == 2)) || break
    done
    echo "cannot attach $_file to a loop device" >&2
    return 1
}

# dm_create_text NAME TEXT: the table text as given on standard input.
dm_create_text() { printf '%s' "$2" | "$DMSETUP" create "$1"; }

dm_remove() { [[ ! -e /dev/mapper/$1 ]] || "$DMSETUP" remove -f "$1"; }
size_bytes() { blockdev --getsize64 "$1"; }
same_bytes() { cmp -n "$3" "$1" "$2"; } # A B N: the first N bytes

# A unique device-mapper name, in the product's "%s.%d" form.
uniq_name() { echo "$1.$((RANDOM * 32768 % 1000000 + RANDOM % 32768))"; }

# The product's snapshot overlay on the disk device BASE, each step checked:
# a store file of 52428801 bytes in /tmp attached read-write, BASE's table
# copied into BASE.dup, BASE suspended, BASE.top created with the snapshot
# table, loaded into BASE, BASE resumed (which the kernel refuses while
# BASE.top on the same store is live: it is suspended first). Sets
# OVERLAY_STORE, OVERLAY_LOOP, OVERLAY_TABLE; fails when a step failed.
overlay_setup() {
    local base=$1 sectors failed=$CONF_FAIL
    OVERLAY_STORE=/tmp/$base.tolstorage
    defer rm -f "$OVERLAY_STORE"
    truncate -s 52428801 "$OVERLAY_STORE"
    attach OVERLAY_LOOP "$OVERLAY_STORE" rw
    check_eq "the store's loop device is 50 MiB (the odd byte is dropped)" 52428800 "$(size_bytes "$OVERLAY_LOOP" 2>&1)"
    defer dm_remove "$base.dup"
    check "table BASE | create BASE.dup" bash -c '"$1" table "$2" | "$1" create "$2.dup"' _ "$DMSETUP" "$base"
    check "suspend BASE" "$DMSETUP" suspend "$base"
    sectors=$(($(size_bytes "/dev/mapper/$base.dup") / 512))
    defer dm_remove "$base.top"
    check "create BASE.top with 'snapshot ORIGIN STORE p 4' (no line end)" \
        dm_create_text "$base.top" "0 $sectors snapshot /dev/mapper/$base.dup $OVERLAY_LOOP p 4"
    OVERLAY_TABLE="0 $sectors snapshot $(majmin "/dev/mapper/$base.dup") $(majmin "$OVERLAY_LOOP") P 4"
    check_eq "table BASE.top: devices as major:minor, persistence as P" "$OVERLAY_TABLE" "$("$DMSETUP" table "$base.top" 2>&1)"
    check "table BASE.top | load BASE" bash -c '"$1" table "$2.top" | "$1" load "$2"' _ "$DMSETUP" "$base"
    check_fails "resume BASE while BASE.top, on the same store, is live fails" "$DMSETUP" resume "$base"
    check "suspend BASE.top" "$DMSETUP" suspend "$base.top"
    check "then resume BASE succeeds" "$DMSETUP" resume "$base"
    check_eq "table BASE is the snapshot table" "$OVERLAY_TABLE" "$("$DMSETUP" table "$base" 2>&1)"
    ((CONF_FAIL == failed))
}

# The product's teardown order: BASE, then BASE.top, then BASE.dup, the store.
overlay_teardown() {
    local base=$1
    check "remove -f BASE" "$DMSETUP" remove -f "$base"
    check "remove -f BASE.top" "$DMSETUP" remove -f "$base.top"
    check "remove -f BASE.dup" "$DMSETUP" remove -f "$base.dup"
    check "the store's loop device detaches" "$LOSETUP" -d "$OVERLAY_LOOP"
    rm -f "$OVERLAY_STORE"
    check "no node of BASE is left" bash -c '! ls /dev/mapper | grep -qF "$1"' _ "$base"
}

# pattern FILE SECTORS TAG: every 512-byte sector holds TAG and its number.
pattern() {
    awk -v n="$2" -v tag="$3" 'BEGIN {
        pad = sprintf("%511s", ""); gsub(/ /, ".", pad)
        for (i = 0; i < n; i++) { s = sprintf("%s %010d ", tag, i); printf "%s%s\n", s, substr(pad, length(s) + 1) }
    }' >"$1"
}

# fs_image TYPE FILE MIB SRC_DIR: a file system of the type holding SRC_DIR's files.
fs_image() {
    local type=$1 file=$2 mib=$3 src=$4 f
    rm -f "$file"
    truncate -s "${mib}M" "$file"
    case $type in
    ext2 | ext3 | ext4) "mkfs.$type" -q -F -d "$src" "$file" ;;
    vfat)
        mkfs.vfat "$file" >/dev/null
        for f in "$src"/*; do mcopy -i "$file" "$f" ::/; done
        ;;
    ntfs)
        mkfs.ntfs -F -f -q "$file" >/dev/null
        for f in "$src"/*; do ntfscp -f "$file" "$f" "$(basename "$f")" >/dev/null; done
        ;;
    *) echo "fs_image: unknown type $type" >&2; return 1 ;;
    esac
}
