#!/usr/bin/env python3
"""tools/kelvane-log's fleet database and yield report, on the Run logs the
real Kelvane.exe wrote under Wine in this test run (see test_kelvane_log.py),
the report rendered by headless Chromium, a screenshot of it kept.

    KELVANE_RUN_LOGS=build/test/tests/work/run-logs python3 tests/tools/test_fleet_report.py
"""

import collections
import csv
import datetime
import io
import json
import math
import os
import re
import shutil
import signal
import sqlite3
import subprocess
import sys
import tempfile
import unittest
from contextlib import closing
from html import escape
from html.parser import HTMLParser
from unittest import mock

# The reader's test's own: where the kept logs are, the tool run as Windows
# would run it, and the check that the logs are there.
from test_kelvane_log import (JAPANESE, PASSING, RUN_LOGS, SOURCE, TOOL, entries, read_bytes as read,
                              run_tool as tool, setUpModule)  # noqa: F401

sys.path.insert(0, os.path.join(SOURCE, "tools"))
from kelvane_log import cli, store  # noqa: E402

# Each call of the tool takes "now" from here: pages of the same runs are the same bytes.
NOW = "2026-12-09T07:00:00"
os.environ["KELVANE_LOG_NOW"] = NOW
BAD = ("FAIL", "INCOMPLETE")
SCREENSHOT = os.environ.get("KELVANE_FLEET_SCREENSHOT", os.path.join(os.path.dirname(RUN_LOGS), "fleet-report.png"))
FAILING = "KelvaneFaults.each_failing_wmi_step_fails_the_run_with_its_code"
TWO_RUNS = "KelvaneRun.leaves_correct_views_alone_and_a_second_run_appends_and_overwrites_the_marker"
NOT_SET = "KelvaneFaults.a_write_that_does_not_take_effect_fails_the_run"
ABSENT = "KelvaneRun.ends_without_a_result_when_office_is_absent"
UNIT_FIELDS = ("unit", "serial", "runs", "logs", "first", "last", "state", "first_started", "last_started",
               "build_id", "loc", "reason", "file")
# The first schema, as the tool that made it wrote it.
FIRST_SCHEMA = """CREATE TABLE runs (
    file TEXT NOT NULL,
    run INTEGER NOT NULL,
    date TEXT NOT NULL,
    time TEXT NOT NULL,
    serial TEXT,
    build_id TEXT,
    feature_byte TEXT,
    loc TEXT,
    outcome TEXT NOT NULL,
    failed TEXT,
    views TEXT NOT NULL,
    marker TEXT,
    interleaved INTEGER NOT NULL,
    machine TEXT NOT NULL,
    PRIMARY KEY (file, run)
) WITHOUT ROWID"""


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as file:
        file.write(data)
    return path


# A gathering, made to wait a minute (and to say so) as it comes to read the PATH given last.
STOPPING = """import sys, time; sys.path.insert(0, sys.argv[1]); from kelvane_log import cli, gather
def wait(path, *rest, read=gather.read_log):
    if path == sys.argv[-1]: print("stopped", flush=True); time.sleep(60)
    return read(path, *rest)
gather.read_log = wait; sys.exit(cli.main(sys.argv[2:]))"""


def stopped(*arguments):  # once it waits, or has ended
    child = subprocess.Popen([sys.executable, "-c", STOPPING, os.path.dirname(TOOL)] + list(arguments),
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    child.stdout.readline()
    return child


def run(machine, at, serial="SN-0042", upto=None, cut=0):
    """The text of a kept log's first run, started at (MM/DD/YY HH:MM:SS),
    with another serial number, cut as entries() cuts it."""
    text = re.sub(r"(?<=={32} )\S+ \S+", at, "".join(entries(machine, upto, cut)), count=1)
    return text.replace("SerialNumber=[SN-0042]", "SerialNumber=[%s]" % serial)


def started(record):
    return "20%s-%s-%sT%s" % (record["date"][6:], record["date"][:2], record["date"][3:5], record["time"])


def units_of(records):
    """The units of run records, by the definition, and how many runs have none."""
    serials = collections.defaultdict(set)
    for record in records:
        if record["serial"] is not None:
            serials[record["file"]].add(record["serial"])
    units, loose = collections.defaultdict(list), 0
    for record in records:
        logged = serials[record["file"]]
        unit = record["serial"] if record["serial"] is not None else (
            record["file"] if not logged else min(logged) if len(logged) == 1 else None)
        if unit is None:
            loose += 1
        else:
            units[unit].append(record)
    for runs in units.values():
        runs.sort(key=lambda record: (started(record), record["file"], record["run"]))
    return units, loose


def older_database(db, version, nights):
    """db (a store connection) as the tool of schema version made it from the nights (a PATH each, from
    the current folder): runs kept by path and place, the machine below PATH or PATH's own name."""
    db.begin_writing()
    db.make_schema()
    store.upgrade(db, 0, "", to=1)
    for path in nights:
        for record in map(json.loads, tool("--format", "jsonl", path)[0].splitlines()):
            machine = os.path.relpath(os.path.dirname(record["file"]), path)
            values = [json.dumps(value) if name == "views" else int(value) if name == "interleaved" else value
                      for name, value in record.items() if name != "started"]
            db.execute("INSERT INTO runs VALUES (%s) ON CONFLICT (file, run) DO NOTHING" % ", ".join("?" * 14),
                       values + [os.path.basename(os.path.abspath(path)) if machine == os.curdir else machine])
    store.upgrade(db, 1, store.ahead_of(datetime.datetime.fromisoformat(NOW)), to=version)
    db.execute("COMMIT")


def on_day(data, date):
    """A Run log's bytes with every run header dated date."""
    return re.sub(r"(?<=={32} )\d\d/\d\d/\d\d", date, data.decode("utf-16-le")).encode("utf-16-le")


# Nights of a line (see older_nights): the same tree spelled three ways, a
# machine folder alone, a backup of an older copy of a log.
NIGHTS = ("line", "./line/", "line/PC-2", "backup")
fail, pass_ = (lambda at, serial: run(NOT_SET, at, serial)), (lambda at, serial: run(PASSING, at, serial))


def older_nights(test):
    """A line whose nights a path-keyed database counted wrong, written in test's folder, which is the current
    folder for the rest of test, and gathered night by night into fleet.sqlite at the tool's fixed time."""
    fixed_now(test)
    test.addCleanup(os.chdir, os.getcwd())
    folder = test.tmp
    for where, runs in {"line/PC-1/Logs": [fail("12/01/26 10:00:00", "SN-U"), pass_("12/01/26 10:05:00", "SN-U")],
                        "line/PC-2/Logs": [fail("12/01/26 11:00:00", "Default string")],
                        "line/PC-3": [pass_("12/01/26 11:00:00", "Default string"), fail("12/31/99 10:00:00", "0")],
                        "line/PC-4": [fail("11/30/26 10:00:00", "SN-K"), pass_("01/01/00 00:03:00", "SN-K")],
                        "backup/PC-1/Logs": [fail("12/01/26 10:00:00", "SN-U")]}.items():
        write(os.path.join(folder, where, "Kelvane.log"), "".join(runs).encode("utf-16-le"))
    os.chdir(folder)
    for night in NIGHTS:
        tool("--into", "fleet.sqlite", night)


def fixed_now(test):
    """The tool's own time for the rest of test (a run a day past it has a clock set ahead)."""
    patch = mock.patch.dict(os.environ, {"KELVANE_LOG_NOW": NOW})
    patch.start()
    test.addCleanup(patch.stop)


def same_nights(test, older, fleet, shown=None):
    """Asserts that the databases give the same runs, units and page."""
    for form in (["--format", "jsonl"], ["--units", "--format", "jsonl"], ["--format", "html"]):
        got, want = tool("--from", older, *form), tool("--from", fleet, *form)
        test.assertEqual((got[0].replace(escape(shown or older), fleet), got[1:]), (want[0], ("", 0)), form)


def summaries_agree(test, path):
    """Asserts that the fleet database at path (a file or a connection string) sums what its views and runs
    give: the units, the units by the day of their first run, the runs by day, and the logs."""
    summaries = store.summaries
    with closing(store.connect(path, create=False)) as db:
        def rows(sql):
            return sorted(map(tuple, db.execute(sql).fetchall()), key=repr)

        units = ", ".join(summaries.UNIT_COLUMNS)
        test.assertEqual(rows("SELECT %s FROM summed_units" % units), rows("SELECT %s FROM units" % units))
        group = ", ".join(summaries.UNIT_DAY_COLUMNS[:-1])
        by_day = rows("SELECT %s, sum(units) FROM summed_unit_days GROUP BY %s" % (group, group))
        test.assertEqual(by_day, rows(summaries.UNIT_DAYS.format(count="count(*)", source="units", where="true")))
        test.assertEqual([(day, units, passed) for day, units, passed in rows(
            "SELECT day, sum(units), sum(passed * units) FROM summed_unit_days WHERE off_clock = 0 GROUP BY day")
            if units], rows("SELECT day, units, passed_first FROM unit_days"))
        test.assertEqual(rows("SELECT %s FROM summed_run_days" % ", ".join(summaries.RUN_DAY_COLUMNS)),
                         rows(summaries.RUN_DAYS.format(join="", where="true")))
        test.assertEqual(rows("SELECT log FROM summed_logs"), rows("SELECT DISTINCT log FROM runs"))


class Dom(HTMLParser):
    """The elements of a page, each a dict of its attributes, tag, children and text."""

    def __init__(self, page):
        super().__init__()
        self.elements, self.open = [], [{"tag": None, "children": [], "text": ""}]
        self.feed(page)

    def handle_starttag(self, tag, attributes):
        element = dict(attributes, tag=tag, children=[], text="")
        self.open[-1]["children"].append(element)
        self.elements.append(element)
        if tag not in ("meta", "br", "img", "hr", "input", "link"):
            self.open.append(element)

    def handle_endtag(self, tag):
        while len(self.open) > 1 and self.open.pop()["tag"] != tag:
            pass

    def handle_data(self, data):
        for element in self.open[1:]:
            element["text"] += data

    def having(self, name, value=None):
        return [element for element in self.elements if name in element and value in (None, element[name])]


class Fleet(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp()
        # One machine folder per kept log, named so that the folder order is
        # also the order of the log paths, which the database gives back.
        self.gathered = os.path.join(self.tmp, "gathered")
        self.logs = {}
        kept = [machine for machine in os.listdir(RUN_LOGS)
                if os.path.isfile(os.path.join(RUN_LOGS, machine, "Kelvane.log"))]
        # Each test PC logged SN-0042, often in the same second: here each
        # is a PC of its own, or logs that begin alike would be one log.
        for index, machine in enumerate(sorted(kept)):
            self.logs[machine] = write(os.path.join(self.gathered, "PC-%02d" % index, "Kelvane.log"),
                                       read(os.path.join(RUN_LOGS, machine, "Kelvane.log")).replace(
                                           "SN-0042".encode("utf-16-le"), ("SN-%04d" % index).encode("utf-16-le")))
        self.fleet = os.path.join(self.tmp, "fleet.sqlite")

    def tearDown(self):
        shutil.rmtree(self.tmp)

    def gather(self):
        out, err, code = tool("--into", self.fleet, self.gathered)
        self.assertEqual((out, code), ("", 0), err)
        return err

    def first_schema(self):
        """The database the first schema's tool made of the gathered logs."""
        with sqlite3.connect(self.fleet) as db:
            db.execute(FIRST_SCHEMA)
            db.execute("PRAGMA user_version = 1")
            for line in tool("--format", "jsonl", self.gathered)[0].splitlines():
                record = json.loads(line)
                db.execute("INSERT INTO runs VALUES (%s)" % ", ".join("?" * 14), [
                    json.dumps(value) if name == "views" else value for name, value in record.items()
                    if name != "started"]
                    + [os.path.relpath(os.path.dirname(record["file"]), self.gathered)])
        db.close()

    def test_gathering_again_adds_what_is_new_and_the_database_gives_the_logs_records(self):
        # Gathered mid-run: the second run has no verdict yet.
        whole = read(self.logs[TWO_RUNS])
        write(self.logs[TWO_RUNS], whole[:whole.rindex("Result=PASS".encode("utf-16-le"))])
        runs = len(tool("--format", "jsonl", self.gathered)[0].splitlines())
        self.assertEqual(self.gather(), "%d new, 0 updated, 0 unchanged\n" % runs)
        for form in ("jsonl", "csv", "table"):
            self.assertEqual(tool("--from", self.fleet, "--format", form), tool("--format", form, self.gathered), form)

        kept = read(self.fleet)
        self.assertEqual(self.gather(), "0 new, 0 updated, %d unchanged\n" % runs)
        self.assertEqual(read(self.fleet), kept, "gathering the same logs writes nothing")

        # The log grew: its second run is whole now, and a third began.
        write(self.logs[TWO_RUNS], whole + read(self.logs[FAILING]))
        self.assertEqual(self.gather(), "1 new, 1 updated, %d unchanged\n" % (runs - 1))
        self.assertEqual(tool("--from", self.fleet, "--format", "jsonl"), tool("--format", "jsonl", self.gathered))
        summaries_agree(self, self.fleet)

    def test_each_file_is_kept_by_its_real_path_however_the_walk_came_to_it(self):
        # A machine folder that is a link to one elsewhere, and a second way to another.
        machine = os.path.dirname(self.logs[FAILING])
        os.rename(machine, os.path.join(self.tmp, "elsewhere"))
        os.symlink(os.path.join(self.tmp, "elsewhere"), machine)
        os.symlink(os.path.dirname(self.logs[TWO_RUNS]), os.path.join(self.gathered, "PC-99"))
        self.gather()

        def kept():
            with closing(sqlite3.connect(self.fleet)) as db:
                return sorted(path for path, in db.execute("SELECT path FROM files"))
        self.assertEqual(kept(), sorted(os.path.realpath(path) for path in self.logs.values()))
        self.assertRegex(tool("--into", self.fleet, os.path.join(self.tmp, "elsewhere"))[1],
                         "^0 new, 0 updated, [1-9][0-9]* unchanged\n$")
        self.assertEqual(len(kept()), len(self.logs))

    def test_a_killed_or_interrupted_gathering_leaves_the_database_as_it_was(self):
        # Enough runs that the transaction spills into the database file
        # before the tool waits at the log it reads last; three logs, as a
        # log's runs are kept once the log after the next comes.
        many = os.path.join(self.tmp, "many")
        for day, name in enumerate("abc", 1):
            write(os.path.join(many, name, "Kelvane.log"),
                  on_day(b"".join(read(log) for log in self.logs.values()), "01/0%d/26" % day) * 200)
        # The second database is of the first schema: the gathering upgrades it first.
        for make, version in ((self.gather, store.SCHEMA_VERSION), (self.first_schema, 1)):
            if os.path.exists(self.fleet):
                os.remove(self.fleet)
            make()
            kept = read(self.fleet)
            stored = tool("--from", self.fleet, "--format", "jsonl")
            for stop in (signal.SIGKILL, signal.SIGINT):
                os.utime(self.logs[FAILING], ns=(0, 0))  # changed since it was kept: it is read again
                with stopped("--into", self.fleet, many, self.logs[FAILING]) as child:  # it has stored many's runs
                    self.assertTrue(os.path.exists(self.fleet + "-journal"), "the tool has written to the database")
                    child.send_signal(stop)
                    self.assertNotEqual(child.wait(timeout=60), 0)
                self.assertEqual(tool("--from", self.fleet, "--format", "jsonl"), stored, stop)
                self.assertEqual(read(self.fleet), kept, stop)
                self.assertFalse(os.path.exists(self.fleet + "-journal"))
                with sqlite3.connect(self.fleet) as db:
                    self.assertEqual(db.execute("PRAGMA user_version").fetchone()[0], version)
                db.close()
            if version == store.SCHEMA_VERSION:
                summaries_agree(self, self.fleet)

    def test_a_database_of_the_first_schema_is_read_untouched_and_upgraded_by_the_next_gathering(self):
        self.first_schema()
        kept = read(self.fleet)
        for arguments in (["--format", "jsonl"], ["--format", "table"], ["--units", "--format", "jsonl"]):
            self.assertEqual(tool("--from", self.fleet, *arguments), tool(*arguments + [self.gathered]), arguments)
        self.assertEqual(tool("--from", self.fleet, "--format", "html")[2], 0)
        self.assertEqual(read(self.fleet), kept, "read without a write")

        runs = len(tool("--format", "jsonl", self.gathered)[0].splitlines())
        self.assertEqual(self.gather(), "0 new, 0 updated, %d unchanged\n" % runs, "every run kept, with its unit")
        summaries_agree(self, self.fleet)
        fresh = os.path.join(self.tmp, "fresh.sqlite")
        tool("--into", fresh, self.gathered)
        for arguments in (["--format", "jsonl"], ["--units", "--format", "jsonl"]):
            self.assertEqual(tool("--from", self.fleet, *arguments), tool("--from", fresh, *arguments), arguments)
        with sqlite3.connect(self.fleet) as upgraded, sqlite3.connect(fresh) as made:
            schema = "SELECT type, name, sql FROM sqlite_master ORDER BY name"
            self.assertEqual(upgraded.execute(schema).fetchall(), made.execute(schema).fetchall())
            self.assertEqual(upgraded.execute("PRAGMA user_version").fetchone()[0], store.SCHEMA_VERSION)
        upgraded.close()
        made.close()

    def test_units_of_small_fleets(self):
        t = "2026-01-05T"
        both = [run(NOT_SET, "01/05/26 10:00:00"), run(PASSING, "01/05/26 10:05:00")]
        cases = [  # name, the gatherings (machine folder: its runs), the units (all fields but the last, the file)
            ("a rerun after a failure", [{"PC-1": both}],
             [("SN-0042", "SN-0042", 2, 1, "FAIL", "PASS", "done", t + "10:00:00", t + "10:05:00", "12#SABA34", "ABA",
               None, "PC-1")]),
            ("a power loss, then a rerun", [{"PC-1": [run(PASSING, "01/05/26 10:00:00", upto="Registry after", cut=9),
                                                     run(PASSING, "01/05/26 10:05:00")]}],
             [("SN-0042", "SN-0042", 2, 1, "INCOMPLETE", "PASS", "done", t + "10:00:00", t + "10:05:00", "12#SABA34",
               "ABA", None, "PC-1")]),
            ("a failed serial query, then a pass; one alone",
             [{"PC-1": [run(FAILING, "01/05/26 10:00:00"), run(PASSING, "01/05/26 10:05:00", "SN-7")],
               "PC-2": [run(FAILING, "01/05/26 11:00:00")]}],
             [("PC-2", None, 1, 1, "FAIL", "FAIL", "open", t + "11:00:00", t + "11:00:00", None, None,
               "serial number query", "PC-2"),
              ("SN-7", "SN-7", 2, 1, "FAIL", "PASS", "done", t + "10:00:00", t + "10:05:00", "12#SABA34", "ABA",
               None, "PC-1")]),
            ("one log shared by two PCs: a run without a serial has no unit",
             [{"PC-S": [run(PASSING, "01/05/26 10:00:00", "SN-A"), run(FAILING, "01/05/26 10:01:00"),
                        run(NOT_SET, "01/05/26 10:02:00", "SN-B")]}],
             [("SN-A", "SN-A", 1, 1, "PASS", "PASS", "done", t + "10:00:00", t + "10:00:00", "12#SABA34", "ABA", None,
               "PC-S"),
              ("SN-B", "SN-B", 1, 1, "FAIL", "FAIL", "open", t + "10:02:00", t + "10:02:00", "12#SABA34", "ABA",
               "registry 32-bit view", "PC-S")]),
            ("one serial in two folders: at one start, the log begun later is the later run",
             [{"PC-A": both, "PC-B": [run(NOT_SET, "01/05/26 09:59:00"), run(PASSING, "01/05/26 10:05:00")]}],
             [("SN-0042", "SN-0042", 4, 2, "FAIL", "PASS", "done", t + "09:59:00", t + "10:05:00", "12#SABA34", "ABA",
               None, "PC-A")]),
            ("a log replaced by another PC's keeps its history",
             [{"PC-1": [run(PASSING, "01/05/26 10:00:00", "SN-A"), run(PASSING, "01/05/26 10:05:00", "SN-A")]},
              {"PC-1": [run(NOT_SET, "01/05/26 11:00:00", "SN-B"), run(FAILING, "01/05/26 11:05:00")]}],
             [("SN-A", "SN-A", 2, 1, "PASS", "PASS", "done", t + "10:00:00", t + "10:05:00", "12#SABA34", "ABA", None,
               "PC-1"),
              ("SN-B", "SN-B", 2, 1, "FAIL", "FAIL", "open", t + "11:00:00", t + "11:05:00", "12#SABA34", "ABA",
               "serial number query", "PC-1")]),
            ("days across a year's end, by start before path",
             [{"PC-0": [run(PASSING, "01/02/26 08:00:00", "SN-C")], "PC-1": [run(NOT_SET, "12/31/25 23:59:00", "SN-C")]}],
             [("SN-C", "SN-C", 2, 2, "FAIL", "PASS", "done", "2025-12-31T23:59:00", "2026-01-02T08:00:00", "12#SABA34",
               "ABA", None, "PC-0")]),
            ("the latest run decides the state; Build ID and LOC are the latest logged",
             [{"PC-1": [run(JAPANESE, "01/05/26 10:00:00", "SN-D"), run(ABSENT, "01/05/26 10:05:00", "SN-D"),
                        run(FAILING, "01/05/26 10:10:00")],
               "PC-2": [run(JAPANESE, "01/05/26 10:00:00", "SN-E")], "PC-3": [run(ABSENT, "01/05/26 10:00:00", "SN-F")]}],
             [("SN-D", "SN-D", 3, 1, "SKIP", "FAIL", "open", t + "10:00:00", t + "10:10:00", "12#SABA34", "ABA",
               "serial number query", "PC-1"),
              ("SN-E", "SN-E", 1, 1, "SKIP", "SKIP", "done", t + "10:00:00", t + "10:00:00", "12#SACF34", "ACF", None,
               "PC-2"),
              ("SN-F", "SN-F", 1, 1, "OFFICE-ABSENT", "OFFICE-ABSENT", "no office", t + "10:00:00", t + "10:00:00",
               "12#SABA34", "ABA", None, "PC-3")]),
        ]
        for index, (name, gatherings, units) in enumerate(cases):
            with self.subTest(name):
                folder = os.path.join(self.tmp, "fleet-%d" % index)
                fleet = os.path.join(folder, "fleet.sqlite")
                for gathering in gatherings:
                    for machine, runs in gathering.items():
                        write(os.path.join(folder, "line", machine, "Kelvane.log"), "".join(runs).encode("utf-16-le"))
                    counted = tool("--into", fleet, os.path.join(folder, "line"))[1]
                    summaries_agree(self, fleet)
                self.assertEqual(counted.splitlines()[-1], "%d new, 0 updated, 0 unchanged"
                                 % sum(map(len, gathering.values())))
                where = os.path.join(folder, "line", "")
                want = [dict(zip(UNIT_FIELDS, unit[:-1] + (where + unit[-1] + os.sep + "Kelvane.log",)),
                             unit=unit[0] if unit[1] else where + unit[0] + os.sep + "Kelvane.log") for unit in units]
                got = tool("--units", "--from", fleet, "--format", "jsonl")
                self.assertEqual(([json.loads(line) for line in got[0].splitlines()], got[2]), (want, 0))
                if len(gatherings) == 1:
                    self.assertEqual(tool("--units", "--format", "jsonl", os.path.join(folder, "line"))[::2], got[::2])
                    rows = list(csv.DictReader(io.StringIO(tool("--units", "--from", fleet, "--format", "csv")[0])))
                    self.assertEqual(rows, [{field: "" if value is None else str(value) for field, value in unit.items()}
                                            for unit in want])

    def test_units_of_a_real_line_s_logs(self):
        # Each fleet's files (below its folder: runs), gathered from that folder through each gathering's PATHs.
        oem = "To Be Filled By O.E.M."
        fixed_now(self)
        self.addCleanup(os.chdir, os.getcwd())
        cases = [  # name, files, gatherings, counts of each, units (unit, serial, runs, logs, first, last, state, file), figures
            ("placeholder serials; a real serial in two folders is one unit",
             {"line/PC-1": [fail("12/01/26 10:00:00", oem)], "line/PC-2": [pass_("12/01/26 10:00:00", oem)],
              "line/PC-3": [pass_("12/01/26 10:01:00", "Default string")],
              "line/PC-4": [pass_("12/01/26 10:02:00", " 0000000 ")], "line/PC-5": [pass_("12/01/26 10:03:00", "")],
              "line/PC-6": [fail("12/01/26 10:04:00", "SN-R")], "line/PC-7": [pass_("12/01/26 11:00:00", "SN-R")]},
             [["line"]], ["7 new, 0 updated, 0 unchanged"],
             [("SN-R", "SN-R", 2, 2, "FAIL", "PASS", "done", "line/PC-7")]
             + [("line/PC-%d/Kelvane.log" % pc, None, 1, 1, outcome, outcome, state, "line/PC-%d" % pc)
                for pc, outcome, state in ((1, "FAIL", "open"), (2, "PASS", "done"), (3, "PASS", "done"),
                                           (4, "PASS", "done"), (5, "PASS", "done"))],
             {"units": 6, "placeholder_units": 5, "logs": 7, "open": [(oem, "PC-1")]}),
            ("a clock that went back: the log's order holds",
             {"line/PC-1": [fail("11/30/26 10:00:00", "SN-K"), pass_("01/01/00 00:03:00", "SN-K")]},
             [["line"]], ["2 new, 0 updated, 0 unchanged"],
             [("SN-K", "SN-K", 2, 1, "FAIL", "PASS", "done", "line/PC-1")],
             {"off_clock": 1, "units_off_clock": 0, "days": ["2026-11-30"], "open": []}),
            ("a clock set ahead pins nothing",
             {"line/PC-1": [pass_("12/31/99 10:00:00", "SN-H"), fail("12/02/26 10:00:00", "SN-H")],
              "line/PC-2": [pass_("12/03/26 10:00:00", "SN-G")]},
             [["line"]], ["3 new, 0 updated, 0 unchanged"],
             [("SN-G", "SN-G", 1, 1, "PASS", "PASS", "done", "line/PC-2"),
              ("SN-H", "SN-H", 2, 1, "PASS", "FAIL", "open", "line/PC-1")],
             {"off_clock": 1, "units_off_clock": 1, "days": ["2026-12-02", "2026-12-03"], "unit_days": {"2026-12-03": (1, 1)}}),
            ("one tree under four spellings and a link",
             {"line/PC-1/Logs": [fail("12/01/26 10:00:00", "SN-T"), pass_("12/01/26 10:05:00", "SN-T")]},
             [["line"], ["./line/"], ["line/../line"], ["link"]],
             ["2 new, 0 updated, 0 unchanged"] + ["0 new, 0 updated, 2 unchanged"] * 3,
             [("SN-T", "SN-T", 2, 1, "FAIL", "PASS", "done", "line/PC-1/Logs")], {"logs": 1, "runs": 2}),
            ("an older, shorter copy of a log in a backup folder",
             {"backup/PC-1": [fail("12/01/26 10:00:00", "SN-C")],
              "line/PC-1": [fail("12/01/26 10:00:00", "SN-C"), pass_("12/01/26 10:05:00", "SN-C")]},
             [["backup"], ["line"], ["line", "backup"]],
             ["1 new, 0 updated, 0 unchanged", "1 new, 0 updated, 1 unchanged", "0 new, 0 updated, 3 unchanged"],
             [("SN-C", "SN-C", 2, 1, "FAIL", "PASS", "done", "backup/PC-1")], {"logs": 1, "runs": 2}),
            ("one machine folder gathered alone, then the line",
             {"line/PC-1/Logs": [fail("12/01/26 10:00:00", "SN-M")], "line/PC-2/Logs": [fail("12/01/26 11:00:00", "SN-N")]},
             [["line/PC-1"], ["line"]], ["1 new, 0 updated, 0 unchanged", "1 new, 0 updated, 1 unchanged"],
             [("SN-M", "SN-M", 1, 1, "FAIL", "FAIL", "open", "line/PC-1/Logs"),
              ("SN-N", "SN-N", 1, 1, "FAIL", "FAIL", "open", "line/PC-2/Logs")],
             {"open": [("SN-N", "PC-2"), ("SN-M", "PC-1")]}),
        ]
        for index, (name, files, gatherings, counts, units, figures) in enumerate(cases):
            with self.subTest(name):
                folder = os.path.join(self.tmp, "line-%d" % index)
                for where, runs in files.items():
                    write(os.path.join(folder, where, "Kelvane.log"), "".join(runs).encode("utf-16-le"))
                os.symlink("line", os.path.join(folder, "link"))
                os.chdir(folder)
                self.assertEqual([tool("--into", "fleet.sqlite", *paths)[1] for paths in gatherings],
                                 [count + "\n" for count in counts])
                summaries_agree(self, "fleet.sqlite")
                got = tool("--units", "--from", "fleet.sqlite", "--format", "jsonl")
                if gatherings == [["line"]]:
                    self.assertEqual(tool("--from", "fleet.sqlite", "--format", "jsonl"),
                                     tool("--format", "jsonl", "line"), "each run as logged, serial and all")
                self.assertEqual([tuple(unit[field] for field in UNIT_FIELDS[:7]) + (os.path.dirname(unit["file"]),)
                                  for unit in map(json.loads, got[0].splitlines())], units)
                with store.reading("fleet.sqlite") as db:
                    page = store.report_figures(db)
                page.update(page.pop("units"), days=[day for day, _ in page["days"]], open=[row[:2] for row in page["open"]])
                self.assertEqual({key: page[key] for key in figures}, figures)

    def test_databases_of_versions_2_and_3_are_read_untouched_and_upgraded_to_what_the_same_nights_make(self):
        older_nights(self)
        for version in (2, 3):
            older = "version-%d.sqlite" % version
            with closing(store.connect(older, create=True)) as db:
                older_database(db, version, NIGHTS)
            kept = read(older)
            same_nights(self, older, "fleet.sqlite")
            self.assertEqual(read(older), kept, "read without a write")
            self.assertEqual(tool("--into", older, NIGHTS[-1])[1:], ("0 new, 0 updated, 1 unchanged\n", 0))
            same_nights(self, older, "fleet.sqlite")
            summaries_agree(self, older)
            with closing(sqlite3.connect(older)) as upgraded, closing(sqlite3.connect("fleet.sqlite")) as made:
                schema = "SELECT type, name, sql FROM sqlite_master ORDER BY name"
                self.assertEqual(upgraded.execute(schema).fetchall(), made.execute(schema).fetchall())

    def test_files_that_are_not_fleet_databases_are_refused_and_left_as_they_were(self):
        self.gather()
        newer = write(os.path.join(self.tmp, "newer.sqlite"), read(self.fleet))
        mixed = write(os.path.join(self.tmp, "mixed.sqlite"), read(self.fleet))
        other = os.path.join(self.tmp, "other.sqlite")
        for path, change in ((newer, "PRAGMA user_version = %d" % (store.SCHEMA_VERSION + 1)),
                             (mixed, "CREATE TABLE notes (text)"),
                             (other, "CREATE TABLE runs (file, run)")):
            with sqlite3.connect(path) as db:
                db.execute(change)
        for path, says in ((self.logs[FAILING], "not a SQLite database"),
                           (write(os.path.join(self.tmp, "notes.txt"), b"SQLite format 3 or so\n" * 9), "not a SQLite"),
                           (newer, "made by a newer kelvane-log (schema version %d" % (store.SCHEMA_VERSION + 1)),
                           (mixed, "not a kelvane-log fleet database"),
                           (other, "not a kelvane-log fleet database")):
            before = read(path)
            for arguments in (["--into", path, self.gathered], ["--from", path], ["--from", path, "--format", "html"]):
                out, err, code = tool(*arguments)
                self.assertEqual((out, code), ("", 2), arguments)
                self.assertIn("kelvane-log: error: %s: %s" % (path, says), err)
                self.assertEqual(read(path), before, arguments)
        missing = os.path.join(self.tmp, "missing.sqlite")
        self.assertEqual(tool("--from", missing)[2], 2)
        self.assertFalse(os.path.exists(missing))

    def chromium(self, *arguments):
        browser = shutil.which("chromium") or shutil.which("chromium-browser")
        if browser is None:
            self.fail("Chromium is not installed: the report is checked in it (scripts/setup.sh installs it)")
        with tempfile.TemporaryDirectory() as profile:
            done = subprocess.run([browser, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                                   "--no-first-run", "--disable-background-networking", "--disable-component-update",
                                   "--disable-sync", "--user-data-dir=" + profile] + list(arguments),
                                  capture_output=True, timeout=120)
        self.assertEqual(done.returncode, 0, done.stderr.decode("utf-8", "replace")[-2000:])
        return done.stdout.decode("utf-8")

    def test_the_rendered_page_shows_the_figures_of_the_records(self):
        # Days across a year's end, more failed runs and open units than the
        # page lists, units failing then passing, and a log shared by two PCs.
        failing = read(self.logs[FAILING])
        write(os.path.join(self.gathered, "PC-90", "Kelvane.log"),
              on_day(failing, "12/31/25") + on_day(failing, "01/02/26"))
        write(os.path.join(self.gathered, "PC-91", "Kelvane.log"), on_day(failing, "01/02/26") * 120)
        write(os.path.join(self.gathered, "PC-92", "Kelvane.log"), (run(PASSING, "01/03/26 09:00:00", "SN-A")
              + run(FAILING, "01/03/26 09:01:00") + run(NOT_SET, "01/03/26 09:02:00", "SN-B")).encode("utf-16-le"))
        for index in range(160):
            day = ("12/30/25", "12/31/25", "01/02/26", "01/03/26")[index % 4]
            runs = [run(JAPANESE if index % 14 == 0 else NOT_SET, "%s 08:%02d:00" % (day, index % 60), "U-%03d" % index)]
            runs += [run(PASSING, "01/03/26 12:00:00", "U-%03d" % index)] if index % 6 == 1 else []
            runs += [run(ABSENT, "01/03/26 13:00:00", "U-%03d" % index)] if index % 20 == 5 else []
            write(os.path.join(self.gathered, "U-%03d" % index, "Kelvane.log"), "".join(runs).encode("utf-16-le"))
        page, err, code = tool("--format", "html", self.gathered)
        self.assertEqual((err, code), ("", 0))
        self.gather()
        source = lambda path: "; from %s</p>" % path
        self.assertEqual(tool("--from", self.fleet, "--format", "html")[0].replace(source(self.fleet), source("")),
                         page.replace(source(self.gathered), source("")))
        self.assertNotRegex(page, r"(?i)<script|\bsrc=|\bhref=\"(?!#)|url\(|@import", "a page that needs nothing else")
        report = write(os.path.join(self.tmp, "report.html"), page.encode("utf-8"))
        dom = Dom(self.chromium("--dump-dom", "file://" + report))

        # What the page must show, from the records.
        records = [json.loads(line) for line in tool("--format", "jsonl", self.gathered)[0].splitlines()]
        outcomes = collections.Counter(record["outcome"] for record in records)
        figures = {"runs": len(records), "interleaved": sum(record["interleaved"] for record in records)}
        figures.update(outcomes)
        shown = {"figure-" + name: "{:,}".format(count) for name, count in figures.items()}
        shown["figure-yield"] = "%.1f%%" % (100.0 * (outcomes["PASS"] + outcomes["SKIP"]) / len(records))
        for key, value in shown.items():
            self.assertEqual(dom.having("id", key)[0]["children"][0]["text"], value, key)
        self.assertEqual(dom.having("id", "made")[0]["text"], "made 2026-12-09 07:00 (local time) from runs up to %s"
                         % max(map(started, records)).replace("T", " ")[:16])

        day = lambda record: started(record)[:10]
        days = collections.defaultdict(collections.Counter)
        for record in sorted(records, key=day):
            days[day(record)][record["outcome"]] += 1
        self.assertEqual([(group["data-day"], {bar["data-outcome"]: int(bar["data-count"])
                                               for bar in group["children"] if bar["tag"] == "rect"})
                          for group in dom.having("data-runs")], list(days.items()))
        self.assertLessEqual({"2025-12-30", "2025-12-31", "2026-01-02", "2026-01-03"}, set(days))
        for name, counted in (("reason", collections.Counter("INCOMPLETE" if record["outcome"] == "INCOMPLETE" else
                                                             record["failed"] or "" for record in records
                                                             if record["failed"] or record["outcome"] in BAD)),
                              ("loc", collections.Counter(record["loc"] or "" for record in records))):
            self.assertEqual({bar["data-" + name]: int(bar["data-count"]) for bar in dom.having("data-" + name)},
                             counted, name)

        # The runs to look at, newest first (a log's later run first within a second).
        look = [record for record in sorted(records, key=lambda record: (record["file"], -record["run"]))
                if record["outcome"] in BAD or record["interleaved"] and record["outcome"] not in ("PASS", "SKIP")]
        look.sort(key=started, reverse=True)
        rows = lambda table: [tuple(cell["text"] for cell in row["children"])
                              for row in dom.having("id", table)[0]["children"][1]["children"]]
        machine = lambda record: os.path.relpath(os.path.dirname(record["file"]), self.gathered)
        self.assertEqual(rows("attention"), [(os.path.relpath(os.path.dirname(record["file"]), self.gathered),
                                 started(record).replace("T", " "),
                                 {None: "-", "": '""'}.get(record["serial"], record["serial"]),
                                 record["outcome"], ", ".join(filter(None, (record["failed"], record["interleaved"]
                                                                            and "interleaved"))))
                                for record in look[:100]])
        self.assertEqual(dom.having("id", "attention-more")[0]["text"], "and %d more" % (len(look) - 100))

        # The units, worked out here from the records.
        units, loose = units_of(records)
        good = ("PASS", "SKIP")
        state = lambda runs: "done" if runs[-1]["outcome"] in good else (
            "no office" if runs[-1]["outcome"] == "OFFICE-ABSENT" else "open")
        share = lambda part, whole: "%.1f%%" % (100.0 * part / whole) if whole else "-"
        passing = [record["views"] for record in records if record["outcome"] == "PASS"]
        count = lambda *states: sum(state(runs) in states for runs in units.values())
        for key, value in {"units": len(units), "open": count("open"), "no-office": count("no office"),
                           "retested": sum(len(runs) > 1 for runs in units.values()), "no-unit": loose,
                           "wrote": sum(any(view["action"] == "overwritten" for view in views) for views in passing),
                           "both-set": sum([view["action"] for view in views] == ["kept"] * 2 for views in passing),
                           "first-pass": share(sum(runs[0]["outcome"] in good for runs in units.values()), len(units)),
                           "final": share(count("done"), len(units))}.items():
            self.assertEqual(dom.having("id", "figure-" + key)[0]["children"][0]["text"],
                             value if isinstance(value, str) else "{:,}".format(value), key)
        self.assertTrue(loose and count("open") > 100 and count("no office"), "the fleet has each kind")

        still_open = sorted((name for name, runs in units.items() if state(runs) == "open"),
                            key=lambda name: (started(units[name][-1]), [-ord(c) for c in name]), reverse=True)
        self.assertEqual([row[:3] + row[5:] for row in rows("open-units")], [
            (name, machine(units[name][-1]), units[name][-1]["outcome"], started(units[name][-1]).replace("T", " "),
             str(len(units[name]))) for name in still_open[:100]])
        self.assertEqual([row[3] if units[row[0]][-1]["outcome"] == "FAIL" else row[3][:8]
                          for row in rows("open-units")],
                         [units[name][-1]["failed"] or "" if units[name][-1]["outcome"] == "FAIL" else "cut off "
                          for name in still_open[:100]])
        self.assertEqual(dom.having("id", "open-more")[0]["text"], "and %d more" % (len(still_open) - 100))

        first_days = collections.defaultdict(list)
        for runs in units.values():
            first_days[day(runs[0])].append(runs[0]["outcome"] in good)
        self.assertEqual({group["data-day"]: (int(group["data-units"]), group["data-first-pass"])
                          for group in dom.having("data-units") if "data-runs" in group},
                         {day: (len(passed), share(sum(passed), len(passed))) for day, passed in first_days.items()})

        builds = collections.defaultdict(list)
        for runs in units.values():
            logged = [record["build_id"] for record in runs if record["build_id"] is not None]
            builds[logged[-1] if logged else None].append(runs)
        self.assertEqual(rows("build-ids"), [
            (build or "(none logged)", str(len(those)), share(sum(runs[0]["outcome"] in good for runs in those),
                                                              len(those)),
             share(sum(state(runs) == "done" for runs in those), len(those)),
             str(sum(state(runs) == "open" for runs in those)))
            for build, those in sorted(builds.items(), key=lambda item: (-len(item[1]), item[0] is None, item[0]))])

        reasons = sorted(dom.having("data-cumulative"), key=lambda bar: (-int(bar["data-count"]), bar["data-reason"]))
        self.assertEqual([bar["data-cumulative"] for bar in reasons],
                         [share(sum(int(bar["data-count"]) for bar in reasons[:at + 1]), sum(
                             int(bar["data-count"]) for bar in reasons)) for at in range(len(reasons))])

        if os.path.exists(SCREENSHOT):
            os.remove(SCREENSHOT)
        os.makedirs(os.path.dirname(SCREENSHOT), exist_ok=True)
        self.chromium("--screenshot=" + SCREENSHOT, "--window-size=1366,768", "file://" + report)
        self.assertEqual(read(SCREENSHOT)[:8], b"\x89PNG\r\n\x1a\n")


def first_pass_days(records):
    """{YYYY-MM-DD: (units first run that day, of them passed)} from run records."""
    days = collections.defaultdict(lambda: [0, 0])
    for runs in units_of(records)[0].values():
        days[started(runs[0])[:10]][0] += 1
        days[started(runs[0])[:10]][1] += runs[0]["outcome"] in ("PASS", "SKIP")
    return days


def control(records, today):
    """The last whole day, its first-pass yield and lower control limit, as
    the p-chart defines them, worked out from run records."""
    days = first_pass_days(records)
    last = max(day for day in days if day < today)
    start = (datetime.date.fromisoformat(last) - datetime.timedelta(days=30)).isoformat()
    units, passed = map(sum, zip(*[days[day] for day in days if start <= day < last]))
    centre = passed / units
    limit = centre - 3 * math.sqrt(centre * (1 - centre) / days[last][0])
    return last, days[last][1] / days[last][0], limit


# Writes where each of the page's first-screen elements ends, for --dump-dom.
MEASURE = """<script>for (const id of ["figure-last-day", "open-first", "pchart"]) {
  const found = document.getElementById(id); if (found) found.dataset.bottom = found.getBoundingClientRect().bottom;
}</script></body>"""


class Morning(unittest.TestCase):
    """The page a QA engineer opens at eight, the check a monitoring system
    runs, and the window on the days, on a fleet of a month and a half: each
    day 20 new units, 18 passing first time, the last whole day as given."""

    def fleet_of(self, last_day_passing):
        shutil.rmtree(self.gathered)
        day0 = datetime.date(2026, 10, 25)
        for index in range(45 * 20):
            day = day0 + datetime.timedelta(days=index // 20)
            at = "%s %02d:%02d:00" % (day.strftime("%m/%d/%y"), 6 + index % 12, index % 60)
            good = index % 20 < (last_day_passing if day == datetime.date(2026, 12, 8) else 18)
            runs = [run(PASSING if good else NOT_SET, at, "U%04d" % index)]
            if not good and index % 3 == 0:  # reworked: passes an hour later, or is cut off
                later = at.replace(" %02d:" % (6 + index % 12), " %02d:" % (7 + index % 12))
                runs.append(run(PASSING, later, "U%04d" % index, upto="LOC=" if index % 2 else None))
            write(os.path.join(self.gathered, "L%04d" % index, "Kelvane.log"), "".join(runs).encode("utf-16-le"))
        # Today, not yet whole: a bad morning so far, which is no fall yet.
        for index in range(4):
            write(os.path.join(self.gathered, "T%d" % index, "Kelvane.log"),
                  run(NOT_SET, "12/09/26 05:%02d:00" % index, "T%d" % index).encode("utf-16-le"))
        return [json.loads(line) for line in tool("--format", "jsonl", self.gathered)[0].splitlines()]

    setUp, tearDown, gather, chromium = Fleet.setUp, Fleet.tearDown, Fleet.gather, Fleet.chromium

    def check(self, *arguments):
        out, err, code = tool("--check", *arguments)
        self.assertEqual((out.count("\n"), err), (1, ""), out)
        return out, code

    def test_a_fall_below_the_limit_is_red_on_the_first_screen_and_critical(self):
        records = self.fleet_of(last_day_passing=9)
        self.gather()
        summaries_agree(self, self.fleet)
        last, first_pass, limit = control(records, NOW[:10])
        self.assertEqual(last, "2026-12-08")
        self.assertLess(first_pass, limit)
        out, code = self.check("--from", self.fleet)
        self.assertEqual(code, 2, out)
        self.assertTrue(out.startswith("KELVANE-LOG CRITICAL - "), out)
        performance = dict(item.split("=") for item in out.split(" | ")[1].split())
        self.assertEqual(performance["first_pass"], "%.1f%%;;%.1f:;0;100" % (100 * first_pass, 100 * limit))
        self.assertEqual(performance["lower_limit"], "%.1f%%;;;0;100" % (100 * limit))
        open_units = [runs for runs in units_of(records)[0].values() if runs[-1]["outcome"] in BAD]
        self.assertEqual(performance["open_units"], "%d;;;0;" % len(open_units))
        self.assertEqual(self.check(self.gathered), (out, code), "from the logs as from the database")

        page = tool("--from", self.fleet, "--format", "html")[0]
        measured = write(os.path.join(self.tmp, "measured.html"), page.replace("</body>", MEASURE).encode("utf-8"))
        dom = Dom(self.chromium("--window-size=1366,768", "--dump-dom", "file://" + measured))
        tile = dom.having("id", "figure-last-day")[0]
        self.assertEqual((tile["class"], tile["data-day"], tile["data-first-pass"], tile["data-limit"]),
                         ("figure below", last, "%.1f%%" % (100 * first_pass), "%.1f%%" % (100 * limit)))
        for name in ("figure-last-day", "open-first", "pchart"):
            self.assertLessEqual(float(dom.having("id", name)[0]["data-bottom"]), 768, name + " on the first screen")
        # The p-chart: each day's point, the last whole day marked below, today partial.
        points = {point["data-day"]: point for point in dom.having("data-first-pass") if point.get("class") == "point"}
        days = first_pass_days(records)
        self.assertEqual({day: (int(point["data-units"]), point["data-first-pass"]) for day, point in points.items()},
                         {day: (units, "%.1f%%" % (100.0 * passed / units)) for day, (units, passed) in days.items()
                          if day >= "2026-11-09"})
        self.assertEqual([day for day, point in points.items() if "data-below" in point], [last])
        self.assertEqual([day for day, point in points.items() if "data-partial" in point], ["2026-12-09"])
        # The open units, newest first: the first ten, then the rest below.
        newest = sorted(open_units, key=lambda runs: (started(runs[-1]), runs[-1]["serial"]), reverse=True)
        shown = [[cell["text"] for cell in row["children"]]
                 for row in dom.having("id", "open-first-units")[0]["children"][1]["children"]]
        self.assertEqual([row[:2] for row in shown],
                         [[runs[-1]["serial"], runs[-1]["outcome"]] for runs in newest[:10]])
        hours = lambda runs: (datetime.datetime.fromisoformat(NOW) - datetime.datetime.fromisoformat(started(runs[-1])))
        for row, runs in zip(shown, newest):
            self.assertEqual(row[2], runs[-1]["failed"] if runs[-1]["outcome"] == "FAIL" else "cut off after the LOC")
            self.assertEqual(row[3], "%d h" % (hours(runs).total_seconds() // 3600), row)
        self.assertEqual(dom.having("id", "open-first-more")[0]["text"], "and %d more" % (len(open_units) - 10))

    def test_a_healthy_fleet_is_ok_and_an_old_open_unit_a_warning(self):
        records = self.fleet_of(last_day_passing=18)
        last, first_pass, limit = control(records, NOW[:10])
        self.assertGreater(first_pass, limit)
        # The oldest open unit of the last 30 days opened on 2026-11-09 (the 30 days before now).
        oldest = min(started(runs[-1]) for runs in units_of(records)[0].values()
                     if runs[-1]["outcome"] in BAD and started(runs[-1]) >= "2026-11-09T07:00:00")
        hours = (datetime.datetime.fromisoformat(NOW) - datetime.datetime.fromisoformat(oldest)).total_seconds() / 3600
        for open_hours, state, code in (("%d" % (hours + 1), "OK", 0), ("%d" % (hours - 1), "WARNING", 1)):
            out, got = self.check("--open-hours", open_hours, self.gathered)
            self.assertEqual((out.split(" - ")[0], got), ("KELVANE-LOG " + state, code), out)
            self.assertIn(" oldest_open_hours=%.1f;%s;;0;" % (hours, open_hours), out)
        # Not about the figures: UNKNOWN, never 1 or 2.
        for arguments, said in ((["--from", os.path.join(self.tmp, "none.sqlite")], "no such file"),
                                (["--format", "csv", self.gathered], "usage: --check gives one line"),
                                (["--until", "2026-10-24", self.gathered], "no whole day"),
                                (["--open-hours", "soon", self.gathered], "usage: argument --open-hours")):
            out, code = self.check(*arguments)
            self.assertEqual(code, 3, out)
            self.assertRegex(out, r"^KELVANE-LOG UNKNOWN - .*%s" % re.escape(said))

    def test_since_until_and_unit_give_exact_records(self):
        records = self.fleet_of(last_day_passing=18)
        self.gather()
        units = units_of(records)[0]
        in_window = lambda start: "2026-11-02" <= start[:10] <= "2026-11-04"
        jsonl = lambda *arguments: [json.loads(line) for line in tool("--format", "jsonl", *arguments)[0].splitlines()]
        for source in (["--from", self.fleet], [self.gathered]):
            window = ["--since", "2026-11-02", "--until", "2026-11-04"] + source
            self.assertEqual(sorted(map(json.dumps, jsonl(*window))),
                             sorted(json.dumps(record) for record in records if in_window(started(record))))
            self.assertEqual([unit["unit"] for unit in jsonl("--units", *window)],
                             sorted(name for name, runs in units.items() if in_window(started(runs[0]))))
            self.assertEqual(jsonl("--unit", "U0219", *source), units["U0219"])
            self.assertEqual(len(units["U0219"]), 2)
        self.assertEqual(jsonl("--unit", "U9999", "--from", self.fleet), [])
        page = Dom(tool("--from", self.fleet, "--format", "html", "--since", "2026-11-02", "--until", "2026-11-04")[0])
        self.assertEqual(page.having("id", "figure-units")[0]["children"][0]["text"],
                         str(sum(in_window(started(runs[0])) for runs in units.values())))
        self.assertIn("from 2026-11-02 up to 2026-11-04", page.having("id", "scope")[0]["text"])
        self.assertEqual(tool("--since", "2026-11-05", "--until", "2026-11-04", self.gathered)[2], 2)


# /proc/self/mountinfo: a share with a disk mounted in it, a blank as \040, two mounts on one point.
MOUNTS = r"""22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw
35 22 0:31 / /srv/logs rw,relatime shared:9 - nfs4 server:/export rw,vers=4.2
36 35 8:2 / /srv/logs/local rw shared:10 - ext4 /dev/sdb1 rw
37 22 0:40 / /mnt/line\0404 rw shared:12 master:3 - cifs //nas/line4 rw
38 22 0:41 / /mnt/line\0404 rw - smb3 //nas/line4 rw
"""


class OnAShare(unittest.TestCase):
    def test_a_sqlite_database_on_a_network_filesystem_is_gathered_with_a_warning(self):
        for path, kind in (("/home/f.sqlite", "ext4"), ("/srv/logs/f.sqlite", "nfs4"), ("/srv/logs", "nfs4"),
                           ("/srv/logs/local/f.sqlite", "ext4"), ("/srv/logsx/f", "ext4"), ("/mnt/line 4/f", "smb3")):
            self.assertEqual(store.sqlite.mount_type(path, MOUNTS), kind, path)
        for path, share in ((r"\\nas\l4\f", True), ("//nas/l4/f", True), (r"\\?\UNC\nas\l4\f", True),
                            (r"\\?\C:\f", False), (r"\\.\C:\f", False), (r"C:\QA\f", False)):
            self.assertEqual(store.sqlite.windows_share(path), share, path)
        with tempfile.TemporaryDirectory() as folder:
            fleet = os.path.join(folder, "fleet.sqlite")
            self.assertIsNone(store.network_filesystem(fleet), "the temporary folder is on this machine")
            on_nfs = "from kelvane_log import cli, store; store.sqlite.mount_type = lambda *_: 'nfs4'; exit(cli.main())"
            said = subprocess.run([sys.executable, "-c", on_nfs, "--into", fleet, os.path.join(RUN_LOGS, FAILING)],
                                  cwd=os.path.dirname(TOOL), stderr=subprocess.PIPE, text=True, check=True).stderr
        self.assertEqual(said, "kelvane-log: warning: %s: %s\n1 new, 0 updated, 0 unchanged\n"
                         % (fleet, cli.ON_A_SHARE % "a network filesystem (nfs4)"))


if __name__ == "__main__":
    unittest.main(verbosity=2)
