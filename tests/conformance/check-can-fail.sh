#!/bin/bash
# Shows that the conformance suite catches a wrong stand-in: a dmsetup that
# prints device paths instead of major:minor in "table" (a plausible slip of a
# user-space device-mapper) must make the sandbox run of test_dmsetup fail.
# Exit status 0 when the suite failed as it should.
set -euo pipefail
((EUID == 0)) || { echo "SKIP: check-can-fail needs root"; exit 77; }

here=$(cd "$(dirname "$0")" && pwd)
wrap=$(mktemp -d "${RFS_CONF_WORK:-/var/tmp}/rfs-conf-wrap.XXXXXX")
trap 'rm -rf "$wrap"' EXIT

cat >"$wrap/dmsetup" <<'WRAP'
#!/bin/bash
# "table" with block-device paths where device-mapper prints MAJOR:MINOR.
if [[ ${1:-} == table ]]; then
    set -o pipefail
    /sbin/dmsetup "$@" | sed -E 's#(^| )([0-9]+):([0-9]+)( |$)#\1/dev/block/\2:\3\4#g'
    exit
fi
exec /sbin/dmsetup "$@"
WRAP
chmod +x "$wrap/dmsetup"

out=$(RFS_CONF_DMSETUP=$wrap/dmsetup "$here/run-target.sh" "${1:-sandbox}" test_dmsetup 2>&1) && rc=0 || rc=$?
printf '%s\n' "$out" | grep -E '^(==|FAIL)' || true
if ((rc != 0)) && grep -q '^FAIL  table prints one line, devices as major:minor' <<<"$out"; then
    echo "check-can-fail: the broken stand-in was caught (suite exit status $rc)"
    exit 0
fi
echo "check-can-fail: FAIL: the suite did not catch a 'table' that prints paths (exit status $rc)"
printf '%s\n' "$out" | tail -n 20
exit 1
