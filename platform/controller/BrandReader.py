#!/usr/bin/python3
"""Prints branding values of the appliance, one per line, in the order asked.

  BrandReader.py controller.port controller.use_https

The values come from a JSON branding file (RFS_BRANDING_FILE, by default
/usr/local/tolvane/etc/branding.json) that the controller service writes when
it starts. Booleans print as 1 and 0. Exit 1 when the file or a key is missing.
"""

import json
import os
import sys

DEFAULT_BRANDING_FILE = "/usr/local/tolvane/etc/branding.json"


def text(value):
    if isinstance(value, bool):
        return "1" if value else "0"
    return str(value)


def main(keys):
    if not keys:
        print("usage: BrandReader.py KEY...", file=sys.stderr)
        return 1
    path = os.environ.get("RFS_BRANDING_FILE", DEFAULT_BRANDING_FILE)
    try:
        with open(path) as f:
            branding = json.load(f)
    except (OSError, ValueError) as e:
        print("BrandReader: cannot read %s: %s" % (path, e), file=sys.stderr)
        return 1
    for key in keys:
        if key not in branding:
            print("BrandReader: no value for %s" % key, file=sys.stderr)
            return 1
        print(text(branding[key]))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
