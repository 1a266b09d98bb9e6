#!/usr/bin/env python3
"""tools/kelvane-log's fleet database and yield report, on the Run logs the
real Kelvane.exe wrote under Wine in this test run (see test_kelvane_log.py),
the report rendered by headless Chromium, a screenshot of it kept.

    KELVANE_RUN_LOGS=build/test/tests/work/run-logs python3 tests/tools/test_fleet_report.py
"""

import collections
import io
import json
import os
import re
import shutil
import signal
import sqlite3
import subprocess
import sys
import tempfile
import unittest
from contextlib import redirect_stderr, redirect_stdout
from html.parser import HTMLParser
from unittest import mock

# The reader's test's own: where the kept logs are, the tool run as Windows
# would run it, and the check that the logs are there.
from test_kelvane_log import RUN_LOGS, SOURCE, TOOL, read_bytes as read, run_tool as tool, setUpModule  # noqa: F401

sys.path.insert(0, os.path.join(SOURCE, "tools"))
from kelvane_log import cli, store  # noqa: E402

SCREENSHOT = os.environ.get("KELVANE_FLEET_SCREENSHOT", os.path.join(os.path.dirname(RUN_LOGS), "fleet-report.png"))
FAILING = "KelvaneFaults.each_failing_wmi_step_fails_the_run_with_its_code"
TWO_RUNS = "KelvaneRun.leaves_correct_views_alone_and_a_second_run_appends_and_overwrites_the_marker"


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as file:
        file.write(data)
    return path


# The tool, made to wait a minute (and to say so) as it comes to the PATH given last.
STOPPING = """import sys, time; sys.path.insert(0, sys.argv[1]); from kelvane_log import cli, gather
def wait(path, warn, read=gather.read_file):
    if path == sys.argv[-1]: print("stopped", flush=True); time.sleep(60)
    return read(path, warn)
gather.read_file = wait; sys.exit(cli.main(sys.argv[2:]))"""


def stopped(*arguments):  # once it waits, or has ended
    child = subprocess.Popen([sys.executable, "-c", STOPPING, os.path.dirname(TOOL)] + list(arguments),
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    child.stdout.readline()
    return child


def on_day(data, date):
    """A Run log's bytes with every run header dated date."""
    return re.sub(r"(?<=={32} )\d\d/\d\d/\d\d", date, data.decode("utf-16-le")).encode("utf-16-le")


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
        for index, machine in enumerate(sorted(kept)):
            self.logs[machine] = write(os.path.join(self.gathered, "PC-%02d" % index, "Kelvane.log"),
                                       read(os.path.join(RUN_LOGS, machine, "Kelvane.log")))
        self.fleet = os.path.join(self.tmp, "fleet.sqlite")

    def tearDown(self):
        shutil.rmtree(self.tmp)

    def gather(self):
        out, err, code = tool("--into", self.fleet, self.gathered)
        self.assertEqual((out, code), ("", 0), err)
        return err

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

    def test_a_killed_or_interrupted_gathering_leaves_the_database_as_it_was(self):
        self.gather()
        kept = read(self.fleet)
        stored = tool("--from", self.fleet, "--format", "jsonl")
        # Enough runs that the transaction spills into the database file
        # before the tool waits at the log it reads last.
        many = write(os.path.join(self.tmp, "many", "Kelvane.log"),
                     b"".join(read(log) for log in self.logs.values()) * 400)
        for stop in (signal.SIGKILL, signal.SIGINT):
            with stopped("--into", self.fleet, many, self.logs[FAILING]) as child:  # it has stored many's runs
                self.assertTrue(os.path.exists(self.fleet + "-journal"), "the tool has written to the database")
                child.send_signal(stop)
                self.assertNotEqual(child.wait(timeout=60), 0)
            self.assertEqual(tool("--from", self.fleet, "--format", "jsonl"), stored, stop)
            self.assertEqual(read(self.fleet), kept, stop)
            self.assertFalse(os.path.exists(self.fleet + "-journal"))

    def test_files_that_are_not_fleet_databases_are_refused_and_left_as_they_were(self):
        self.gather()
        newer = write(os.path.join(self.tmp, "newer.sqlite"), read(self.fleet))
        mixed = write(os.path.join(self.tmp, "mixed.sqlite"), read(self.fleet))
        other = os.path.join(self.tmp, "other.sqlite")
        for path, change in ((newer, "PRAGMA user_version = 2"), (mixed, "CREATE TABLE notes (text)"),
                             (other, "CREATE TABLE runs (file, run)")):
            with sqlite3.connect(path) as db:
                db.execute(change)
        for path, says in ((self.logs[FAILING], "not a SQLite database"),
                           (write(os.path.join(self.tmp, "notes.txt"), b"SQLite format 3 or so\n" * 9), "not a SQLite"),
                           (newer, "made by a newer kelvane-log (schema version 2"),
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
        # Days across a year's end, and more failed runs than the page lists.
        failing = read(self.logs[FAILING])
        write(os.path.join(self.gathered, "PC-90", "Kelvane.log"),
              on_day(failing, "12/31/25") + on_day(failing, "01/02/26"))
        write(os.path.join(self.gathered, "PC-91", "Kelvane.log"), on_day(failing, "01/02/26") * 120)
        page, err, code = tool("--format", "html", self.gathered)
        self.assertEqual((err, code), ("", 0))
        self.gather()
        self.assertEqual(tool("--from", self.fleet, "--format", "html")[0].replace(self.fleet, "SOURCE"),
                         page.replace(self.gathered, "SOURCE"))
        self.assertNotRegex(page, r"(?i)<script|\b(src|href)=|url\(|@import", "a page that needs nothing else")
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

        day = lambda record: "20" + record["date"][6:] + record["date"][:5]
        days = collections.defaultdict(collections.Counter)
        for record in sorted(records, key=day):
            days[record["date"]][record["outcome"]] += 1
        self.assertEqual([(group["data-day"], {bar["data-outcome"]: int(bar["data-count"])
                                               for bar in group["children"] if bar["tag"] == "rect"})
                          for group in dom.having("data-day")], list(days.items()))
        self.assertEqual(len(days), 3)
        for name, counted in (("reason", collections.Counter(record["failed"] or "" for record in records
                                                             if record["failed"] or record["outcome"] == "FAIL")),
                              ("loc", collections.Counter(record["loc"] or "" for record in records))):
            self.assertEqual({bar["data-" + name]: int(bar["data-count"]) for bar in dom.having("data-" + name)},
                             counted, name)

        # The runs to look at, newest first (a log's later run first within a second).
        look = [record for record in sorted(records, key=lambda record: (record["file"], -record["run"]))
                if record["outcome"] in ("FAIL", "INCOMPLETE") or record["interleaved"]]
        look.sort(key=lambda record: (day(record), record["time"]), reverse=True)
        rows = [tuple(cell["text"] for cell in row["children"]) for row in dom.having("tag", "tr")[1:]]
        self.assertEqual(rows, [(os.path.relpath(os.path.dirname(record["file"]), self.gathered), record["date"],
                                 record["time"], {None: "-", "": '""'}.get(record["serial"], record["serial"]),
                                 record["outcome"], ", ".join(filter(None, (record["failed"], record["interleaved"]
                                                                            and "interleaved"))))
                                for record in look[:100]])
        self.assertEqual(dom.having("id", "attention-more")[0]["text"], "and %d more" % (len(look) - 100))

        if os.path.exists(SCREENSHOT):
            os.remove(SCREENSHOT)
        os.makedirs(os.path.dirname(SCREENSHOT), exist_ok=True)
        self.chromium("--screenshot=" + SCREENSHOT, "--window-size=1366,768", "file://" + report)
        self.assertEqual(read(SCREENSHOT)[:8], b"\x89PNG\r\n\x1a\n")


# A mount table as /proc/self/mountinfo gives it: a share with a local disk
# mounted inside it, a blank written as \040, two mounts on one point.
MOUNTS = r"""22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw
35 22 0:31 / /srv/logs rw,relatime shared:9 - nfs4 server:/export rw,vers=4.2
36 35 8:2 / /srv/logs/local rw shared:10 - ext4 /dev/sdb1 rw
37 22 0:40 / /mnt/line\0404 rw - cifs //nas/line4 rw
38 22 0:41 / /mnt/share rw shared:12 master:3 - smb3 //nas/share rw
39 22 0:42 / /mnt/swapped rw - nfs host:/x rw
40 39 0:43 / /mnt/swapped rw - tmpfs tmpfs rw
"""


class OnAShare(unittest.TestCase):
    def test_a_sqlite_database_on_a_network_filesystem_is_gathered_with_a_warning(self):
        for path, kind in (("/home/qa/fleet.sqlite", "ext4"), ("/srv/logs/fleet.sqlite", "nfs4"), ("/srv/logs", "nfs4"),
                           ("/srv/logs/local/fleet.sqlite", "ext4"), ("/srv/logsx/fleet.sqlite", "ext4"),
                           ("/mnt/line 4/fleet.sqlite", "cifs"), ("/mnt/share/a/b.sqlite", "smb3"),
                           ("/mnt/swapped/fleet.sqlite", "tmpfs")):
            self.assertEqual(store.mount_type(path, MOUNTS), kind, path)
        for path, share in ((r"\\nas\line4\fleet.sqlite", True), ("//nas/line4/fleet.sqlite", True),
                            (r"\\?\UNC\nas\line4\fleet.sqlite", True), (r"\\?\C:\fleet.sqlite", False),
                            (r"\\.\C:\fleet.sqlite", False), (r"C:\QA\fleet.sqlite", False)):
            self.assertEqual(store.windows_share(path), share, path)

        with tempfile.TemporaryDirectory() as folder:
            fleet = os.path.join(folder, "fleet.sqlite")
            self.assertIsNone(store.network_filesystem(fleet), "the temporary folder is on this machine")
            said = io.StringIO()
            with mock.patch.object(store, "mount_type", lambda path, table: "nfs4"), redirect_stderr(said), \
                    redirect_stdout(io.StringIO()):
                self.assertEqual(cli.main(["--into", fleet, os.path.join(RUN_LOGS, FAILING)]), 0)
        self.assertEqual(said.getvalue(), "kelvane-log: warning: %s: %s\n1 new, 0 updated, 0 unchanged\n"
                         % (fleet, cli.ON_A_SHARE % "a network filesystem (nfs4)"))


if __name__ == "__main__":
    unittest.main(verbosity=2)
