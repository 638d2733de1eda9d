#!/bin/bash
# Inside the test guest: runs the named integration tests of the product
# (tests/integration/NAME.sh) one after the other; exit status 0 when all passed.
# "all" names every flat-image test, the disk-chain device test and the crash tests.
here=$(cd "$(dirname "$0")" && pwd)
kernel=$(uname -r)
if [[ $* == all ]]; then
    set -- $(cd "$here/../integration" && ls test_image_*.sh test_chain_device.sh test_crash_*.sh | sed 's/\.sh$//')
fi
# Programs run many times slower here than on the host.
export RFS_TEST_STOP_LIMIT=${RFS_TEST_STOP_LIMIT:-180}
export RFS_TEST_REFUSE_MS=${RFS_TEST_REFUSE_MS:-10000}
# A start after a crash runs a few programs per device left behind.
export RFS_TEST_START_LIMIT=${RFS_TEST_START_LIMIT:-300}
# --short (the tier's default run): the crash matrix at four of its kill
# points, one per kind of device the mounter makes; named, it runs whole.
if [[ ${1:-} == --short ]]; then
    shift
    export RFS_CRASH_POINTS=${RFS_CRASH_POINTS:-"dmsetup:3 kpartx:2 lvchange:2 mount:3"}
fi
failed=()
for t in "$@"; do
    echo "== $t, target: real kernel ($kernel)"
    start=$SECONDS
    bash "$here/../integration/$t.sh"
    rc=$?
    echo "   ($((SECONDS - start)) s)"
    case $rc in
    0) echo "== $t [target: real kernel ($kernel)]: passed" ;;
    77) echo "== $t [target: real kernel ($kernel)]: skipped" ;;
    *) echo "== $t [target: real kernel ($kernel)]: FAILED (exit status $rc)"; failed+=("$t") ;;
    esac
done
echo "product tests on the real kernel: $(($# - ${#failed[@]})) passed, ${#failed[@]} failed ${failed[*]}"
((${#failed[@]} == 0))
