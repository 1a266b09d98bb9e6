#!/usr/bin/env python3
"""Scale of tools/kelvane-log's fleet database and report: for each number of
runs, writes Run logs the way bench/log_reader_bench.py does, then times the
tool, each step in a process of its own, with its peak memory:

    bench/fleet_bench.py [--runs 100000 1000000] [--folder DIR] [--seed 1] [--repeat 1] [--postgres]

jsonl from the logs (the yardstick), gathering them into a new database,
gathering the same logs again, the html report from the database (and its
size), the units from the database (jsonl), jsonl from the database, and the
html report straight from the logs. The aims: gathering at most 2 times the
jsonl, gathering again at most the first time, the report and the units from
the database each within 10 s, the report within 2 MB, and peak memory that
does not grow with the runs. A million runs take about 1 GB of
logs and 0.5 GB of database in DIR, all removed afterwards. Not a test: the
figures depend on the machine.

--postgres does the same with a PostgreSQL database beside SQLite, on a
server of the bench's own (the one tests/tools/test_fleet_postgres.py starts,
its data in DIR), and then, with the machine folders moved into four
quarters, times one gatherer on all of them against four at once, each on a
quarter, each time into a new database. Run it with a Python that has
psycopg 3 (Debian: /usr/bin/python3); the tool runs with the same one.

--year writes a year of a line instead (--runs, 2,000,000 unless given,
over 365 days, in machine folders of one to four runs), gathers it, then
writes one night (a 400th of the year: of 2,000,000, 5,000 runs, 4,000 in
new machine folders and 1,000 appended to logs of the year, one each) and
times: the night into an empty database (its new folders and its grown logs
alone), the night into the year, the bare walk of the year's tree (its
folders listed, the size and time of each log taken), and from the year
the page, the units and --check where the tool has it. The aims: the night
into the year at most 3 times the night into an empty database plus the
walk, the page and --check within 1 s each, the units within 10 s, and the
tool's memory flat. With --postgres, the same on PostgreSQL. A year of
2,000,000 runs takes about 3 GB of logs and 800,000 folders.
"""

import argparse
import contextlib
import os
import random
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
YEAR_DAYS = 365
NIGHTS_A_YEAR = 400    # a night brings a 400th of a year's runs: 5,000 of 2,000,000
GROWN_SHARE = 0.2      # of a night's runs, those that grow a log of the year by a run each
# The bare walk of a gathered tree: each folder listed, the size and time of
# each log taken, as the tool's own walk goes; the number of logs and the
# walk's peak resident memory (VmHWM) printed.
WALK = """import os, sys
sys.path.insert(0, sys.argv[1])
from kelvane_log import gather
logs = 0
for root, dirs, files in gather.walk(sys.argv[2], print):
    dirs.sort()
    for name in files:
        if name.lower() == "kelvane.log":
            facts = os.stat(os.path.join(root, name))
            logs += facts.st_size > 0 and facts.st_mtime_ns > 0
with open("/proc/self/status") as status:
    print(logs, next(line for line in status if line.startswith("VmHWM:")).split()[1])
"""
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
    return run_at_once([arguments], output)[0]


def run_at_once(each, output):
    """Seconds from the first start to the last end, and each run's peak
    resident MB and what it wrote on stderr, of the tool run with each of
    the lists of arguments, all at the same time."""
    with contextlib.ExitStack() as files:
        out = files.enter_context(open(output, "wb"))
        runs = [(arguments, files.enter_context(tempfile.TemporaryFile()),
                 files.enter_context(tempfile.NamedTemporaryFile("r"))) for arguments in each]
        start = time.perf_counter()
        children = [subprocess.Popen([sys.executable, "-c", PEAK, TOOLS, peak.name] + arguments, stdout=out,
                                     stderr=errors) for arguments, errors, peak in runs]
        codes = [child.wait() for child in children]
        seconds = time.perf_counter() - start
        done = []
        for (arguments, errors, peak), code in zip(runs, codes):
            errors.seek(0)
            said = errors.read().decode("utf-8", "replace")
            # --check's exit codes are its own: each of them is a state the check found.
            if code not in ((0, 1, 2, 3) if "--check" in arguments else (0, 2)) or "Traceback" in said:
                sys.exit("kelvane-log %s failed:\n%s" % (" ".join(arguments), said[-2000:]))
            done.append((seconds, int(peak.read().split()[1]) / 1024, said))
    return done


def bench(folder, runs, seed, repeat, postgres):
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
    if postgres is not None:
        rows += bench_postgres(postgres, logs, nowhere, repeat)
    counted = int(rows[1][3].strip().splitlines()[-1].split()[0])
    return counted, log_bytes, os.path.getsize(fleet), os.path.getsize(page), rows


def bench_postgres(server, logs, nowhere, repeat):
    """The same steps into and from a PostgreSQL database; then the machine
    folders in four quarters, one gatherer on all of them and four at once."""
    rows = []
    first = []
    for _ in range(repeat):
        fleet = server.new_database()
        first.append(run_tool(["--into", fleet, logs], nowhere))
    rows.append(("PostgreSQL: gathering into a new database", min(first)[0], max(run[1] for run in first),
                 first[0][2]))
    rows.append(("PostgreSQL: gathering the same logs again",) + measure(["--into", fleet, logs], nowhere, repeat))
    rows.append(("PostgreSQL: html report",) + measure(["--from", fleet, "--format", "html"], nowhere, repeat))
    rows.append(("PostgreSQL: units (jsonl)",) + measure(["--units", "--from", fleet, "--format", "jsonl"], nowhere,
                                                         repeat))
    rows.append(("PostgreSQL: jsonl",) + measure(["--from", fleet, "--format", "jsonl"], nowhere, repeat))
    quarters = [os.path.join(logs, "quarter-%d" % quarter) for quarter in range(4)]
    machines = sorted(os.listdir(logs))
    for quarter in quarters:
        os.mkdir(quarter)
    for index, machine in enumerate(machines):
        os.rename(os.path.join(logs, machine), os.path.join(quarters[4 * index // len(machines)], machine))
    server.new_database()  # the first one's space back
    one = min(run_tool(["--into", server.new_database(), logs], nowhere) for _ in range(repeat))
    rows.append(("PostgreSQL: one gatherer on all four quarters",) + one)
    four = []
    for _ in range(repeat):
        fleet = server.new_database()
        runs = run_at_once([["--into", fleet, quarter] for quarter in quarters], nowhere)
        four.append((runs[0][0], max(peak for _, peak, _ in runs), "".join(said for _, _, said in runs)))
    rows.append(("PostgreSQL: four gatherers at once, one a quarter",) + min(four))
    return rows


class Server:
    """A PostgreSQL server of the bench's own, and a new database in it on
    demand (the one before dropped)."""

    def __init__(self, folder):
        sys.path.insert(0, os.path.join(log_reader_bench.SOURCE, "tests", "tools"))
        os.environ["KELVANE_POSTGRES_WORK"] = folder
        import test_fleet_postgres
        self.harness = test_fleet_postgres
        test_fleet_postgres.SERVER.update(test_fleet_postgres.start_server())
        self.count = 0

    def new_database(self):
        with self.harness.admin() as db:
            if self.count:
                db.execute("DROP DATABASE fleet_%d" % self.count)
            self.count += 1
            db.execute("CREATE DATABASE fleet_%d" % self.count)
        return self.harness.uri("fleet_%d" % self.count)

    def named_database(self, name):
        """A new database of its own name, beside the one new_database() keeps."""
        with self.harness.admin() as db:
            db.execute("DROP DATABASE IF EXISTS %s" % name)
            db.execute("CREATE DATABASE %s" % name)
        return self.harness.uri(name)


def machine_log(logs, machine):
    return os.path.join(logs, "PC-%07d" % machine, "Logs", "Kelvane.log")


def write_log(path, text, mode="wb"):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, mode) as log:
        log.write(text.encode("utf-16-le"))


def year_run(rng, machine, day):
    # The generator's calendar has 12 months of 28 days.
    return log_reader_bench.run(rng, "SN%07d" % machine, day * 336 // YEAR_DAYS)


def write_year(logs, runs, rng):
    """A year of a line: machine folders of one to four runs each on days in
    a row, until runs runs; their count and bytes."""
    machine = written = size = 0
    while written < runs:
        count = min(rng.randint(1, 4), runs - written)
        first = rng.randrange(YEAR_DAYS - 1 - count)
        text = "".join(year_run(rng, machine, first + day) for day in range(count))
        write_log(machine_log(logs, machine), text)
        machine += 1
        written += count
        size += 2 * len(text)
    return machine, size


def write_night(logs, machines, night, runs, rng):
    """One night: new machine folders of one run each, and logs of the year
    grown by one run, in the year's tree; the same files, grown whole, alone
    in night. Its runs."""
    count = max(1, runs // NIGHTS_A_YEAR)
    grown = round(count * GROWN_SHARE)
    for machine in rng.sample(range(machines), grown):
        write_log(machine_log(logs, machine), year_run(rng, machine, YEAR_DAYS - 1), "ab")
        os.makedirs(os.path.dirname(machine_log(night, machine)))
        shutil.copyfile(machine_log(logs, machine), machine_log(night, machine))
    for machine in range(machines, machines + count - grown):
        text = year_run(rng, machine, YEAR_DAYS - 1)
        write_log(machine_log(logs, machine), text)
        write_log(machine_log(night, machine), text)
    return count


def bare_walk(logs, repeat):
    """Seconds (the best of repeat walks), peak resident MB and the logs
    found of the tree's bare walk, each in a process of its own."""
    walks = []
    for _ in range(repeat):
        start = time.perf_counter()
        done = subprocess.run([sys.executable, "-c", WALK, TOOLS, logs], check=True, stdout=subprocess.PIPE)
        found, peak = done.stdout.split()[-2:]
        walks.append((time.perf_counter() - start, int(peak) / 1024, found.decode() + " logs"))
    return min(walks)


def has_check():
    said = subprocess.run([sys.executable, os.path.join(TOOLS, "kelvane-log"), "--help"], check=True,
                          stdout=subprocess.PIPE).stdout.decode()
    return "--check" in said


def bench_year(folder, runs, seed, repeat, postgres):
    """The year's rows, as bench() gives them, with the night's runs and the
    year's size: on SQLite, then on PostgreSQL where given."""
    rng = random.Random(seed)
    logs, night = os.path.join(folder, "logs"), os.path.join(folder, "night")
    machines, log_bytes = write_year(logs, runs, rng)
    os.sync()
    nowhere = os.devnull
    fleet, night_fleet = os.path.join(folder, "year.sqlite"), os.path.join(folder, "night.sqlite")
    engines = [("", fleet, night_fleet)]
    if postgres is not None:
        engines.append(("PostgreSQL: ", postgres.named_database("year"), None))
    rows = []
    for engine, into, _ in engines:
        rows.append((engine + "the year into a new database",) + run_tool(["--into", into, logs], nowhere))
    night_runs = write_night(logs, machines, night, runs, rng)
    os.sync()
    rows.append(("the bare walk of the year's tree",) + bare_walk(logs, repeat))
    checking = has_check()
    for engine, into, empty in engines:
        first = []
        for _ in range(repeat):  # each time into a new database
            if engine:
                empty = postgres.new_database()
            elif os.path.exists(empty):
                os.remove(empty)
            first.append(run_tool(["--into", empty, night], nowhere))
        rows.append((engine + "the night into an empty database", min(first)[0], max(run[1] for run in first),
                     first[0][2]))
        # Once: the second time, the night would be in the year already.
        rows.append((engine + "the night into the year",) + run_tool(["--into", into, logs], nowhere))
        rows.append((engine + "the page from the year",) + measure(["--from", into, "--format", "html"], nowhere,
                                                                  repeat))
        rows.append((engine + "the units from the year (jsonl)",) + measure(
            ["--units", "--from", into, "--format", "jsonl"], nowhere, repeat))
        if checking:
            rows.append((engine + "--check from the year",) + measure(["--check", "--from", into], nowhere, repeat))
    return night_runs, log_bytes, os.path.getsize(fleet), rows


def report_year(runs, night_runs, log_bytes, fleet_bytes, rows):
    named = {name: seconds for name, seconds, _, _ in rows}
    walk = named["the bare walk of the year's tree"]
    print("\na year of %s runs, %.0f MB of logs, database %.0f MB; a night of %s runs"
          % ("{:,}".format(runs), log_bytes / 1e6, fleet_bytes / 1e6, "{:,}".format(night_runs)))
    print("| a year of %s runs | seconds | aim | peak MB |\n|---|---|---|---|" % "{:,}".format(runs))
    for name, seconds, peak, _ in rows:
        engine = name[:12] if name.startswith("PostgreSQL: ") else ""
        step = name[len(engine):]
        aim = {"the page from the year": "1", "--check from the year": "1",
               "the units from the year (jsonl)": "10"}.get(step, "")
        if step == "the night into the year":
            aim = "%.2f (3 x %.2f + %.2f)" % (3 * named[engine + "the night into an empty database"] + walk,
                                              named[engine + "the night into an empty database"], walk)
        print("| %s | %.2f | %s | %.0f |" % (name, seconds, aim, peak))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, nargs="+", help="100000 1000000 unless given; with --year, 2000000")
    parser.add_argument("--folder", help="where the logs and databases go (a temporary folder in it)")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--repeat", type=int, default=1, help="take the best time of this many runs of each step")
    parser.add_argument("--postgres", action="store_true", help="PostgreSQL beside SQLite, on a server of its own")
    parser.add_argument("--year", action="store_true", help="a year of a line, then one night gathered into it")
    args = parser.parse_args()
    if args.runs is None:
        args.runs = [2000000] if args.year else [100000, 1000000]
    print("Python %s, SQLite %s" % (sys.version.split()[0], __import__("sqlite3").sqlite_version))
    postgres = Server(args.folder or tempfile.gettempdir()) if args.postgres else None
    if postgres is not None:
        with postgres.harness.admin() as db:
            print(db.execute("SELECT version()").fetchone()[0])
    for runs in args.runs:
        folder = tempfile.mkdtemp(prefix="kelvane-fleet-bench-", dir=args.folder)
        if args.year:
            try:
                report_year(runs, *bench_year(folder, runs, args.seed, args.repeat, postgres))
            finally:
                shutil.rmtree(folder)
            continue
        try:
            counted, log_bytes, fleet_bytes, page_bytes, rows = bench(folder, runs, args.seed, args.repeat, postgres)
        finally:
            shutil.rmtree(folder)
        yardstick, first = rows[0][1], rows[1][1]
        named = {name: seconds for name, seconds, _, _ in rows}
        print("\n%s runs in %s logs of %.0f MB; database %.0f MB; page %.1f kB"
              % ("{:,}".format(counted), "{:,}".format(round(runs / RUNS_PER_LOG)), log_bytes / 1e6,
                 fleet_bytes / 1e6, page_bytes / 1e3))
        print("| %s runs | seconds | ratio | peak MB |\n|---|---|---|---|" % "{:,}".format(counted))
        for name, seconds, peak, _ in rows:
            ratio = {"gathering into a new database": "%.2f of jsonl" % (seconds / yardstick),
                     "gathering the same logs again": "%.2f of the first" % (seconds / first)}.get(name, "")
            if name.startswith("PostgreSQL: "):
                ratio = {"gathering into a new database": "%.2f of jsonl" % (seconds / yardstick),
                         "gathering the same logs again": "%.2f of the first" % (seconds / named[
                             "PostgreSQL: gathering into a new database"]),
                         "four gatherers at once, one a quarter": "%.2f of one on all" % (seconds / named[
                             "PostgreSQL: one gatherer on all four quarters"])}.get(name[12:], "")
            print("| %s | %.2f | %s | %.0f |" % (name, seconds, ratio, peak))


if __name__ == "__main__":
    main()
