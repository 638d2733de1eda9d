#!/bin/bash
# Boots a stock Debian kernel (with device-mapper) under qemu, runs one command
# in it and returns its output and exit status (124 on time-out, 125 when the
# guest failed).
#   run-vm.sh [--timeout SECONDS] [--mem MIB] [--verbose] COMMAND [ARG...]
# The guest sees the host's root read-only over virtio-9p (tools and build at
# the same paths); the command runs as root in the caller's directory with the
# caller's RFS_* variables. Boot artefacts are cached in $RFS_VM_CACHE
# (/var/tmp/rfs-vm). One vCPU by default (RFS_VM_SMP): under TCG exec-heavy
# scripts run faster on one than on two.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
timeout_s=900
mem=2048
verbose=${RFS_VM_VERBOSE:-0}
while (($#)); do
    case $1 in
    --timeout) timeout_s=$2; shift 2 ;;
    --mem) mem=$2; shift 2 ;;
    --verbose) verbose=1; shift ;;
    --) shift; break ;;
    -*) echo "run-vm: unknown option $1" >&2; exit 2 ;;
    *) break ;;
    esac
done
(($#)) || { echo "usage: run-vm.sh [--timeout S] [--mem MIB] [--verbose] COMMAND [ARG...]" >&2; exit 2; }

cache=${RFS_VM_CACHE:-/var/tmp/rfs-vm}
mkdir -p "$cache"

qemu=$(command -v qemu-system-x86_64 || true)
[[ -n $qemu ]] || { echo "run-vm: qemu-system-x86_64 is missing (apt-get install qemu-system-x86)" >&2; exit 125; }

# The newest /boot kernel whose modules are installed (the running one's may not be).
pick_kernel() {
    local k v best=
    for k in /boot/vmlinuz-*; do
        [[ -e $k ]] || continue
        v=${k#/boot/vmlinuz-}
        [[ -d /lib/modules/$v/kernel/drivers/md ]] || continue
        best=$(printf '%s\n%s\n' "$best" "$v" | sed '/^$/d' | sort -V | tail -n1)
    done
    echo "$best"
}
kver=${RFS_VM_KERNEL:-$(pick_kernel)}
[[ -n $kver && -r /boot/vmlinuz-$kver ]] || {
    echo "run-vm: no kernel with modules in /boot (apt-get install linux-image-amd64)" >&2
    exit 125
}

# Rebuilt when the kernel or the first stage changes, under a lock for parallel runs.
key=$(cat "$here/initramfs-init.sh" "$here/mkinitramfs.sh" | sha256sum | cut -c1-12)
initrd=$cache/initramfs-$kver-$key.img
if [[ ! -s $initrd ]]; then
    (
        flock 9
        if [[ ! -s $initrd ]]; then
            rm -f "$cache"/initramfs-*.img
            "$here/mkinitramfs.sh" "$kver" "$initrd"
        fi
    ) 9>"$cache/initramfs.lock"
fi

run=$(mktemp -d "$cache/run.XXXXXX")
qemu_pid=
tail_pid=
cleanup() {
    [[ -z $qemu_pid ]] || { kill "$qemu_pid"; wait "$qemu_pid"; } 2>/dev/null || true
    [[ -z $tail_pid ]] || kill "$tail_pid" 2>/dev/null || true
    rm -rf "$run"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

mkdir "$run/out"
printf '%q ' "$@" >"$run/out/cmd"
echo >>"$run/out/cmd"
{
    printf 'export RFS_VM_CWD=%q\n' "$PWD"
    printf 'export RFS_VM_GUEST=1\n'
    while IFS= read -r var; do
        printf 'export %s=%q\n' "$var" "${!var}"
    done < <(compgen -e | grep '^RFS_' | grep -v '^RFS_VM_CWD$' || true)
} >"$run/out/env"
: >"$run/console"

start_ns=$(date +%s%N)
# no_timer_check: on a busy host the emulated timer can miss the kernel's
# IO-APIC timer check at boot, which then panics.
"$qemu" -accel tcg,thread=multi -cpu "${RFS_VM_CPU:-max}" -smp "${RFS_VM_SMP:-1}" -m "$mem" \
    -display none -monitor none -serial "file:$run/console" -no-reboot \
    -kernel "/boot/vmlinuz-$kver" -initrd "$initrd" \
    -append "console=ttyS0 quiet loglevel=3 panic=-1 no_timer_check rdinit=/init rfs_stage2=$here/guest-stage2.sh rfs_root=${RFS_VM_ROOT:-direct}" \
    -virtfs "local,path=/,mount_tag=hostroot,security_model=passthrough,readonly=on,multidevs=remap" \
    -virtfs "local,path=$run/out,mount_tag=rfsout,security_model=passthrough" \
    </dev/null >"$run/qemu.log" 2>&1 &
qemu_pid=$!

# Stream the command's part of the console as it comes.
if ((verbose)); then
    tail -n +1 -f --pid="$qemu_pid" "$run/console" | tr -d '\r' &
else
    tail -n +1 -f --pid="$qemu_pid" "$run/console" | tr -d '\r' |
        awk '/^@@RFS-VM-END/ { exit } on { print; fflush() } /^@@RFS-VM-BEGIN@@/ { on = 1 }' &
fi
tail_pid=$!

timed_out=0
deadline=$((SECONDS + timeout_s))
while kill -0 "$qemu_pid" 2>/dev/null; do
    if ((SECONDS >= deadline)); then
        timed_out=1
        kill "$qemu_pid" 2>/dev/null || true
        break
    fi
    sleep 0.2
done
wait "$qemu_pid" 2>/dev/null || true
qemu_pid=
wait "$tail_pid" 2>/dev/null || true
tail_pid=

elapsed_ms=$(( ($(date +%s%N) - start_ns) / 1000000 ))
elapsed=$((elapsed_ms / 1000)).$((elapsed_ms % 1000 / 100))
if [[ -s $run/out/rc ]]; then
    rc=$(cat "$run/out/rc")
    printf 'run-vm: kernel %s, exit status %s, %s s\n' "$kver" "$rc" "$elapsed" >&2
    exit "$rc"
fi
if ((timed_out)); then
    echo "run-vm: the guest did not finish within $timeout_s s" >&2
    rc=124
else
    echo "run-vm: the guest stopped without an exit status" >&2
    rc=125
fi
echo "---- last console lines ----" >&2
tr -d '\r' <"$run/console" | tail -n 40 >&2
tail -n 20 "$run/qemu.log" >&2
exit "$rc"
