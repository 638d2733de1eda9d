#!/bin/bash
# Inside the test guest: runs the named integration tests of the product
# (tests/integration/NAME.sh) one after the other; exit status 0 when all passed.
here=$(cd "$(dirname "$0")" && pwd)
kernel=$(uname -r)
failed=()
for t in "$@"; do
    echo "== $t, target: real kernel ($kernel)"
    bash "$here/../integration/$t.sh"
    rc=$?
    case $rc in
    0) echo "== $t [target: real kernel ($kernel)]: passed" ;;
    77) echo "== $t [target: real kernel ($kernel)]: skipped" ;;
    *) echo "== $t [target: real kernel ($kernel)]: FAILED (exit status $rc)"; failed+=("$t") ;;
    esac
done
echo "product tests on the real kernel: $(($# - ${#failed[@]})) passed, ${#failed[@]} failed ${failed[*]}"
((${#failed[@]} == 0))
