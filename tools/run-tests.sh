#!/usr/bin/env bash
# Builds recovery_fs and runs its whole test suite, as root, on Debian 12:
# unit, integration and conformance tests on this host, the unit tests again
# under ASan+UBSan, the concurrency tests under TSan, bounded fuzzing, and the
# real-kernel tier in a VM. Every build treats warnings as errors.
#
#   tools/run-tests.sh            everything
#   RFS_SKIP_VM=1 tools/run-tests.sh    everything but the VM tier
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
jobs=$(nproc)

[ "$(id -u)" -eq 0 ] || { echo "run-tests: must run as root (mounts, loop devices)" >&2; exit 1; }

bash tools/setup-deps.sh

section() { printf '\n==== %s ====\n' "$*"; }

section "build"
cmake -S . -B build -DRFS_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$jobs"

section "sanitizer build (ASan+UBSan) and unit tests"
cmake -S . -B build-asan -DRFS_WERROR=ON -DRFS_SANITIZE=address -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build-asan -L unit --output-on-failure -j"$jobs"

section "ThreadSanitizer build and concurrency unit tests"
cmake -S . -B build-tsan -DRFS_WERROR=ON -DRFS_SANITIZE=thread -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build-tsan -j"$jobs"
TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build-tsan -R Concurrent -L unit --output-on-failure -j"$jobs"

if [ -x tests/fuzz/run.sh ]; then
    section "fuzzing (bounded)"
    tests/fuzz/run.sh build-fuzz
fi

if [ -x tests/vm/run-tier.sh ] && [ -z "${RFS_SKIP_VM:-}" ]; then
    section "real-kernel tier (VM)"
    RFS_BUILD_DIR="$top/build" tests/vm/run-tier.sh
fi

section "unit, integration and conformance tests"
ctest --test-dir build --output-on-failure
