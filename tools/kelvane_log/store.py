"""The fleet database: the only module that speaks SQL. Its schema and the
steps that brought it there, the connection, keeping records and giving
them back, and the figures grouped by the database, so that a million runs
never sit in memory.

The database is a SQLite file, or a PostgreSQL database named by a
connection URI that gatherers on many machines write into at once. The SQL
is written once, in SQLite's words (ENGINE); to_postgres puts it in
PostgreSQL's, and the two connection classes at the end of this file keep
the rest of what the engines do differently.
"""

import datetime
import json
import os
import re
import signal
import sqlite3
import sys
import tempfile
from contextlib import closing, contextmanager
from functools import lru_cache
from pathlib import Path

from .gather import log_identity, nearest_folder
from .reader import FIELDS, OUTCOMES
from .serials import BLANKS, PLACEHOLDERS, is_placeholder

# How SQLite says what engines say differently: a parameter's placeholder,
# the comparison for which two NULLs are alike, and a table kept in the order
# of its key; and how PostgreSQL says it, where text is also ordered as
# SQLite orders it, by code point, whatever the server's locale. (Where the
# schema version lives: the SQLite and Postgres classes.)
ENGINE = {"placeholder": "?", "differs": "IS NOT", "clustered": " WITHOUT ROWID"}
POSTGRES = {"placeholder": "%s", "differs": "IS DISTINCT FROM", "clustered": "", "text": 'TEXT COLLATE "C"'}

COLUMNS = FIELDS + ("machine",)
# A run's start as text that sorts: MM/DD/YY is read as 20YY.
STARTED = "'20' || substr(r.date, 7, 2) || '-' || substr(r.date, 1, 2) || '-' || substr(r.date, 4, 2) || 'T' || r.time"


def runs_table(name, key, extra=""):
    return """CREATE TABLE %s (
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
    machine TEXT NOT NULL,%s
    PRIMARY KEY (%s)
)%s""" % (name, extra, key, ENGINE["clustered"])


def with_units(source):
    """The runs of source (a record's columns and its machine folder), each
    with its start and its unit. A run's unit is its serial number. A run that
    logged none takes its log's where every run of that log that logged one
    logged the same; in a log where no run logged one, the log is the unit;
    in a log of several serials, such a run has no unit. Its log is the log
    as source holds it: as gathered, so a log replaced by another PC's leaves
    the runs kept before with the units they had."""
    return ("SELECT %s, %s AS started, CASE WHEN r.serial IS NOT NULL THEN r.serial WHEN logs.low = logs.high"
            " THEN logs.low WHEN logs.low IS NULL THEN r.file END AS unit FROM %s AS r JOIN (SELECT file,"
            " min(serial) AS low, max(serial) AS high FROM %s GROUP BY file) AS logs ON logs.file = r.file"
            % (", ".join("r." + name for name in COLUMNS), STARTED, source, source))


# One record per unit: its runs in order of start, then log path, then place;
# its state is its latest run's. A unit's first and latest runs are found
# through the unit index, not by sorting every run; what the latest run holds
# is not looked for again.
UNITS = """SELECT u.unit,
       CASE WHEN latest.serial IS NOT NULL
              OR EXISTS (SELECT 1 FROM runs AS r WHERE r.unit = u.unit AND r.serial IS NOT NULL)
            THEN u.unit END AS serial,
       u.runs, u.logs, opening.outcome AS first, latest.outcome AS last,
       CASE WHEN latest.outcome IN ('PASS', 'SKIP') THEN 'done'
            WHEN latest.outcome = 'OFFICE-ABSENT' THEN 'no office'
            ELSE 'open' END AS state,
       u.first_started, u.last_started,
       coalesce(latest.build_id, (SELECT r.build_id FROM runs AS r WHERE r.unit = u.unit AND r.build_id IS NOT NULL
                                  ORDER BY r.started DESC, r.file DESC, r.run DESC LIMIT 1)) AS build_id,
       coalesce(latest.loc, (SELECT r.loc FROM runs AS r WHERE r.unit = u.unit AND r.loc IS NOT NULL
                             ORDER BY r.started DESC, r.file DESC, r.run DESC LIMIT 1)) AS loc,
       latest.failed AS reason, latest.file, latest.machine
FROM (SELECT unit, count(*) AS runs, count(DISTINCT file) AS logs,
             min(started) AS first_started, max(started) AS last_started
      FROM runs WHERE unit IS NOT NULL GROUP BY unit) AS u
JOIN runs AS opening ON opening.unit = u.unit AND opening.started = u.first_started
JOIN runs AS latest ON latest.unit = u.unit AND latest.started = u.last_started
WHERE NOT EXISTS (SELECT 1 FROM runs AS r WHERE r.unit = u.unit AND r.started = u.first_started
                  AND (r.file, r.run) < (opening.file, opening.run))
  AND NOT EXISTS (SELECT 1 FROM runs AS r WHERE r.unit = u.unit AND r.started = u.last_started
                  AND (r.file, r.run) > (latest.file, latest.run))"""
UNIT_FIELDS = ("unit", "serial", "runs", "logs", "first", "last", "state", "first_started", "last_started",
               "build_id", "loc", "reason", "file")
PASSED = "first IN ('PASS', 'SKIP')"
# The figures of all units, read from {units}: the units view, or the page's
# copy of it.
UNIT_FIGURES = """SELECT count(*) AS units, count(CASE WHEN %s THEN 1 END) AS passed_first,
       count(CASE WHEN state = 'done' THEN 1 END) AS done, count(CASE WHEN state = 'open' THEN 1 END) AS open_units,
       count(CASE WHEN runs > 1 THEN 1 END) AS retested, count(CASE WHEN state = 'no office' THEN 1 END) AS no_office,
       (SELECT count(*) FROM runs WHERE unit IS NULL) AS runs_without_unit
FROM {units}""" % PASSED
# Units by the day of their first run.
UNIT_DAYS = """SELECT substr(first_started, 1, 10) AS day, count(*) AS units,
       count(CASE WHEN %s THEN 1 END) AS passed_first
FROM {units} GROUP BY substr(first_started, 1, 10)""" % PASSED
# Units by the Build ID (the model) of their latest run that logged one.
UNIT_BUILDS = """SELECT build_id, count(*) AS units, count(CASE WHEN %s THEN 1 END) AS passed_first,
       count(CASE WHEN state = 'done' THEN 1 END) AS done, count(CASE WHEN state = 'open' THEN 1 END) AS open_units
FROM {units} GROUP BY build_id""" % PASSED
VIEWS = (("units", UNITS), ("unit_figures", UNIT_FIGURES.format(units="units")),
         ("unit_days", UNIT_DAYS.format(units="units")), ("unit_builds", UNIT_BUILDS.format(units="units")))


def is_placeholder_sql(column):
    """SQL true where column holds a serial number that names no machine,
    as serials.is_placeholder decides, for the runs an older schema kept:
    written out here, not kept in the database."""
    bare = "ltrim(rtrim(%s, '%s'), '%s')" % (column, BLANKS, BLANKS)
    return "(lower(%s) IN (%s) OR replace(%s, substr(%s, 1, 1), '') = '')" % (
        bare, ", ".join("'%s'" % text.replace("'", "''") for text in sorted(PLACEHOLDERS)), bare, bare)


# Where a run's clock was set ahead and nothing earlier in its log was not,
# it is ordered first: its log was begun then.
EARLIEST = "0000-01-01T00:00:00"


def keeping(source):
    """INSERT of the runs of source (a log's identity, then a record's
    columns and its machine folder, and the serial where it is no
    placeholder, real) into runs, each with its start, its
    unit, its order key and its clock flag; the limit of a start that is
    not ahead is the one parameter. A run's unit is its serial number, a
    placeholder counting as none logged; a run that logged none takes its
    log's where every run of that log that logged one logged the same; in a
    log where no run logged one, the log is the unit, named by its file; in
    a log of several serials, such a run has no unit. Its order key is the
    latest start so far in its log, leaving out starts set ahead, which a
    run kept before keeps: a log is only ever appended to, so its order is
    its runs' order whatever their clocks say."""
    started = STARTED.replace("r.", "g.")
    runs = ("SELECT g.log, %s, %s AS started, g.real,"
            " CASE WHEN kept.clock = 'ahead' OR (kept.log IS NULL AND %s > %s) THEN 1 ELSE 0 END AS ahead"
            " FROM %s AS g LEFT JOIN runs AS kept ON kept.log = g.log AND kept.run = g.run AND kept.started = %s"
            % (", ".join("g." + name for name in COLUMNS), started, started, ENGINE["placeholder"], source, started))
    # One window for all three, so that the runs are sorted once.
    window = "OVER (PARTITION BY s.log ORDER BY s.run, s.started ROWS BETWEEN UNBOUNDED PRECEDING AND %s)"
    ordered = ("SELECT s.*, max(CASE WHEN s.ahead = 0 THEN s.started END) %s AS latest, min(s.real) %s AS low,"
               " max(s.real) %s AS high FROM (%s) AS s"
               % (window % "1 PRECEDING", window % "UNBOUNDED FOLLOWING", window % "UNBOUNDED FOLLOWING", runs))
    return ("INSERT INTO runs (log, %s, started, unit, ordered, clock) SELECT r.log, %s, r.started,"
            " CASE WHEN r.real IS NOT NULL THEN r.real WHEN r.low = r.high THEN r.low WHEN r.low IS NULL THEN r.file"
            " END, CASE WHEN r.ahead = 1 THEN coalesce(r.latest, '%s') WHEN r.latest > r.started THEN r.latest"
            " ELSE r.started END, CASE WHEN r.ahead = 1 THEN 'ahead' WHEN r.latest > r.started THEN 'went back' END"
            " FROM (%s) AS r WHERE true"
            % (", ".join(COLUMNS), ", ".join("r." + name for name in COLUMNS), EARLIEST, ordered))


# One record per unit: its runs in order of their order key, then log, then
# place; its state is its latest run's. A unit's first and latest runs are
# found through the unit index, not by sorting every run; what the latest
# run holds is not looked for again. A unit that is a log because its serial
# was a placeholder keeps the placeholder logged, for the page.
UNITS_BY_ORDER = """SELECT u.unit,
       CASE WHEN EXISTS (SELECT 1 FROM runs AS r WHERE r.unit = u.unit AND r.serial = u.unit) THEN u.unit END AS serial,
       u.runs, u.logs, opening.outcome AS first, latest.outcome AS last,
       CASE WHEN latest.outcome IN ('PASS', 'SKIP') THEN 'done'
            WHEN latest.outcome = 'OFFICE-ABSENT' THEN 'no office'
            ELSE 'open' END AS state,
       opening.started AS first_started, latest.started AS last_started,
       coalesce(latest.build_id, (SELECT r.build_id FROM runs AS r WHERE r.unit = u.unit AND r.build_id IS NOT NULL
                                  ORDER BY r.ordered DESC, r.log DESC, r.run DESC LIMIT 1)) AS build_id,
       coalesce(latest.loc, (SELECT r.loc FROM runs AS r WHERE r.unit = u.unit AND r.loc IS NOT NULL
                             ORDER BY r.ordered DESC, r.log DESC, r.run DESC LIMIT 1)) AS loc,
       latest.failed AS reason, latest.file, latest.machine,
       CASE WHEN latest.file = u.unit THEN (SELECT r.serial FROM runs AS r WHERE r.unit = u.unit
                                            AND r.serial IS NOT NULL ORDER BY r.ordered DESC, r.log DESC, r.run DESC
                                            LIMIT 1) END AS placeholder,
       opening.clock AS first_clock
FROM (SELECT unit, count(*) AS runs, count(DISTINCT log) AS logs,
             min(ordered) AS first_ordered, max(ordered) AS last_ordered
      FROM runs WHERE unit IS NOT NULL GROUP BY unit) AS u
JOIN runs AS opening ON opening.unit = u.unit AND opening.ordered = u.first_ordered
JOIN runs AS latest ON latest.unit = u.unit AND latest.ordered = u.last_ordered
WHERE NOT EXISTS (SELECT 1 FROM runs AS r WHERE r.unit = u.unit AND r.ordered = u.first_ordered
                  AND (r.log, r.run) < (opening.log, opening.run))
  AND NOT EXISTS (SELECT 1 FROM runs AS r WHERE r.unit = u.unit AND r.ordered = u.last_ordered
                  AND (r.log, r.run) > (latest.log, latest.run))"""
# As UNIT_FIGURES, and the units known only by their log because their
# serial was a placeholder, and those whose first run's clock was off.
UNIT_FIGURES_FLAGGED = UNIT_FIGURES.replace("\nFROM {units}", """,
       count(CASE WHEN placeholder IS NOT NULL THEN 1 END) AS placeholder_units,
       count(CASE WHEN first_clock IS NOT NULL THEN 1 END) AS units_off_clock
FROM {units}""")
# Units by the day of their first run, where that run's clock can be trusted.
UNIT_DAYS_TRUSTED = UNIT_DAYS.replace("FROM {units} GROUP", "FROM {units} WHERE first_clock IS NULL GROUP")
ORDERED_VIEWS = (("units", UNITS_BY_ORDER), ("unit_figures", UNIT_FIGURES_FLAGGED.format(units="units")),
                 ("unit_days", UNIT_DAYS_TRUSTED.format(units="units")),
                 ("unit_builds", UNIT_BUILDS.format(units="units")))


def placed_machine(machine, file):
    """A machine folder as an older gathering named it, as gatherings name
    it now (see gather.machine_of): without a final Logs folder."""
    cut = max(machine.rfind("/"), machine.rfind("\\"))
    if machine[cut + 1:].lower() == "logs":
        machine = machine[:max(cut, 0)]
    return machine or nearest_folder(os.path.dirname(os.path.abspath(file)))


def identify_logs(db, ahead):
    """Each log kept so far known by its beginning, from its first stored
    run: a run's log is the one begun at the latest run 1 of its file that
    started no later than itself (a file replaced by another PC's log holds
    several). Copies of one log (a backup, another spelling of its folder)
    are kept once, as their longest copy holds them; of copies as long, the
    plainest spelling ("line" before "./line/" and the absolute path) is
    taken for the one first gathered, which the database cannot tell."""
    found = []
    for row in db.rows("SELECT file, started, date, time, serial, failed, machine FROM runs_v2 WHERE run = 1"):
        file, started, date, time, serial, failed, machine = map(given_back, row)
        first = {"file": file, "date": date, "time": time, "serial": serial, "failed": failed}
        found.append(tuple(map(kept, (file, started, log_identity(first), placed_machine(machine, file)))))
    for batch in range(0, len(found), BATCH):
        db.executemany("INSERT INTO logs_v2 (file, started, log, machine, runs) VALUES (?, ?, ?, ?, 0)",
                       found[batch:batch + BATCH])
    for statement in UPGRADE_RUNS:
        db.execute(statement, (ahead,) if statement.startswith("INSERT INTO runs ") else ())


BEGUN = "(SELECT %s(o.started) FROM runs_v2 AS o WHERE o.file = r.file AND o.run = 1%s)"
UPGRADE_RUNS = (
    "CREATE TABLE upgrading AS SELECT r.*, coalesce(%s, %s) AS begun FROM runs_v2 AS r"
    % (BEGUN % ("max", " AND o.started <= r.started"), BEGUN % ("min", "")),
    "CREATE INDEX upgrading_by_log ON upgrading (file, begun)",
    "CREATE INDEX logs_v2_by_log ON logs_v2 (log)",
    "UPDATE logs_v2 SET runs = (SELECT count(*) FROM upgrading AS u WHERE u.file = logs_v2.file"
    " AND u.begun = logs_v2.started)",
    keeping("(SELECT l.log, %s, l.machine, CASE WHEN NOT %s THEN u.serial END AS real FROM upgrading AS u"
            " JOIN logs_v2 AS l ON l.file = u.file"
            " AND l.started = u.begun WHERE NOT EXISTS (SELECT 1 FROM logs_v2 AS o WHERE o.log = l.log"
            " AND (o.runs > l.runs OR (o.runs = l.runs AND (length(o.file) < length(l.file)"
            " OR (length(o.file) = length(l.file) AND o.file < l.file))))))"
            % (", ".join("u." + name for name in COLUMNS[:-1]), is_placeholder_sql("u.serial"))),
    "DROP TABLE upgrading",
)


# The schema's history. Each step brings a database from the version before
# it to its own, inside the gathering's one transaction; a new database takes
# them all, in order. A step, once released, is never changed: a change is a
# new step.
STEPS = (
    ("runs keyed by log and place", [runs_table("runs", "file, run")]),
    ("runs keyed by log, place and start, each with its unit; the unit views", [
        "ALTER TABLE runs RENAME TO runs_v1",
        runs_table("runs", "file, run, started", "\n    started TEXT NOT NULL,\n    unit TEXT,"),
        "INSERT INTO runs (%s, started, unit) %s" % (", ".join(COLUMNS), with_units("runs_v1")),
        "DROP TABLE runs_v1",
        "CREATE INDEX runs_by_unit ON runs (unit, started, file, run)",
    ] + ["CREATE VIEW %s AS %s" % view for view in VIEWS]),
    ("runs keyed by the log's beginning, each with its order key and clock flag", [
        "DROP VIEW unit_builds", "DROP VIEW unit_days", "DROP VIEW unit_figures", "DROP VIEW units",
        "DROP INDEX runs_by_unit",
        "ALTER TABLE runs RENAME TO runs_v2",
        runs_table("runs", "log, run, started", "\n    started TEXT NOT NULL,\n    unit TEXT,\n    log TEXT NOT NULL,"
                   "\n    ordered TEXT NOT NULL,\n    clock TEXT,"),
        "CREATE TABLE logs_v2 (file TEXT NOT NULL, started TEXT NOT NULL, log TEXT NOT NULL, machine TEXT NOT NULL,"
        " runs INTEGER NOT NULL, PRIMARY KEY (file, started))",
        identify_logs,
        "DROP TABLE logs_v2",
        "DROP TABLE runs_v2",
        "CREATE INDEX runs_by_unit ON runs (unit, ordered, log, run)",
    ] + ["CREATE VIEW %s AS %s" % view for view in ORDERED_VIEWS]),
)
SCHEMA_VERSION = len(STEPS)


# The columns whose text comes from a log's values or a folder's name, so
# may hold what UTF-8 cannot carry (see kept).
UNTRUSTED = ("file", "serial", "build_id", "feature_byte", "loc", "machine")


def kept(text):
    """A text as the database keeps it: as it is, or, where UTF-8 cannot
    carry it (a lone surrogate in a log's UTF-16, the undecodable bytes of a
    file name that os.fsdecode escapes), a BLOB of its UTF-8 bytes with the
    surrogates written through, which given_back turns back into the very
    same text. Ordinary text is stored as before."""
    if text is None or text.isascii():
        return text
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return text.encode("utf-8", "surrogatepass")
    return text


def given_back(value):
    return value.decode("utf-8", "surrogatepass") if value.__class__ is bytes else value


class FleetError(Exception):
    pass


class DatabaseError(Exception):
    """What PostgreSQL or its client said, without a password."""


# What the database itself may raise, besides FleetError.
DATABASE_ERRORS = (sqlite3.Error, DatabaseError)


class Busy(FleetError):
    """Another process held a SQLite database for longer than the tool was to wait."""


BUSY = "busy: another process held it for %d s"


def connect(path, create, scratch=False, warn=None, wait=60, waiting=None):
    """A connection to the fleet database: a PostgreSQL connection string's,
    or the SQLite database at path, made when missing only if create.
    Transactions are begun and ended by hand. A SQLite database another
    process holds is waited for up to wait seconds, waiting() told once
    when the wait begins; a gathering waits so for reports being read to
    finish before it commits, and a report for a gathering's commit. A
    scratch database (the page straight from logs) is thrown away
    afterwards: it keeps no journal. warn(path, offset, what) is told of
    values the database cannot keep as they are."""
    if is_uri(path):
        return Postgres(path, warn or (lambda path, offset, what: None))
    if re.match(OTHER_SCHEME, path):
        raise FleetError("not a database this tool knows: a PostgreSQL connection URI starts postgresql://")
    if not create and not os.path.exists(path):
        raise FleetError("no such file")
    mode = "rwc" if create else "rw"
    try:
        db = sqlite3.connect("%s?mode=%s" % (Path(os.path.abspath(path)).as_uri(), mode),
                             uri=True, isolation_level=None, timeout=wait, factory=SQLite)
    except sqlite3.Error as problem:
        raise FleetError("cannot open the database (%s)" % problem) from None
    db.wait, db.waiting = wait, waiting or (lambda: None)
    try:
        db.patiently("SELECT count(*) FROM sqlite_master")
    except Busy:
        db.close()
        raise
    except sqlite3.DatabaseError as problem:
        db.close()
        raise FleetError("not a SQLite database (%s)" % problem) from None
    if scratch:
        db.execute("PRAGMA journal_mode = OFF")
        db.execute("PRAGMA synchronous = OFF")
    return db


def is_busy(problem):
    """Whether SQLite gave up waiting for a lock another process holds."""
    return isinstance(problem, sqlite3.OperationalError) and str(problem).startswith(("database is locked",
                                                                                      "database is busy"))


@lru_cache(maxsize=None)
def objects_of(version):
    """The tables, indexes and views a database of version holds: what its
    steps make of an empty database."""
    with closing(sqlite3.connect(":memory:", isolation_level=None, factory=SQLite)) as db:
        upgrade(db, 0, EARLIEST, version)
        return db.objects()


def upgrade(db, version, ahead, to=SCHEMA_VERSION):
    """Brings db from version to to; a start later than ahead is a clock
    set ahead (see ingest). A step's statement may be a function of the
    database and ahead: one that works out in Python what SQL cannot."""
    for _, statements in STEPS[version:to]:
        for statement in statements:
            if callable(statement):
                statement(db, ahead)
            else:
                db.execute(statement)
    db.set_version(to)


def check_schema(db, create):
    """The schema version of a fleet database of ours, 0 for an empty one that
    create may make; raises FleetError for any other. Only reads: a database
    refused here is left as it was."""
    version, objects = db.schema()
    if version > SCHEMA_VERSION:
        raise FleetError("made by a newer kelvane-log (schema version %d; this one knows %d)"
                         % (version, SCHEMA_VERSION))
    if version > 0 and objects == db.as_listed(objects_of(version)):
        return version
    # An empty file is an empty database: also what a killed first gathering leaves.
    if create and version == 0 and not objects:
        return 0
    names = ", ".join(sorted(name for _, name, _ in objects)) or "none"
    raise FleetError("not a kelvane-log fleet database (schema version %d, tables and indexes: %s)"
                     % (version, names))


@contextmanager
def reading(path, now=None, **waiting):
    """The database at path, to be read in one snapshot, so that every figure
    counts the same runs; a database that is not ours is refused. One of an
    older schema is read through an upgraded copy in a temporary folder: the
    file itself is left as it was (now as for ingest). waiting: see connect."""
    with closing(connect(path, create=False, **waiting)) as db:
        db.begin_reading()
        version = check_schema(db, create=False)
        if version == SCHEMA_VERSION:
            yield db
            return
        if not isinstance(db, SQLite):
            raise FleetError("made by an older kelvane-log (schema version %d): a gathering into it brings it"
                             " up to date" % version)
        with tempfile.TemporaryDirectory(prefix="kelvane-log-") as folder:
            with closing(connect(os.path.join(folder, "fleet.sqlite"), create=True, scratch=True)) as copy:
                db.backup(copy)
                db.close()
                copy.execute("BEGIN")
                upgrade(copy, version, ahead_of(now))
                yield copy


# Everything but the key and what a log is given when it is first gathered
# (its file and machine); a run is written again only where one of them differs.
VALUES = COLUMNS[2:-1] + ("unit", "ordered", "clock")
KEEP = keeping("gathered") + " ON CONFLICT (log, run, started) DO UPDATE SET %s WHERE (%s) %s (%s)" % (
    ", ".join("%s = excluded.%s" % (name, name) for name in VALUES), ", ".join("runs." + name for name in VALUES),
    ENGINE["differs"], ", ".join("excluded." + name for name in VALUES))
# A gathering's runs, each copy of a log with its number of runs (size): of
# copies that differ, the longest gives the runs.
GATHERED = runs_table("gathered", "log, run, date, time", "\n    log TEXT NOT NULL,\n    real TEXT,"
                      "\n    size INTEGER NOT NULL,").replace("CREATE TABLE", "CREATE TEMP TABLE")
GATHER = "INSERT INTO gathered (log, %s, real, size) VALUES (%s) ON CONFLICT (log, run, date, time) DO UPDATE SET %s" \
         " WHERE excluded.size > gathered.size" % (
             ", ".join(COLUMNS), ", ".join([ENGINE["placeholder"]] * (len(COLUMNS) + 3)),
             ", ".join("%s = excluded.%s" % (name, name) for name in COLUMNS[2:] + ("file", "real", "size")))
# Before the gathered runs are kept: a copy shorter than the log kept gives
# nothing (its runs are the kept ones); a log kept before keeps the file and
# machine it was first gathered from, which also name a unit that is a log.
SETTLE = (
    "DELETE FROM gathered WHERE log IN (SELECT g.log FROM (SELECT log, max(run) AS last FROM gathered GROUP BY log)"
    " AS g WHERE EXISTS (SELECT 1 FROM runs WHERE runs.log = g.log AND runs.run > g.last))",
    "UPDATE gathered SET (file, machine) = (SELECT k.file, k.machine FROM runs AS k WHERE k.log = gathered.log"
    " LIMIT 1) WHERE EXISTS (SELECT 1 FROM runs AS k WHERE k.log = gathered.log AND (k.file <> gathered.file"
    " OR k.machine <> gathered.machine))",
)
BATCH = 4096        # runs kept at a time, in whole logs


def in_whole_logs(rows):
    """rows in batches of about BATCH, a log never split: a run's unit may
    depend on every run of its log."""
    batch = []
    for row in rows:
        if len(batch) >= BATCH and row[0] != batch[-1][0]:
            yield batch
            batch = []
        batch.append(row)
    if batch:
        yield batch


def ahead_of(now):
    """The latest start that is not a clock set ahead: a day after now (a
    datetime; the local clock's when None), as the runs' started."""
    return ((now or datetime.datetime.now()) + datetime.timedelta(days=1)).strftime("%Y-%m-%dT%H:%M:%S")


def ingest(db, records, now=None):
    """Keeps (machine, record) pairs in the database, all in one transaction,
    a database of an older schema upgraded first: what fails or is killed
    half-way leaves the database as it was. Returns the number of runs that
    are new, updated and unchanged. A run first kept with a start more than
    a day after now (the gathering's time, see ahead_of) is flagged as a
    clock set ahead, for good. The records are read with the writers'
    lock held (SQLite), or kept aside first and taken in with it (PostgreSQL,
    whose gatherers read their logs side by side)."""
    ahead = ahead_of(now)
    db.begin_writing()
    try:
        # A database that is not ours is refused before any log is read; an
        # empty or older one is brought up to date by one writer, whom the
        # others wait for.
        if check_schema(db, create=True) < SCHEMA_VERSION:
            db.lock_writers()
            version = check_schema(db, create=True)
            if version < SCHEMA_VERSION:
                db.make_schema()
                upgrade(db, version, ahead)
            db.schema_made()
        seen = 0
        head = FIELDS[:FIELDS.index("views")]
        untrusted = [head.index(name) for name in UNTRUSTED if name in head]

        def rows():
            """Each run as gathered holds it: its log's identity, its columns,
            its serial where that is no placeholder, and the number of runs
            of its copy of the log."""
            nonlocal seen
            log, file, copy = None, None, []
            for machine, record in records:
                seen += 1
                if record["file"] != file:
                    for row in copy:
                        yield row + (len(copy),)
                    log, file, copy = kept(log_identity(record)), record["file"], []
                row = [record[name] for name in head]
                for at in untrusted:
                    row[at] = kept(row[at])
                serial = record["serial"]
                copy.append((log,) + tuple(row) + (json.dumps(record["views"]), record["marker"],
                                                   int(record["interleaved"]), kept(machine),
                                                   None if serial is None or is_placeholder(serial) else kept(serial)))
            for row in copy:
                yield row + (len(copy),)

        staged = db.stage(rows())
        db.lock_writers()
        before = db.execute("SELECT count(*) FROM runs").fetchone()[0]
        changed = db.upsert(staged, ahead)
        added = db.execute("SELECT count(*) FROM runs").fetchone()[0] - before
        commit_whole(db)
    except BaseException:
        if db.in_transaction:
            db.execute("ROLLBACK")
        raise
    return added, changed - added, seen - changed


def commit_whole(db):
    """COMMIT, Ctrl-C held off while it runs. Python raises a Ctrl-C that
    came during a call once the call is done: one that came while the
    commit was written to disk would stop the tool with the runs kept,
    under a message that says nothing was. One that comes then is dropped:
    the gathering ends as it would have a moment later."""
    previous = signal.signal(signal.SIGINT, lambda *_: None)
    try:
        db.execute("COMMIT")
    finally:
        signal.signal(signal.SIGINT, previous)


class Scope:
    """Which runs and units a call is about: a window of days (ISO dates,
    both inclusive), one unit, or all. Runs are those that started in the
    window; units are those whose first run did, with all their runs."""

    def __init__(self, since=None, until=None, unit=None):
        self.since, self.until, self.unit = since, until, unit

    def __bool__(self):
        return (self.since, self.until, self.unit) != (None, None, None)

    def where(self, started, unit="unit"):
        """The condition, with its parameters, on a start column and a unit column."""
        conditions, parameters = [], []
        if self.since is not None:
            conditions.append("%s >= ?" % started)
            parameters.append(self.since.isoformat())
        if self.until is not None:
            conditions.append("%s < ?" % started)
            parameters.append(day_after(self.until))
        if self.unit is not None:
            conditions.append("%s = ?" % unit)
            parameters.append(kept(self.unit))
        return " AND ".join(conditions) or "1 = 1", parameters

    def runs(self, alias=""):
        """Runs: in the window by their own start."""
        return self.where(alias + "started", alias + "unit")

    def units(self, alias=""):
        """Units (rows of the units view): in the window by their first run's start."""
        return self.where(alias + "first_started", alias + "unit")


ALL = Scope()


def day_after(day):
    return (day + datetime.timedelta(days=1)).isoformat()


def stored_records(db, scope=ALL):
    """(machine, record) for each run kept, in the order of the key: by the
    log's path, then the run's place in it, then its start; for one unit, in
    the order of its runs: by start, then log path, then place."""
    where, parameters = scope.runs()
    order = "ordered, log, run" if scope.unit is not None else "file, run, started"
    for row in db.rows("SELECT %s FROM runs WHERE %s ORDER BY %s" % (", ".join(COLUMNS), where, order), parameters):
        if bytes in map(type, row):
            row = tuple(map(given_back, row))
        record = dict(zip(FIELDS, row))
        record["views"] = json.loads(record["views"])
        record["interleaved"] = bool(record["interleaved"])
        yield row[-1], record


def kept_runs(db, file):
    """(machine, record) for each run kept from the log at path file, as
    stored_records gives them, in order of place then start."""
    found = []
    for row in db.execute("SELECT %s FROM runs WHERE file = ? ORDER BY run, started" % ", ".join(COLUMNS),
                          (kept(file),)).fetchall():
        row = tuple(map(given_back, row))
        record = dict(zip(FIELDS, row))
        record["views"] = json.loads(record["views"])
        record["interleaved"] = bool(record["interleaved"])
        found.append((row[-1], record))
    return found


def stored_units(db, scope=ALL):
    """One record per unit, in order of the unit."""
    where, parameters = scope.units()
    for row in db.rows("SELECT %s FROM units WHERE %s ORDER BY unit" % (", ".join(UNIT_FIELDS), where), parameters):
        if bytes in map(type, row):
            row = tuple(map(given_back, row))
        yield dict(zip(UNIT_FIELDS, row))


LISTED = 100        # runs and open units to look at, newest first; the rest are counted
BUILDS_LISTED = 20
# Within a second, a log's later run is the newer one.
NEWEST_FIRST = "started DESC, file, run DESC"
# Runs that passed are no news, even where they mixed with others.
TO_LOOK_AT = "outcome IN ('FAIL', 'INCOMPLETE') OR (interleaved = 1 AND outcome NOT IN ('PASS', 'SKIP'))"
# Passing runs that wrote the value, and that found both views already set.
WROTE = """outcome = 'PASS' AND views LIKE '%"action": "overwritten"%'"""
BOTH_SET = """outcome = 'PASS' AND views LIKE '%"action": "kept"%"action": "kept"%'"""
# The figures by day (runs per day, first-pass yield per day, the last whole
# day and its control limit) and the newest start the page is made from count
# only the runs whose start can be believed: runs with a doubtful clock are
# left out once they are flagged, by this one condition.
DAY_RUNS = "clock IS NULL"


# The units of a scope, worked out once (where the engine is told to keep
# them: SQLite from 3.35, PostgreSQL) in a statement that reads both what
# the figures group and the open units listed: a unit's state, whether it
# passed first time or was retested, its Build ID, and, of the open units
# whose latest run started since a moment, the oldest start.
UNIT_SUMMARY = """WITH page_units AS {materialized}(SELECT * FROM units WHERE {where})
SELECT 'group' AS kind, build_id, state, NULL AS unit, NULL AS machine, NULL AS reason, NULL AS file, NULL AS last,
       NULL AS shown, CASE WHEN {passed} THEN 1 ELSE 0 END AS passed, CASE WHEN runs > 1 THEN 1 ELSE 0 END AS retested,
       CASE WHEN placeholder IS NOT NULL THEN 1 ELSE 0 END AS by_placeholder,
       CASE WHEN first_clock IS NOT NULL THEN 1 ELSE 0 END AS off_clock,
       count(*) AS count, min(CASE WHEN state = 'open' AND last_started >= ? THEN last_started END) AS since
FROM page_units GROUP BY build_id, state, CASE WHEN {passed} THEN 1 ELSE 0 END, CASE WHEN runs > 1 THEN 1 ELSE 0 END,
         CASE WHEN placeholder IS NOT NULL THEN 1 ELSE 0 END, CASE WHEN first_clock IS NOT NULL THEN 1 ELSE 0 END
UNION ALL
SELECT 'day' AS kind, substr(first_started, 1, 10), NULL, NULL, NULL, NULL, NULL, NULL, NULL,
       CASE WHEN {passed} THEN 1 ELSE 0 END, 0, 0, 0, count(*), NULL
FROM page_units WHERE first_clock IS NULL GROUP BY substr(first_started, 1, 10), CASE WHEN {passed} THEN 1 ELSE 0 END
UNION ALL
SELECT * FROM (SELECT 'open' AS kind, build_id, state, unit, machine, reason, file, last,
                      coalesce(placeholder, unit) AS shown, 0 AS passed, 0 AS retested, 0 AS by_placeholder,
                      0 AS off_clock, runs AS count, last_started AS since
               FROM page_units WHERE state = 'open' ORDER BY last_started DESC, unit LIMIT {listed}) AS listed"""


def unit_summary(db, scope, recent, listed=LISTED):
    """The unit figures of a scope: counts by state, the Build IDs, the units
    by the day of their first run where its clock is believed ({YYYY-MM-DD:
    (units, of them passed first time)}: the cohorts of first-pass yield and
    its control chart), the open units listed newest first (with their
    latest run's values), and the oldest start of an open unit's latest run
    since recent (a start as text)."""
    where, parameters = scope.units()
    units = dict.fromkeys(("units", "passed_first", "done", "open_units", "retested", "no_office",
                           "placeholder_units", "units_off_clock"), 0)
    builds, days, listing, oldest = {}, {}, [], None
    for (kind, build_id, state, unit, machine, reason, file, last, shown, passed, retested, by_placeholder,
         off_clock, count, since) in db.execute(
            UNIT_SUMMARY.format(where=where, passed=PASSED, listed=listed, materialized=db.MATERIALIZED),
            parameters + [recent]):
        if kind == "open":
            listing.append(tuple(map(given_back, (unit, machine, since, count, reason, file, last, shown))))
            continue
        if kind == "day":
            day = days.setdefault(build_id, [0, 0])
            day[0] += count
            day[1] += count if passed else 0
            continue
        units["units"] += count
        units["passed_first"] += count if passed else 0
        units["retested"] += count if retested else 0
        units["placeholder_units"] += count if by_placeholder else 0
        units["units_off_clock"] += count if off_clock else 0
        key = {"done": "done", "open": "open_units", "no office": "no_office"}[state]
        units[key] += count
        build = builds.setdefault(given_back(build_id), [0, 0, 0, 0])
        build[0] += count
        build[1] += count if passed else 0
        build[2] += count if state == "done" else 0
        build[3] += count if state == "open" else 0
        if since is not None and (oldest is None or since < oldest):
            oldest = since
    days = {day: tuple(counts) for day, counts in days.items()}
    return units, builds, days, latest_runs(db, listing), oldest


def latest_runs(db, listing):
    """The open units listed, each with its latest run's values that say what
    it last logged: (unit, machine, last start, runs, reason, outcome,
    record), the record holding serial, build_id, feature_byte, loc and
    views. One statement for all of them, through the unit index."""
    if not listing:
        return []
    found = {}
    pairs = " OR ".join(["(unit = ? AND started = ?)"] * len(listing))
    parameters = []
    for unit, _, last_started, _, _, _, _, _ in listing:
        parameters += [kept(unit), last_started]
    for row in db.execute("SELECT unit, started, file, run, serial, build_id, feature_byte, loc, views FROM runs"
                          " WHERE %s" % pairs, parameters):
        row = tuple(map(given_back, row))
        key = (row[0], row[1], row[2])
        if key not in found or found[key][0] < row[3]:
            found[key] = (row[3], dict(zip(("serial", "build_id", "feature_byte", "loc", "views"), row[4:])))
    return [(shown, machine, last_started, runs, reason, outcome,
             found.get((unit, last_started, file), (0, {}))[1])
            for unit, machine, last_started, runs, reason, file, outcome, shown in listing]


def latest_start(db, scope=ALL):
    """The newest believable start among a scope's runs, as text, or None."""
    where, parameters = scope.runs()
    return db.execute("SELECT max(started) FROM runs WHERE %s AND %s" % (where, DAY_RUNS), parameters).fetchone()[0]


def check_figures(db, scope, recent):
    """What --check judges: the units first run per day, the open units and
    the oldest start of a recent open unit's latest run."""
    units, _, days, _, oldest = unit_summary(db, scope, recent, listed=0)
    return {"unit_days": days, "open_units": units["open_units"], "oldest_open": oldest}


def report_figures(db, scope=ALL, recent=""):
    """Every figure of the page, grouped by the database. The runs that
    started in the scope are counted in one pass, by day, outcome, LOC and
    reason; the scope's units are worked out once, in the statement that
    groups them. Nothing is written, not even a temporary table: a role that
    may only read can make the page. recent: the start since which an open
    unit is news."""
    days, locs, reasons, outcomes = {}, {}, {}, dict.fromkeys(OUTCOMES, 0)
    interleaved = to_look_at = wrote = both_set = off_clock = 0
    where, parameters = scope.runs()
    for day, outcome, mixed, loc, failed, believed, count, wrote_here, set_here in db.execute(
            "SELECT substr(started, 1, 10), outcome, interleaved, loc, failed, CASE WHEN {day} THEN 1 ELSE 0 END,"
            " count(*), count(CASE WHEN {wrote} THEN 1 END), count(CASE WHEN {both} THEN 1 END) FROM runs"
            " WHERE {where} GROUP BY substr(started, 1, 10), outcome, interleaved, loc, failed,"
            " CASE WHEN {day} THEN 1 ELSE 0 END".format(day=DAY_RUNS, wrote=WROTE, both=BOTH_SET, where=where),
            parameters):
        # A run whose clock went back or was ahead is on no day.
        if believed:
            on_day = days.setdefault(day, dict.fromkeys(OUTCOMES, 0))
            on_day[outcome] += count
        else:
            off_clock += count
        outcomes[outcome] += count
        interleaved += count if mixed else 0
        to_look_at += count if outcome in ("FAIL", "INCOMPLETE") or (mixed and outcome not in ("PASS", "SKIP")) else 0
        wrote += wrote_here
        both_set += set_here
        loc = given_back(loc) or ""
        locs[loc] = locs.get(loc, 0) + count
        # A run cut off has no reason of its own: its bar is the cut-off runs' (None).
        if outcome == "INCOMPLETE":
            reasons[None] = reasons.get(None, 0) + count
        elif failed is not None or outcome == "FAIL":
            reason = given_back(failed) or ""
            reasons[reason] = reasons.get(reason, 0) + count
    # Failure reasons, the most frequent first, each with the failing runs up to it.
    pareto, failing = [], 0
    for reason, count in sorted(reasons.items(), key=lambda item: (-item[1], item[0] is None, item[0] or "")):
        failing += count
        pareto.append((reason, count, failing))

    units, builds, unit_days, listed_open, oldest = unit_summary(db, scope, recent)
    units["runs_without_unit"] = db.execute("SELECT count(*) FROM runs WHERE unit IS NULL AND " + where,
                                            parameters).fetchone()[0]
    figures = {
        "days": sorted(days.items()), "outcomes": outcomes, "runs": sum(outcomes.values()),
        "interleaved": interleaved, "wrote": wrote, "both_set": both_set, "off_clock": off_clock,
        "logs": db.execute("SELECT count(*) FROM (SELECT log FROM runs WHERE %s GROUP BY log) AS logs" % where,
                           parameters).fetchone()[0],
        "reasons": pareto,
        "locs": sorted(locs.items(), key=lambda item: (-item[1], item[0])),
        "to_look_at": to_look_at,
        "listed": [tuple(map(given_back, row)) for row in db.execute(
            "SELECT machine, started, serial, outcome, failed, interleaved FROM runs WHERE (" + TO_LOOK_AT
            + ") AND " + where + " ORDER BY " + NEWEST_FIRST + " LIMIT %d" % LISTED, parameters)],
        "units": units,
        "open": listed_open,
        "oldest_open": oldest,
        "unit_days": unit_days,
        "latest": latest_start(db, scope),
    }
    figures["builds"], more = [], [0, 0]
    for build_id, row in sorted(builds.items(), key=lambda item: (-item[1][0], item[0] is None, item[0] or "")):
        if len(figures["builds"]) < BUILDS_LISTED:
            figures["builds"].append((build_id,) + tuple(row))
        else:
            more[0] += 1
            more[1] += row[0]
    figures["builds_more"] = tuple(more)
    return figures


class SQLite(sqlite3.Connection):
    """A SQLite database: one writer at a time, who holds the lock from the
    first record read to the commit."""

    # A WITH table read twice is worked out once only where asked (SQLite 3.35).
    MATERIALIZED = "MATERIALIZED " if sqlite3.sqlite_version_info >= (3, 35) else ""

    def schema(self):
        """The schema version, and the objects there as objects gives them."""
        return self.execute("PRAGMA user_version").fetchone()[0], self.objects()

    def set_version(self, version):
        self.execute("PRAGMA user_version = %d" % version)

    def objects(self):
        """The tables, indexes and views, as (type, name, SQL)."""
        return sorted((kind, name, sql or "") for kind, name, sql in self.execute(
            "SELECT type, name, sql FROM sqlite_master"))

    def as_listed(self, objects):
        """Objects as SQLite lists them, as schema gives them here."""
        return objects

    def make_schema(self):
        """The file is the database's one schema."""

    def patiently(self, sql):
        """sql, run at once if no other process holds the database, else
        after waiting up to self.wait seconds, as every statement does."""
        self.execute("PRAGMA busy_timeout = 0")
        try:
            return self.execute(sql)
        except sqlite3.OperationalError as problem:
            if not is_busy(problem):
                raise
            self.waiting()
        finally:
            self.execute("PRAGMA busy_timeout = %d" % (self.wait * 1000))
        try:
            return self.execute(sql)
        except sqlite3.OperationalError as problem:
            if not is_busy(problem):
                raise
            raise Busy(BUSY % self.wait) from None

    def begin_writing(self):
        self.patiently("BEGIN IMMEDIATE")

    def begin_reading(self):
        # A deferred transaction takes its lock at its first read.
        self.execute("BEGIN")
        self.patiently("SELECT count(*) FROM sqlite_master")

    def lock_writers(self):
        """Held since begin_writing."""

    def schema_made(self):
        """Kept in the gathering's one transaction."""

    def stage(self, rows):
        return rows

    def upsert(self, rows, ahead):
        """Takes the rows in, a batch of whole logs at a time, and counts
        those written: an unchanged run is no change."""
        self.execute(GATHERED)
        changed = 0
        for batch in in_whole_logs(rows):
            self.executemany(GATHER, batch)
            for statement in SETTLE:
                self.execute(statement)
            changed += self.execute(KEEP, (ahead,)).rowcount
            self.execute("DELETE FROM gathered")
        self.execute("DROP TABLE gathered")
        return changed

    # SQLite steps through a query's rows as they are taken.
    rows = sqlite3.Connection.execute


SCHEMA = "kelvane"
# PostgreSQL keeps no user_version: the runs table's comment says it.
VERSION_COMMENT = "kelvane-log fleet database, schema version "
# Taking runs in is one writer's at a time: a key of its own among the
# advisory locks of a database that may serve other applications too.
WRITERS_LOCK = int.from_bytes(b"kelvane", "big")
NO_PSYCOPG = ("a PostgreSQL database needs psycopg 3, which %s does not have (Debian 12: apt-get install "
              "python3-psycopg, and run the tool with /usr/bin/python3; Windows: py -m pip install "
              "\"psycopg[binary]\")")
# All the gathering's runs taken in at once, each once: of copies of a log,
# the longest's, and of copies as long, the first read, as SQLite keeps them.
MERGE = ("CREATE TEMPORARY TABLE gathered ON COMMIT DROP AS SELECT DISTINCT ON (log, run, date, time) log, %s, real,"
         " size"
         " FROM %%s ORDER BY log, run, date, time, size DESC, seq" % ", ".join(COLUMNS))
# Whatever the schema holds but indexes (which cannot hold anything foreign),
# with the comments of its relations; in one statement, so one snapshot.
CATALOG = """SELECT CASE relkind WHEN 'r' THEN 'table' WHEN 'v' THEN 'view' ELSE 'relation ' || relkind::text END,
    relname::text, obj_description(pg_class.oid, 'pg_class') FROM pg_class JOIN pg_namespace ours
    ON relnamespace = ours.oid WHERE nspname = %(schema)s AND relkind NOT IN ('i', 'I')
UNION ALL SELECT 'routine', proname::text, NULL FROM pg_proc JOIN pg_namespace ours ON pronamespace = ours.oid
    WHERE nspname = %(schema)s
UNION ALL SELECT 'type', typname::text, NULL FROM pg_type JOIN pg_namespace ours ON typnamespace = ours.oid
    WHERE nspname = %(schema)s AND typtype <> 'c' AND typcategory <> 'A'"""
UNKEEPABLE = re.compile("[\0\ud800-\udfff]")
# SQLite's null-safe comparison is spelled IS (NOT); PostgreSQL's, IS (NOT) DISTINCT FROM.
NULL_SAFE = re.compile(r"\bIS( NOT)? (?!NULL\b|NOT\b|TRUE\b|FALSE\b|UNKNOWN\b|DISTINCT\b)")


def to_postgres(sql):
    """SQL written in SQLite's words (keywords in capitals, no ? or % in its
    literals) as PostgreSQL reads it through psycopg, whose own placeholder
    takes the % of the SQL for its own."""
    sql = sql.replace("%", "%%").replace(ENGINE["placeholder"], POSTGRES["placeholder"])
    if sql.startswith("CREATE TABLE"):
        sql = re.sub(r" TEXT\b", " " + POSTGRES["text"], sql).replace(ENGINE["clustered"], POSTGRES["clustered"])
    return NULL_SAFE.sub(lambda found: "%s " % POSTGRES["differs"] if found.group(1) else "IS NOT DISTINCT FROM ",
                         sql)


def copy_text(value):
    """A value in COPY's text format, where a backslash escapes, a tab ends
    a value and a line a row (str.translate takes three times as long)."""
    return value.replace("\\", "\\\\").replace("\t", "\\t").replace("\n", "\\n").replace("\r", "\\r")


# A URI's scheme is spelt in any case (RFC 3986); libpq reads it in small letters.
POSTGRES_SCHEME = re.compile("(postgresql|postgres)://", re.IGNORECASE)
OTHER_SCHEME = re.compile("[A-Za-z][A-Za-z0-9+.-]*://")
# libpq's other form, keyword=value pairs: "host=/run/pg dbname=fleet user=qa".
KEYWORDS = re.compile(r"\s*[A-Za-z_]+\s*=")
KEYWORD_PASSWORD = re.compile(r"(?:^|\s)password\s*=\s*('(?:[^'\\]|\\.)*'?|\S*)")
CONNECT_TIMEOUT = 10  # seconds, where the connection string sets none


def is_uri(path):
    """Whether path names a PostgreSQL database: a URI, or keyword=value
    pairs that are not a file's name."""
    return bool(POSTGRES_SCHEME.match(path)) or bool(KEYWORDS.match(path)) and not os.path.exists(path)


def secrets(uri):
    """What no message may show of a connection string: its password as
    libpq reads it (up to the first @) and as its writer may have meant it
    (up to the last), the pieces libpq may show of that, a password
    parameter or keyword, each raw, percent-decoded and unquoted; and
    PGPASSWORD. Whatever is not a URI of ours is read both ways, as a
    misspelt scheme or a misplaced keyword is still someone's password."""
    from urllib.parse import unquote  # slow to load, and only needed here

    found = {os.environ.get("PGPASSWORD", "")}
    rest = uri.partition("://")[2]
    meant = rest.rpartition("@")[0]
    for userinfo in (meant, re.split("[@/]", rest)[0] if re.match("[^/]*@", rest) else ""):
        password = userinfo.partition(":")[2]
        found.add(password)
        found.update(re.split("[@/?#]", password))
    for parameter in rest.partition("?")[2].split("&"):
        name, _, value = parameter.partition("=")
        if name.lower() == "password":
            found.add(value)
    for value in KEYWORD_PASSWORD.findall(uri):
        found.add(value)
        if value.startswith("'"):
            found.add(re.sub(r"\\(.)", r"\1", value.strip("'")))
    found |= {unquote(secret) for secret in found}
    found.discard("")
    return sorted(found, key=len, reverse=True)


def scrub(text, hidden):
    for secret in hidden:
        text = text.replace(secret, "***")
    return text


def shown(path):
    """The database as messages and the page name it: a connection string
    without its password."""
    return scrub(path, secrets(path)) if is_uri(path) or "=" in path or OTHER_SCHEME.match(path) else path


class Postgres:
    """A PostgreSQL database, its tables in a schema of their own (kelvane),
    reached through psycopg 3, imported only here. It runs the SQL written
    for SQLite (see to_postgres). Gatherers read their logs at the same time,
    each into a table of its own session, and take them in one at a time."""

    MATERIALIZED = "MATERIALIZED "

    def __init__(self, uri, warn):
        self.hidden, self.warn = secrets(uri), warn
        try:
            import psycopg
        except ImportError:
            raise FleetError(NO_PSYCOPG % sys.executable) from None
        self.psycopg = psycopg
        uri = POSTGRES_SCHEME.sub(lambda scheme: scheme.group().lower(), uri, count=1)
        try:
            # A server that takes the connection and never answers must not
            # hold a nightly job for ever.
            given = psycopg.conninfo.conninfo_to_dict(uri)
            timeout = {} if "connect_timeout" in given else {"connect_timeout": CONNECT_TIMEOUT}
            self.connection = psycopg.connect(uri, autocommit=True, fallback_application_name="kelvane-log",
                                              **timeout)
        except psycopg.Error as problem:
            raise FleetError("cannot open the database (%s)" % self.said(problem)) from None
        # The SQL names the tables without their schema. Its big queries
        # run once: compiling them (JIT) costs more than it saves; the units
        # of a million runs are sorted in memory rather than on disk; and
        # in parallel, each worker would group all the runs again.
        self.native("SET search_path TO " + SCHEMA)
        for setting in ("jit = off", "work_mem = '128MB'", "max_parallel_workers_per_gather = 0"):
            self.native("SET " + setting)

    def said(self, problem):
        """What psycopg or the server said, on one line, without a password
        (libpq names a URI it cannot read, and pieces of one it misreads)."""
        return scrub(" ".join(str(problem).split()), self.hidden)

    @contextmanager
    def speaking(self):
        try:
            yield
        except self.psycopg.Error as problem:
            raise DatabaseError(self.said(problem)) from None

    def execute(self, sql, parameters=()):
        return self.native(to_postgres(sql), parameters)

    def executemany(self, sql, rows):
        with self.speaking(), self.connection.cursor() as cursor:
            cursor.executemany(to_postgres(sql), rows)

    def native(self, sql, parameters=()):
        """SQL in PostgreSQL's own words."""
        with self.speaking():
            return self.connection.execute(sql, parameters)

    def rows(self, sql, parameters=()):
        """A query's rows a batch at a time, from a cursor on the server
        (psycopg's own cursor takes them all into memory first), each row as
        one JSON array: psycopg reads every column in Python, json.loads a
        whole row in C, in two thirds of the time."""
        sql = to_postgres(sql)
        with self.speaking(), self.connection.cursor() as cursor:
            names = [column.name for column in cursor.execute("SELECT * FROM (%s) AS query LIMIT 0" % sql,
                                                                 parameters).description]
        with self.speaking(), self.connection.cursor(name="rows", binary=True) as cursor:
            cursor.itersize = 5000
            cursor.execute("SELECT json_build_array(%s)::text FROM (%s) AS query"
                           % (", ".join('query."%s"' % name for name in names), sql), parameters)
            for (row,) in cursor:
                yield tuple(json.loads(row))

    @property
    def in_transaction(self):
        # A connection the server closed has no transaction left to roll
        # back: trying would hide the server's reason behind "the
        # connection is closed".
        return self.connection.info.transaction_status not in (self.psycopg.pq.TransactionStatus.IDLE,
                                                               self.psycopg.pq.TransactionStatus.UNKNOWN)

    def close(self):
        self.connection.close()

    def schema(self):
        """The number in the comment on the runs table (0 for none), and
        the objects of the schema, with no SQL; read in one statement, so
        in one snapshot, as another gatherer may be making them."""
        objects = self.native(CATALOG, {"schema": SCHEMA}).fetchall()
        comment = dict(((kind, name), comment) for kind, name, comment in objects).get(("table", "runs")) or ""
        number = comment[len(VERSION_COMMENT):] if comment.startswith(VERSION_COMMENT) else ""
        return int(number) if number.isdigit() else 0, sorted((kind, name, "") for kind, name, _ in objects)

    def set_version(self, version):
        self.native("COMMENT ON TABLE runs IS '%s%d'" % (VERSION_COMMENT, version))

    def as_listed(self, objects):
        """Objects as SQLite lists them, as schema gives them here: without
        their SQL (the server writes its own), and without indexes, which a
        DBA may add."""
        return sorted((kind, name, "") for kind, name, _ in objects if kind != "index")

    def make_schema(self):
        if self.native("SELECT to_regnamespace(%s)", (SCHEMA,)).fetchone()[0] is None:
            self.native("CREATE SCHEMA " + SCHEMA)

    def schema_made(self):
        """Committed at once, the lock with it: gatherers started together
        wait only for the schema, not for the first one's whole gathering."""
        self.native("COMMIT")
        self.begin_writing()

    def begin_writing(self):
        # A statement's snapshot is taken when it starts, so the one taking
        # runs in sees what every writer before it committed.
        self.native("BEGIN ISOLATION LEVEL READ COMMITTED")

    def begin_reading(self):
        """A snapshot that writes nothing, so a role that may only read
        reads every report; one that may not is told what it lacks."""
        self.native("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY")
        role, usage, unreadable = self.native(
            "SELECT current_user::text, has_schema_privilege(ours.oid, 'USAGE'), array(SELECT relname::text"
            " FROM pg_class WHERE relnamespace = ours.oid AND relkind IN ('r', 'v')"
            " AND NOT has_table_privilege(pg_class.oid, 'SELECT') ORDER BY relname)"
            " FROM pg_namespace ours WHERE nspname = %s", (SCHEMA,)).fetchone() or (None, True, [])
        if not usage:
            raise FleetError("the role %s may not use the schema %s (GRANT USAGE ON SCHEMA %s TO %s)"
                             % (role, SCHEMA, SCHEMA, role))
        if unreadable:
            raise FleetError("the role %s may not read %s (GRANT SELECT ON ALL TABLES IN SCHEMA %s TO %s)"
                             % (role, ", ".join(unreadable), SCHEMA, role))


    def lock_writers(self):
        self.native("SELECT pg_advisory_xact_lock(%s)", (WRITERS_LOCK,))

    def stage(self, rows):
        """The rows in a table of this session's, gone at the commit; their
        order is kept in seq."""
        self.native("CREATE TEMPORARY TABLE incoming ON COMMIT DROP AS SELECT 0::bigint AS seq, log, %s,"
                    " serial AS real, 0::bigint AS size FROM runs"
                    " WITH NO DATA" % ", ".join(COLUMNS))
        with self.speaking(), self.connection.cursor() as cursor, cursor.copy("COPY incoming FROM STDIN") as copy:
            lines, files = [], []
            for seq, row in enumerate(rows):
                lines.append("%d\t%s\n" % (seq, "\t".join("\\N" if value is None else str(value)
                                                           if value.__class__ is int else copy_text(given_back(value))
                                                           for value in row)))
                files.append(given_back(row[1]))
                if len(lines) == 1000:
                    copy.write(self.kept(lines, files))
                    lines, files = [], []
            copy.write(self.kept(lines, files))
        return "incoming"

    def kept(self, lines, files):
        """The lines as UTF-8, where PostgreSQL's text cannot hold U+0000 nor
        a lone surrogate (of a log's UTF-16, or of a file name's undecodable
        bytes), which SQLite keeps: those become U+FFFD, and the log is named
        in a warning."""
        text = "".join(lines)
        try:
            data = text.encode("utf-8")
            if b"\0" not in data:
                return data
        except UnicodeEncodeError:
            pass
        for index, line in enumerate(lines):
            lines[index] = UNKEEPABLE.sub("\ufffd", line)
            if lines[index] != line:
                self.warn(files[index], None, "U+0000 or a lone surrogate in a value, which PostgreSQL cannot keep:"
                                              " kept as U+FFFD")
        return "".join(lines).encode("utf-8")

    def upsert(self, table, ahead):
        self.execute(MERGE % table)
        for statement in SETTLE:
            self.execute(statement)
        return self.execute(KEEP, (ahead,)).rowcount


# Filesystems whose locking SQLite cannot rely on.
NETWORK_FILESYSTEMS = ("nfs", "nfs4", "cifs", "smb3", "smbfs")


def network_filesystem(path):
    """Where path lies when that is on another machine ("a network
    filesystem (nfs4)", "a Windows share"), else None."""
    if os.name == "nt":
        full = os.path.abspath(path)
        if windows_share(full):
            return "a Windows share"
        import ctypes
        remote = ctypes.windll.kernel32.GetDriveTypeW(os.path.splitdrive(full)[0] + "\\") == 4  # DRIVE_REMOTE
        return "a network drive" if remote else None
    try:
        with open("/proc/self/mountinfo", encoding="utf-8", errors="surrogateescape") as table:
            kind = mount_type(os.path.realpath(path), table.read())
    except OSError:
        return None
    return "a network filesystem (%s)" % kind if kind in NETWORK_FILESYSTEMS else None


def mount_type(path, mountinfo):
    """The filesystem type of the deepest mount that holds path, from the
    text of /proc/self/mountinfo (of two on one point, the later one)."""
    found, deepest = None, -1
    for line in mountinfo.splitlines():
        fields = line.split(" ")
        if "-" not in fields[6:]:
            continue
        point = re.sub(r"\\([0-7]{3})", lambda octal: chr(int(octal.group(1), 8)), fields[4])
        inside = path == point or path.startswith(point.rstrip("/") + "/")
        if inside and len(point) >= deepest:
            found, deepest = fields[fields.index("-", 6) + 1], len(point)
    return found


def windows_share(path):
    """True for a UNC path (\\\\server\\share\\..., also as \\\\?\\UNC\\...)."""
    path = path.replace("/", "\\")
    return path.upper().startswith("\\\\?\\UNC\\") or (
        path.startswith("\\\\") and not path.startswith(("\\\\?\\", "\\\\.\\")))
