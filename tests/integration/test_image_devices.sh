#!/usr/bin/env bash
# Loop devices, unique device-mapper names, the merged change-block device,
# partition mapping and bitmap reads on real block devices, inside the
# appliance sandbox: runs the gtest program of tests/integration/devices there.
set -uo pipefail
SRC=${RFS_SOURCE_DIR:-$(cd "$(dirname "$0")/../.." && pwd)}
export RFS_BUILD_DIR=${RFS_BUILD_DIR:-$SRC/build}
[ "$(id -u)" -eq 0 ] || { echo "SKIP: needs root"; exit 77; }
[ -c /dev/fuse ] || { echo "SKIP: no /dev/fuse"; exit 77; }
[ -e /dev/loop-control ] || { echo "SKIP: no loop devices"; exit 77; }
[ "${1:-}" = --inside ] || exec "$SRC/platform/sandbox" bash "$0" --inside

failed=0
exe=$RFS_BUILD_DIR/tests/integration_devices
if [ ! -x "$exe" ]; then
    echo "FAIL: $exe is not built"
    exit 1
fi
"$exe" || failed=1

# Whatever the cases did, nothing of theirs may stay behind.
leftover=$(ls /dev/mapper | grep -E '^(cbt|rfstest)\.' || true)
if [ -n "$leftover" ]; then
    echo "FAIL: device-mapper devices left: $leftover"
    failed=$((failed + 1))
fi

[ "$failed" -eq 0 ]
