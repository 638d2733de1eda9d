#!/bin/bash
# losetup as the product runs it: "-f" prints the first free device, "-r"
# attaches read-only, "-d" detaches; a device taken by someone else between
# "-f" and the attach fails with exit code 1 or 2 (the product retries then),
# and a detach of a free device fails with exit code 1.
. "$(dirname "$0")/lib.sh"

prepare() {
    pattern "$1/one.img" 2048 ONE
    pattern "$1/two.img" 2048 TWO
}

rc_of() { local rc=0; "$@" >/dev/null 2>&1 || rc=$?; echo "$rc"; }

run_tests() {
    local d=$1 dev out rc
    out=$("$LOSETUP" -f 2>&1)
    check_eq "losetup -f prints a free /dev/loopN on its first line" 1 "$(head -n1 <<<"$out" | grep -cxE '/dev/loop[0-9]+')"
    # Other users of the machine may take that device first: the product's
    # retrying attach ("-f", then "-r DEV FILE").
    if attach dev "$d/one.img" ro; then ok "losetup -f, then losetup -r DEV FILE"; else not_ok "attach"; return 0; fi
    check_eq "the device is read-only" 1 "$(blockdev --getro "$dev" 2>&1)"
    check_fails "writes to it are refused" dd if=/dev/zero of="$dev" bs=512 count=1 oflag=direct conv=notrunc status=none
    check_fails "losetup -f no longer names the taken device" test "$("$LOSETUP" -f)" == "$dev"
    check_eq "attaching another file to the taken device fails with exit code 1 or 2" ok \
        "$(rc=$(rc_of "$LOSETUP" -r "$dev" "$d/two.img"); [[ $rc == 1 || $rc == 2 ]] && echo ok || echo "exit $rc")"
    check "losetup -d DEV" "$LOSETUP" -d "$dev"
    check_eq "losetup -d of a free device fails with exit code 1" 1 "$(rc_of "$LOSETUP" -d "$dev")"

    # Two attaches at once, as two threads of the product racing for the same
    # free device: exactly one wins, the other sees exit code 1 or 2.
    local i r1 r2 wins=0 losses=0 rounds=0
    while ((wins + losses < 5 && rounds < 15)); do
        rounds=$((rounds + 1))
        dev=$("$LOSETUP" -f | head -n1)
        defer "$LOSETUP" -d "$dev"
        "$LOSETUP" -r "$dev" "$d/one.img" 2>/dev/null &
        local p1=$!
        "$LOSETUP" -r "$dev" "$d/two.img" 2>/dev/null &
        local p2=$!
        r1=0 r2=0
        wait "$p1" || r1=$?
        wait "$p2" || r2=$?
        case "$r1 $r2" in
        "0 1" | "1 0" | "0 2" | "2 0") wins=$((wins + 1)) ;;
        "1 1" | "1 2" | "2 1" | "2 2") ;; # a third user took the device first
        *)
            losses=$((losses + 1))
            echo "        | round $rounds: exit codes $r1 and $r2"
            ;;
        esac
        "$LOSETUP" -d "$dev" 2>/dev/null || true
    done
    check_eq "racing attaches: one wins, the other fails with 1 or 2 (5 rounds)" "5 0" "$wins $losses"
    # A store file attached read-write: the snapshot overlay (lib.sh) checks it.
}

conf_main "$@"
