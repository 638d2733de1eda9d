#!/bin/bash
# Runs the device conformance suite (or the named tests) against one target:
#   sandbox   the stand-ins, inside platform/sandbox on this host
#   vm        a stock Debian kernel with device-mapper under qemu, one boot
#   here      this machine (a kernel with device-mapper)
#   auto      here when the kernel has device-mapper, else sandbox (else 77)
# The images are built on the host first with the real tools. Exit status 0
# when every test passed.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../.." && pwd)
export RFS_SOURCE_DIR=${RFS_SOURCE_DIR:-$src}

# Inside the target: run the prepared tests one after the other.
if [[ ${1:-} == --inside ]]; then
    work=$2
    shift 2
    failed=()
    for t in "$@"; do bash "$here/$t.sh" --run "$work/$t" || failed+=("$t"); done
    echo
    ((${#failed[@]} == 0)) || echo "failed: ${failed[*]}"
    echo "conformance: $(($# - ${#failed[@]})) passed, ${#failed[@]} failed"
    exit $((${#failed[@]} != 0))
fi

target=${1:-}
shift || true
build=${RFS_BUILD_DIR:-$src/build}
case $target in
sandbox | vm | here) ((EUID == 0)) || { echo "run-target: must run as root" >&2; exit 2; } ;;
auto)
    ((EUID == 0)) || { echo "SKIP: needs root"; exit 77; }
    if grep -qw device-mapper /proc/devices 2>/dev/null || [[ -d /sys/module/dm_mod ]]; then
        target=here
    elif [[ -x $build/platform/dm/dmsetup && -x $build/platform/kpartx/kpartx && -x $build/platform/lvm/lvchange ]]; then
        target=sandbox
    else
        echo "SKIP: no device-mapper in this kernel and no built stand-ins"
        exit 77
    fi
    ;;
*) echo "usage: run-target.sh sandbox|vm|here|auto [test_name...]" >&2; exit 2 ;;
esac

tests=()
if (($#)); then
    for t in "$@"; do tests+=("$(basename "${t%.sh}")"); done
else
    for f in "$here"/test_*.sh; do tests+=("$(basename "${f%.sh}")"); done
fi

work=$(mktemp -d "${RFS_CONF_WORK:-/var/tmp}/rfs-conf-run.XXXXXX")
trap 'rm -rf "$work"' EXIT

t0=$SECONDS
for t in "${tests[@]}"; do
    mkdir -p "$work/$t"
    if ! bash "$here/$t.sh" --prepare "$work/$t" >"$work/$t.prepare.log" 2>&1; then
        echo "run-target: building the images of $t failed:" >&2
        cat "$work/$t.prepare.log" >&2
        exit 1
    fi
done
echo "run-target: images built in $((SECONDS - t0)) s"

case $target in
sandbox)
    [[ -x $build/platform/dm/dmsetup ]] || { echo "run-target: the stand-ins are not built in $build" >&2; exit 1; }
    RFS_BUILD_DIR=$build RFS_CONF_TARGET=sandbox \
        "$src/platform/sandbox" bash "$here/run-target.sh" --inside "$work" "${tests[@]}"
    ;;
vm)
    RFS_CONF_TARGET=vm "$src/tests/vm/run-vm.sh" --timeout "${RFS_VM_TIMEOUT:-900}" \
        bash "$here/run-target.sh" --inside "$work" "${tests[@]}"
    ;;
here)
    RFS_CONF_TARGET=real unshare --mount --propagation private \
        bash "$here/run-target.sh" --inside "$work" "${tests[@]}"
    ;;
esac
