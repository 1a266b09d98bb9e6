#!/usr/bin/env python3
"""tools/kelvane-log's fleet database on a PostgreSQL server of the test's own,
with the kept logs; the tool runs with this Python, which needs psycopg 3:
KELVANE_RUN_LOGS=build/test/tests/work/run-logs /usr/bin/python3 tests/tools/test_fleet_postgres.py"""

import itertools
import json
import os
import pwd
import shlex
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest
from contextlib import closing
from html import escape
from unittest import mock
from urllib.parse import quote

try:
    import psycopg
except ImportError:
    sys.exit("%s has no psycopg 3: run this test with /usr/bin/python3 (scripts/setup.sh installs python3-psycopg)"
             % sys.executable)

from test_fleet_report import (FAILING, NIGHTS, TWO_RUNS, older_database, older_nights, same_nights,
                               summaries_agree, write)
from test_kelvane_log import PASSING, RUN_LOGS, SOURCE, TOOL, log_of, read_bytes as read, run_tool as tool, \
    setUpModule as logs_kept

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
    """A server as the postgres user (it refuses root), collating by a language. Its watchdog stops it and
    removes its folder once the pipe only this process holds ends, however it ends."""
    bindir = subprocess.run(["pg_config", "--bindir"], stdout=subprocess.PIPE, check=True, text=True).stdout.strip()
    folder = tempfile.mkdtemp(prefix="postgres-", dir=os.environ.get("KELVANE_POSTGRES_WORK"))
    # A Unix socket's path fits in 107 bytes: the socket's folder is a short one of its own, however deep the checkout.
    socket = tempfile.mkdtemp(prefix="pg-", dir="/tmp")
    as_postgres = ["runuser", "-u", "postgres", "--"] if os.geteuid() == 0 else []
    for owned in (folder, socket):
        os.chown(owned, pwd.getpwnam("postgres").pw_uid if as_postgres else -1, -1)
    data, password = os.path.join(folder, "data"), write(os.path.join(folder, "password"), PASSWORD.encode())
    os.chmod(password, 0o644)
    watchdog = subprocess.Popen(["sh", "-c", 'read _; socket=$1; shift; "$@" >/dev/null 2>&1; rm -rf "$0" "$socket"',
                                 folder, socket]
                                + as_postgres + [os.path.join(bindir, "pg_ctl"), "-D", data, "-m", "immediate", "stop"],
                                stdin=subprocess.PIPE, start_new_session=True)
    for command in (["initdb", "-D", data, "-U", "postgres", "--auth=scram-sha-256", "--pwfile=" + password, "-E",
                     "UTF8", "--locale=C.UTF-8", "--locale-provider=icu", "--icu-locale=en-US", "--no-sync"],
                    ["pg_ctl", "-D", data, "-l", os.path.join(folder, "log"), "-w", "start", "-o",
                     "-k %s -c listen_addresses='' -p 5432 -c fsync=off" % shlex.quote(socket)]):
        done = subprocess.run(as_postgres + [os.path.join(bindir, command[0])] + command[1:],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        if done.returncode:
            sys.exit("PostgreSQL did not start (scripts/setup.sh installs it): " + done.stdout.decode()[-2000:])
    return {"watchdog": watchdog, "socket": socket, "folder": folder}


def uri(database, password=PASSWORD):
    return "postgresql://postgres%s@/%s?host=%s&port=5432" % (
        ":" + quote(password, safe="") if password else "", database, SERVER["socket"])


def admin(database="postgres"):
    return psycopg.connect(uri(database), autocommit=True)


class Postgres(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp()
        self.addCleanup(subprocess.run, ["rm", "-rf", self.tmp])
        self.database = self.id().rpartition(".")[2][:60]
        self.fleet = uri(self.database)
        self.new_database()
        # Machine folders that code points order otherwise than the server's language does.
        self.logs = sorted(name for name in os.listdir(RUN_LOGS) if os.path.isfile(log_of(name)))
        self.gathered = os.path.join(self.tmp, "gathered")
        # Each a PC of its own: test PCs that logged SN-0042 in one second began their logs alike.
        self.copies = {machine: write(os.path.join(self.gathered, name + machine, "Kelvane.log"), read(log_of(
            machine)).replace("SN-0042]".encode("utf-16-le"), ("SN-0042-%02d]" % index).encode("utf-16-le")))
            for index, (machine, name) in enumerate(zip(self.logs, itertools.cycle(("b-", "B-", "_c-", "é-", "a-", "Z-"))))}

    def new_database(self):
        with admin() as db:
            db.execute("DROP DATABASE IF EXISTS %s" % self.database)
            db.execute("CREATE DATABASE %s" % self.database)

    def line(self, name, machines):
        """A line's folder of machine folders, each with every kept log in one, each its own serial."""
        every = b"".join(read(log_of(machine)) for machine in self.logs)
        for machine in range(machines):
            write(os.path.join(self.tmp, name, "PC-%03d" % machine, "Kelvane.log"), every.replace(
                "SN-0042".encode("utf-16-le"), ("%s-%03d" % (name, machine)).encode("utf-16-le")))
        return os.path.join(self.tmp, name)

    def test_every_format_and_count_is_as_from_sqlite(self):
        sqlite, log, odd = os.path.join(self.tmp, "fleet.sqlite"), self.copies[TWO_RUNS], self.copies[PASSING]
        write(odd, read(odd).replace("SN-0042".encode("utf-16-le"), "SN\t\\N\n\r42".encode("utf-16-le")))  # COPY's escapes
        whole = read(log)
        # Gathered mid-run, again, once the run has ended, replaced by another PC's log.
        for data in (whole[:whole.rindex("Result=PASS".encode("utf-16-le"))], whole, whole, read(log_of(FAILING))):
            write(log, data)
            said = [tool("--into", database, self.gathered) for database in (sqlite, self.fleet)]
            self.assertEqual((said[0], said[0][2]), (said[1], 0))
            summaries_agree(self, self.fleet)
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
        self.assertEqual(tool("--into", self.fleet, os.path.join(self.tmp, "odd"))[1:], (
            "kelvane-log: warning: %s: U+0000 or a lone surrogate in a value, which PostgreSQL cannot keep: kept as "
            "U+FFFD\n1 new, 0 updated, 0 unchanged\n" % unkeepable, 0))
        self.assertIn('"serial": "S\\ufffd\\ufffdN\\t', tool("--from", self.fleet, "--format", "jsonl")[0])

    def test_nights_read_from_where_logs_changed_give_what_whole_readings_give(self):
        from test_incremental import kept_runs, nights_agree
        self.addCleanup(os.environ.pop, "KELVANE_LOG_NOW", None)
        for sequence in range(2):
            self.new_database()
            nights_agree(self, sequence, os.path.join(self.tmp, str(sequence)), self.fleet, kept_runs()[0])

    def test_four_gatherers_at_once_on_overlapping_folders(self):
        lines = [self.line("line-%d" % number, 40) for number in range(4)]
        runs = {line: [json.loads(text)["file"] for text in tool("--format", "jsonl", line)[0].splitlines()]
                for line in lines}
        each = [[lines[index], lines[(index + 1) % 4]] for index in range(4)]
        gatherers = [subprocess.Popen([sys.executable, TOOL, "--into", self.fleet] + paths, stdout=subprocess.PIPE,
                                      stderr=subprocess.PIPE) for paths in each]
        # Whatever a report reads meanwhile is some gatherings whole.
        whole = {frozenset(itertools.chain.from_iterable(runs[line] for paths in chosen for line in paths))
                 for count in range(5) for chosen in itertools.combinations(each, count)}
        while any(gatherer.poll() is None for gatherer in gatherers):
            out, err, code = tool("--from", self.fleet, "--format", "jsonl")
            if code == 0:
                self.assertIn(frozenset(json.loads(text)["file"] for text in out.splitlines()), whole)
        counts = []
        for gatherer, paths in zip(gatherers, each):
            out, err = gatherer.communicate()
            self.assertEqual((out, gatherer.returncode), (b"", 0), err)
            counts.append([int(count) for count in err.split()[::2]])
            self.assertEqual((sum(counts[-1]), counts[-1][1]), (sum(len(runs[line]) for line in paths), 0), err)
        self.assertEqual(sum(new for new, _, _ in counts), sum(map(len, runs.values())), "each run kept once")
        self.assertEqual(tool("--from", self.fleet, "--format", "jsonl"), tool("--format", "jsonl", *lines))
        summaries_agree(self, self.fleet)

    def test_a_killed_or_interrupted_gatherer_leaves_nothing_behind(self):
        self.assertEqual(tool("--into", self.fleet, self.gathered)[2], 0)
        kept, many = tool("--from", self.fleet, "--format", "jsonl"), self.line("many", 30)
        with admin(self.database) as test:
            for stop in (signal.SIGKILL, signal.SIGINT):
                # The test holds the writers' lock: the gatherer has read and
                # kept aside every run, and waits for it when it is stopped.
                test.execute("SELECT pg_advisory_lock(%s)", (store.postgres.WRITERS_LOCK,))
                child = subprocess.Popen([sys.executable, TOOL, "--into", self.fleet, many], stderr=subprocess.DEVNULL)
                while not test.execute("SELECT count(*) FROM pg_locks WHERE NOT granted").fetchone()[0]:
                    self.assertIsNone(child.poll(), "the gatherer waits for the lock")
                    time.sleep(0.05)
                child.send_signal(stop)
                self.assertNotEqual(child.wait(timeout=60), 0)
                test.execute("SELECT pg_advisory_unlock_all()")
                self.assertEqual(tool("--from", self.fleet, "--format", "jsonl"), kept, stop)
                summaries_agree(self, self.fleet)
        # Nothing left that holds the lock, or a run.
        runs = 30 * len(tool("--format", "jsonl", os.path.join(many, "PC-000"))[0].splitlines())
        self.assertEqual(tool("--into", self.fleet, many)[1:], ("%d new, 0 updated, 0 unchanged\n" % runs, 0))

    def test_databases_of_versions_2_and_3_are_upgraded_to_what_the_same_nights_make(self):
        older_nights(self)
        for version in (2, 3):
            self.new_database()
            with closing(store.connect(self.fleet, create=True)) as db:
                older_database(db, version, NIGHTS)
            out, err, code = tool("--from", self.fleet, "--units")
            self.assertEqual((out, code), ("", 2))
            self.assertIn("made by an older kelvane-log (schema version %d): a gathering into it brings it up to date"
                          % version, err)
            self.assertEqual(tool("--into", self.fleet, NIGHTS[-1])[1:], ("0 new, 0 updated, 1 unchanged\n", 0))
            same_nights(self, self.fleet, "fleet.sqlite", store.shown(self.fleet))
            summaries_agree(self, self.fleet)

    def test_a_kelvane_schema_of_other_contents_is_refused_and_left_as_it_was(self):
        not_ours = "not a kelvane-log fleet database (schema version "
        # Whether the tool made the schema first, what is done to it then, and what the tool says.
        for made, setup, says in (
                (False, ["CREATE TABLE kelvane.notes (note text)", "INSERT INTO kelvane.notes VALUES ('kept')"],
                 not_ours + "0, tables and indexes: notes)"),
                (False, ["CREATE FUNCTION kelvane.f() RETURNS integer LANGUAGE sql AS 'SELECT 1'"],
                 not_ours + "0, tables and indexes: f)"),
                (True, ["CREATE VIEW kelvane.extra AS SELECT 1 AS one"], not_ours + str(store.SCHEMA_VERSION)),
                (True, ["COMMENT ON TABLE kelvane.runs IS 'kelvane-log fleet database, schema version 99'"],
                 "made by a newer kelvane-log (schema version 99")):
            self.new_database()
            with admin(self.database) as db:
                self.assertEqual(tool("--into", self.fleet, self.gathered)[2] if made else 0, 0)
                for statement in setup if made else ["CREATE SCHEMA kelvane"] + setup:
                    db.execute(statement)
                contents = lambda: [(name, kind, comment, kind == "r" and db.execute('SELECT * FROM kelvane."%s"' % name)
                                     .fetchall()) for name, kind, comment in db.execute(
                    "SELECT relname, relkind, obj_description(oid, 'pg_class') FROM pg_class"
                    " WHERE relnamespace = 'kelvane'::regnamespace ORDER BY 1").fetchall()]
                before = contents()
                for arguments in (["--into", self.fleet, self.gathered], ["--from", self.fleet, "--format", "html"]):
                    out, err, code = tool(*arguments)
                    self.assertEqual((out, code), ("", 2), arguments)
                    self.assertIn("kelvane-log: error: %s: %s" % (store.shown(self.fleet), says), err)
                    self.assertEqual(contents(), before, setup)
        self.new_database()  # A schema made empty for the tool is the tool's to fill.
        admin(self.database).execute("CREATE SCHEMA kelvane").connection.close()
        self.assertEqual(tool("--into", self.fleet, self.gathered)[2], 0)
        self.assertEqual(tool("--from", self.fleet, "--format", "jsonl")[0], tool("--format", "jsonl", self.gathered)[0])

    def test_a_reading_role_reads_every_report_and_writes_nothing_and_a_role_without_rights_is_told_which(self):
        self.assertEqual(tool("--into", self.fleet, self.gathered)[2], 0)
        forms = [["--format", form] for form in ("jsonl", "csv", "table", "html")] + [
            ["--units", "--format", form] for form in ("jsonl", "csv", "table")]
        with admin(self.database) as db:
            db.execute("DROP ROLE IF EXISTS reader")
            db.execute("CREATE ROLE reader LOGIN PASSWORD 'Read0nly'")
            self.addCleanup(lambda: admin().execute("DROP ROLE reader").connection.close())
            self.addCleanup(lambda: admin(self.database).execute("DROP OWNED BY reader").connection.close())
            # What a reader may do, granted step by step, and what each step still lacks.
            for grant, lacks in (("", "the role reader may not use the schema kelvane (GRANT USAGE ON SCHEMA kelvane"),
                                 ("GRANT USAGE ON SCHEMA kelvane TO reader", "the role reader may not read files, runs,"
                                  " summed_logs, summed_run_days, summed_unit_days, summed_units, unit_builds,"
                                  " unit_days, unit_figures, units (GRANT SELECT ON ALL TABLES IN SCHEMA"),
                                 ("GRANT SELECT ON ALL TABLES IN SCHEMA kelvane TO reader", None)):
                if grant:
                    db.execute(grant)
                reader = self.fleet.replace("postgres:" + quote(PASSWORD, safe=""), "reader:Read0nly")
                for form in forms:
                    out, err, code = tool("--from", reader, *form)
                    if lacks:
                        self.assertEqual((out, code), ("", 2), form)
                        self.assertIn(lacks, err, form)
                    else:
                        self.assertEqual((out.replace(escape(store.shown(reader)), "SOURCE"), err, code),
                                         (tool("--from", self.fleet, *form)[0].replace(
                                             escape(store.shown(self.fleet)), "SOURCE"), "", 0), form)
            db.execute("REVOKE TEMPORARY ON DATABASE %s FROM PUBLIC" % self.database)
            self.assertEqual(tool("--from", reader, "--format", "html")[2], 0, "no temporary table needed")
            # A reader that tries to gather is told by the server; with a gatherer's grants (the kit's README.txt), it gathers.
            out, err, code = tool("--into", reader, self.gathered)
            self.assertEqual(code, 2)
            self.assertIn("permission denied", err)
            db.execute("GRANT TEMPORARY ON DATABASE %s TO reader" % self.database)
            db.execute("GRANT SELECT, INSERT, UPDATE, DELETE ON ALL TABLES IN SCHEMA kelvane TO reader")
            self.assertRegex(tool("--into", reader, self.gathered)[1], r"^0 new, 0 updated, \d+ unchanged\n$")

    def test_a_server_that_never_answers_or_goes_away_is_said_in_one_line(self):
        silent = socket.socket(socket.AF_UNIX)
        self.addCleanup(silent.close)
        folder = tempfile.mkdtemp(prefix="pg-", dir="/tmp")
        self.addCleanup(subprocess.run, ["rm", "-rf", folder])
        silent.bind(os.path.join(folder, ".s.PGSQL.5432"))
        silent.listen(1)
        for string in ("host=%s dbname=fleet user=qa password=Secr3t connect_timeout=2" % folder,
                       "postgresql://qa:Secr3t@/fleet?host=%s&connect_timeout=2" % folder):
            out, err, code = tool("--into", string, self.gathered)
            self.assertEqual((out, code), ("", 2), err)
            self.assertRegex(err, r"^kelvane-log: error: .*: cannot open the database \(.*timeout.*\)\n$")
            self.assertNotIn("Secr3t", err)
        # The server stopped mid-gathering, while the gatherer waits for the writers' lock.
        with admin(self.database) as test:
            test.execute("SELECT pg_advisory_lock(%s)", (store.postgres.WRITERS_LOCK,))
            child = subprocess.Popen([sys.executable, TOOL, "--into", self.fleet, self.gathered],
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            while not test.execute("SELECT count(*) FROM pg_locks WHERE NOT granted").fetchone()[0]:
                time.sleep(0.05)
            test.execute("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE application_name ="
                         " 'kelvane-log' AND datname = %s", (self.database,))
            out, err = child.communicate(timeout=60)
        self.assertEqual((out, child.returncode), (b"", 2))
        self.assertRegex(err.decode(), r"^kelvane-log: error: \S+: database: .*terminating connection due to"
                                       r" administrator command.*\n$")
        self.assertNotIn(b"the connection is closed", err)

    def test_passwords_are_taken_the_libpq_ways_and_never_shown_and_psycopg_is_needed(self):
        passfile, bare = write(os.path.join(self.tmp, "pgpass"), b""), uri(self.database, password=None)
        os.chmod(passfile, 0o600)
        runs = int(tool("--into", self.fleet, self.gathered)[1].split()[0])
        # The URI, PGPASSWORD, the password file's password, and what must not be shown (none: it is right).
        for fleet, password, in_file, secrets in (
                (bare, PASSWORD, "", []), (bare, "", PASSWORD, []),
                (uri(self.database, password="Wrong Secret1"), "", "", ["Wrong Secret1", "Wrong%20Secret1"]),
                (bare, "WrongSecret2", "", ["WrongSecret2"]), (bare, "", "WrongSecret3", ["WrongSecret3"]),
                # Not percent-encoded: libpq misreads it, and says what it took for a host.
                (self.fleet.replace(quote(PASSWORD, safe=""), "Wr0ng@Secret/Four"), "", "", ["Wr0ng", "Secret", "Four"])):
            write(passfile, ("*:*:*:postgres:%s\n" % in_file.replace("\\", "\\\\").replace(":", "\\:")).encode())
            with mock.patch.dict(os.environ, PGPASSWORD=password, PGPASSFILE=passfile):
                out, err, code = tool("--into", fleet, self.gathered)
            if not secrets:
                self.assertEqual((code, err), (0, "0 new, 0 updated, %d unchanged\n" % runs), fleet)
                continue
            self.assertEqual((out, code), ("", 2), fleet)
            self.assertRegex(err, r"^kelvane-log: error: postgresql://postgres\S*: cannot open the database \("
                                  r"connection failed: FATAL: password authentication failed for user \"postgres\"")
            for secret in secrets + [PASSWORD, quote(PASSWORD, safe="")]:
                self.assertNotIn(secret, err)
        # Without psycopg, what to install.
        write(os.path.join(self.tmp, "lacking", "psycopg.py"), b"raise ImportError('no psycopg here')\n")
        with mock.patch.dict(os.environ, PYTHONPATH=os.path.join(self.tmp, "lacking")):
            self.assertEqual(tool("--from", self.fleet), (
                "", "kelvane-log: error: %s: %s\n" % (store.shown(self.fleet), store.postgres.NO_PSYCOPG % sys.executable), 2))


if __name__ == "__main__":
    unittest.main(verbosity=2)
