#!/usr/bin/env bash
# Loop devices, unique device-mapper names, the merged change-block device,
# partition mapping and bitmap reads on real block devices, inside the
# appliance sandbox. The cases live in the unit test binaries as disabled
# tests (they need root and the stand-ins); this script runs them there.
set -uo pipefail
SRC=${RFS_SOURCE_DIR:-$(cd "$(dirname "$0")/../.." && pwd)}
export RFS_BUILD_DIR=${RFS_BUILD_DIR:-$SRC/build}
[ "$(id -u)" -eq 0 ] || { echo "SKIP: needs root"; exit 77; }
[ -c /dev/fuse ] || { echo "SKIP: no /dev/fuse"; exit 77; }
[ -e /dev/loop-control ] || { echo "SKIP: no loop devices"; exit 77; }
[ "${1:-}" = --inside ] || exec "$SRC/platform/sandbox" bash "$0" --inside

passed=0
failed=0
for bin in unit_mounter unit_image; do
    exe=$RFS_BUILD_DIR/tests/$bin
    if [ ! -x "$exe" ]; then
        echo "FAIL: $exe is not built"
        failed=$((failed + 1))
        continue
    fi
    out=$(mktemp)
    "$exe" --gtest_also_run_disabled_tests --gtest_filter='LoopSandbox.*:DeviceSandbox.*' --gtest_brief=0 >"$out" 2>&1
    rc=$?
    ok=$(grep -c '^\[       OK \]' "$out")
    bad=$(grep -c '^\[  FAILED  \] .*(' "$out")
    passed=$((passed + ok))
    failed=$((failed + bad))
    if [ "$rc" -ne 0 ] || [ "$ok" -eq 0 ]; then
        cat "$out"
        [ "$bad" -eq 0 ] && failed=$((failed + 1))
    fi
    rm -f "$out"
done

# Whatever the cases did, nothing of theirs may stay behind.
leftover=$(ls /dev/mapper | grep -E '^(cbt|rfstest)\.' || true)
if [ -n "$leftover" ]; then
    echo "FAIL: device-mapper devices left: $leftover"
    failed=$((failed + 1))
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
