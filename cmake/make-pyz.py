#!/usr/bin/env python3
"""Writes kelvane-log.pyz, the log reader as one file (a zip application):

    make-pyz.py TOOLS_DIR OUTPUT EPOCH

Its __main__.py is TOOLS_DIR/kelvane-log, next to the package
TOOLS_DIR/kelvane_log (its .py files only). The bytes depend on nothing but
those files and EPOCH: members sorted by name, each dated EPOCH (UTC, as a
ZIP member's time has no zone), read-only for all but the owner, compressed
at a fixed level. zipapp itself dates members by the local time of their
files and takes them in directory order, so it is not used.
"""

import os
import sys
import time
import zipfile

SHEBANG = b"#!/usr/bin/env python3\n"
PACKAGE = "kelvane_log"


def members(tools):
    found = {"__main__.py": os.path.join(tools, "kelvane-log")}
    for name in os.listdir(os.path.join(tools, PACKAGE)):
        if name.endswith(".py"):
            found[PACKAGE + "/" + name] = os.path.join(tools, PACKAGE, name)
    return sorted(found.items())


def write(tools, output, epoch):
    # A ZIP time is from 1980 on, in steps of two seconds.
    stamp = time.gmtime(max(epoch, 315532800))[:6]
    partial = output + ".partial"
    with open(partial, "wb") as out:
        out.write(SHEBANG)
        with zipfile.ZipFile(out, "w") as archive:
            for name, path in members(tools):
                entry = zipfile.ZipInfo(name, stamp)
                entry.create_system = 3  # Unix, so that the permissions below are read
                entry.external_attr = 0o100644 << 16
                entry.compress_type = zipfile.ZIP_DEFLATED
                with open(path, "rb") as source:
                    archive.writestr(entry, source.read(), compresslevel=9)
    os.chmod(partial, 0o755)
    os.replace(partial, output)


if __name__ == "__main__":
    if len(sys.argv) != 4 or not sys.argv[3].isdigit():
        sys.exit("usage: make-pyz.py TOOLS_DIR OUTPUT EPOCH")
    write(sys.argv[1], sys.argv[2], int(sys.argv[3]))
