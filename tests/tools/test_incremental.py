#!/usr/bin/env python3
"""Gathered night by night, each log read from where it changed, a fleet
database holds what the same nights give when every log is read whole
(--reread): random nights over machine folders made from the kept logs' runs.

    KELVANE_RUN_LOGS=build/test/tests/work/run-logs python3 tests/tools/test_incremental.py
"""

import contextlib, io, os, random, re, shutil, signal, sqlite3, sys, tempfile, threading, unittest  # noqa: E401

from test_fleet_report import stopped, summaries_agree
from test_kelvane_log import ENTRY, SOURCE, at_once, setUpModule  # noqa: F401
from test_settled_place import kept_runs

sys.path.insert(0, os.path.join(SOURCE, "tools"))
from kelvane_log import cli, gather  # noqa: E402

SEQUENCES, NIGHTS = 12, 8


def tool(*arguments):
    """The tool's exit code, standard output and standard error, run here."""
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        code = cli.main(list(arguments))
    return code, out.getvalue(), err.getvalue()


def fleet_of(database):
    """What a database gives, to be compared whole: its runs and its units."""
    return {"runs": tool("--from", database, "--format", "jsonl")[1],
            "units": tool("--units", "--from", database, "--format", "jsonl")[1]}


class Line:
    """Machine folders whose logs change night by night, as a line's do."""

    def __init__(self, rng, folder, runs):
        self.rng, self.folder, self.runs, self.serials, self.minute = rng, folder, runs, 0, 0
        self.logs = {}  # a log's path: its serial, its pieces of text, and the rest of a run begun

    def run(self, serial):
        """A kept run, started a minute after the one before, with serial."""
        self.minute += 1
        text = re.sub(r"(?<=={32} )\S+ \S+", "12/%02d/26 %02d:%02d:00" % (
            1 + self.minute // 1440, self.minute // 60 % 24, self.minute % 60), self.rng.choice(self.runs), count=1)
        return text.replace("SerialNumber=[SN-0042]", "SerialNumber=[%s]" % serial)

    def new_log(self):
        self.serials += 1
        serial = "To Be Filled By O.E.M." if self.rng.random() < 0.2 else "SN-%04d" % self.serials
        pieces = [self.run(serial) for _ in range(self.rng.randint(1, 3))]
        rest = None
        if self.rng.random() < 0.3:
            # Gathered before its first run logged its serial number.
            entries = ENTRY.findall(pieces.pop())
            pieces, rest = pieces + entries[:1], "".join(entries[1:])
        return {"serial": serial, "pieces": pieces, "rest": rest}

    def night(self, night):
        """Changes the logs; returns the paths written."""
        written = []
        for _ in range(self.rng.randint(1, 4)):
            what = self.rng.choice(("appear", "appear", "grow", "part", "mix", "replace", "copy"))
            known = sorted(path for path in self.logs if "backup" not in path)
            path = self.rng.choice(known) if known else None
            log = self.logs.get(path)
            if what == "appear" or not known:
                path = os.path.join(self.folder, "PC-%03d" % len(self.logs), "Kelvane.log")
                self.logs[path] = self.new_log()
            elif what == "copy":
                path = path.replace("PC-", os.path.join("backup", "PC-"))
                self.logs[path] = {"serial": log["serial"], "pieces": list(log["pieces"]), "rest": None}
            elif what == "replace":
                self.logs[path] = self.new_log()
            elif log["rest"] is not None:
                log["pieces"], log["rest"] = log["pieces"] + [log["rest"]], None
            elif what == "grow":
                log["pieces"].extend(self.run(log["serial"]) for _ in range(self.rng.randint(1, 2)))
            elif what == "part":
                entries = ENTRY.findall(self.run(log["serial"]))
                cut = self.rng.randrange(1, len(entries))
                log["pieces"], log["rest"] = log["pieces"] + ["".join(entries[:cut])], "".join(entries[cut:])
            else:
                runs = [ENTRY.findall(self.run(log["serial"])) for _ in range(self.rng.randint(2, 3))]
                log["pieces"].append("".join(at_once(*runs)))
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as file:
                file.write("".join(self.logs[path]["pieces"]).encode("utf-16-le"))
            # A time of its own each night, as a clock coarser than the writes could not give.
            os.utime(path, ns=(0, (night + 1) * 10 ** 12 + len(written)))
            written.append(path)
        return written


def doubled(database):
    """Runs kept twice: one run of one file, with one start, under two logs."""
    with contextlib.closing(sqlite3.connect(database)) as db:
        return db.execute("SELECT file, run, started FROM runs GROUP BY file, run, started"
                          " HAVING count(*) > 1").fetchall()


def nights_agree(test, sequence, folder, new, runs):
    """Gathers a random sequence of nights into the database new, reading
    what is new, some gatherings killed part-way, and into a SQLite database
    reading every log whole; test asserts that each night they agree, and
    that new's sums are what its views count.
    Returns the number of logs new holds a settled place of, where new is
    SQLite."""
    rng = random.Random(sequence)
    tree = os.path.join(folder, "line")
    line, whole = Line(rng, tree, runs), os.path.join(folder, "whole.sqlite")
    for night in range(NIGHTS):
        os.environ["KELVANE_LOG_NOW"] = "2026-12-%02dT23:00:00" % (night + 1)
        written = line.night(night)
        case = (sequence, night)
        if rng.random() < 0.3 and night:
            before = fleet_of(new)
            with stopped("--into", new, tree, rng.choice(written)) as child:
                child.send_signal(signal.SIGKILL)
                child.wait(timeout=60)
            test.assertEqual(fleet_of(new), before, case)
        said, said_whole = tool("--into", new, tree), tool("--into", whole, "--reread", tree)
        test.assertEqual(said[0], 0, (case, said))
        test.assertRegex(said[2], r"\d+ new, \d+ updated, \d+ unchanged\n$", case)
        # The counts keep their meaning: a log not read counts its runs as unchanged.
        test.assertEqual(said[2].splitlines()[-1], said_whole[2].splitlines()[-1], case)
        test.assertEqual(fleet_of(new), fleet_of(whole), case)
        # The sums kept night by night are what the views count.
        summaries_agree(test, new)
        test.assertEqual(doubled(whole), [], case)
    if os.path.exists(new):
        test.assertEqual(doubled(new), [], sequence)
        with contextlib.closing(sqlite3.connect(new)) as db:
            return db.execute("SELECT count(*) FROM files WHERE place_offset > 0").fetchone()[0]
    return 0


class NightByNight(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.tmp)
        self.addCleanup(os.environ.pop, "KELVANE_LOG_NOW", None)

    def test_nights_read_from_where_logs_changed_give_what_whole_readings_give(self):
        runs, read_on = kept_runs()[0], 0
        for sequence in range(SEQUENCES):
            folder = os.path.join(self.tmp, str(sequence))
            read_on += nights_agree(self, sequence, folder, os.path.join(folder, "new.sqlite"), runs)
        self.assertGreater(read_on, 0, "logs were read from a settled place")

    def test_logs_read_ahead_in_a_thread_hand_on_what_it_raises_and_stop_with_their_reader(self):
        made = []

        def logs(failing=None):
            for log in range(1000):
                if log == failing:
                    raise OSError("unreadable")
                made.append(log)
                yield log
        taken = []
        with self.assertRaisesRegex(OSError, "unreadable"):
            taken.extend(gather.read_ahead(logs(failing=5), 2))
        self.assertEqual(taken, [0, 1, 2, 3, 4])
        made.clear()
        reader = gather.read_ahead(logs(), 2)
        self.assertEqual(next(reader), 0)
        reader.close()
        for thread in threading.enumerate():
            if thread.name == "reading":
                thread.join(10)
                self.assertFalse(thread.is_alive(), "the thread stopped with its reader")
        self.assertLess(len(made), 10)


if __name__ == "__main__":
    unittest.main(verbosity=2)
