#!/usr/bin/env bash
# The controller service inside the sandbox and its two scripts, at the paths
# recovery_fs runs them from: registry reads (found, missing, edited), the
# master request, canned faults, and the watchdog's answer before and after
# the service stops.
set -uo pipefail
SRC=${RFS_SOURCE_DIR:-$(cd "$(dirname "$0")/../.." && pwd)}
export RFS_BUILD_DIR=${RFS_BUILD_DIR:-$SRC/build}
[ "$(id -u)" -eq 0 ] || { echo "SKIP: needs root"; exit 77; }
[ "${1:-}" = --inside ] || exec "$SRC/platform/sandbox" bash "$0" --inside

passed=0 failed=0
ok() { passed=$((passed + 1)); }
bad() { failed=$((failed + 1)); echo "FAIL: $*"; }

BRAND=/usr/local/tolvane/python/branding/BrandReader.py
WATCHDOG=/usr/local/tolvane/bin/watchdog-test-controller.py
REG=/var/tolvane/controller/registry.json

out=$("$WATCHDOG"); rc=$?
[ $rc -eq 0 ] && grep -q running <<<"$out" && ok || bad "watchdog: '$out' exit $rc while the service runs"

out=$("$BRAND" controller.port controller.use_https); rc=$?
if [ $rc -eq 0 ] && [[ $out =~ ^[0-9]+$'\n'0$ ]]; then ok; else bad "BrandReader printed '$out' exit $rc"; fi
PORT=$(head -n1 <<<"$out")
"$BRAND" no.such.key >/dev/null 2>&1 && bad "BrandReader must fail for an unknown key" || ok

export PORT
python3 - >/tmp/py.out <<'PY'
import json, os, urllib.request, urllib.error

passed = failed = 0
def check(cond, what):
    global passed, failed
    if cond:
        passed += 1
    else:
        failed += 1
        print("FAIL:", what)

BASE = "http://127.0.0.1:%s/api/" % os.environ["PORT"]
REG = "/var/tolvane/controller/registry.json"
REPLIES = "/var/tolvane/controller/replies"

def request(rest, body=None):
    data = None if body is None else (body if isinstance(body, bytes) else json.dumps(body).encode())
    req = urllib.request.Request(BASE + rest, data=data)
    if data is not None:
        req.add_header("Content-Type", "application/json; charset=UTF-8")
    try:
        with urllib.request.urlopen(req, timeout=10) as r:
            return r.status, r.read()
    except urllib.error.HTTPError as e:
        return e.code, e.read()

def get_value(key):
    status, body = request("registry", {"method_name": "get_value", "method_args": key})
    return status, json.loads(body) if body else None

# Found: error_code 0 and the value as text.
status, reply = get_value("vendor.id")
check(status == 200 and reply == {"error_code": 0, "result": "Tolvane"}, "vendor.id: %s %r" % (status, reply))
status, reply = get_value("lumiread.enabled")
check(reply.get("result") == "1", "lumiread.enabled default: %r" % reply)

# Missing: a non-zero error_code.
status, reply = get_value("no.such.key")
check(status == 200 and reply.get("error_code", 0) != 0, "missing key: %s %r" % (status, reply))

# The registry file is read at every request: edits take effect at once.
with open(REG) as f:
    reg = json.load(f)
reg["recover.automount.enabled"] = "1"
reg["appliance.debug.level"] = 3
reg["test.flag"] = True
with open(REG, "w") as f:
    json.dump(reg, f)
check(get_value("recover.automount.enabled")[1]["result"] == "1", "edited value not served")
check(get_value("appliance.debug.level")[1]["result"] == "3", "numbers must travel as text")
check(get_value("test.flag")[1]["result"] == "1", "booleans must travel as 1/0")

# set_value stores into the same file.
status, reply = request("registry", {"method_name": "set_value", "method_args": ["export.max_session", "7"]})
check(reply and json.loads(reply)["error_code"] == 0, "set_value failed: %r" % reply)
check(get_value("export.max_session")[1]["result"] == "7", "set_value not stored")
with open(REG) as f:
    check(json.load(f)["export.max_session"] == "7", "set_value not in the registry file")

# The master request: a quoted UUID, the appliance's own unless the master file says otherwise.
status, body = request("node?get_master")
check(status == 200 and body == json.dumps(reg["controller.uuid"]).encode(), "master default: %s %r" % (status, body))
with open("/var/tolvane/controller/master_uuid", "w") as f:
    f.write("11111111-2222-3333-4444-555555555555\n")
status, body = request("node?get_master")
check(body == b'"11111111-2222-3333-4444-555555555555"', "master from file: %r" % body)

# Canned replies for fault tests.
with open(os.path.join(REPLIES, "registry.vendor.id.body"), "w") as f:
    f.write("")
with open(os.path.join(REPLIES, "registry.vendor.id.status"), "w") as f:
    f.write("503\n")
status, body = request("registry", {"method_name": "get_value", "method_args": "vendor.id"})
check(status == 503, "canned status: %s" % status)
os.unlink(os.path.join(REPLIES, "registry.vendor.id.status"))
status, body = request("registry", {"method_name": "get_value", "method_args": "vendor.id"})
check(status == 200 and body == b"", "canned empty body: %s %r" % (status, body))
with open(os.path.join(REPLIES, "node.get_master.body"), "w") as f:
    f.write('"x"')
check(request("node?get_master") == (200, b'"x"'), "canned master")

# Bad requests.
check(request("registry", b"{not json")[0] == 400, "bad JSON must be 400")
check(request("nothing-here")[0] == 404, "unknown object must be 404")
status, body = request("registry", {"method_name": "frobnicate", "method_args": "x"})
check(json.loads(body)["error_code"] != 0, "unknown method must fail")

print("PY %d %d" % (passed, failed))
PY
grep -v '^PY ' /tmp/py.out
read -r _ p f < <(grep '^PY ' /tmp/py.out || echo "PY 0 1")
passed=$((passed + p)); failed=$((failed + f))

# Once the service is gone the watchdog says so, without the word "running".
kill "$(cat /run/rfs-sandbox/controller.pid)"
for _ in $(seq 50); do "$WATCHDOG" >/dev/null 2>&1 || break; sleep 0.1; done
out=$("$WATCHDOG"); rc=$?
[ $rc -ne 0 ] && ! grep -q running <<<"$out" && ok || bad "watchdog: '$out' exit $rc after the service stopped"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
