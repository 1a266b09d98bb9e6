#!/usr/bin/env python3
"""Writes kelvane-log.pyz, the log reader as one file (a zip application):

    make-pyz.py TOOLS_DIR OUTPUT EPOCH VERSION

Its __main__.py is TOOLS_DIR/kelvane-log, next to the package
TOOLS_DIR/kelvane_log (its .py files only, subpackages included) and the package's version.py,
written here, that gives --version the project's VERSION. The bytes depend
on nothing but those files, EPOCH and VERSION: members sorted by name, each dated EPOCH (UTC, as a
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


VERSION_MODULE = PACKAGE + "/version.py"


def version_module(version):
    return ('"""The kit\'s version, written by the build (cmake/make-pyz.py)."""\n\nVERSION = %r\n'
            % version).encode("utf-8")


def members(tools, version):
    """(name in the archive, its bytes), sorted by name."""
    found = {"__main__.py": os.path.join(tools, "kelvane-log")}
    # Every module of the package and of its subpackages, named with "/"
    # whatever the build machine's separator.
    for folder, dirs, files in os.walk(os.path.join(tools, PACKAGE)):
        dirs[:] = [name for name in dirs if name != "__pycache__"]
        inside = os.path.relpath(folder, tools).replace(os.sep, "/")
        for name in files:
            if name.endswith(".py"):
                found[inside + "/" + name] = os.path.join(folder, name)
    contents = {}
    for name, path in found.items():
        with open(path, "rb") as source:
            contents[name] = source.read()
    contents[VERSION_MODULE] = version_module(version)
    return sorted(contents.items())


def write(tools, output, epoch, version):
    # A ZIP time is from 1980 on, in steps of two seconds.
    stamp = time.gmtime(max(epoch, 315532800))[:6]
    partial = output + ".partial"
    with open(partial, "wb") as out:
        out.write(SHEBANG)
        with zipfile.ZipFile(out, "w") as archive:
            for name, data in members(tools, version):
                entry = zipfile.ZipInfo(name, stamp)
                entry.create_system = 3  # Unix, so that the permissions below are read
                entry.external_attr = 0o100644 << 16
                entry.compress_type = zipfile.ZIP_DEFLATED
                archive.writestr(entry, data, compresslevel=9)
    os.chmod(partial, 0o755)
    os.replace(partial, output)


if __name__ == "__main__":
    if len(sys.argv) != 5 or not sys.argv[3].isdigit() or not sys.argv[4]:
        sys.exit("usage: make-pyz.py TOOLS_DIR OUTPUT EPOCH VERSION")
    write(sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4])
