#!/usr/bin/python3
"""Tells whether the controller service answers.

Prints "running" and exits 0 when the service's status request succeeds;
otherwise prints "stopped: REASON" and exits 1. The port and scheme come from
the same branding file that BrandReader.py reads.
"""

import json
import os
import ssl
import sys
import urllib.request

DEFAULT_BRANDING_FILE = "/usr/local/tolvane/etc/branding.json"
TIMEOUT_SECONDS = 5


def main():
    path = os.environ.get("RFS_BRANDING_FILE", DEFAULT_BRANDING_FILE)
    try:
        with open(path) as f:
            branding = json.load(f)
        port = int(branding["controller.port"])
        https = bool(int(branding.get("controller.use_https", 0)))
    except (OSError, ValueError, KeyError) as e:
        print("stopped: no usable branding file %s (%s)" % (path, e))
        return 1

    url = "%s://127.0.0.1:%d/api/status" % ("https" if https else "http", port)
    # The appliance's certificate is self-signed: the client never verifies it either.
    context = ssl._create_unverified_context() if https else None
    try:
        with urllib.request.urlopen(url, timeout=TIMEOUT_SECONDS, context=context) as reply:
            status = json.load(reply).get("status")
    except (OSError, ValueError) as e:
        print("stopped: %s" % e)
        return 1
    if status != "running":
        print("stopped: service reports %r" % (status,))
        return 1
    print("running")
    return 0


if __name__ == "__main__":
    sys.exit(main())
