#!/usr/bin/env bash
# Settings follow the controller service: a live mount picks up changed
# registry values at the next refresh; a failing reply ends the refresh with
# its error and keeps the stored values; HTTPS with a self-signed certificate
# works, and turns on change-block debugging, which keeps the merge table
# files; a service that never answers neither stops the mount nor holds its
# unmounting.
. "$(dirname "$0")/image_lib.sh"

export RFS_TEST_THREAD_PERIODS=1,1,2 # evict every second, refresh every 2 s

make_scratch <<'JSON'
{"vms": [{"name": "vm1", "disks": [{"name": "disk", "size": 1048576, "content": "fast:5"},
  {"name": "cbt", "size": 1048576, "content": "fast:6", "tolcbt": {"extents": [[0, 4096]]}}]}]}
JSON

# --- a live mount follows the registry -----------------------------------
start_controller
mount_scratch
stat -f "$M" >/dev/null
check_eq "no debug line at the default level" 0 "$(grep -c 'recovery_fs_statfs(path' "$LOG")"
set_reg appliance.debug.level 3
wait_log "debug level follows the registry" "reg: changing appliance.debug.level from 0 to 3"
stat -f "$M" >/dev/null
wait_log "debug lines appear at level 3" "recovery_fs_statfs(path /" 5
set_reg recover.automount.enabled 1
wait_log "automatic mounting follows the registry" "reg: changing recover.automount.enabled from 0 to 1"
# read_and_evict: the image read whole, then left idle past 60 s, when the
# eviction thread releases it; NEW_STATS: the statistics lines that came.
read_and_evict() {
    local before
    before=$(grep -c PDEV_STATS "$LOG")
    check_status "image reads whole" 0 cmp "$M/vm1/disk-flat.vmdk" "$S/vm1/disk-flat.vmdk"
    sleep 63
    check_eq "the idle image was evicted: no loop device left" "" "$(loops_below "$S")"
    NEW_STATS=$(($(grep -c PDEV_STATS "$LOG") - before))
}
read_and_evict
check_eq "with the bitmap on, the eviction prints the statistics line" 1 "$NEW_STATS"
set_reg lumiread.enabled 0
wait_log "the in-use bitmap follows the registry" "reg: changing lumiread.enabled from 1 to 0"
read_and_evict
check_eq "with the bitmap off, no statistics line" 0 "$NEW_STATS"

# --- failing replies end the refresh and keep the stored values -----------
# "lumiread.lvm.enabled" is read right after "lumiread.enabled"; a failure
# there leaves every later key, "export.max_session" among them, unread.
# Each status's answer is HttpClient's test; here one of them and a refusal.
set_reg export.max_session 51
for fault in 500 refused; do
    case $fault in
        refused) stop_controller; want="Cannot perform operations on" ;;
        *) echo "$fault" >"$REPLIES/registry.lumiread.lvm.enabled.status"
           echo '{}' >"$REPLIES/registry.lumiread.lvm.enabled.body"; want="HTTP error status $fault" ;;
    esac
    LOG_FROM=$(wc -l <"$LOG")
    wait_log "reply $fault: the refresh fails with its error" "$want"
    new=$(tail -n +"$((LOG_FROM + 1))" "$LOG")
    check_contains "reply $fault: logged as a warning" "$(grep -F "$want" <<<"$new" | head -1)" "WARNING"
    check_not_contains "reply $fault: keys after the failing one are not refreshed" "$new" "export.max_session"
    rm -f "$REPLIES"/registry.lumiread.lvm.enabled.*
done
LOG_FROM=0
check_status "the mount keeps working while the controller is down" 0 cmp "$M/vm1/disk-flat.vmdk" "$S/vm1/disk-flat.vmdk"
rfs_stop "$M" "unmounted with the controller down"

# --- HTTPS with a self-signed certificate; an empty reply is an empty
# value: a number becomes 0, a boolean true ---------------------------------
openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=appliance -days 1 \
    -keyout "$T/key.pem" -out "$T/cert.pem" >/dev/null 2>&1
start_controller --https --cert "$T/cert.pem" --key "$T/key.pem"
set_reg appliance.debug.level 2
: >"$REPLIES/registry.export.cache.ttl.body"
: >"$REPLIES/registry.appliance.cbt.debug.body"
: >"$LOG"
mount_scratch
wait_log "over HTTPS with a self-signed certificate the settings refresh" "reg: changing appliance.debug.level from 0 to 2"
wait_log "an empty reply makes a number 0" "reg: changing export.cache.ttl from 120 to 0"
wait_log "an empty reply makes a boolean true" "reg: changing appliance.cbt.debug from 0 to 1"
wait_log "and the refresh goes on" "reg: changing export.max_session from 50 to 51"
rm -f "$REPLIES"/registry.*.body
cat "$M/vm1/cbt-flat.vmdk" >/dev/null
check_eq "change-block debugging keeps the merge table: flat and change rows" 2 \
    "$(cat /tmp/cbt.*.dm_table_merge 2>/dev/null | grep -c ' linear /dev/loop[0-9]* ')"
rfs_stop "$M"
check_status "releasing the merged device leaves the table file" 0 ls /tmp/cbt.*.dm_table_merge
stop_controller

# --- a service that accepts connections and never answers -----------------
# It answers the watchdog's status request, so the refresh starts, and then
# holds every registry request open.
/usr/bin/python3 - "$BRANDING" >"$T/silent.log" 2>&1 <<'PY' &
import http.server, json, sys, time
class H(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        self.send_response(200); self.send_header("Content-Length", "21"); self.end_headers()
        self.wfile.write(b'{"status": "running"}')
    def do_POST(self): time.sleep(3600)
s = http.server.ThreadingHTTPServer(("127.0.0.1", 0), H)
json.dump({"controller.port": s.server_address[1], "controller.use_https": 0}, open(sys.argv[1], "w"))
s.serve_forever()
PY
SILENT=$!
sleep 1
: >"$LOG"
mount_scratch
sleep 3 # the refresh is now waiting for an answer
check_status "with a silent controller the mount works on the defaults" 0 cmp "$M/vm1/disk-flat.vmdk" "$S/vm1/disk-flat.vmdk"
start=$SECONDS
rfs_stop "$M" "unmounted with a silent controller"
check_eq "unmounting with a silent controller takes a few seconds at most" 1 "$(( SECONDS - start <= 5 ))"
kill "$SILENT" 2>/dev/null

finish_clean "after the controller tests"
