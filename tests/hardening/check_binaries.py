#!/usr/bin/env python3
"""Checks the shipped programs' PE images as a release reviewer would.

  check_binaries.py hardening --allowed-imports FILE [--forbid TEXT]... EXE...
  check_binaries.py size --objcopy OBJCOPY EXE=MAX_BYTES...

hardening: 64-bit console image, ASLR with high-entropy addresses, DEP, no
section both writable and executable, imports (plain and delay-loaded) only
from the DLLs on the allow-list, no debug directory, debug sections or PDB
record, and none of the build machine's paths in the bytes.

size: the file size with the .rsrc section removed (icon, manifest and version
information do not count against the budget) is at most MAX_BYTES.

Prints one line per check and program; exits 1 when any check fails.
"""
import argparse
import os
import re
import struct
import subprocess
import sys
import tempfile

IMAGE_FILE_MACHINE_AMD64 = 0x8664
PE32_PLUS_MAGIC = 0x20B
SUBSYSTEM_WINDOWS_CUI = 3

# DllCharacteristics the programs must carry.
REQUIRED_DLL_CHARACTERISTICS = (
    (0x0020, "HIGH_ENTROPY_VA"),
    (0x0040, "DYNAMIC_BASE"),
    (0x0100, "NX_COMPAT"),
)

IMAGE_SCN_MEM_EXECUTE = 0x20000000
IMAGE_SCN_MEM_WRITE = 0x80000000

DIRECTORY_IMPORT = 1
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


class PeError(Exception):
    pass


class Section:
    def __init__(self, name, virtual_size, virtual_address, raw_size, raw_pointer, characteristics):
        self.name = name
        self.virtual_size = virtual_size
        self.virtual_address = virtual_address
        self.raw_size = raw_size
        self.raw_pointer = raw_pointer
        self.characteristics = characteristics


class PeImage:
    """The parts of a PE image the checks read."""

    def __init__(self, data):
        self.data = data
        if len(data) < 0x40 or data[:2] != b"MZ":
            raise PeError("no MZ header")
        pe_offset = self.u32(0x3C)
        if data[pe_offset:pe_offset + 4] != b"PE\0\0":
            raise PeError("no PE signature")
        coff = pe_offset + 4
        (self.machine, section_count, _stamp, symbol_table, symbol_count, optional_size,
         _flags) = struct.unpack_from("<HHIIIHH", data, coff)
        optional = coff + 20
        self.magic = self.u16(optional)
        if self.magic == PE32_PLUS_MAGIC:
            self.image_base = struct.unpack_from("<Q", data, optional + 24)[0]
            directories_at = optional + 112
            directory_count = self.u32(optional + 108)
        else:
            self.image_base = self.u32(optional + 28)
            directories_at = optional + 96
            directory_count = self.u32(optional + 92)
        self.size_of_image = self.u32(optional + 56)
        self.subsystem = self.u16(optional + 68)
        self.dll_characteristics = self.u16(optional + 70)
        self.directories = []
        for i in range(min(directory_count, 16)):
            self.directories.append(struct.unpack_from("<II", data, directories_at + 8 * i))
        while len(self.directories) < 16:
            self.directories.append((0, 0))

        # Long section names ("/4") point into the COFF string table, which
        # follows the symbol table.
        string_table = symbol_table + 18 * symbol_count if symbol_table else None
        self.sections = []
        table = optional + optional_size
        for i in range(section_count):
            entry = table + 40 * i
            raw_name = data[entry:entry + 8].rstrip(b"\0")
            name = raw_name.decode("latin-1")
            if name.startswith("/") and name[1:].isdigit() and string_table is not None:
                start = string_table + int(name[1:])
                end = data.find(b"\0", start)
                name = data[start:end if end >= 0 else len(data)].decode("latin-1")
            (virtual_size, virtual_address, raw_size, raw_pointer) = struct.unpack_from("<IIII", data, entry + 8)
            characteristics = self.u32(entry + 36)
            self.sections.append(Section(name, virtual_size, virtual_address, raw_size, raw_pointer, characteristics))

    def u16(self, offset):
        return struct.unpack_from("<H", self.data, offset)[0]

    def u32(self, offset):
        return struct.unpack_from("<I", self.data, offset)[0]

    def offset_of(self, rva):
        for s in self.sections:
            if s.virtual_address <= rva < s.virtual_address + max(s.virtual_size, s.raw_size):
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

    def imported_dlls(self):
        rva, size = self.directories[DIRECTORY_IMPORT]
        names = []
        if rva == 0 or size == 0:
            return names
        at = self.offset_of(rva)
        while True:
            descriptor = struct.unpack_from("<IIIII", self.data, at)
            if descriptor == (0, 0, 0, 0, 0):
                return names
            names.append(self.string_at(descriptor[3]))
            at += 20

    def delay_loaded_dlls(self):
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
            end = s.raw_pointer + min(s.raw_size, s.virtual_size or s.raw_size)
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
    yield "64-bit image", None if image.machine == IMAGE_FILE_MACHINE_AMD64 and image.magic == PE32_PLUS_MAGIC else (
        "machine 0x%x, optional header magic 0x%x (want 0x8664 and PE32+ 0x20b)" % (image.machine, image.magic))

    for bit, name in REQUIRED_DLL_CHARACTERISTICS:
        yield name, None if image.dll_characteristics & bit else (
            "DllCharacteristics 0x%04x lacks 0x%04x" % (image.dll_characteristics, bit))

    yield "console subsystem", None if image.subsystem == SUBSYSTEM_WINDOWS_CUI else (
        "subsystem %d (want %d, Windows CUI)" % (image.subsystem, SUBSYSTEM_WINDOWS_CUI))

    both = [s.name for s in image.sections
            if s.characteristics & IMAGE_SCN_MEM_WRITE and s.characteristics & IMAGE_SCN_MEM_EXECUTE]
    yield "no writable and executable section", "writable and executable: " + ", ".join(both) if both else None

    try:
        imports = image.imported_dlls()
        stray = [n for n in imports if dll_stem(n) not in allowed]
        failure = "not on the allow-list: " + ", ".join(stray) if stray else None
        if not imports:
            failure = "no import directory"
    except PeError as e:
        failure = "import directory unreadable: %s" % e
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
            with open(path, "rb") as f:
                image = PeImage(f.read())
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
