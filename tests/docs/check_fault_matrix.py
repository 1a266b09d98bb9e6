#!/usr/bin/env python3
"""Checks that docs/fault-matrix.md names only tests that exist.

  check_fault_matrix.py --matrix FILE --build-dir DIR --emulator RUN.SH PREFIX
                        --program NAME=EXE...

Every name in backticks in a table's Test column must be one of:
  - a GoogleTest case `Suite.test` (or every case of a suite, `Suite.*`) of
    one of the test programs, listed with --gtest_list_tests; a leading
    `unit` or `e2e` names the program (provision_unit_test, kelvane_e2e_test);
  - a CTest test of the build (as its CTestTestfile.cmake files list them), for the tests that are not
    GoogleTest programs or that are cited as a whole.

Prints every citation it cannot find; exits 1 when there is one, or when the
matrix cites nothing at all.
"""
import argparse
import os
import re
import subprocess
import sys

PROGRAM_PREFIXES = {"unit": "provision_unit_test", "e2e": "kelvane_e2e_test"}
CITATION = re.compile(r"(?:\b(unit|e2e)\s+)?`([^`]+)`")


def gtest_cases(emulator, prefix, exe):
    """Suite.test names of one GoogleTest program, run under the emulator."""
    result = subprocess.run([emulator, prefix, exe, "--gtest_list_tests"], stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL, text=True, errors="replace")
    if result.returncode != 0:
        raise RuntimeError("%s --gtest_list_tests exited with %d" % (exe, result.returncode))
    cases = set()
    suite = None
    for line in result.stdout.splitlines():
        line = line.rstrip("\r")
        if not line.strip():
            continue
        if not line.startswith(" "):
            suite = line.split("#")[0].strip().rstrip(".")
        elif suite is not None:
            cases.add("%s.%s" % (suite, line.split("#")[0].strip()))
    return cases


def ctest_names(build_dir):
    """The CTest tests of the build, read from the files CTest itself reads (running
    ctest here would write over the log of the test run that runs this check)."""
    names = set()
    for folder, _, files in os.walk(build_dir):
        if "CTestTestfile.cmake" in files:
            with open(os.path.join(folder, "CTestTestfile.cmake"), encoding="utf-8") as f:
                names.update(re.findall(r"^add_test\(\[=\[(.+?)\]=\]", f.read(), re.MULTILINE))
    return names


def citations(matrix_text):
    """(line number, program or None, name) for each name in a Test column."""
    found = []
    header_next = True
    cites_tests = False
    for number, line in enumerate(matrix_text.splitlines(), 1):
        if not line.lstrip().startswith("|"):
            header_next = True
            continue
        cells = [c.strip() for c in line.strip().strip("|").split("|")]
        # A table whose last column is headed "Test" cites tests; other tables
        # (what the sweep injects, what it found) only quote the programs' texts.
        if header_next:
            cites_tests = cells[-1] == "Test"
            header_next = False
            continue
        if not cites_tests or set(cells[-1]) <= set("-: "):
            continue
        for match in CITATION.finditer(cells[-1]):
            found.append((number, PROGRAM_PREFIXES.get(match.group(1)), match.group(2)))
    return found


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--matrix", required=True)
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--emulator", nargs=2, required=True, metavar=("RUN_SH", "PREFIX"))
    parser.add_argument("--program", action="append", default=[], metavar="NAME=EXE")
    args = parser.parse_args()

    with open(args.matrix, encoding="utf-8") as f:
        cited = citations(f.read())
    if not cited:
        print("%s cites no test" % args.matrix)
        return 1

    cases = {}
    for item in args.program:
        name, _, exe = item.partition("=")
        cases[name] = gtest_cases(args.emulator[0], args.emulator[1], exe)
    every_case = set().union(*cases.values()) if cases else set()
    tests = ctest_names(args.build_dir)

    missing = 0
    for number, program, name in cited:
        if "." in name:
            pool = cases.get(program, set()) if program else every_case
            where = program or "any test program"
            if name.endswith(".*"):
                ok = any(case.startswith(name[:-1]) for case in pool)
            else:
                ok = name in pool
        else:
            ok = name in tests
            where = "the CTest tests"
        if not ok:
            print("line %d: %s is not in %s" % (number, name, where))
            missing += 1
    print("%d citation(s) checked, %d missing" % (len(cited), missing))
    return 1 if missing else 0


if __name__ == "__main__":
    sys.exit(main())
