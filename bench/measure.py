#!/usr/bin/env python3
"""Times the benchmark's three jobs in a warm Wine prefix and prints a table.

  measure.py RUNS KELVANE NOOP SCRIPT OBJCOPY EXE...

KELVANE, NOOP and SCRIPT are Windows command lines (as wine takes them,
separated by '|'); the environment (WINEPREFIX and the firmware scenario) is
set by bench/run.sh. The runs are interleaved, each round in a rotated order,
so that a slow spell of the machine hits all three alike. EXE... are the
programs whose sizes are reported.
"""
import os
import statistics
import subprocess
import sys
import tempfile
import time

ALREADY_CORRECT = b"Already correct registry key value, skip!"
KELVANE_TARGET = 2.5   # Kelvane at most this many times the do-nothing program
SCRIPT_TARGET = 4.0    # the script at least this many times Kelvane


def run_once(command, scratch):
    """Wall time of one run, its exit code and its console bytes.

    Output goes to a file, not a pipe: a Wine service started by the run
    would hold a pipe open after the program has ended."""
    out_path = os.path.join(scratch, "out")
    with open(out_path, "wb") as out:
        start = time.perf_counter()
        code = subprocess.call(["wine"] + command, stdin=subprocess.DEVNULL, stdout=out,
                               stderr=subprocess.DEVNULL)
        elapsed = time.perf_counter() - start
    with open(out_path, "rb") as f:
        return elapsed, code, f.read()


def check_kelvane(code, output):
    """The benchmark times the run that finds both views already correct."""
    if code != 0 or b"Result=PASS" not in output or output.count(ALREADY_CORRECT) != 2:
        sys.stderr.write("Kelvane did not make the expected run (exit %d):\n%s\n"
                         % (code, output.decode("latin-1")))
        sys.exit(1)


def size_without_resources(objcopy, path, scratch):
    bare = os.path.join(scratch, "bare-" + os.path.basename(path))
    subprocess.run([objcopy, "--remove-section=.rsrc", path, bare], check=True)
    return os.path.getsize(bare)


def main():
    runs = int(sys.argv[1])
    jobs = [("Kelvane.exe", sys.argv[2].split("|")),
            ("noop.exe", sys.argv[3].split("|")),
            ("job.cmd", sys.argv[4].split("|"))]
    objcopy = sys.argv[5]
    programs = sys.argv[6:]
    times = {name: [] for name, _ in jobs}
    script_codes = set()

    with tempfile.TemporaryDirectory() as scratch:
        # One untimed round: the first start of each loads its DLLs from disk.
        for name, command in jobs:
            _, code, output = run_once(command, scratch)
            if name == "Kelvane.exe":
                check_kelvane(code, output)
        for round_number in range(runs):
            shift = round_number % len(jobs)
            for name, command in jobs[shift:] + jobs[:shift]:
                elapsed, code, output = run_once(command, scratch)
                if name == "Kelvane.exe":
                    check_kelvane(code, output)
                elif name == "noop.exe" and code != 0:
                    sys.exit("noop.exe ended with %d" % code)
                elif name == "job.cmd":
                    script_codes.add(code)
                times[name].append(elapsed)

        sizes = [(os.path.basename(p), os.path.getsize(p), size_without_resources(objcopy, p, scratch))
                 for p in programs]

    median = {name: statistics.median(values) for name, values in times.items()}
    print("Wall time per run, %d interleaved runs each (warm wineserver):" % runs)
    print("  %-12s %10s %10s %10s" % ("job", "median ms", "min ms", "max ms"))
    for name, _ in jobs:
        values = times[name]
        print("  %-12s %10.1f %10.1f %10.1f" % (name, 1000 * median[name], 1000 * min(values), 1000 * max(values)))
    if script_codes != {0}:
        print("  (job.cmd exit codes: %s; the wmic calls need the system's WMI)" % sorted(script_codes))

    kelvane_ratio = median["Kelvane.exe"] / median["noop.exe"]
    script_ratio = median["job.cmd"] / median["Kelvane.exe"]
    print()
    print("  %-22s %7s %10s  %s" % ("ratio", "value", "target", "verdict"))
    print("  %-22s %7.2f %10s  %s" % ("Kelvane / noop", kelvane_ratio, "<= %.1f" % KELVANE_TARGET,
                                       "met" if kelvane_ratio <= KELVANE_TARGET else "MISSED"))
    print("  %-22s %7.2f %10s  %s" % ("job.cmd / Kelvane", script_ratio, ">= %.1f" % SCRIPT_TARGET,
                                       "met" if script_ratio >= SCRIPT_TARGET else "MISSED"))
    print()
    print("  %-12s %14s %20s" % ("program", "bytes", "without resources"))
    for name, whole, bare in sizes:
        print("  %-12s %14d %12d (%.1f KiB)" % (name, whole, bare, bare / 1024))


if __name__ == "__main__":
    main()
