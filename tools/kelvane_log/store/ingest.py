"""Taking a gathering's runs in: each run's log, unit, order key and clock
flag worked out by the database from whole logs, in one transaction.
"""

import datetime
import json
import signal

from ..gather import log_identity
from ..reader import FIELDS
from ..serials import is_placeholder
from .schema import (BATCH, COLUMNS, ENGINE, SCHEMA_VERSION, UNTRUSTED, check_schema, keeping, kept, runs_table,
                     upgrade)
from .summaries import NOTING, bring_up_to_date


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
) + NOTING  # and what the sums must be brought up to date for


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
        bring_up_to_date(db)
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
