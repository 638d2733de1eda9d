#!/bin/bash
# Builds the test guest's initramfs: static busybox, the first-stage init and
# the kernel modules that reaching the host's root over virtio-9p needs.
# Usage: mkinitramfs.sh KERNEL_VERSION OUTPUT
set -euo pipefail

kver=$1
output=$2
here=$(cd "$(dirname "$0")" && pwd)

busybox=$(command -v busybox || true)
ldd_out=$( [[ -n $busybox ]] && ldd "$busybox" 2>&1 ) || true # ldd fails for a static binary
[[ $ldd_out == *"not a dynamic executable"* || $ldd_out == *"statically linked"* ]] || {
    echo "mkinitramfs: a static busybox is needed (apt-get install busybox-static)" >&2
    exit 1
}

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
mkdir -p "$root"/{bin,proc,sys,dev,modules}
cp "$busybox" "$root/bin/busybox"
cp "$here/initramfs-init.sh" "$root/init"
chmod 0755 "$root/init"

# Dependencies first, each module once, in the order modprobe would load them.
: >"$root/modules.order"
for m in virtio_pci 9pnet_virtio 9p overlay; do
    modprobe -S "$kver" --show-depends "$m" | awk '$1 == "insmod" { print $2 }'
done | awk '!seen[$0]++' | while read -r ko; do
    cp "$ko" "$root/modules/"
    basename "$ko" >>"$root/modules.order"
done

(cd "$root" && find . -print0 | cpio --null -o -H newc --quiet) | gzip -1 >"$output.tmp"
mv "$output.tmp" "$output"
