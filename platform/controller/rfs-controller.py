#!/usr/bin/python3
"""Stand-in for the appliance's local controller service.

Serves the two requests that recovery_fs makes:

  POST /api/registry   {"method_name": "get_value", "method_args": KEY}
                       -> {"error_code": 0, "result": "VALUE"}
                          {"error_code": 3, "result": "", "error_message": ...} when KEY is absent
                       {"method_name": "set_value", "method_args": [KEY, VALUE]} stores a value.
  GET  /api/node?get_master
                       -> the master appliance's UUID as a JSON string ("\"uuid\"")

plus GET /api/status ({"status": "running"}) for the watchdog script.

The registry is a JSON object {key: value-text} in a file that is read again
for every request, so tests and users change settings by editing it. The
master UUID comes from the master file when it holds one, otherwise from the
registry key "controller.uuid".

Canned replies for fault tests: when REPLIES/registry.KEY.body or
REPLIES/node.get_master.body exists, its bytes are sent as the reply body
instead; a matching .status file (a decimal HTTP status) sets the status.

After binding, the service writes the branding file that BrandReader.py reads
(controller.port, controller.use_https), so port 0 picks any free port.
"""

import argparse
import http.server
import json
import os
import ssl
import sys
import tempfile
import threading
import uuid

ERROR_OK = 0
ERROR_BAD_REQUEST = 1
ERROR_KEY_NOT_FOUND = 3

DEFAULT_REGISTRY = {
    "lumiread.enabled": "1",
    "lumiread.lvm.enabled": "0",
    "directio.enabled": "0",
    "export.cache.ttl": "120",
    "export.ondemand.enabled": "0",
    "export.vm_uuid.enabled": "0",
    "appliance.debug.level": "0",
    "appliance.cbt.debug": "0",
    "recover.automount.enabled": "0",
    "appliance.cbt.percent": "0",
    "vendor.id": "Tolvane",
    "feature.read_ahead.size": "1048576",
    "snapshot.max_idle": "300",
    "snapshot.max_life": "172800",
    "snapshot.retry_limit": "12",
    "snapshot.blocking_removal": "1",
    "nfc.session.reserved": "0",
    "export.max_session": "50",
}


def write_json_atomically(path, obj):
    directory = os.path.dirname(os.path.abspath(path))
    fd, tmp = tempfile.mkstemp(dir=directory, prefix=".tmp.")
    try:
        with os.fdopen(fd, "w") as f:
            json.dump(obj, f, indent=2, sort_keys=True)
            f.write("\n")
        os.replace(tmp, path)
    except BaseException:
        os.unlink(tmp)
        raise


def value_text(value):
    """Registry values always travel as text; JSON booleans become 1 and 0."""
    if isinstance(value, bool):
        return "1" if value else "0"
    if isinstance(value, str):
        return value
    return json.dumps(value)


class Controller:
    def __init__(self, registry_path, master_path, replies_dir, log):
        self.registry_path = registry_path
        self.master_path = master_path
        self.replies_dir = replies_dir
        self.log = log
        self.lock = threading.Lock()  # serialises set_value's read-modify-write

    def load_registry(self):
        with open(self.registry_path) as f:
            registry = json.load(f)
        if not isinstance(registry, dict):
            raise ValueError("the registry file must hold a JSON object")
        return registry

    def canned(self, name):
        """(status, body) of a canned reply, or None."""
        if not self.replies_dir or not name or "/" in name:
            return None
        base = os.path.join(self.replies_dir, name)
        try:
            with open(base + ".body", "rb") as f:
                body = f.read()
        except FileNotFoundError:
            return None
        status = 200
        try:
            with open(base + ".status") as f:
                status = int(f.read().strip())
        except FileNotFoundError:
            pass
        return status, body

    def registry_request(self, request):
        method = request.get("method_name")
        args = request.get("method_args")
        if method == "get_value":
            if not isinstance(args, str):
                return {"error_code": ERROR_BAD_REQUEST, "result": "",
                        "error_message": "method_args must be a key"}
            registry = self.load_registry()
            if args not in registry or registry[args] is None:
                return {"error_code": ERROR_KEY_NOT_FOUND, "result": "",
                        "error_message": "key %s not found" % args}
            return {"error_code": ERROR_OK, "result": value_text(registry[args])}
        if method == "set_value":
            if isinstance(args, dict):
                args = [args.get("key"), args.get("value")]
            if not (isinstance(args, list) and len(args) == 2 and isinstance(args[0], str)):
                return {"error_code": ERROR_BAD_REQUEST, "result": "",
                        "error_message": "method_args must be [key, value]"}
            with self.lock:
                registry = self.load_registry()
                registry[args[0]] = value_text(args[1])
                write_json_atomically(self.registry_path, registry)
            return {"error_code": ERROR_OK, "result": value_text(args[1])}
        return {"error_code": ERROR_BAD_REQUEST, "result": "",
                "error_message": "unknown method %r" % (method,)}

    def master_uuid(self):
        if self.master_path:
            try:
                with open(self.master_path) as f:
                    text = f.read().strip()
                if text:
                    return text
            except FileNotFoundError:
                pass
        return value_text(self.load_registry().get("controller.uuid", ""))


def make_handler(controller):
    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"
        server_version = "rfs-controller/1"

        def log_message(self, fmt, *args):
            if controller.log:
                controller.log.write("%s %s\n" % (self.log_date_time_string(), fmt % args))
                controller.log.flush()

        def reply(self, status, body, content_type="application/json"):
            self.send_response(status)
            self.send_header("Content-Type", content_type)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def reply_json(self, obj, status=200):
            self.reply(status, json.dumps(obj).encode())

        def reply_canned_or(self, name, produce):
            canned = controller.canned(name)
            if canned is not None:
                self.reply(canned[0], canned[1])
                return
            try:
                self.reply_json(produce())
            except (OSError, ValueError) as e:
                # A registry file that cannot be read is the service's fault: 500.
                self.reply_json({"error_code": ERROR_BAD_REQUEST, "result": "",
                                 "error_message": str(e)}, 500)

        def do_GET(self):
            if self.path == "/api/node?get_master":
                self.reply_canned_or("node.get_master", controller.master_uuid)
            elif self.path == "/api/status":
                self.reply_json({"status": "running"})
            else:
                self.reply_json({"error_message": "no such object"}, 404)

        def do_POST(self):
            length = int(self.headers.get("Content-Length") or 0)
            body = self.rfile.read(length) if length > 0 else b""
            if self.path != "/api/registry":
                self.reply_json({"error_message": "no such object"}, 404)
                return
            try:
                request = json.loads(body)
                if not isinstance(request, dict):
                    raise ValueError("not an object")
            except ValueError:
                self.reply_json({"error_code": ERROR_BAD_REQUEST, "result": "",
                                 "error_message": "request is not a JSON object"}, 400)
                return
            # Canned replies stand in for reads of one key only.
            key = request.get("method_args")
            name = "registry.%s" % key if isinstance(key, str) else None
            self.reply_canned_or(name, lambda: controller.registry_request(request))

    return Handler


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--registry", required=True, help="registry JSON file (created with defaults if absent)")
    p.add_argument("--branding", required=True, help="branding file to write the port and scheme to")
    p.add_argument("--master", help="file holding the master appliance's UUID")
    p.add_argument("--replies", help="directory of canned replies")
    p.add_argument("--port", type=int, default=0, help="port on 127.0.0.1 (0: any free port)")
    p.add_argument("--https", action="store_true", help="serve HTTPS (needs --cert and --key)")
    p.add_argument("--cert")
    p.add_argument("--key")
    p.add_argument("--log", help="request log file")
    a = p.parse_args()

    if not os.path.exists(a.registry):
        registry = dict(DEFAULT_REGISTRY)
        registry["controller.uuid"] = str(uuid.uuid4())
        write_json_atomically(a.registry, registry)

    log = open(a.log, "a") if a.log else None
    controller = Controller(a.registry, a.master, a.replies, log)
    server = http.server.ThreadingHTTPServer(("127.0.0.1", a.port), make_handler(controller))
    server.daemon_threads = True
    if a.https:
        if not (a.cert and a.key):
            p.error("--https needs --cert and --key")
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(a.cert, a.key)
        server.socket = context.wrap_socket(server.socket, server_side=True)

    port = server.server_address[1]
    write_json_atomically(a.branding, {"controller.port": port, "controller.use_https": 1 if a.https else 0})
    print("rfs-controller: listening on %s://127.0.0.1:%d" % ("https" if a.https else "http", port), flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
