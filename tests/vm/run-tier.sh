#!/bin/bash
# The real-kernel tier: the conformance suite on a stock Debian kernel with
# device-mapper under qemu (one boot), then the product's device tests
# (RFS_VM_PRODUCT_TESTS, default below) in a second boot.
#   tests/vm/run-tier.sh [test_name...]      (as root)
# Named tests run alone, each in its boot; a boot with nothing to run is
# skipped. Exit status 0 when all passed, 77 when the VM's needs are missing
# (tools/setup-deps.sh installs them), 1 otherwise.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../.." && pwd)

missing=()
command -v qemu-system-x86_64 >/dev/null || missing+=(qemu-system-x86)
ls /boot/vmlinuz-* >/dev/null 2>&1 || missing+=(linux-image-amd64)
# The initramfs needs a busybox that runs without the host's libraries.
busybox_static() {
    local bb ldd_out
    bb=$(command -v busybox) || return 1
    ldd_out=$(ldd "$bb" 2>&1) # fails for a static binary: its words tell
    [[ $ldd_out == *"not a dynamic executable"* || $ldd_out == *"statically linked"* ]]
}
busybox_static || missing+=(busybox-static)
for tool in dmsetup kpartx lvm ntfs-3g mcopy mkfs.vfat; do
    command -v "$tool" >/dev/null || missing+=("$tool")
done
if ((${#missing[@]})); then
    echo "SKIP: the VM tier needs: ${missing[*]} (tools/setup-deps.sh installs them)"
    exit 77
fi

leftovers() {
    losetup -a 2>/dev/null | grep -e rfs-conf-run -e rfs-vm/run || true
    grep -e rfs-conf-run -e rfs-vm/run /proc/self/mounts || true
    pgrep -af 'qemu-system-x86_64.*rfs_stage2' || true
}

conformance=() product=() short=()
if (($#)); then
    for t in "$@"; do
        t=$(basename "${t%.sh}")
        if [[ -f $src/tests/integration/$t.sh ]]; then
            product+=("$t")
        elif [[ -f $src/tests/conformance/$t.sh ]]; then
            conformance+=("$t")
        else
            echo "vm tier: no test $t in tests/conformance or tests/integration" >&2
            exit 1
        fi
    done
elif [[ ${RFS_VM_PRODUCT_TESTS-x} != "" ]]; then
    short=(--short)
    read -ra product <<<"${RFS_VM_PRODUCT_TESTS:-test_image_merged test_chain_device test_crash_recovery test_crash_views test_view test_view_guests}"
fi

rc=0
if ((!$# || ${#conformance[@]})); then
    start=$SECONDS
    "$src/tests/conformance/run-target.sh" vm "${conformance[@]}" || rc=$?
    echo "vm tier: suite exit status $rc after $((SECONDS - start)) s"
fi

# The product's device tests, as in the sandbox but with the real dmsetup,
# kpartx and lvchange (the chain device test took 19 minutes on a busy machine).
if ((${#product[@]})); then
    start=$SECONDS
    prc=0
    RFS_BUILD_DIR=${RFS_BUILD_DIR:-$src/build} "$src/tests/vm/run-vm.sh" --timeout "${RFS_VM_TIMEOUT:-3600}" \
        bash "$here/product-tests.sh" "${short[@]}" "${product[@]}" || prc=$?
    echo "vm tier: product tests exit status $prc after $((SECONDS - start)) s"
    ((prc == 0)) || rc=1
fi

left=$(leftovers)
if [[ -n $left ]]; then
    echo "vm tier: FAIL: left behind on the host:"
    echo "$left"
    rc=1
fi
exit "$rc"
