#!/usr/bin/env bash
# The Debian package: tools/make-deb.sh builds it, apt installs it with
# nothing else, systemd accepts its unit, the man pages render, and in the
# appliance sandbox the unit's own command lines (background mode, with a
# configuration file in the shipped one's form) serve the sample tree with a
# file-level view, stop at SIGTERM as `systemctl stop` sends it, start again
# over the dead mount of a killed run and end at `fusermount -u`. The package
# is purged again whatever happens; the test is skipped where it was
# installed before.
if [ "${1:-}" != --inside ]; then
    . "$(dirname "$0")/lib.sh"
else
    . "$(dirname "$0")/image_lib.sh"
fi

PKG=recovery-fs
is_installed() { dpkg-query -W -f='${Status}' "$PKG" 2>/dev/null | grep -q 'ok installed'; }
unit_file() { dpkg-query -L "$PKG" 2>/dev/null | grep '/systemd/system/recovery-fs\.service$'; }
CONFIG=/etc/default/recovery-fs

# --- on the machine: build, install, unit, man pages ------------------------
outside() {
    if is_installed; then
        echo "SKIP: $PKG is installed on this machine; the test would replace it" >&2
        exit 77
    fi
    local deb log=$T/make-deb.log
    deb=$(bash "$RFS_SOURCE_DIR/tools/make-deb.sh" "$T" "$RFS_BUILD_DIR/package-build" 2>"$log")
    if [[ ! -f $deb ]]; then
        fail "make-deb.sh built no package"
        tail -n 30 "$log" | sed 's/^/       /'
        rfs_finish
    fi
    pass "make-deb.sh: $(basename "$deb")"

    # Its dependencies are what tools/setup-deps.sh installs: apt must not
    # bring anything else onto a developer's machine.
    local plan
    plan=$(apt-get install -s --no-install-recommends "$deb" 2>&1 | grep '^Inst ' | cut -d' ' -f1-2)
    check_eq "apt would install the package alone" "Inst $PKG" "$plan"
    [ "$plan" = "Inst $PKG" ] || rfs_finish
    RFS_CLEANUP_HOOKS+=(purge_package)
    apt-get install -y -q --no-install-recommends "$deb" >"$T/apt.log" 2>&1 ||
        { fail "apt-get install"; tail -n 20 "$T/apt.log" | sed 's/^/       /'; rfs_finish; }
    pass "apt-get install ./$(basename "$deb")"

    local f missing=
    for f in /usr/sbin/recovery_fs /usr/bin/vmdk-mount /usr/bin/vmdk-inspect /lib/udev/vol_id \
        "$CONFIG" "$(unit_file)"; do
        [ -x "$f" ] || [ -f "$f" ] || missing+=" $f"
    done
    check_eq "installed files" "" "$missing"
    check_contains "the configuration file is a conffile" "$(dpkg-query -W -f='${Conffiles}' "$PKG")" "$CONFIG "
    check_contains "the installed program runs" "$(/usr/sbin/recovery_fs /mnt -V 2>&1)" "recovery_fs version"

    check_eq "systemd-analyze verify" "" "$(systemd-analyze verify "$(unit_file)" 2>&1)"

    check_contains "man recovery_fs" "$(MANWIDTH=200 man -P cat recovery_fs 2>&1)" \
        "recovery_fs - read-only FUSE file system"
    check_contains "man vmdk-inspect" "$(MANWIDTH=200 man -P cat vmdk-inspect 2>&1)" "vmdk-inspect - show what"
    check_contains "man vmdk-mount" "$(MANWIDTH=200 man -P cat vmdk-mount 2>&1)" "vmdk-mount - mount the file systems"
    local warnings=
    for f in "$RFS_SOURCE_DIR"/man/*.[1-8]; do
        warnings+=$(groff -man -Tutf8 -ww -z "$f" 2>&1)
    done
    check_eq "man pages: no groff warnings" "" "$warnings"

    "$RFS_SOURCE_DIR/platform/sandbox" bash "$0" --inside
    check_eq "the unit's command lines in the sandbox (exit status)" 0 "$?"

    check_status "dpkg --purge" 0 dpkg --purge "$PKG"
    missing=
    for f in /usr/sbin/recovery_fs /lib/udev/vol_id "$CONFIG"; do
        [ -e "$f" ] && missing+=" $f"
    done
    check_eq "purged: nothing of the package left" "" "$missing"
    rfs_finish
}

purge_package() { is_installed && dpkg --purge "$PKG" >/dev/null 2>&1; }

# --- in the sandbox: the unit's command lines --------------------------------

# The unit's lines KEY= with the variables of the configuration file $T/conf
# substituted as systemd does: ${NAME} in place, $NAME as words. One command
# per line, its words separated by tabs.
unit_commands() {
    (
        set -a
        . "$T/conf"
        set +a
        sed -n "s/^$1=//p" "$(unit_file)" | while read -r -a words; do
            local out=() split=() w name
            for w in "${words[@]}"; do
                if [[ $w =~ ^\$([A-Za-z_][A-Za-z0-9_]*)$ ]]; then
                    name=${BASH_REMATCH[1]}
                    read -r -a split <<<"${!name}"
                    out+=("${split[@]}")
                    continue
                fi
                while [[ $w =~ \$\{([A-Za-z_][A-Za-z0-9_]*)\} ]]; do
                    name=${BASH_REMATCH[1]}
                    w=${w//"\${$name}"/${!name}}
                done
                out+=("$w")
            done
            (IFS=$'\t'; echo "${out[*]}")
        done
    )
}

# start_unit WHAT: ExecStartPre, then ExecStart, as systemd runs them; the
# start is done when ExecStart has returned (Type=forking). Sets RFS_PID to
# the daemon it left.
start_unit() {
    local key cmd rc=0
    for key in ExecStartPre ExecStart; do
        while IFS=$'\t' read -r -a cmd; do
            "${cmd[@]}" </dev/null >>"$T/start.out" 2>&1 || rc=$?
        done < <(unit_commands "$key")
    done
    check_eq "$1: started (exit status)" 0 "$rc"
    # The sandbox has a PID namespace of its own: the newest recovery_fs in
    # it is this start's daemon.
    RFS_PID=$(pgrep -n -x recovery_fs)
    RFS_PIDS+=($RFS_PID)
    if ! rfs_is_served "$M" || [ -z "$RFS_PID" ]; then
        fail "$1: $M is not served by a daemon"
        sed 's/^/       /' "$T/start.out"
        rfs_finish
    fi
    pass "$1: $M served in the background (pid $RFS_PID)"
}

# wait_gone WHAT SECONDS: the daemon has ended and its mount is gone. One
# still running then is killed, as systemd does after TimeoutStopSec.
wait_gone() {
    if ! wait_for "$2" eval '! rfs_alive "$RFS_PID"'; then
        fail "$1: recovery_fs (pid $RFS_PID) still running after $2 s"
        kill -KILL "$RFS_PID"
        wait_for 10 eval '! rfs_alive "$RFS_PID"'
        return
    fi
    check_eq "$1: daemon ended, nothing mounted at or below the mount point or the volume path" "" \
        "$(mounts_below "$M"; mounts_below "$V")"
}

inside() {
    sed -e "s|^MOUNT_POINT=.*|MOUNT_POINT=$M|" -e "s|^SCRATCH_PATH=.*|SCRATCH_PATH=$S|" \
        -e "s|^VOLUME_PATH=.*|VOLUME_PATH=$V|" -e "s|^LOG_DIR=.*|LOG_DIR=$T/service-log|" \
        "$CONFIG" >"$T/conf"
    RFS_MOUNTS+=("$M")
    check_not_contains "ExecStart: background mode" "$(unit_commands ExecStart)" $'\t-f'
    mkscratch "$S" --layout "$RFS_SOURCE_DIR/sample/sample.json" || { fail "mkscratch"; rfs_finish; }
    SCRATCH_HASH=$(tree_hash "$S")
    set_reg recover.automount.enabled 1

    start_unit "first start"
    check_eq "the sample tree" "$(printf '%s\n' data-flat.vmdk data.vmdk data.volume disk-flat.vmdk disk.vmdk \
        disk.volume vm1.cfg vm1.vmx)" "$(listing "$M/vm1")"
    wait_for 60 stat "$M/vm1/disk.volume/0/etc/hostname"
    check_eq "a guest file through the view" "vm1" "$(cat "$M/vm1/disk.volume/0/etc/hostname" 2>&1)"
    check_contains "the log file" "$(cat "$T/service-log/recovery_fs" 2>&1)" "recover.automount.enabled from 0 to 1"

    # systemctl stop: SIGTERM to the daemon alone (KillMode=mixed).
    kill -TERM "$RFS_PID"
    wait_gone "SIGTERM with a view mounted" 90
    check_no_devices "after SIGTERM" "$S"

    # A crash leaves a dead mount; Restart=on-failure runs the same lines.
    start_unit "second start"
    kill -KILL "$RFS_PID"
    wait_for 10 eval '! rfs_alive "$RFS_PID"'
    check_contains "killed: the mount is dead" "$(stat -f "$M" 2>&1)" "not connected"
    start_unit "restart after the crash"
    check_eq "one live mount" "1" "$(awk -v m="$M" '$5 == m' /proc/self/mountinfo | wc -l)"

    fusermount -u "$M"
    check_eq "fusermount -u (exit status)" 0 "$?"
    wait_gone "fusermount -u" 20
    finish_clean "after fusermount -u"
}

if [ "${1:-}" = --inside ]; then inside; else outside; fi
