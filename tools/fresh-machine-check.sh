#!/usr/bin/env bash
# Runs the README's test command as a new machine would: in a fresh minimal
# Debian 12 root (debootstrap --variant=minbase bookworm) holding nothing but
# a fresh clone of the commit under test. Any install step that
# tools/setup-deps.sh lacks fails here, however the developer's own machine
# is set up. What CI runs (.ci/run); as root.
#
#   tools/fresh-machine-check.sh [COMMAND...]
#
# COMMAND runs in the clone inside the root (default: tools/run-tests.sh).
# Only committed work is tested: the clone is of HEAD.
# Environment: RFS_FRESH_MIRROR (Debian mirror, default deb.debian.org),
# RFS_FRESH_WORK (parent of the work directory, default /var/tmp),
# RFS_FRESH_KEEP=1 keeps the root afterwards (nothing stays mounted).
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
mirror=${RFS_FRESH_MIRROR:-http://deb.debian.org/debian}
((EUID == 0)) || { echo "fresh-machine-check: must run as root (chroot, mounts)" >&2; exit 1; }
(($#)) || set -- tools/run-tests.sh

host_tools=()
command -v debootstrap >/dev/null || host_tools+=(debootstrap)
command -v git >/dev/null || host_tools+=(git)
if ((${#host_tools[@]})); then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${host_tools[@]}"
fi

commit=$(git -C "$top" rev-parse HEAD)
[[ -z $(git -C "$top" status --porcelain --untracked-files=no) ]] ||
    echo "fresh-machine-check: uncommitted changes are not tested (the clone is of $commit)"

work=$(mktemp -d "${RFS_FRESH_WORK:-/var/tmp}/rfs-fresh.XXXXXX")
root=$work/root

# Mount points at or below the root, deepest first.
mounts_below_root() {
    awk -v r="$root" '$5 == r || index($5, r "/") == 1 { print $5 }' /proc/self/mountinfo | sort -r
}

# Everything the run left: its processes, loop devices over files inside the
# root, and every mount below it. Only then may the directory go: a bind
# mount of /dev that stayed would take the host's device nodes with it.
cleanup() {
    local rc=$? pid m
    trap - EXIT INT TERM
    for pid in $(ls /proc | grep -E '^[0-9]+$'); do
        [[ $(readlink "/proc/$pid/root" 2>/dev/null) == "$root"* ]] && kill -KILL "$pid" 2>/dev/null
    done
    losetup -nO NAME,BACK-FILE 2>/dev/null | awk -v r="$root/" 'index($2, r) == 1 { print $1 }' |
        while read -r dev; do losetup -d "$dev" 2>/dev/null || true; done
    for m in $(mounts_below_root); do
        umount "$m" 2>/dev/null || umount -l "$m" 2>/dev/null || true
    done
    if [[ -n $(mounts_below_root) ]]; then
        echo "fresh-machine-check: still mounted below $root, keeping it:" >&2
        mounts_below_root >&2
    elif [[ -z ${RFS_FRESH_KEEP:-} ]]; then
        rm -rf --one-file-system "$work"
    fi
    exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

section() { printf '\n==== fresh root: %s ====\n' "$*"; }

section "debootstrap --variant=minbase bookworm into $root"
start=$SECONDS
debootstrap --variant=minbase bookworm "$root" "$mirror" >"$work/debootstrap.log" 2>&1 ||
    { tail -n 30 "$work/debootstrap.log"; exit 1; }
echo "made in $((SECONDS - start)) s"
# A new machine has working name resolution; nothing else comes from the host.
cp -L /etc/resolv.conf "$root/etc/resolv.conf"

section "fresh clone of $commit"
git clone -q --no-hardlinks "$top" "$root/root/recovery_fs"
git -C "$root/root/recovery_fs" checkout -q --detach "$commit"

# The root is a mount point of its own, so that `unshare -m` inside can
# change the propagation of "/".
mount --bind "$root" "$root"
mount --make-private "$root"
mount --bind /dev "$root/dev"
mount --bind /dev/pts "$root/dev/pts"
mount -t tmpfs -o mode=1777 tmpfs "$root/dev/shm"
mount -t proc proc "$root/proc"
mount --rbind /sys "$root/sys"
mount --make-rslave "$root/sys"

section "in the fresh root: $*"
start=$SECONDS
rc=0
chroot "$root" /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    HOME=/root LANG=C.UTF-8 bash -c 'cd /root/recovery_fs && exec "$@"' run "$@" || rc=$?
echo "fresh-machine-check: '$*' exit status $rc after $((SECONDS - start)) s"
exit "$rc"
