#!/usr/bin/env bash
# Installs every build, test and benchmark dependency of recovery_fs on Debian 12.
# Idempotent: safe to run on a machine that already has some of them.
set -euo pipefail

packages=(
  # build (fuse3 only for its fusermount3: ntfs-3g needs it and it replaces the fuse 2 package; the library is libfuse2)
  build-essential cmake g++ pkg-config git
  libfuse-dev fuse3 libcurl4-openssl-dev libjson-c-dev libblkid-dev
  googletest libgtest-dev libgmock-dev
  # tests and the platform stand-ins
  util-linux fdisk kpartx lvm2 e2fsprogs dosfstools xfsprogs btrfs-progs ntfs-3g
  # makefs: FreeBSD UFS1 guest file systems, written without a mount
  makefs
  # mtools: the conformance suite fills vfat images without mounting them
  mtools
  attr python3 curl qemu-utils psmisc procps
  # openssl: the controller test makes a self-signed certificate
  openssl
  # fuzzing (clang's libFuzzer runtime)
  clang libclang-rt-14-dev
  # real-kernel test tier
  qemu-system-x86 linux-image-amd64 busybox-static
  # benchmarks: qemu-storage-daemon, the reference reader of bench/chain_read.sh
  qemu-system-common
  # the Debian package (tools/make-deb.sh) and its test: dpkg-shlibdeps,
  # systemd-analyze for the unit, man for the man pages
  dpkg-dev systemd man-db
)

export DEBIAN_FRONTEND=noninteractive
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
