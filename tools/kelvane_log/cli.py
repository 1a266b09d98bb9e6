"""The command line: arguments, messages and exit codes. It reads the
gathered logs, and hands the records to an output or the store.
"""

import argparse
import os
import sys
import tempfile
import time
from contextlib import closing
from datetime import datetime

from . import page, store
from .gather import read_records
from .outputs import (printable, write_csv, write_jsonl, write_table, write_units_csv, write_units_jsonl,
                      write_units_table)

# Ctrl-C: a gathering's one transaction is rolled back, nothing was kept.
INTERRUPTED = "interrupted; the database is as it was"

ON_A_SHARE = ("a SQLite database on %s: its locks cannot be relied on there, and several machines writing it can"
              " corrupt it; to gather from several machines into one database, use PostgreSQL:"
              " --into postgresql://user@host/dbname")


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="kelvane-log", description="One record per Kelvane run from gathered Run logs.")
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
    args = parser.parse_args(argv)
    if bool(args.paths) == bool(args.stored):
        parser.error("give PATHs, or --from FLEET.sqlite without them")
    if args.units and (args.into or args.format == "html"):
        parser.error("--units gives table, jsonl or csv, from PATHs or --from FLEET.sqlite")

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
        if args.into or args.stored or write is None or args.units:
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


def gathering_time():
    """Now, once per call: KELVANE_LOG_NOW (YYYY-MM-DDTHH:MM:SS, local)
    where set, so that tests can fix it, else the local clock."""
    given = os.environ.get("KELVANE_LOG_NOW")
    return datetime.strptime(given, "%Y-%m-%dT%H:%M:%S") if given else datetime.now()


def write_stored(db, args, write, out, source):
    """What is read from a fleet database: the page, units or runs."""
    if write is None:
        page.write_report(store.report_figures(db), out, source)
    elif args.units:
        write(store.stored_units(db), out)
    else:
        write(store.stored_records(db), out)


def write_fleet(args, records, write, out, warn, error):
    """--into, --from, and the html page and units from logs. A database that
    cannot be used is an error named by its path, as a log's is (a URI
    without its password)."""
    path = store.shown(args.into or args.stored or "")
    now = gathering_time()
    try:
        if args.into:
            on_share = not store.is_uri(args.into) and store.network_filesystem(args.into)
            if on_share:
                warn(path, None, ON_A_SHARE % on_share)
            with closing(store.connect(args.into, create=True, warn=warn)) as db:
                counts = store.ingest(db, records, now)
            sys.stderr.write("%d new, %d updated, %d unchanged\n" % counts)
        elif args.stored:
            with store.reading(args.stored, now) as db:
                write_stored(db, args, write, out, path)
        else:
            # The page and the units are made from a database in any case: the
            # logs go into a throw-away one first, so that one definition,
            # grouped by SQL, serves both and memory stays flat however many
            # runs there are.
            with tempfile.TemporaryDirectory(prefix="kelvane-log-") as folder:
                path = os.path.join(folder, "fleet.sqlite")
                with closing(store.connect(path, create=True, scratch=True)) as db:
                    store.ingest(db, records, now)
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
