#!/usr/bin/env python3
"""tools/kelvane-log's fleet database on PostgreSQL, on a server this test
starts and stops itself (Debian's postgresql, on a Unix socket only), with
the Run logs the real Kelvane.exe wrote under Wine (see test_kelvane_log.py).
Run it with a Python that has psycopg 3 (Debian: /usr/bin/python3 with
python3-psycopg); the tool runs with the same one.

    KELVANE_RUN_LOGS=build/test/tests/work/run-logs /usr/bin/python3 tests/tools/test_fleet_postgres.py
"""

import itertools
import json
import os
import pwd
import shlex
import signal
import subprocess
import sys
import tempfile
import time
import unittest
from html import escape
from urllib.parse import quote

try:
    import psycopg
except ImportError:
    sys.exit("%s has no psycopg 3: run this test with /usr/bin/python3 (scripts/setup.sh installs python3-psycopg)"
             % sys.executable)

from test_fleet_report import write
from test_kelvane_log import RUN_LOGS, SOURCE, TOOL, read_bytes as read, setUpModule as logs_kept

sys.path.insert(0, os.path.join(SOURCE, "tools"))
from kelvane_log import store  # noqa: E402

# The server's superuser's: what no message may show, percent-encoded in a URI.
PASSWORD = "Kelvane fleet:p@ss/word"
SERVER = {}


def setUpModule():
    logs_kept()
    SERVER.update(start_server())


def tearDownModule():
    SERVER["watchdog"].stdin.close()
    SERVER["watchdog"].wait(timeout=60)


def start_server():
    """A server of the test's own, in a folder that its watchdog removes after
    stopping it as soon as this process ends, however it ends: it waits for
    the end of a pipe that only this process holds. The server refuses to run
    as root, so it runs as the postgres user. Its default collation is a
    language's, not the code points'."""
    bindir = subprocess.run(["pg_config", "--bindir"], stdout=subprocess.PIPE, check=True, text=True).stdout.strip()
    work = os.environ.get("KELVANE_POSTGRES_WORK", tempfile.gettempdir())
    os.makedirs(work, exist_ok=True)
    folder = tempfile.mkdtemp(prefix="postgres-", dir=work)
    as_postgres = []
    if os.geteuid() == 0:
        as_postgres = ["runuser", "-u", "postgres", "--"]
        os.chown(folder, pwd.getpwnam("postgres").pw_uid, -1)
    data, run = os.path.join(folder, "data"), lambda *command: subprocess.run(
        as_postgres + [os.path.join(bindir, command[0])] + list(command[1:]),
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    watchdog = subprocess.Popen(["sh", "-c", 'read _; "$@" >/dev/null 2>&1; rm -rf "$0"', folder]
                                + as_postgres + [os.path.join(bindir, "pg_ctl"), "-D", data, "-m", "immediate", "stop"],
                                stdin=subprocess.PIPE, start_new_session=True)
    with open(os.path.join(folder, "password"), "w") as file:
        file.write(PASSWORD)
    os.chmod(file.name, 0o644)
    for done in (run("initdb", "-D", data, "-U", "postgres", "--auth=scram-sha-256", "--pwfile=" + file.name,
                     "-E", "UTF8", "--locale=C.UTF-8", "--locale-provider=icu", "--icu-locale=en-US", "--no-sync"),
                 run("pg_ctl", "-D", data, "-l", os.path.join(folder, "server.log"), "-w", "start", "-o",
                     "-k %s -c listen_addresses='' -p 5432 -c fsync=off" % shlex.quote(folder))):
        if done.returncode:
            sys.exit("PostgreSQL did not start in %s (scripts/setup.sh installs it): %s"
                     % (folder, done.stdout.decode("utf-8", "replace")[-2000:]))
    return {"watchdog": watchdog, "socket": folder}


def uri(database, password=PASSWORD):
    return "postgresql://postgres%s@/%s?host=%s&port=5432" % (
        ":" + quote(password, safe="") if password else "", database, SERVER["socket"])


def tool(*arguments, **environment):
    """stdout, stderr and exit code of the tool, run with this Python."""
    done = subprocess.run([sys.executable, TOOL] + list(arguments), env=dict(os.environ, **environment),
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=300)
    return done.stdout.decode("utf-8"), done.stderr.decode("utf-8"), done.returncode


def until(condition, seconds=60):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError("still not so after %d s" % seconds)
        time.sleep(0.05)


def admin(database="postgres"):
    return psycopg.connect(uri(database), autocommit=True)


class Postgres(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp()
        self.addCleanup(subprocess.run, ["rm", "-rf", self.tmp])
        self.database = self.id().rpartition(".")[2][:60]
        with admin() as db:
            db.execute("DROP DATABASE IF EXISTS %s" % self.database)
            db.execute("CREATE DATABASE %s" % self.database)
        self.fleet = uri(self.database)
        # Machine folders whose order by code point is not the order of a
        # language (the server's): capitals before small letters, é last.
        self.logs = sorted(machine for machine in os.listdir(RUN_LOGS)
                           if os.path.isfile(os.path.join(RUN_LOGS, machine, "Kelvane.log")))
        self.gathered = os.path.join(self.tmp, "gathered")
        self.copies = {machine: write(os.path.join(self.gathered, "%s-%s" % (name, machine), "Kelvane.log"),
                                      read(os.path.join(RUN_LOGS, machine, "Kelvane.log")))
                       for machine, name in zip(self.logs, itertools.cycle(("b", "B", "_c", "é", "a", "Z")))}

    def line(self, name, machines):
        """A line's folder of machine folders, each with every kept log in one."""
        every = b"".join(read(os.path.join(RUN_LOGS, machine, "Kelvane.log")) for machine in self.logs)
        for machine in range(machines):
            write(os.path.join(self.tmp, name, "PC-%03d" % machine, "Kelvane.log"), every)
        return os.path.join(self.tmp, name)

    def test_every_format_and_count_is_as_from_sqlite(self):
        sqlite = os.path.join(self.tmp, "fleet.sqlite")
        log = self.copies["KelvaneRun.leaves_correct_views_alone_and_a_second_run_appends_and_overwrites_the_marker"]
        # What COPY must escape, in a value.
        odd = self.copies["KelvaneRun.sets_both_views_and_deploys_the_marker"]
        write(odd, read(odd).replace("SN-0042".encode("utf-16-le"), "SN\t\\N\n\r42".encode("utf-16-le")))
        whole = read(log)
        # Gathered mid-run, again, once the run has ended, and replaced by
        # another PC's log.
        other = read(self.copies["KelvaneFaults.each_failing_wmi_step_fails_the_run_with_its_code"])
        for data in (whole[:whole.rindex("Result=PASS".encode("utf-16-le"))], whole, whole, other):
            write(log, data)
            said = [tool("--into", database, self.gathered) for database in (sqlite, self.fleet)]
            self.assertEqual(said[0], said[1])
            self.assertRegex(said[1][1], r"^\d+ new, \d+ updated, \d+ unchanged\n$")
        for form in [["--format", form] for form in ("jsonl", "csv", "table", "html")] + [
                ["--units", "--format", form] for form in ("jsonl", "csv", "table")]:
            out = [tool("--from", database, *form) for database in (sqlite, self.fleet)]
            self.assertEqual(out[1][0].replace(escape(store.shown(self.fleet)), "SOURCE"),
                             out[0][0].replace(sqlite, "SOURCE"), form)
            self.assertEqual((out[1][1:]), ("", 0), form)
        self.assertIn("postgres:***@", store.shown(self.fleet))

        # What PostgreSQL's text cannot hold at all is kept as U+FFFD, and said.
        unkeepable = write(os.path.join(self.tmp, "odd", "PC", "Kelvane.log"), read(odd).replace(
            "SN".encode("utf-16-le"), "S\0\ud800N".encode("utf-16-le", "surrogatepass")))
        out, err, code = tool("--into", self.fleet, os.path.dirname(os.path.dirname(unkeepable)))
        self.assertEqual((code, err), (0, "kelvane-log: warning: %s: U+0000 or a lone surrogate in a value, which "
                                          "PostgreSQL cannot keep: kept as U+FFFD\n1 new, 0 updated, 0 unchanged\n"
                                       % unkeepable))
        self.assertIn('"serial": "S\\ufffd\\ufffdN\\t', tool("--from", self.fleet, "--format", "jsonl")[0])

    def test_four_gatherers_at_once_on_overlapping_folders(self):
        lines = [self.line("line-%d" % number, 40) for number in range(4)]
        runs = {line: [json.loads(text)["file"] for text in tool("--format", "jsonl", line)[0].splitlines()]
                for line in lines}
        each = [lines[index:index + 2] if index < 3 else [lines[3], lines[0]] for index in range(4)]
        gatherers = [subprocess.Popen([sys.executable, TOOL, "--into", self.fleet] + paths, stdout=subprocess.PIPE,
                                      stderr=subprocess.PIPE) for paths in each]
        # Whatever a report reads meanwhile is some gatherings whole.
        whole = {frozenset(itertools.chain.from_iterable(runs[line] for paths in chosen for line in paths))
                 for count in range(5) for chosen in itertools.combinations(each, count)}
        while any(gatherer.poll() is None for gatherer in gatherers):
            out, err, code = tool("--from", self.fleet, "--format", "jsonl")
            if code == 0:
                self.assertIn(frozenset(json.loads(text)["file"] for text in out.splitlines()), whole)
        new = 0
        for gatherer, paths in zip(gatherers, each):
            out, err = gatherer.communicate()
            self.assertEqual((out, gatherer.returncode), (b"", 0), err)
            counts = [int(count) for count in err.split()[::2]]
            self.assertEqual((sum(counts), counts[1]), (sum(len(runs[line]) for line in paths), 0), err)
            new += counts[0]
        self.assertEqual(new, sum(len(files) for files in runs.values()), "each run kept once")
        self.assertEqual(tool("--from", self.fleet, "--format", "jsonl"), tool("--format", "jsonl", *lines))

    def test_a_killed_or_interrupted_gatherer_leaves_nothing_behind(self):
        self.assertEqual(tool("--into", self.fleet, self.gathered)[2], 0)
        kept = tool("--from", self.fleet, "--format", "jsonl")
        many = self.line("many", 30)
        with admin(self.database) as test:
            for stop in (signal.SIGKILL, signal.SIGINT):
                # The test holds the writers' lock: the gatherer has read and
                # kept aside every run, and waits for it when it is stopped.
                test.execute("SELECT pg_advisory_lock(%s)", (store.WRITERS_LOCK,))
                child = subprocess.Popen([sys.executable, TOOL, "--into", self.fleet, many], stderr=subprocess.DEVNULL)
                until(lambda: child.poll() is not None or test.execute(
                    "SELECT count(*) FROM pg_locks WHERE locktype = 'advisory' AND NOT granted").fetchone()[0])
                self.assertIsNone(child.poll(), "the gatherer waits for the lock")
                child.send_signal(stop)
                self.assertNotEqual(child.wait(timeout=60), 0)
                test.execute("SELECT pg_advisory_unlock_all()")
                until(lambda: not test.execute(
                    "SELECT count(*) FROM pg_stat_activity WHERE application_name = 'kelvane-log'").fetchone()[0])
                self.assertEqual(tool("--from", self.fleet, "--format", "jsonl"), kept, stop)
        out, err, code = tool("--into", self.fleet, many)
        self.assertEqual((code, err), (0, "%d new, 0 updated, 0 unchanged\n" % (30 * len(
            tool("--format", "jsonl", os.path.join(many, "PC-000"))[0].splitlines()))))

    def test_a_kelvane_schema_of_other_contents_is_refused_and_left_as_it_was(self):
        for gathered, setup, says in (
                (False, ["CREATE SCHEMA kelvane", "CREATE TABLE kelvane.notes (note text)",
                         "INSERT INTO kelvane.notes VALUES ('kept')"],
                 "not a kelvane-log fleet database (schema version 0, tables and indexes: notes)"),
                (False, ["CREATE SCHEMA kelvane", "CREATE TABLE kelvane.runs (file text, run integer)"],
                 "not a kelvane-log fleet database (schema version 0, tables and indexes: runs)"),
                (False, ["CREATE SCHEMA kelvane", "CREATE FUNCTION kelvane.f() RETURNS integer LANGUAGE sql"
                                                  " AS 'SELECT 1'"],
                 "not a kelvane-log fleet database (schema version 0, tables and indexes: f)"),
                (True, ["CREATE VIEW kelvane.extra AS SELECT 1 AS one"],
                 "not a kelvane-log fleet database (schema version %d" % store.SCHEMA_VERSION),
                (True, ["COMMENT ON TABLE kelvane.runs IS 'kelvane-log fleet database, schema version 99'"],
                 "made by a newer kelvane-log (schema version 99")):
            with admin() as db:
                db.execute("DROP DATABASE %s" % self.database)
                db.execute("CREATE DATABASE %s" % self.database)
            if gathered:
                self.assertEqual(tool("--into", self.fleet, self.gathered)[2], 0)
            with admin(self.database) as db:
                for statement in setup:
                    db.execute(statement)
                before = self.contents(db)
                for arguments in (["--into", self.fleet, self.gathered], ["--from", self.fleet],
                                  ["--from", self.fleet, "--format", "html"]):
                    out, err, code = tool(*arguments)
                    self.assertEqual((out, code), ("", 2), arguments)
                    self.assertIn("kelvane-log: error: %s: %s" % (store.shown(self.fleet), says), err)
                    self.assertEqual(self.contents(db), before, setup)
        # A schema made empty for the tool is the tool's to fill.
        with admin(self.database) as db:
            db.execute("DROP SCHEMA kelvane CASCADE")
            db.execute("CREATE SCHEMA kelvane")
        self.assertEqual(tool("--into", self.fleet, self.gathered)[2], 0)
        self.assertEqual(tool("--from", self.fleet, "--format", "jsonl")[0],
                         tool("--format", "jsonl", self.gathered)[0])

    def contents(self, db):
        """Every object of the kelvane schema, its comment, and its rows."""
        objects = db.execute("SELECT relname, relkind, obj_description(oid, 'pg_class') FROM pg_class"
                             " WHERE relnamespace = 'kelvane'::regnamespace ORDER BY 1").fetchall()
        return objects, [sorted(db.execute('SELECT * FROM kelvane."%s"' % name).fetchall())
                         for name, kind, _ in objects if kind == "r"]

    def test_passwords_are_taken_the_libpq_ways_and_never_shown(self):
        passfile = write(os.path.join(self.tmp, "pgpass"), b"")
        os.chmod(passfile, 0o600)
        runs = len(tool("--format", "jsonl", self.gathered)[0].splitlines())
        self.assertEqual(tool("--into", self.fleet, self.gathered)[2], 0)
        for fleet, password, in_file, secrets in (
                (uri(self.database, password=None), PASSWORD, "", []),
                (uri(self.database, password=None), "", PASSWORD, []),
                (uri(self.database, password="Wrong Secret1"), "", "", ["Wrong Secret1", "Wrong%20Secret1"]),
                (uri(self.database, password=None), "WrongSecret2", "", ["WrongSecret2"]),
                (uri(self.database, password=None), "", "WrongSecret3", ["WrongSecret3"]),
                # Not percent-encoded: libpq misreads it, and says what it took for a host.
                (self.fleet.replace(quote(PASSWORD, safe=""), "Wr0ng@Secret/Four"), "", "",
                 ["Wr0ng", "Secret", "Four"])):
            write(passfile, ("*:*:*:postgres:%s\n" % in_file.replace("\\", "\\\\").replace(":", "\\:")).encode())
            out, err, code = tool("--into", fleet, self.gathered, PGPASSWORD=password, PGPASSFILE=passfile)
            if not secrets:
                self.assertEqual((code, err), (0, "0 new, 0 updated, %d unchanged\n" % runs), fleet)
                continue
            self.assertEqual((out, code), ("", 2), fleet)
            self.assertRegex(err, r"^kelvane-log: error: postgresql://postgres\S*: cannot open the database "
                                  r"\(connection failed: FATAL: password authentication failed for user \"postgres\"[^()]*\)\n$")
            for secret in secrets + [PASSWORD, quote(PASSWORD, safe="")]:
                self.assertNotIn(secret, err)

    def test_without_psycopg_the_tool_says_what_to_install(self):
        lacking = os.path.join(self.tmp, "lacking")
        write(os.path.join(lacking, "psycopg.py"), b"raise ImportError('no psycopg here')\n")
        out, err, code = tool("--from", self.fleet, PYTHONPATH=lacking)
        self.assertEqual((out, code), ("", 2))
        self.assertEqual(err, "kelvane-log: error: %s: %s\n" % (store.shown(self.fleet), store.NO_PSYCOPG % sys.executable))


if __name__ == "__main__":
    unittest.main(verbosity=2)
