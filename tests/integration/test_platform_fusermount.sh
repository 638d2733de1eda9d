#!/usr/bin/env bash
# The FUSE unmount helper at /usr/local/tolvane/bin/fusermount: "-uz" lazily
# unmounts a FUSE mount (busy or not) with exit 0 and refuses everything else.
set -uo pipefail
SRC=${RFS_SOURCE_DIR:-$(cd "$(dirname "$0")/../.." && pwd)}
export RFS_BUILD_DIR=${RFS_BUILD_DIR:-$SRC/build}
[ "$(id -u)" -eq 0 ] || { echo "SKIP: needs root"; exit 77; }
[ -c /dev/fuse ] || { echo "SKIP: no /dev/fuse"; exit 77; }
[ "${1:-}" = --inside ] || exec "$SRC/platform/sandbox" bash "$0" --inside

passed=0 failed=0
ok() { passed=$((passed + 1)); }
bad() { failed=$((failed + 1)); echo "FAIL: $*"; }
FM=/usr/local/tolvane/bin/fusermount
PROVIDER=$RFS_BUILD_DIR/platform/inuse_bitmap/rfs-inuse-bitmap

mount_fuse() { # DIR: any FUSE file system will do; the bitmap provider is at hand
    mkdir -p "$1"
    "$PROVIDER" "$1" --override=/tmp/none >/dev/null 2>&1
    mountpoint -q "$1"
}

mount_fuse /tmp/f1 || bad "cannot mount a FUSE file system"
"$FM" -uz /tmp/f1; rc=$?
[ $rc -eq 0 ] && ! mountpoint -q /tmp/f1 && ok || bad "-uz of an idle FUSE mount: exit $rc"

# Busy: a process has its working directory inside. Lazy unmount still succeeds.
mount_fuse /tmp/f2
(cd /tmp/f2 && sleep 30) & holder=$!
sleep 0.2
"$FM" -uz /tmp/f2/; rc=$?
[ $rc -eq 0 ] && ! mountpoint -q /tmp/f2 && ok || bad "-uz of a busy FUSE mount (trailing slash): exit $rc"
kill "$holder" 2>/dev/null; wait "$holder" 2>/dev/null

# Relative paths are resolved.
mount_fuse /tmp/f3
(cd /tmp && "$FM" -u -z f3); rc=$?
[ $rc -eq 0 ] && ! mountpoint -q /tmp/f3 && ok || bad "-u -z with a relative path: exit $rc"

# Not FUSE, not mounted, bad usage: exit 1 and nothing unmounted.
mkdir -p /tmp/t && mount -t tmpfs none /tmp/t
"$FM" -uz /tmp/t 2>/dev/null; rc=$?
[ $rc -eq 1 ] && mountpoint -q /tmp/t && ok || bad "a tmpfs mount must be refused (exit $rc)"
umount /tmp/t
mkdir -p /tmp/plain
"$FM" -uz /tmp/plain 2>/dev/null; [ $? -eq 1 ] && ok || bad "a directory that is no mount must fail"
"$FM" /tmp/plain 2>/dev/null; [ $? -eq 1 ] && ok || bad "without -u it must be a usage error"
"$FM" -uz 2>/dev/null; [ $? -eq 1 ] && ok || bad "without a path it must be a usage error"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
