"""The command line: arguments, messages and exit codes. It reads the
gathered logs, and hands the records to an output or the store.
"""

import argparse
import datetime
import os
import re
import sys
import tempfile
import textwrap
import time
from contextlib import closing

from . import check, page, store
from .gather import Gathering, read_records
from .outputs import (printable, write_csv, write_jsonl, write_table, write_units_csv, write_units_jsonl,
                      write_units_table)


class Exit:
    """What the exit code tells a scheduler, and what each means, as --help
    and the kit's README.txt list them."""
    DONE, PARTLY, NOTHING, INTERRUPTED = 0, 1, 2, 130
    MEANING = {
        DONE: "every PATH read, every log kept (or written)",
        PARTLY: "some logs read and kept, but something given was not read (a log, a folder, a PATH that does not"
                " exist): each is named on standard error",
        NOTHING: "nothing done: a usage error, no log read at all, a database refused, busy, unreachable or not"
                 " permitted, output that cannot be written",
        # What shells give a command that SIGINT ended: 128 + 2.
        INTERRUPTED: "interrupted (Ctrl-C); a gathering keeps nothing then",
    }


EXIT_CODES = "exit codes:\n" + "\n".join(
    textwrap.fill(meaning, 79, initial_indent="  %-4d " % code, subsequent_indent=" " * 7)
    for code, meaning in Exit.MEANING.items())

# Ctrl-C: a gathering's one transaction is rolled back, nothing was kept.
INTERRUPTED = "interrupted; the database is as it was"

ON_A_SHARE = ("a SQLite database on %s: its locks cannot be relied on there, and several machines writing it can"
              " corrupt it; to gather from several machines into one database, use PostgreSQL:"
              " --into postgresql://user@host/dbname")
WAITING = "waiting for %s: another process is writing it"
WAIT = 60  # seconds, for a SQLite database another process holds
# What a busy database left undone: read (--from), kept (--into).
NOTHING_DONE = ("; nothing read", "; nothing kept")


class OutputError(Exception):
    """The output could not be written (a full disk, a closed pipe's
    neighbour): nothing of what follows would be either."""


def version():
    """The kit's version, which the build writes beside this module; in a
    checkout, the project's own, read where it is written."""
    try:
        from .version import VERSION
        return VERSION
    except ImportError:
        pass
    try:
        with open(os.path.join(os.path.dirname(os.path.realpath(__file__)), os.pardir, os.pardir,
                               "CMakeLists.txt"), encoding="utf-8") as project:
            found = re.search(r"project\(\w+ VERSION ([\d.]+)", project.read())
    except OSError:
        found = None
    return (found.group(1) if found else "unknown") + " (not a release build)"


# --check's exit codes: those of monitoring plugins, its own.
CHECK_CODES = {"OK": 0, "WARNING": 1, "CRITICAL": 2, "UNKNOWN": 3}
CHECK_EXIT_CODES = (
    "--check's exit codes, its own, as monitoring plugins have them:\n"
    "  0    OK\n"
    "  1    WARNING: a unit whose latest run started in the last 30 days has\n"
    "       been open longer than --open-hours\n"
    "  2    CRITICAL: the last whole day's first-pass yield is below its lower\n"
    "       control limit\n"
    "  3    UNKNOWN: a usage error, a database or logs that cannot be read, no\n"
    "       whole day yet")


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


def parser_of(checking=False):
    parser = CheckParser(
        prog="kelvane-log", allow_abbrev=False, formatter_class=argparse.RawDescriptionHelpFormatter,
        description="One record per Kelvane run from gathered Run logs: a table, jsonl, csv, the html yield page,"
                    " or kept in a fleet database.",
        epilog="examples:\n  kelvane-log gathered\n  kelvane-log --into fleet.sqlite gathered\n"
               "  kelvane-log --into fleet.sqlite --reread gathered\n"
               "  kelvane-log --from fleet.sqlite --format html -o fleet.html\n"
               "  kelvane-log --check --from fleet.sqlite\n\n" + EXIT_CODES + "\n\n" + CHECK_EXIT_CODES)
    parser.checking = checking
    # Every option, in one place.
    parser.add_argument("--format", choices=("table", "jsonl", "csv", "html"),
                        help="table (the default): the runs for people, with counts; jsonl: one JSON object per run;"
                             " csv: a header row, then a row per run; html: the yield page"
                             " (e.g. --format csv > runs.csv)")
    stores = parser.add_mutually_exclusive_group()
    stores.add_argument("--into", metavar="DATABASE",
                        help="keep the records in this database (made when missing) instead of writing them: a"
                             " SQLite file, or a PostgreSQL connection string (e.g. --into fleet.sqlite, --into"
                             " postgresql://gatherer@db.example.com/fleet, --into 'host=db dbname=fleet user=qa')")
    parser.add_argument("--reread", action="store_true",
                        help="--into: read every log whole; by default a log whose size and modification time are"
                             " as the database keeps them is not read again, and one that grew is read from where"
                             " its runs could still change (for shares whose times cannot be trusted) (e.g. --into"
                             " fleet.sqlite --reread gathered)")
    stores.add_argument("--from", dest="stored", metavar="DATABASE",
                        help="the records kept in this database instead of PATHs (e.g. --from fleet.sqlite)")
    parser.add_argument("--units", action="store_true",
                        help="one record per unit (a machine by its serial number) instead of one per run, as a"
                             " table, jsonl or csv (e.g. --units --from fleet.sqlite)")
    parser.add_argument("-o", "--output", metavar="FILE",
                        help="write to FILE instead of standard output; FILE is replaced only when the output is"
                             " whole and something was read, so a failed night keeps the last one"
                             " (e.g. -o fleet.html)")
    parser.add_argument("--wait", type=float, metavar="SECONDS",
                        help="how long to wait for a SQLite database that another process is writing, before"
                             " giving up; 60 by default (e.g. --wait 600)")
    parser.add_argument("--quiet", action="store_true",
                        help="no warnings and no progress line: only errors and the summary line"
                             " (e.g. --quiet --into fleet.sqlite gathered)")
    parser.add_argument("--version", action="version", version="kelvane-log " + version(),
                        help="the kit's version, and nothing else (e.g. --version)")
    parser.add_argument("paths", nargs="*", metavar="PATH",
                        help="a Run log, or a folder searched for files named Kelvane.log (e.g. gathered"
                             " c:\\System.sav\\Logs)")
    # Which days and units, and the check a monitoring system runs.
    parser.add_argument("--since", type=iso_date, metavar="YYYY-MM-DD",
                        help="only runs that started on this day or later; units (and the page's unit figures):"
                             " those whose first run did, with all their runs (e.g. --since 2026-12-01)")
    parser.add_argument("--until", type=iso_date, metavar="YYYY-MM-DD",
                        help="only runs that started on this day or earlier; units: those whose first run did"
                             " (e.g. --until 2026-12-07)")
    parser.add_argument("--unit", metavar="UNIT",
                        help="one unit's runs in order (a serial number; a unit that is a log by its path)"
                             " (e.g. --unit SN-0042 --from fleet.sqlite)")
    parser.add_argument("--check", action="store_true",
                        help="one line for a monitoring system (Nagios, Icinga, Checkmk...), with exit codes of its"
                             " own (below) (e.g. --check --from fleet.sqlite)")
    parser.add_argument("--open-hours", type=positive_hours, default=check.DEFAULT_OPEN_HOURS, metavar="N",
                        help="--check: WARNING where a unit whose latest run started in the last 30 days has been"
                             " open longer than N hours (default %d) (e.g. --open-hours 12)" % check.DEFAULT_OPEN_HOURS)
    return parser


def checked(parser, args):
    """args, or the usage error of an option that does not apply."""
    if bool(args.paths) == bool(args.stored):
        parser.error("give PATHs, or --from DATABASE without them")
    if args.into and (args.format or args.output):
        parser.error("--into keeps the records and writes no output: --format and --output do not apply")
    if args.units and args.format == "html":
        parser.error("--units gives table, jsonl or csv, from PATHs or --from DATABASE")
    if args.reread and not args.into:
        parser.error("--reread applies to a gathering --into DATABASE")
    if args.units and args.into:
        parser.error("--units reads units from PATHs or --from DATABASE, --into keeps runs")
    database = args.into or args.stored
    if args.wait is not None and (not database or store.is_uri(database)):
        parser.error("--wait applies to a SQLite database given with --into or --from")
    if args.wait is not None and args.wait < 0:
        parser.error("--wait takes seconds, 0 or more")
    if args.output is not None and not args.output:
        parser.error("--output takes a file name")
    args.scope = store.Scope(args.since, args.until, args.unit)
    if args.into and (args.scope or args.check):
        parser.error("--since, --until, --unit and --check read runs: from PATHs or --from DATABASE")
    if args.since and args.until and args.since > args.until:
        parser.error("--since is after --until")
    if args.check and (args.units or args.format or args.unit or args.output):
        parser.error("--check gives one line of all units: without --format, --output, --units or --unit")
    try:
        args.now = now()
    except ValueError:
        parser.error("KELVANE_LOG_NOW is not a time YYYY-MM-DDTHH:MM:SS")
    args.format = args.format or "table"
    return args


def main(argv=None):
    parser = parser_of(checking="--check" in (sys.argv[1:] if argv is None else argv))
    args = checked(parser, parser.parse_args(argv))
    if args.check:
        return run_check(args)

    # The same bytes on Linux and Windows: UTF-8, lines ending as written.
    if hasattr(sys.stdout, "reconfigure"):
        sys.stdout.reconfigure(encoding="utf-8", errors="backslashreplace", newline="\n")
        sys.stderr.reconfigure(errors="backslashreplace")
    try:
        target = Target(args.output)
    except OSError as problem:
        sys.stderr.write("kelvane-log: error: %s: %s\n" % (printable(args.output), problem.strerror or problem))
        return Exit.NOTHING
    out = Output(target.stream)
    errors = []
    write = {"table": write_table, "jsonl": write_jsonl, "csv": write_csv}.get(args.format)
    if args.units:
        write = {"table": write_units_table, "jsonl": write_units_jsonl, "csv": write_units_csv}[args.format]
    # A long gathering shows how far it got, on a terminal only.
    quiet = args.quiet
    progress = (Progress(sys.stderr) if (args.into or write is None or args.units) and sys.stderr.isatty()
                and not quiet else None)
    # Runs read from logs: none, with errors, is a night that did nothing.
    seen = Seen()

    def say(line):
        if progress is not None:
            progress.clear()
        sys.stderr.write(line)

    # A path is shown as the table shows a machine folder: a name cannot
    # forge a message or move the cursor.
    def warn(path, offset, what):
        if not quiet:
            where = "" if offset is None else "byte %d: " % offset
            say("kelvane-log: warning: %s: %s%s\n" % (printable(path), where, what))

    def error(path, what):
        errors.append(path)
        say("kelvane-log: error: %s: %s\n" % (printable(path), what))

    def waiting():
        if sys.stderr.isatty() and not quiet:
            say("kelvane-log: " + WAITING % printable(args.into or args.stored) + "\n")

    code = Exit.DONE
    gathering = None
    try:
        if args.into:
            once = OnceWarned(args.into, warn)
            gathering = Gathering(args.paths, once.hold, error, args.reread)
            records = once.follow(seen.follow(gathering.records()))
        else:
            records = seen.follow(read_records(args.paths, warn, error)) if args.paths else iter(())
        if args.into or args.stored or write is None or args.units or args.scope:
            done = write_fleet(args, records if progress is None else progress.follow(records), write, out, warn,
                               error, waiting, seen, errors, gathering)
        else:
            write(records, out)
            done = True
        out.flush()
        # A log not read again because it is as kept was read all the same.
        if not done or (errors and args.paths and not seen.runs and not (gathering and gathering.carried)):
            code = Exit.NOTHING
        elif errors:
            code = Exit.PARTLY
    except OutputError as problem:
        say("kelvane-log: error: %s: %s\n" % (printable(args.output or "standard output"), problem))
        code = Exit.NOTHING
    except BrokenPipeError:
        # A reader that stops early (head, a pager) is no error of the logs;
        # what is still buffered goes nowhere.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        code = Exit.PARTLY if errors else Exit.DONE
    except KeyboardInterrupt:
        # Asked for, not a fault: one line, no traceback. Without a database
        # named there is none to speak of.
        say("kelvane-log: %s\n" % (INTERRUPTED if args.into or args.stored else "interrupted"))
        target.discard()
        return Exit.INTERRUPTED
    except BaseException:
        target.discard()
        raise
    try:
        target.finish(keep=code != Exit.NOTHING)
    except OSError as problem:
        say("kelvane-log: error: %s: %s\n" % (printable(args.output), problem.strerror or problem))
        code = Exit.NOTHING
    return code


class Seen:
    """Counts the runs read from logs as they pass."""

    def __init__(self):
        self.runs = 0

    def follow(self, records):
        for record in records:
            self.runs += 1
            yield record


class OnceWarned:
    """A gathering's warnings about a log (damaged, re-saved), held until its
    runs have been read and said only where the log gives a run the
    database does not hold as read (a new or updated one): the same old
    damaged logs of unchanged PCs are not reported again every night. A
    log as kept is not read at all; this is for a log read again all the
    same (--reread, a time that changed). The database is asked through a
    connection of its own, only about the logs that warned; where it cannot
    tell, the warnings are said."""

    def __init__(self, database, warn):
        self.database, self.warn = database, warn
        self.held = {}      # a log's path: its warnings, (offset, what), in order
        self.db = None

    def hold(self, path, offset, what):
        self.held.setdefault(path, []).append((offset, what))

    def follow(self, records):
        """The records, passed on unchanged; a log's warnings are settled
        once its last run has gone by. A log that gave no run gave no new one."""
        log, runs = None, []
        try:
            for machine, record in records:
                if record["file"] != log:
                    self.settle(log, runs)
                    log, runs = record["file"], []
                if log in self.held:
                    runs.append((machine, record))
                yield machine, record
            self.settle(log, runs)
        finally:
            if self.db is not None:
                self.db.close()

    def settle(self, log, runs):
        warnings = self.held.pop(log, None)
        if warnings and not self.kept_as_read(log, runs):
            for offset, what in warnings:
                self.warn(log, offset, what)

    def kept_as_read(self, log, runs):
        try:
            if self.db is None:
                # Never waits: the gathering itself may hold the database.
                self.db = store.connect(self.database, create=False, wait=0)
            return store.kept_runs(self.db, log, runs[0][1]["run"] if runs else 1) == runs
        except (store.FleetError,) + store.DATABASE_ERRORS:
            return False


class Output:
    """The output stream, its write errors (a full disk) raised as OutputError."""

    def __init__(self, stream):
        self.stream = stream

    def write(self, text):
        try:
            return self.stream.write(text)
        except BrokenPipeError:
            raise
        except OSError as problem:
            raise OutputError(problem.strerror or str(problem)) from None

    def flush(self):
        try:
            self.stream.flush()
        except BrokenPipeError:
            raise
        except OSError as problem:
            raise OutputError(problem.strerror or str(problem)) from None


class Target:
    """Standard output, or -o FILE written to a temporary file beside FILE
    and put in its place only once it is whole: a reader of FILE sees the
    old one or the new one, never half of one nor a failed night's."""

    def __init__(self, path):
        self.path, self.temporary = path, None
        if path is None:
            self.stream = sys.stdout
            return
        folder, name = os.path.split(os.path.abspath(path))
        descriptor, self.temporary = tempfile.mkstemp(prefix="." + name + ".", suffix=".partial", dir=folder)
        self.stream = open(descriptor, "w", encoding="utf-8", errors="backslashreplace", newline="\n")

    def finish(self, keep):
        if self.temporary is None:
            return
        if not keep:
            self.discard()
            return
        try:
            self.stream.close()
            # The file a new one replaces keeps its permissions; a new one
            # gets what the umask allows, as a file made by the shell would.
            try:
                mode = os.stat(self.path).st_mode & 0o7777
            except OSError:
                mask = os.umask(0)
                os.umask(mask)
                mode = 0o666 & ~mask
            os.chmod(self.temporary, mode)
            os.replace(self.temporary, self.path)
        except OSError:
            self.discard()
            raise

    def discard(self):
        if self.temporary is None:
            return
        try:
            self.stream.close()
        except OSError:
            pass
        try:
            os.remove(self.temporary)
        except OSError:
            pass
        self.temporary = None


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
            with store.reading(args.stored, made) as db:
                state, what, data = judged(db)
        else:
            records = read_records(args.paths, warn, error)
            with tempfile.TemporaryDirectory(prefix="kelvane-log-") as folder:
                with closing(store.connect(os.path.join(folder, "fleet.sqlite"), create=True, scratch=True)) as db:
                    store.ingest(db, records, made)
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


def write_fleet(args, records, write, out, warn, error, waiting, seen, errors, gathering=None):
    """--into, --from, and the html page and units from logs; whether it was
    done. A database that cannot be used is an error named by its path, as a
    log's is (a connection string without its password)."""
    path = store.shown(args.into or args.stored or "")
    wait = WAIT if args.wait is None else args.wait
    now = args.now
    try:
        if args.into:
            on_share = not store.is_uri(args.into) and store.network_filesystem(args.into)
            if on_share:
                warn(path, None, ON_A_SHARE % on_share)
            with closing(store.connect(args.into, create=True, warn=warn, wait=wait, waiting=waiting)) as db:
                counts = store.ingest(db, records, now, gathering)
            sys.stderr.write("%d new, %d updated, %d unchanged\n" % counts)
        elif args.stored:
            with store.reading(args.stored, now, wait=wait, waiting=waiting) as db:
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
                    # Nothing read is no page nor table of units: a night whose
                    # share was not there says so, and shows no empty fleet.
                    if errors and not seen.runs:
                        return False
                    write_stored(db, args, write, out, ", ".join(args.paths))
    except store.FleetError as problem:
        error(path, str(problem) + (NOTHING_DONE[bool(args.into)] if isinstance(problem, store.Busy) else ""))
        return False
    except store.DATABASE_ERRORS as problem:
        if store.is_busy(problem):
            error(path, store.BUSY % wait + NOTHING_DONE[bool(args.into)])
        else:
            error(path, "database: %s" % problem)
        return False
    return True


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
