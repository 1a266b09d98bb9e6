#!/usr/bin/env python3
"""Scale of tools/kelvane-log's fleet database and report: for each number of
runs, writes Run logs the way bench/log_reader_bench.py does, then times the
tool, each step in a process of its own, with its peak memory:

    bench/fleet_bench.py [--runs 100000 1000000] [--folder DIR] [--seed 1] [--repeat 1]

jsonl from the logs (the yardstick), gathering them into a new database,
gathering the same logs again, the html report from the database (and its
size), the units from the database (jsonl), jsonl from the database, and the
html report straight from the logs. The aims: gathering at most 2 times the
jsonl, gathering again at most the first time, the report and the units from
the database each within 10 s, the report within 2 MB, and peak memory that
does not grow with the runs. A million runs take about 1 GB of
logs and 0.5 GB of database in DIR, all removed afterwards. Not a test: the
figures depend on the machine.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import log_reader_bench  # noqa: E402  (its log generator)

TOOLS = os.path.join(log_reader_bench.SOURCE, "tools")
# Runs the tool's package, as python3 -m kelvane_log does, and notes its peak
# resident memory: the high-water mark of its own address space (VmHWM). The
# rusage figure of a child also counts the peak of the parent it was spawned
# from.
PEAK = """import runpy, sys
tools, peak = sys.argv[1:3]
sys.argv = ["kelvane-log"] + sys.argv[3:]
sys.path.insert(0, tools)
try:
    runpy.run_module("kelvane_log", run_name="__main__", alter_sys=True)
finally:
    with open("/proc/self/status") as status, open(peak, "w") as out:
        out.write(next(line for line in status if line.startswith("VmHWM:")))
"""
RUNS_PER_LOG = 2.5  # the generator writes one to four runs a log
# Writes the logs in a process of its own and has them on disk before the
# timings begin.
GENERATE = """import os, random, sys
sys.path.insert(0, sys.argv[1])
import log_reader_bench
print(log_reader_bench.generate(sys.argv[2], int(sys.argv[3]), random.Random(int(sys.argv[4]))))
os.sync()
"""


def measure(arguments, output, repeat):
    """Seconds (the best of repeat runs), peak resident MB (the most) and what
    it wrote on stderr (the first time) of the tool."""
    runs = [run_tool(arguments, output) for _ in range(repeat)]
    return min(seconds for seconds, _, _ in runs), max(peak for _, peak, _ in runs), runs[0][2]


def run_tool(arguments, output):
    with open(output, "wb") as out, tempfile.TemporaryFile() as errors, tempfile.NamedTemporaryFile("r") as peak:
        start = time.perf_counter()
        child = subprocess.run([sys.executable, "-c", PEAK, TOOLS, peak.name] + arguments, stdout=out, stderr=errors)
        seconds = time.perf_counter() - start
        errors.seek(0)
        said = errors.read().decode("utf-8", "replace")
        kilobytes = int(peak.read().split()[1])
    if child.returncode not in (0, 2) or "Traceback" in said:
        sys.exit("kelvane-log %s failed:\n%s" % (" ".join(arguments), said[-2000:]))
    return seconds, kilobytes / 1024, said


def bench(folder, runs, seed, repeat):
    logs = os.path.join(folder, "logs")
    log_bytes = int(subprocess.run([sys.executable, "-c", GENERATE, os.path.dirname(os.path.abspath(__file__)), logs,
                                    str(round(runs / RUNS_PER_LOG)), str(seed)],
                                   check=True, stdout=subprocess.PIPE).stdout)
    fleet = os.path.join(folder, "fleet.sqlite")
    page = os.path.join(folder, "report.html")
    nowhere = os.devnull
    rows = [("jsonl from the logs",) + measure(["--format", "jsonl", logs], nowhere, repeat)]
    first = []
    for _ in range(repeat):  # each time into a new database
        if os.path.exists(fleet):
            os.remove(fleet)
        first.append(run_tool(["--into", fleet, logs], nowhere))
    rows.append(("gathering into a new database", min(first)[0], max(run[1] for run in first), first[0][2]))
    rows.append(("gathering the same logs again",) + measure(["--into", fleet, logs], nowhere, repeat))
    rows.append(("html report from the database",) + measure(["--from", fleet, "--format", "html"], page, repeat))
    rows.append(("units from the database (jsonl)",) + measure(["--units", "--from", fleet, "--format", "jsonl"],
                                                               nowhere, repeat))
    rows.append(("jsonl from the database",) + measure(["--from", fleet, "--format", "jsonl"], nowhere, repeat))
    rows.append(("html report from the logs",) + measure(["--format", "html", logs], nowhere, repeat))
    counted = int(rows[1][3].strip().splitlines()[-1].split()[0])
    return counted, log_bytes, os.path.getsize(fleet), os.path.getsize(page), rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, nargs="+", default=[100000, 1000000])
    parser.add_argument("--folder", help="where the logs and databases go (a temporary folder in it)")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--repeat", type=int, default=1, help="take the best time of this many runs of each step")
    args = parser.parse_args()
    print("Python %s, SQLite %s" % (sys.version.split()[0], __import__("sqlite3").sqlite_version))
    for runs in args.runs:
        folder = tempfile.mkdtemp(prefix="kelvane-fleet-bench-", dir=args.folder)
        try:
            counted, log_bytes, fleet_bytes, page_bytes, rows = bench(folder, runs, args.seed, args.repeat)
        finally:
            shutil.rmtree(folder)
        yardstick, first = rows[0][1], rows[1][1]
        print("\n%s runs in %s logs of %.0f MB; database %.0f MB; page %.1f kB"
              % ("{:,}".format(counted), "{:,}".format(round(runs / RUNS_PER_LOG)), log_bytes / 1e6,
                 fleet_bytes / 1e6, page_bytes / 1e3))
        print("| %s runs | seconds | ratio | peak MB |\n|---|---|---|---|" % "{:,}".format(counted))
        for name, seconds, peak, _ in rows:
            ratio = {"gathering into a new database": "%.2f of jsonl" % (seconds / yardstick),
                     "gathering the same logs again": "%.2f of the first" % (seconds / first)}.get(name, "")
            print("| %s | %.2f | %s | %.0f |" % (name, seconds, ratio, peak))


if __name__ == "__main__":
    main()
