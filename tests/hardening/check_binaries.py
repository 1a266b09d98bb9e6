#!/usr/bin/env python3
"""Checks the shipped programs' PE images as a release reviewer would.

  check_binaries.py hardening --objdump OBJDUMP --allowed-imports FILE [--forbid TEXT]... EXE...
  check_binaries.py size --objcopy OBJCOPY EXE=MAX_BYTES...

hardening: 64-bit console image, ASLR with high-entropy addresses, DEP, no
section both writable and executable, imports (plain and delay-loaded) only
from the DLLs on the allow-list, no debug directory, debug sections or PDB
record, and none of the build machine's paths in the bytes.

size: the file size with the .rsrc section removed (icon, manifest and version
information do not count against the budget) is at most MAX_BYTES.

The header fields, data directories, sections and imports come from the
target's objdump (-p and -h); only what objdump does not interpret (the
delay-load descriptors) is read from the bytes here.

Prints one line per check and program; exits 1 when any check fails.
"""
import argparse
import os
import re
import struct
import subprocess
import sys
import tempfile

# DllCharacteristics the programs must carry.
REQUIRED_DLL_CHARACTERISTICS = (
    (0x0020, "HIGH_ENTROPY_VA"),
    (0x0040, "DYNAMIC_BASE"),
    (0x0100, "NX_COMPAT"),
)

SUBSYSTEM_WINDOWS_CUI = 3

DIRECTORY_DEBUG = 6
DIRECTORY_DELAY_IMPORT = 13

# Paths of build machines and of the toolchain's own build; the project's
# source and build directories are added by the caller.
BUILD_PATH_NEEDLES = ("/work/", "/home/", "/tmp/", "/usr/", "/root/", "/build/", "build/test", "build/release")

# A path naming a C or C++ source file, as __FILE__ and assert() leave them.
SOURCE_PATH = re.compile(rb"[\w.\-]*[/\\][\w.\-/\\]*\w\.(?:c|cc|cpp|cxx|h|hpp)(?!\w)")

# CodeView records of a PDB reference: signature, then GUID and age (RSDS) or
# offset, time stamp and age (NB10), then the PDB's path.
CODEVIEW_RECORD = re.compile(rb"(?:RSDS[\s\S]{20}|NB10[\s\S]{12})([^\x00]{1,260}?\.pdb)\x00", re.IGNORECASE)

# objdump -h: "  0 .text  00007dc8  0000000140001000  0000000140001000  00000400  2**4",
# the section's flags on the next line.
SECTION_LINE = re.compile(r"^\s*\d+\s+(\S+)\s+([0-9a-f]+)\s+([0-9a-f]+)\s+[0-9a-f]+\s+([0-9a-f]+)\s+2\*\*\d+$")
# objdump -p: "Entry 6 0000000000000000 00000000 Debug Directory"
DIRECTORY_LINE = re.compile(r"^Entry ([0-9a-f]) ([0-9a-f]+) ([0-9a-f]+) ")


class PeError(Exception):
    pass


class Section:
    def __init__(self, name, size, virtual_address, raw_pointer, flags):
        self.name = name
        self.size = size
        self.virtual_address = virtual_address
        self.raw_pointer = raw_pointer
        self.flags = flags

    @property
    def writable_and_executable(self):
        # BFD marks a section CODE when it is executable and READONLY when it
        # is not writable.
        return "CODE" in self.flags and "READONLY" not in self.flags


class PeImage:
    """The parts of a PE image the checks read: the header fields, data
    directories, sections and imports as objdump reports them, and the bytes."""

    def __init__(self, path, objdump):
        with open(path, "rb") as f:
            self.data = f.read()
        headers = self.objdump(objdump, "-p", path)
        sections = self.objdump(objdump, "-h", path)

        match = re.search(r"file format (\S+)", headers)
        self.file_format = match.group(1) if match else "unknown"
        fields = dict(re.findall(r"^(\w+)\t+([0-9a-fA-F]+)", headers, re.MULTILINE))
        try:
            self.magic = int(fields["Magic"], 16)
            self.image_base = int(fields["ImageBase"], 16)
            self.size_of_image = int(fields["SizeOfImage"], 16)
            self.subsystem = int(fields["Subsystem"], 16)
            self.dll_characteristics = int(fields["DllCharacteristics"], 16)
        except KeyError as e:
            raise PeError("objdump -p gives no %s" % e)
        self.directories = [(0, 0)] * 16
        for line in headers.splitlines():
            m = DIRECTORY_LINE.match(line)
            if m:
                self.directories[int(m.group(1), 16)] = (int(m.group(2), 16), int(m.group(3), 16))
        # The imports as objdump interprets the import directory.
        self.has_import_tables = "The Import Tables" in headers
        self.imports = re.findall(r"^\s*DLL Name: (\S+)", headers, re.MULTILINE)

        self.sections = []
        lines = sections.splitlines()
        for i, line in enumerate(lines):
            m = SECTION_LINE.match(line)
            if m:
                flags = lines[i + 1].strip() if i + 1 < len(lines) else ""
                self.sections.append(Section(m.group(1), int(m.group(2), 16), int(m.group(3), 16) - self.image_base,
                                             int(m.group(4), 16), flags))

    @staticmethod
    def objdump(objdump, option, path):
        result = subprocess.run([objdump, option, path], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        if result.returncode != 0:
            raise PeError("%s %s failed: %s" % (objdump, option, result.stdout.strip()))
        return result.stdout

    def offset_of(self, rva):
        for s in self.sections:
            if s.raw_pointer and s.virtual_address <= rva < s.virtual_address + s.size:
                offset = s.raw_pointer + (rva - s.virtual_address)
                if offset >= len(self.data):
                    break
                return offset
        raise PeError("address 0x%x is outside every section" % rva)

    def string_at(self, rva):
        start = self.offset_of(rva)
        end = self.data.find(b"\0", start)
        if end < 0:
            raise PeError("unterminated name at 0x%x" % rva)
        return self.data[start:end].decode("latin-1")

    def delay_loaded_dlls(self):
        # objdump does not interpret the delay-import directory, so its
        # descriptors are read here.
        names = set()
        rva, size = self.directories[DIRECTORY_DELAY_IMPORT]
        if rva != 0 and size != 0:
            at = self.offset_of(rva)
            while True:
                descriptor = struct.unpack_from("<8I", self.data, at)
                if descriptor == (0,) * 8:
                    break
                attributes, name = descriptor[0], descriptor[1]
                # Bit 0 clear: the old layout, whose fields are addresses, not RVAs.
                if attributes & 1 == 0:
                    name -= self.image_base
                names.add(self.string_at(name))
                at += 32
        # GNU ld links dlltool's delay-load descriptors into the image without
        # entering them in the data directory, so they are looked for as well.
        for s in self.sections:
            if not s.raw_pointer:
                continue
            end = min(s.raw_pointer + s.size, len(self.data))
            for at in range(s.raw_pointer, end - 31, 4):
                name = self.delay_descriptor_name(at)
                if name is not None:
                    names.add(name)
        return sorted(names)

    def delay_descriptor_name(self, at):
        """The DLL name when the 32 bytes at `at` look like a delay-load descriptor."""
        (attributes, name, module, iat, names_table, _bound, _unload, stamp) = struct.unpack_from(
            "<8I", self.data, at)
        if attributes != 1 or stamp != 0:
            return None
        if not all(0 < rva < self.size_of_image for rva in (name, module, iat, names_table)):
            return None
        try:
            text = self.string_at(name)
        except PeError:
            return None
        if re.fullmatch(r"[\w.\-]{1,64}\.dll", text, re.IGNORECASE) is None:
            return None
        return text


def read_allow_list(path):
    allowed = set()
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.split("#", 1)[0].strip()
            if line:
                allowed.add(line.lower())
    return allowed


def dll_stem(name):
    lowered = name.lower()
    return lowered[:-4] if lowered.endswith(".dll") else lowered


def occurrences(data, text):
    """Where text occurs in the bytes, as narrow or as UTF-16LE text."""
    found = []
    for encoding in ("latin-1", "utf-16-le"):
        at = data.find(text.encode(encoding))
        if at >= 0:
            found.append("%s at 0x%x" % ("UTF-16" if encoding != "latin-1" else "text", at))
    return found


def hardening_checks(image, allowed, forbidden):
    """Yields (check name, failure or None)."""
    yield "64-bit image", None if image.file_format == "pei-x86-64" and image.magic == 0x20B else (
        "format %s, optional header magic 0x%x (want pei-x86-64 and PE32+ 0x20b)" % (image.file_format, image.magic))

    for bit, name in REQUIRED_DLL_CHARACTERISTICS:
        yield name, None if image.dll_characteristics & bit else (
            "DllCharacteristics 0x%04x lacks 0x%04x" % (image.dll_characteristics, bit))

    yield "console subsystem", None if image.subsystem == SUBSYSTEM_WINDOWS_CUI else (
        "subsystem %d (want %d, Windows CUI)" % (image.subsystem, SUBSYSTEM_WINDOWS_CUI))

    both = [s.name for s in image.sections if s.writable_and_executable]
    yield "no writable and executable section", "writable and executable: " + ", ".join(both) if both else None

    stray = [n for n in image.imports if dll_stem(n) not in allowed]
    failure = "not on the allow-list: " + ", ".join(stray) if stray else None
    if not image.has_import_tables or not image.imports:
        failure = "no import directory"
    yield "imports on the allow-list", failure

    try:
        delayed = image.delay_loaded_dlls()
        stray = [n for n in delayed if dll_stem(n) not in allowed]
        failure = "delay-loaded, not on the allow-list: " + ", ".join(stray) if stray else None
    except PeError as e:
        failure = "delay-import directory unreadable: %s" % e
    yield "delay-loaded imports on the allow-list", failure

    rva, size = image.directories[DIRECTORY_DEBUG]
    yield "no debug directory", None if rva == 0 and size == 0 else (
        "debug directory at 0x%x, %d bytes" % (rva, size))

    debug_sections = [s.name for s in image.sections if s.name.lower().startswith((".debug", ".zdebug", "/"))]
    yield "no debug sections", "debug sections: " + ", ".join(debug_sections) if debug_sections else None

    records = [m.group(1).decode("ascii", "backslashreplace") for m in CODEVIEW_RECORD.finditer(image.data)]
    pdb_names = occurrences(image.data, ".pdb") + occurrences(image.data, ".PDB")
    failure = None
    if records:
        failure = "CodeView record: " + "; ".join(records)
    elif pdb_names:
        failure = "PDB name: " + ", ".join(pdb_names)
    yield "no PDB reference", failure

    hits = []
    for needle in list(BUILD_PATH_NEEDLES) + forbidden:
        hits += ["%r %s" % (needle, where) for where in occurrences(image.data, needle)]
        # Windows spelling of the same path, as a compiler on Windows or Wine would write it.
        if "/" in needle:
            hits += ["%r %s" % (needle.replace("/", "\\"), where)
                     for where in occurrences(image.data, needle.replace("/", "\\"))]
    yield "no build-machine paths", "found " + "; ".join(hits) if hits else None

    source_paths = sorted({m.group(0).decode("latin-1") for m in SOURCE_PATH.finditer(image.data)})
    yield "no source-file paths", "found " + ", ".join(source_paths) if source_paths else None


def run_hardening(args):
    allowed = read_allow_list(args.allowed_imports)
    if not allowed:
        print("allow-list %s is empty" % args.allowed_imports)
        return 1
    forbidden = [f for f in args.forbid if f]
    failed = 0
    for path in args.programs:
        name = os.path.basename(path)
        try:
            image = PeImage(path, args.objdump)
        except (OSError, PeError, struct.error) as e:
            print("FAIL %s: not a readable PE image: %s" % (name, e))
            failed += 1
            continue
        for check, failure in hardening_checks(image, allowed, forbidden):
            if failure is None:
                print("ok   %s: %s" % (name, check))
            else:
                print("FAIL %s: %s: %s" % (name, check, failure))
                failed += 1
    print("%d check(s) failed" % failed if failed else "all checks passed")
    return 1 if failed else 0


def run_size(args):
    failed = 0
    with tempfile.TemporaryDirectory() as scratch:
        for item in args.budgets:
            path, _, limit = item.rpartition("=")
            name = os.path.basename(path)
            if not path or not limit.isdigit():
                print("FAIL %s: want PROGRAM=MAX_BYTES" % item)
                failed += 1
                continue
            bare = os.path.join(scratch, name)
            result = subprocess.run([args.objcopy, "--remove-section=.rsrc", path, bare],
                                    stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
            if result.returncode != 0:
                print("FAIL %s: objcopy failed: %s" % (name, result.stdout.strip()))
                failed += 1
                continue
            size = os.path.getsize(bare)
            verdict = "ok  " if size <= int(limit) else "FAIL"
            print("%s %s: %d bytes (%.1f KiB) without resources, budget %d bytes (%.1f KiB); %d bytes with them"
                  % (verdict, name, size, size / 1024, int(limit), int(limit) / 1024, os.path.getsize(path)))
            if size > int(limit):
                failed += 1
    return 1 if failed else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    modes = parser.add_subparsers(dest="mode", required=True)
    hardening = modes.add_parser("hardening")
    hardening.add_argument("--allowed-imports", required=True)
    hardening.add_argument("--objdump", required=True, help="the target's objdump (x86_64-w64-mingw32-objdump)")
    hardening.add_argument("--forbid", action="append", default=[],
                           help="a further text (path) that must not occur in the programs")
    hardening.add_argument("programs", nargs="+")
    size = modes.add_parser("size")
    size.add_argument("--objcopy", required=True)
    size.add_argument("budgets", nargs="+", metavar="EXE=MAX_BYTES")
    args = parser.parse_args()
    return run_hardening(args) if args.mode == "hardening" else run_size(args)


if __name__ == "__main__":
    sys.exit(main())
