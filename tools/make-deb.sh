#!/usr/bin/env bash
# Builds the Debian package of recovery_fs from this tree:
#
#   tools/make-deb.sh [OUTDIR [BUILDDIR]]
#
# A release build in BUILDDIR (default build-deb of the tree; kept, so that
# the next run only rebuilds what changed), installed with prefix /usr into a
# staging directory, packaged as OUTDIR/recovery-fs_VERSION_ARCH.deb
# (default OUTDIR: BUILDDIR). Prints the package's path on standard output,
# the build's lines on standard error. Needs what tools/setup-deps.sh
# installs; no root.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
build=${2:-$top/build-deb}
out=$(mkdir -p "${1:-$build}" && cd "${1:-$build}" && pwd)

# Warnings do not stop a release build; the test builds treat them as errors.
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DRFS_WERROR=OFF -DRFS_SANITIZE=OFF -DRFS_FUZZ=OFF >/dev/null
# The targets that have install rules (the tests and benchmarks are not
# shipped, so they need not be built).
cmake --build "$build" -j"$(nproc)" --target recovery_fs vmdk-inspect vmdk-mount vol_id rfs-fusermount >&2

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
arch=$(dpkg --print-architecture)
[[ -n $version ]] || { echo "make-deb: no project version in $build/CMakeCache.txt" >&2; exit 1; }

stage=$(mktemp -d "${TMPDIR:-/tmp}/rfs-deb.XXXXXX")
trap 'rm -rf "$stage"' EXIT
# The layout that dpkg-shlibdeps expects: debian/control beside the
# package's tree debian/PACKAGE, which has its DEBIAN directory.
root=$stage/debian/recovery-fs
DESTDIR=$root cmake --install "$build" --strip >/dev/null
mkdir -p "$root/DEBIAN"
gzip -9n "$root"/usr/share/man/man*/*

# The shared libraries of every program, with the versions they need.
printf 'Source: recovery-fs\n\nPackage: recovery-fs\nArchitecture: any\n' >"$stage/debian/control"
shlibs=$(cd "$stage" && find debian/recovery-fs -path '*/DEBIAN' -prune -o -type f -perm -u+x \
    -exec dpkg-shlibdeps -O {} + | sed -n 's/^shlibs:Depends=//p')
[[ -n $shlibs ]] || { echo "make-deb: dpkg-shlibdeps found no libraries" >&2; exit 1; }

# The programs it runs: fusermount and the FUSE module's setup (fuse3 replaces
# fuse on machines with ntfs-3g), dmsetup, kpartx, the LVM tools, losetup,
# mount and umount, sfdisk. NFS re-export at start and NTFS guests need the
# recommended ones; without them those steps fail and are logged.
cat >"$root/DEBIAN/control" <<EOF
Package: recovery-fs
Version: $version
Architecture: $arch
Maintainer: recovery_fs developers <root@localhost>
Installed-Size: $(du -sk --exclude=DEBIAN "$root" | cut -f1)
Section: admin
Priority: optional
Depends: $shlibs, fuse3 | fuse, dmsetup, kpartx, lvm2, mount, fdisk
Recommends: ntfs-3g, nfs-kernel-server
Description: read-only FUSE file system of a backup appliance's VMware disks
 recovery_fs mirrors the scratch tree of backed-up VMDK disks at a mount
 point: flat disks read as one image with their change-block files merged,
 and each disk offers a file-level view of its guest file systems.
 .
 Also vmdk-mount and vmdk-inspect, and the service recovery-fs.service,
 configured in /etc/default/recovery-fs.
EOF
(cd "$root" && find etc -type f -printf '/%p\n' | sort) >"$root/DEBIAN/conffiles"
install -m 0755 "$top"/dist/debian/{postinst,prerm,postrm} "$root/DEBIAN/"

deb=$out/recovery-fs_${version}_${arch}.deb
dpkg-deb --build --root-owner-group "$root" "$deb" >/dev/null
echo "$deb"
