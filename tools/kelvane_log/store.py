"""The fleet database: the only module that speaks SQL. Its schema, the
connection, keeping records and giving them back, and the report's figures
grouped by the database, so that a million runs never sit in memory.
"""

import json
import os
import signal
import sqlite3
from pathlib import Path

from .reader import FIELDS, OUTCOMES

SCHEMA_VERSION = 1
# Kept as written here: a database is ours when its one table reads exactly so.
RUNS_TABLE = """CREATE TABLE runs (
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
COLUMNS = FIELDS + ("machine",)
# Everything but the key; a run is written again only where one of them differs.
VALUES = COLUMNS[2:]
UPSERT = "INSERT INTO runs VALUES (%s) ON CONFLICT (file, run) DO UPDATE SET %s WHERE (%s) IS NOT (%s)" % (
    ", ".join("?" * len(COLUMNS)), ", ".join("%s = excluded.%s" % (name, name) for name in VALUES),
    ", ".join(VALUES), ", ".join("excluded." + name for name in VALUES))


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


def begin_reading(db):
    """One snapshot for all that is read next, so that every figure counts
    the same runs; a database that is not ours is refused."""
    db.execute("BEGIN")
    check_schema(db, create=False)


def check_schema(db, create):
    """True when the database is empty and create asks for the table to be
    made; raises FleetError for a database that is not a fleet database of
    ours. Only reads: a database refused here is left as it was."""
    objects = db.execute("SELECT type, name, sql FROM sqlite_master").fetchall()
    version = db.execute("PRAGMA user_version").fetchone()[0]
    if version > SCHEMA_VERSION:
        raise FleetError("made by a newer kelvane-log (schema version %d; this one knows %d)"
                         % (version, SCHEMA_VERSION))
    if version == SCHEMA_VERSION and objects == [("table", "runs", RUNS_TABLE)]:
        return False
    # An empty file is an empty database: also what a killed first gathering leaves.
    if create and version == 0 and not objects:
        return True
    names = ", ".join(sorted(name for _, name, _ in objects)) or "none"
    raise FleetError("not a kelvane-log fleet database (schema version %d, tables and indexes: %s)"
                     % (version, names))


def ingest(db, records):
    """Keeps (machine, record) pairs in the database, all in one transaction:
    what fails or is killed half-way leaves the database as it was. Returns
    the number of runs that are new, updated and unchanged."""
    db.execute("BEGIN IMMEDIATE")
    try:
        if check_schema(db, create=True):
            db.execute(RUNS_TABLE)
            db.execute("PRAGMA user_version = %d" % SCHEMA_VERSION)
        before = db.execute("SELECT count(*) FROM runs").fetchone()[0]
        seen = 0
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

        # An unchanged run is no change: rowcount counts the rows written.
        changed = db.executemany(UPSERT, rows()).rowcount
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
    log's path, then the run's place in it."""
    for row in db.execute("SELECT %s FROM runs ORDER BY file, run" % ", ".join(COLUMNS)):
        if bytes in map(type, row):
            row = tuple(map(given_back, row))
        record = dict(zip(FIELDS, row))
        record["views"] = json.loads(record["views"])
        record["interleaved"] = bool(record["interleaved"])
        yield row[-1], record


LISTED = 100        # runs to look at, newest first; the rest are counted
# A run's date is MM/DD/YY; every run is of this century.
# Within a second, a log's later run is the newer one.
NEWEST_FIRST = "substr(date, 7, 2) DESC, substr(date, 1, 5) DESC, time DESC, file, run DESC"
TO_LOOK_AT = "outcome IN ('FAIL', 'INCOMPLETE') OR interleaved"


def day_order(date):
    return "20%s-%s-%s" % (date[6:8], date[0:2], date[3:5])


def report_figures(db):
    """Every figure of the page, grouped by the database."""
    days = {}
    interleaved = to_look_at = 0
    for date, outcome, mixed, count in db.execute(
            "SELECT date, outcome, interleaved, count(*) FROM runs GROUP BY date, outcome, interleaved"):
        day = days.setdefault(date, dict.fromkeys(OUTCOMES, 0))
        day[outcome] = day.get(outcome, 0) + count
        interleaved += count if mixed else 0
        to_look_at += count if mixed or outcome in ("FAIL", "INCOMPLETE") else 0
    days = sorted(days.items(), key=lambda item: day_order(item[0]))
    outcomes = {outcome: sum(day[outcome] for _, day in days) for outcome in OUTCOMES}
    return {
        "days": days, "outcomes": outcomes, "runs": sum(outcomes.values()), "interleaved": interleaved,
        "logs": db.execute("SELECT count(DISTINCT file) FROM runs").fetchone()[0],
        "reasons": db.execute("SELECT coalesce(failed, ''), count(*) FROM runs WHERE failed IS NOT NULL"
                              " OR outcome = 'FAIL' GROUP BY failed ORDER BY 2 DESC, 1").fetchall(),
        "locs": [(given_back(loc), count) for loc, count in db.execute(
            "SELECT coalesce(loc, ''), count(*) FROM runs GROUP BY loc ORDER BY 2 DESC, 1")],
        "to_look_at": to_look_at,
        "listed": [tuple(map(given_back, row)) for row in db.execute(
            "SELECT machine, date, time, serial, outcome, failed, interleaved FROM runs WHERE "
            + TO_LOOK_AT + " ORDER BY " + NEWEST_FIRST + " LIMIT ?", (LISTED,))],
    }
