"""The command line: arguments, messages and exit codes. It reads the
gathered logs, and hands the records to an output or the store.
"""

import argparse
import datetime
import os
import re
import sys
import tempfile
import time
from contextlib import closing

from . import check, page, store
from .gather import read_records
from .outputs import (printable, write_csv, write_jsonl, write_table, write_units_csv, write_units_jsonl,
                      write_units_table)

# Ctrl-C: a gathering's one transaction is rolled back, nothing was kept.
INTERRUPTED = "interrupted; the database is as it was"

ON_A_SHARE = ("a SQLite database on %s: its locks cannot be relied on there, and several machines writing it can"
              " corrupt it; to gather from several machines into one database, use PostgreSQL:"
              " --into postgresql://user@host/dbname")


# --check's exit codes: those of monitoring plugins, its own.
CHECK_CODES = {"OK": 0, "WARNING": 1, "CRITICAL": 2, "UNKNOWN": 3}


def now():
    """The moment a call is made, taken once: KELVANE_LOG_NOW
    (YYYY-MM-DDTHH:MM:SS, for tests), else the local clock."""
    given = os.environ.get("KELVANE_LOG_NOW")
    if given:
        return datetime.datetime.strptime(given, "%Y-%m-%dT%H:%M:%S")
    return datetime.datetime.now().replace(microsecond=0)


def iso_date(text):
    if not re.fullmatch(r"\d{4}-\d\d-\d\d", text):
        raise argparse.ArgumentTypeError("not a date YYYY-MM-DD: %r" % text)
    try:
        return datetime.date.fromisoformat(text)
    except ValueError:
        raise argparse.ArgumentTypeError("not a date YYYY-MM-DD: %r" % text) from None


def positive_hours(text):
    try:
        hours = float(text)
    except ValueError:
        hours = -1
    if not 0 <= hours < float("inf"):
        raise argparse.ArgumentTypeError("not a number of hours: %r" % text)
    return hours


class CheckParser(argparse.ArgumentParser):
    """Under --check, a usage error is UNKNOWN, on the one line."""

    def error(self, message):
        if self.checking:
            sys.stdout.write(check.line("UNKNOWN", "usage: " + message))
            sys.exit(CHECK_CODES["UNKNOWN"])
        super().error(message)


def main(argv=None):
    parser = CheckParser(
        prog="kelvane-log", description="One record per Kelvane run from gathered Run logs.",
        epilog="--check exits as monitoring plugins do: 0 OK, 1 WARNING, 2 CRITICAL (the last whole day's first-pass"
               " yield below its lower control limit), 3 UNKNOWN (a usage error, a database or logs that cannot be"
               " read, no whole day yet); otherwise 0, or 2 where a log or database could not be read.")
    parser.checking = "--check" in (sys.argv[1:] if argv is None else argv)
    parser.add_argument("--format", choices=("table", "jsonl", "csv", "html"), default="table")
    stores = parser.add_mutually_exclusive_group()
    stores.add_argument("--into", metavar="FLEET.sqlite",
                        help="keep the records in this database (made when missing): a SQLite file, or a PostgreSQL"
                             " connection URI, postgresql://user@host/dbname")
    stores.add_argument("--from", dest="stored", metavar="FLEET.sqlite",
                        help="the records kept in this database (a file or a URI), instead of PATHs")
    parser.add_argument("--units", action="store_true",
                        help="one record per unit (a machine by its serial number) instead of one per run")
    parser.add_argument("paths", nargs="*", metavar="PATH", help="a Run log, or a folder to search for Kelvane.log")
    # Which days and units, and the check a monitoring system runs.
    parser.add_argument("--since", type=iso_date, metavar="YYYY-MM-DD",
                        help="only runs that started on this day or later; units (and the page's unit figures):"
                             " those whose first run did, with all their runs")
    parser.add_argument("--until", type=iso_date, metavar="YYYY-MM-DD",
                        help="only runs that started on this day or earlier; units: those whose first run did")
    parser.add_argument("--unit", metavar="UNIT",
                        help="one unit's runs in order (a serial number; a unit that is a log by its path)")
    parser.add_argument("--check", action="store_true",
                        help="one line for a monitoring system (Nagios, Icinga, Checkmk...), with exit codes of its"
                             " own (below)")
    parser.add_argument("--open-hours", type=positive_hours, default=check.DEFAULT_OPEN_HOURS, metavar="N",
                        help="--check: WARNING where a unit whose latest run started in the last 30 days has been"
                             " open longer than N hours (default %d)" % check.DEFAULT_OPEN_HOURS)
    args = parser.parse_args(argv)
    if bool(args.paths) == bool(args.stored):
        parser.error("give PATHs, or --from FLEET.sqlite without them")
    if args.units and (args.into or args.format == "html"):
        parser.error("--units gives table, jsonl or csv, from PATHs or --from FLEET.sqlite")
    args.scope = store.Scope(args.since, args.until, args.unit)
    if args.into and (args.scope or args.check):
        parser.error("--since, --until, --unit and --check read runs: from PATHs or --from FLEET.sqlite")
    if args.since and args.until and args.since > args.until:
        parser.error("--since is after --until")
    if args.check and (args.units or args.format != "table" or args.unit):
        parser.error("--check gives one line of all units: without --format, --units or --unit")
    try:
        args.now = now()
    except ValueError:
        parser.error("KELVANE_LOG_NOW is not a time YYYY-MM-DDTHH:MM:SS")
    if args.check:
        return run_check(args)

    # The same bytes on Linux and Windows: UTF-8, lines ending as written.
    out = sys.stdout
    if hasattr(out, "reconfigure"):
        out.reconfigure(encoding="utf-8", errors="backslashreplace", newline="\n")
        sys.stderr.reconfigure(errors="backslashreplace")
    errors = []
    write = {"table": write_table, "jsonl": write_jsonl, "csv": write_csv}.get(args.format)
    if args.units:
        write = {"table": write_units_table, "jsonl": write_units_jsonl, "csv": write_units_csv}[args.format]
    # A long gathering shows how far it got, on a terminal only.
    progress = Progress(sys.stderr) if (args.into or write is None or args.units) and sys.stderr.isatty() else None

    def say(line):
        if progress is not None:
            progress.clear()
        sys.stderr.write(line)

    # A path is shown as the table shows a machine folder: a name cannot
    # forge a message or move the cursor.
    def warn(path, offset, what):
        where = "" if offset is None else "byte %d: " % offset
        say("kelvane-log: warning: %s: %s%s\n" % (printable(path), where, what))

    def error(path, what):
        errors.append(path)
        say("kelvane-log: error: %s: %s\n" % (printable(path), what))

    try:
        if args.into or args.stored or write is None or args.units or args.scope:
            records = read_records(args.paths, warn, error)
            write_fleet(args, records if progress is None else progress.follow(records), write, out, warn, error)
        else:
            write(read_records(args.paths, warn, error), out)
        out.flush()
    except BrokenPipeError:
        # A reader that stops early (head, a pager) is no error of the logs;
        # what is still buffered goes nowhere.
        os.dup2(os.open(os.devnull, os.O_WRONLY), out.fileno())
    except KeyboardInterrupt:
        # Asked for, not a fault: one line, no traceback, and the code shells
        # give a command ended by Ctrl-C (128 + SIGINT). Without a database
        # named there is none to speak of.
        say("kelvane-log: %s\n" % (INTERRUPTED if args.into or args.stored else "interrupted"))
        return 130
    return 2 if errors else 0


def write_stored(db, args, write, out, source):
    """What is read from a fleet database: the page, units or runs, of the
    scope asked for."""
    if write is None:
        made = args.now
        page.write_report(store.report_figures(db, args.scope, check.recent_since(made)), out, source,
                          made=made, scope=args.scope)
    elif args.units:
        write(store.stored_units(db, args.scope), out)
    else:
        write(store.stored_records(db, args.scope), out)


def run_check(args):
    """--check: the figures, their state, and one line on standard output;
    what stops the figures being read is UNKNOWN, never 1 or 2."""
    made = args.now
    before = check.whole_days_before(made, args.until)
    problems = []

    def warn(path, offset, what):
        sys.stderr.write("kelvane-log: warning: %s: %s\n" % (printable(path), what))

    def error(path, what):
        problems.append("%s: %s" % (printable(path), what))

    def judged(db):
        figures = store.check_figures(db, args.scope, check.recent_since(made))
        return check.judge(figures, before, made, args.open_hours)

    try:
        if args.stored:
            with store.reading(args.stored) as db:
                state, what, data = judged(db)
        else:
            records = read_records(args.paths, warn, error)
            with tempfile.TemporaryDirectory(prefix="kelvane-log-") as folder:
                with closing(store.connect(os.path.join(folder, "fleet.sqlite"), create=True, scratch=True)) as db:
                    store.ingest(db, records)
                    state, what, data = judged(db)
    except store.FleetError as problem:
        problems.append("%s: %s" % (store.shown(args.stored or ""), problem))
    except store.DATABASE_ERRORS as problem:
        problems.append("%s: database: %s" % (store.shown(args.stored or ""), problem))
    except KeyboardInterrupt:
        problems.append("interrupted")
    except Exception as problem:  # a traceback would exit 1, which a monitor reads as WARNING
        problems.append("%s: %s" % (type(problem).__name__, problem))
    if problems:
        state, what, data = "UNKNOWN", problems[0], ""
    sys.stdout.write(check.line(state, printable(what), data))
    return CHECK_CODES[state]


def write_fleet(args, records, write, out, warn, error):
    """--into, --from, and the html page and units from logs. A database that
    cannot be used is an error named by its path, as a log's is (a URI
    without its password)."""
    path = store.shown(args.into or args.stored or "")
    try:
        if args.into:
            on_share = not store.is_uri(args.into) and store.network_filesystem(args.into)
            if on_share:
                warn(path, None, ON_A_SHARE % on_share)
            with closing(store.connect(args.into, create=True, warn=warn)) as db:
                counts = store.ingest(db, records)
            sys.stderr.write("%d new, %d updated, %d unchanged\n" % counts)
        elif args.stored:
            with store.reading(args.stored) as db:
                write_stored(db, args, write, out, path)
        else:
            # The page and the units are made from a database in any case: the
            # logs go into a throw-away one first, so that one definition,
            # grouped by SQL, serves both and memory stays flat however many
            # runs there are.
            with tempfile.TemporaryDirectory(prefix="kelvane-log-") as folder:
                path = os.path.join(folder, "fleet.sqlite")
                with closing(store.connect(path, create=True, scratch=True)) as db:
                    store.ingest(db, records)
                    write_stored(db, args, write, out, ", ".join(args.paths))
    except store.FleetError as problem:
        error(path, str(problem))
    except store.DATABASE_ERRORS as problem:
        error(path, "database: %s" % problem)


class Progress:
    """One line on a terminal, rewritten as the logs are read (at most a few
    times a second) and wiped before anything else is written there."""

    EVERY = 0.2  # seconds

    def __init__(self, stream):
        self.stream = stream
        self.shown = 0  # the length of the line on the terminal

    def follow(self, records):
        """The records, passed on unchanged while the line counts them."""
        start = due = time.monotonic()
        logs = runs = 0
        file = None
        try:
            for machine, record in records:
                runs += 1
                if record["file"] != file:
                    file = record["file"]
                    logs += 1
                now = time.monotonic()
                if now >= due:
                    due = now + self.EVERY
                    self.show("kelvane-log: %s logs read, %s runs found, %d s"
                              % ("{:,}".format(logs), "{:,}".format(runs), now - start))
                yield machine, record
        finally:
            self.clear()

    def show(self, line):
        # Blanks, not an escape sequence: not every Windows console reads them.
        self.stream.write("\r" + line.ljust(self.shown) + "\r")
        self.stream.flush()
        self.shown = len(line)

    def clear(self):
        if self.shown:
            self.stream.write("\r" + " " * self.shown + "\r")
            self.stream.flush()
            self.shown = 0
