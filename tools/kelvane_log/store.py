"""The fleet database: the only module that speaks SQL. Its schema and the
steps that brought it there, the connection, keeping records and giving
them back, and the figures grouped by the database, so that a million runs
never sit in memory.

The SQL is written for SQLite and PostgreSQL alike; what the two say
differently is kept in ENGINE and in the functions that use it.
"""

import json
import os
import signal
import sqlite3
import tempfile
from contextlib import closing, contextmanager
from functools import lru_cache
from pathlib import Path

from .reader import FIELDS, OUTCOMES

# How SQLite says what engines say differently: a parameter's placeholder,
# the comparison for which two NULLs are alike, and a table kept in the order
# of its key. (Where the schema version lives: schema_version below.)
ENGINE = {"placeholder": "?", "differs": "IS NOT", "clustered": " WITHOUT ROWID"}

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


# What the database itself may raise, besides FleetError.
DATABASE_ERRORS = (sqlite3.Error,)


def schema_version(db):
    return db.execute("PRAGMA user_version").fetchone()[0]


def set_schema_version(db, version):
    db.execute("PRAGMA user_version = %d" % version)


def connect(path, create, scratch=False):
    """A connection to the SQLite database at path, made when missing only if
    create. Transactions are begun and ended by hand. A gathering waits for
    reports being read to finish before it commits, and a report for a
    gathering's commit, each up to a minute. A scratch database (the page
    straight from logs) is thrown away afterwards: it keeps no journal."""
    mode = "rwc" if create else "rw"
    try:
        db = sqlite3.connect("%s?mode=%s" % (Path(os.path.abspath(path)).as_uri(), mode),
                             uri=True, isolation_level=None, timeout=60)
    except sqlite3.Error as problem:
        raise FleetError("cannot open the database (%s)" % problem) from None
    try:
        db.execute("SELECT count(*) FROM sqlite_master")
    except sqlite3.DatabaseError as problem:
        db.close()
        raise FleetError("not a SQLite database (%s)" % problem) from None
    if scratch:
        db.execute("PRAGMA journal_mode = OFF")
        db.execute("PRAGMA synchronous = OFF")
    return db


def schema_objects(db):
    return sorted((kind, name, sql or "") for kind, name, sql in db.execute("SELECT type, name, sql FROM sqlite_master"))


@lru_cache(maxsize=None)
def objects_of(version):
    """The tables, indexes and views a database of version holds: what its
    steps make of an empty database."""
    with closing(sqlite3.connect(":memory:", isolation_level=None)) as db:
        upgrade(db, 0, version)
        return schema_objects(db)


def upgrade(db, version, to=SCHEMA_VERSION):
    for _, statements in STEPS[version:to]:
        for statement in statements:
            db.execute(statement)
    set_schema_version(db, to)


def check_schema(db, create):
    """The schema version of a fleet database of ours, 0 for an empty one that
    create may make; raises FleetError for any other. Only reads: a database
    refused here is left as it was."""
    objects = schema_objects(db)
    version = schema_version(db)
    if version > SCHEMA_VERSION:
        raise FleetError("made by a newer kelvane-log (schema version %d; this one knows %d)"
                         % (version, SCHEMA_VERSION))
    if version > 0 and objects == objects_of(version):
        return version
    # An empty file is an empty database: also what a killed first gathering leaves.
    if create and version == 0 and not objects:
        return 0
    names = ", ".join(sorted(name for _, name, _ in objects)) or "none"
    raise FleetError("not a kelvane-log fleet database (schema version %d, tables and indexes: %s)"
                     % (version, names))


@contextmanager
def reading(path):
    """The database at path, to be read in one snapshot, so that every figure
    counts the same runs; a database that is not ours is refused. One of an
    older schema is read through an upgraded copy in a temporary folder: the
    file itself is left as it was."""
    with closing(connect(path, create=False)) as db:
        db.execute("BEGIN")
        version = check_schema(db, create=False)
        if version == SCHEMA_VERSION:
            yield db
            return
        with tempfile.TemporaryDirectory(prefix="kelvane-log-") as folder:
            with closing(connect(os.path.join(folder, "fleet.sqlite"), create=True, scratch=True)) as copy:
                db.backup(copy)
                db.close()
                copy.execute("BEGIN")
                upgrade(copy, version)
                yield copy


# Everything but the key; a run is written again only where one of them differs.
VALUES = COLUMNS[2:] + ("unit",)
KEEP = "INSERT INTO runs (%s, started, unit) %s WHERE true ON CONFLICT (file, run, started) DO UPDATE SET %s" \
       " WHERE (%s) %s (%s)" % (
           ", ".join(COLUMNS), with_units("gathered"), ", ".join("%s = excluded.%s" % (name, name) for name in VALUES),
           ", ".join("runs." + name for name in VALUES), ENGINE["differs"], ", ".join("excluded." + name for name in VALUES))
GATHERED = runs_table("gathered", "file, run, date, time").replace("CREATE TABLE", "CREATE TEMP TABLE")
GATHER = "INSERT INTO gathered VALUES (%s) ON CONFLICT DO NOTHING" % ", ".join([ENGINE["placeholder"]] * len(COLUMNS))
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


def ingest(db, records):
    """Keeps (machine, record) pairs in the database, all in one transaction,
    a database of an older schema upgraded first: what fails or is killed
    half-way leaves the database as it was. Returns the number of runs that
    are new, updated and unchanged."""
    db.execute("BEGIN IMMEDIATE")
    try:
        version = check_schema(db, create=True)
        if version < SCHEMA_VERSION:
            upgrade(db, version)
        before = db.execute("SELECT count(*) FROM runs").fetchone()[0]
        seen = changed = 0
        head = FIELDS[:FIELDS.index("views")]
        untrusted = [head.index(name) for name in UNTRUSTED if name in head]

        def rows():
            nonlocal seen
            for machine, record in records:
                seen += 1
                row = [record[name] for name in head]
                for at in untrusted:
                    row[at] = kept(row[at])
                yield tuple(row) + (json.dumps(record["views"]), record["marker"], int(record["interleaved"]),
                                    kept(machine))

        db.execute(GATHERED)
        for batch in in_whole_logs(rows()):
            db.executemany(GATHER, batch)
            # An unchanged run is no change: rowcount counts the rows written.
            changed += db.execute(KEEP).rowcount
            db.execute("DELETE FROM gathered")
        db.execute("DROP TABLE gathered")
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


def stored_records(db):
    """(machine, record) for each run kept, in the order of the key: by the
    log's path, then the run's place in it, then its start."""
    for row in db.execute("SELECT %s FROM runs ORDER BY file, run, started" % ", ".join(COLUMNS)):
        if bytes in map(type, row):
            row = tuple(map(given_back, row))
        record = dict(zip(FIELDS, row))
        record["views"] = json.loads(record["views"])
        record["interleaved"] = bool(record["interleaved"])
        yield row[-1], record


def stored_units(db):
    """One record per unit, in order of the unit."""
    for row in db.execute("SELECT %s FROM units ORDER BY unit" % ", ".join(UNIT_FIELDS)):
        yield dict(zip(UNIT_FIELDS, map(given_back, row)))


LISTED = 100        # runs and open units to look at, newest first; the rest are counted
BUILDS_LISTED = 20
# Within a second, a log's later run is the newer one.
NEWEST_FIRST = "started DESC, file, run DESC"
TO_LOOK_AT = "outcome IN ('FAIL', 'INCOMPLETE') OR interleaved = 1"
# Passing runs that wrote the value, and that found both views already set.
WROTE = """outcome = 'PASS' AND views LIKE '%"action": "overwritten"%'"""
BOTH_SET = """outcome = 'PASS' AND views LIKE '%"action": "kept"%"action": "kept"%'"""


def day_order(date):
    return "20%s-%s-%s" % (date[6:8], date[0:2], date[3:5])


def logged_date(day):
    """A day YYYY-MM-DD as the run header writes it."""
    return "%s/%s/%s" % (day[5:7], day[8:10], day[2:4])


def report_figures(db):
    """Every figure of the page, grouped by the database. The runs are
    counted in one pass, by day, outcome, LOC and reason; the units are
    worked out once, into a table of the connection's own that the unit
    figures then read."""
    days, locs, reasons = {}, {}, {}
    interleaved = to_look_at = wrote = both_set = 0
    for date, outcome, mixed, loc, failed, count, wrote_here, set_here in db.execute(
            "SELECT date, outcome, interleaved, loc, failed, count(*), count(CASE WHEN %s THEN 1 END),"
            " count(CASE WHEN %s THEN 1 END) FROM runs GROUP BY date, outcome, interleaved, loc, failed"
            % (WROTE, BOTH_SET)):
        day = days.setdefault(date, dict.fromkeys(OUTCOMES, 0))
        day[outcome] = day.get(outcome, 0) + count
        interleaved += count if mixed else 0
        to_look_at += count if mixed or outcome in ("FAIL", "INCOMPLETE") else 0
        wrote += wrote_here
        both_set += set_here
        loc = given_back(loc) or ""
        locs[loc] = locs.get(loc, 0) + count
        if failed is not None or outcome == "FAIL":
            reasons[failed or ""] = reasons.get(failed or "", 0) + count
    days = sorted(days.items(), key=lambda item: day_order(item[0]))
    outcomes = {outcome: sum(day[outcome] for _, day in days) for outcome in OUTCOMES}
    # Failure reasons, the most frequent first, each with the failing runs up to it.
    pareto, failing = [], 0
    for reason, count in sorted(reasons.items(), key=lambda item: (-item[1], item[0])):
        failing += count
        pareto.append((reason, count, failing))

    db.execute("DROP TABLE IF EXISTS page_units")
    db.execute("CREATE TEMP TABLE page_units AS SELECT * FROM units")
    units = dict(zip(("units", "passed_first", "done", "open_units", "retested", "no_office", "runs_without_unit"),
                     db.execute(UNIT_FIGURES.format(units="page_units")).fetchone()))
    figures = {
        "days": days, "outcomes": outcomes, "runs": sum(outcomes.values()), "interleaved": interleaved,
        "wrote": wrote, "both_set": both_set,
        "logs": db.execute("SELECT count(*) FROM (SELECT file FROM runs GROUP BY file) AS logs").fetchone()[0],
        "reasons": pareto,
        "locs": sorted(locs.items(), key=lambda item: (-item[1], item[0])),
        "to_look_at": to_look_at,
        "listed": [tuple(map(given_back, row)) for row in db.execute(
            "SELECT machine, date, time, serial, outcome, failed, interleaved FROM runs WHERE "
            + TO_LOOK_AT + " ORDER BY " + NEWEST_FIRST + " LIMIT %d" % LISTED)],
        "units": units,
        "open": [tuple(map(given_back, row)) for row in db.execute(
            "SELECT unit, machine, last_started, runs, reason FROM page_units WHERE state = 'open'"
            " ORDER BY last_started DESC, unit LIMIT %d" % LISTED)],
        "unit_days": {logged_date(day): (count, passed) for day, count, passed
                      in db.execute(UNIT_DAYS.format(units="page_units"))},
    }
    figures["builds"], more = [], [0, 0]
    for row in db.execute("SELECT * FROM (%s) AS builds ORDER BY units DESC, build_id IS NULL, build_id"
                          % UNIT_BUILDS.format(units="page_units")):
        if len(figures["builds"]) < BUILDS_LISTED:
            figures["builds"].append((given_back(row[0]),) + tuple(row[1:]))
        else:
            more[0] += 1
            more[1] += row[1]
    figures["builds_more"] = tuple(more)
    return figures
