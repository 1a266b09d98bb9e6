"""Taking a gathering's runs in: each run's log, unit, order key and clock
flag worked out by the database from whole logs, in one transaction.
"""

import datetime
import json
import signal
from contextlib import contextmanager

from ..gather import Kept, log_identity, read_ahead
from ..reader import FIELDS, Settled
from ..serials import is_placeholder
from .schema import (BATCH, COLUMNS, ENGINE, FILE_COLUMNS, SCHEMA_VERSION, UNTRUSTED, check_schema, given_back,
                     is_placeholder_sql, keeping, kept, runs_table, upgrade)
from .summaries import NOTING, SUMS, bring_up_to_date


# Everything but the key and what a log is given when it is first gathered
# (its file and machine); a run is written again only where one of them differs.
VALUES = COLUMNS[2:-1] + ("unit", "ordered", "clock")
KEEP = keeping("gathered") + " ON CONFLICT (log, run, started) DO UPDATE SET %s WHERE (%s) %s (%s)" % (
    ", ".join("%s = excluded.%s" % (name, name) for name in VALUES), ", ".join("runs." + name for name in VALUES),
    ENGINE["differs"], ", ".join("excluded." + name for name in VALUES))
# A gathering's runs, each copy of a log with its number of runs (size): of
# copies that differ, the longest gives the runs. A copy read on from its
# settled place holds its runs from there on; settled says how many came
# before them (else 0). A log known by its path until this gathering knew
# it by its beginning: was, the path it was known by.
GATHERED = runs_table("gathered", "log, run, date, time", "\n    log TEXT NOT NULL,\n    real TEXT,"
                      "\n    size INTEGER NOT NULL,\n    settled INTEGER NOT NULL,\n    was TEXT,").replace(
                          "CREATE TABLE", "CREATE TEMP TABLE")
GATHER = "INSERT INTO gathered (log, %s, real, size, settled, was) VALUES (%s) ON CONFLICT (log, run, date, time)" \
         " DO UPDATE SET %s WHERE excluded.size > gathered.size" % (
             ", ".join(COLUMNS), ", ".join([ENGINE["placeholder"]] * (len(COLUMNS) + 5)),
             ", ".join("%s = excluded.%s" % (name, name)
                       for name in COLUMNS[2:] + ("file", "real", "size", "settled", "was")))
# A log read on from its settled place is worked out whole: its runs kept
# before that place join the gathered ones (a later run's serial may give
# an earlier one its unit; the order key runs on from the runs before).
RESTAGE = ("INSERT INTO gathered (log, %s, real, size, settled) SELECT DISTINCT k.log, %s,"
           " CASE WHEN NOT %s THEN k.serial END, g.size, 0 FROM runs AS k JOIN (SELECT log, max(settled) AS settled,"
           " max(size) AS size FROM gathered WHERE settled > 0 GROUP BY log) AS g ON g.log = k.log"
           " AND k.run <= g.settled WHERE NOT EXISTS (SELECT 1 FROM gathered AS o WHERE o.log = k.log"
           " AND o.run = k.run AND o.date = k.date AND o.time = k.time)"
           % (", ".join(COLUMNS), ", ".join("k." + name for name in COLUMNS), is_placeholder_sql("k.serial")))
# A log first gathered before its first run had logged its serial number is
# known by its path; once it is known by its beginning, the runs kept under
# its path are its own: they are moved to the identity it has now (an
# UPDATE: each keeps its place and start), and taken in from there as the
# rest of the log.
MOVE = ("UPDATE runs SET log = (SELECT min(g.log) FROM gathered AS g WHERE g.was = runs.log)"
        " WHERE log IN (SELECT was FROM gathered WHERE was IS NOT NULL) AND NOT EXISTS (SELECT 1 FROM runs AS k"
        " WHERE k.log = (SELECT min(g.log) FROM gathered AS g WHERE g.was = runs.log) AND k.run = runs.run"
        " AND k.started = runs.started)")
# What a gathering read of each file, in the order read (seq).
READING = "CREATE TEMP TABLE reading AS SELECT 0 AS seq, %s FROM files WHERE 1 = 0" % ", ".join(FILE_COLUMNS)
READ = "INSERT INTO reading (seq, %s) VALUES (%s)" % (
    ", ".join(FILE_COLUMNS), ", ".join([ENGINE["placeholder"]] * (len(FILE_COLUMNS) + 1)))
# Each file as last read.
FILED = "INSERT INTO files (%s) SELECT %s FROM reading AS r WHERE NOT EXISTS (SELECT 1 FROM reading AS o" \
        " WHERE o.path = r.path AND o.seq > r.seq) ON CONFLICT (path) DO UPDATE SET %s" % (
            ", ".join(FILE_COLUMNS), ", ".join("r." + name for name in FILE_COLUMNS),
            ", ".join("%s = excluded.%s" % (name, name) for name in FILE_COLUMNS[1:]))
KNOWN = "SELECT %s FROM files WHERE path IN (%%s)" % ", ".join(FILE_COLUMNS)
# The files from one path to another, in the table's own order, at most a
# number of them. A walk gives a folder's files side by side: the paths of
# a batch are a short stretch of that order, read in one pass rather than
# looked up one by one.
KNOWN_BETWEEN = "SELECT %s FROM files WHERE path >= {0} AND path <= {0} ORDER BY path LIMIT {0}".format(
    ENGINE["placeholder"]) % ", ".join(FILE_COLUMNS)
# Before the gathered runs are kept: a copy shorter than the log kept gives
# nothing (its runs are the kept ones); a log kept before keeps the file and
# machine it was first gathered from, which also name a unit that is a log.
# Into a database that kept runs before, NOTING follows (see settling).
SETTLE = (
    "DELETE FROM gathered WHERE log IN (SELECT g.log FROM (SELECT log, max(run) AS last FROM gathered GROUP BY log)"
    " AS g WHERE EXISTS (SELECT 1 FROM runs WHERE runs.log = g.log AND runs.run > g.last))",
    "UPDATE gathered SET (file, machine) = (SELECT k.file, k.machine FROM runs AS k WHERE k.log = gathered.log"
    " LIMIT 1) WHERE EXISTS (SELECT 1 FROM runs AS k WHERE k.log = gathered.log AND (k.file <> gathered.file"
    " OR k.machine <> gathered.machine))",
)


def settling(fresh):
    """SETTLE, and what the sums must be brought up to date for, unless the
    gathering began with no runs kept (fresh): then they are made whole."""
    return SETTLE if fresh else SETTLE + NOTING


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


def known_files(db, reals):
    """What the database keeps of the files at real paths reals, a
    gather.Kept by real path, for those it keeps."""
    keys = dict((given_back(db.keyed(real)), real) for real in reals)
    # Text sorts as the table sorts it (by code point); a path kept as a
    # BLOB sorts apart, and is looked up by itself.
    texts = sorted(key for key in keys if db.keyed(key).__class__ is str)
    rows, most = [], 2 * len(keys) + 16
    if texts:
        rows = db.lookup(KNOWN_BETWEEN, [texts[0], texts[-1], most], FILE_COLUMNS)
        # So many files between them that the paths are not side by side.
        if len(rows) == most:
            rows = []
    between = set(given_back(row[0]) for row in rows)
    left = [db.keyed(key) for key in keys if key not in between]
    if left:
        rows += db.lookup(KNOWN % ", ".join([ENGINE["placeholder"]] * len(left)), left, FILE_COLUMNS)
    found = {}
    for row in rows:
        path, size, mtime, head, digest, log, offset, run, form, base, runs = row
        path = given_back(path)
        if path in keys:
            found[keys[path]] = Kept(size, mtime, head, digest, given_back(log),
                                     Settled(offset, run, form, base), runs)
    return found


# Runs handed from the thread that reads the logs to the database at a
# time, and how many such handfuls it may read ahead.
HANDFUL = 512
AHEAD = 16


def handfuls(records, gathering, keyed, seen):
    """The rows of (machine, record) pairs, HANDFUL at a time, each handful
    with what the gathering read of each file since the one before, as
    keep_read stages it (keyed: the database's own). seen[0] counts the
    records."""
    some = []
    for row in runs_of(records, gathering, seen):
        some.append(row)
        if len(some) >= HANDFUL:
            yield some, taken(gathering, keyed)
            some = []
    yield some, taken(gathering, keyed)


def taken(gathering, keyed):
    """What the gathering read of each file since the last call, as READ
    stages it but for the seq."""
    if gathering is None:
        return []
    return [(keyed(read.path), read.size, read.mtime, read.head, read.digest,
             None if read.log is None else keyed(read.log), read.place.offset, read.place.run, read.place.form,
             read.place.base, read.runs) for read in gathering.taken()]


def runs_of(records, gathering, seen):
    """Each run as gathered holds it: its log's identity, its columns, its
    serial where that is no placeholder, the number of runs of its copy of
    the log, how many of them come before the first given, and the path it
    was known by where it is known by its beginning from now on (see
    MOVE)."""
    head = FIELDS[:FIELDS.index("views")]
    untrusted = [head.index(name) for name in UNTRUSTED if name in head]
    log, file, copy, size, settled, was = None, None, [], None, 0, None
    logged = real = None  # the serial logged last, and what it is as a unit's
    for machine, record in records:
        seen[0] += 1
        if record["file"] != file:
            for row in copy:
                yield row + (size or len(copy), settled, was)
            if gathering is None:
                identity, settled, size, was = log_identity(record), 0, None, None
            else:
                identity, settled, size, was = gathering.reading
                was = kept(was)
            log, file, copy = kept(identity), record["file"], []
        row = [record[name] for name in head]
        for at in untrusted:
            row[at] = kept(row[at])
        if record["serial"] != logged:
            logged = record["serial"]
            real = None if logged is None or is_placeholder(logged) else kept(logged)
        copy.append((log,) + tuple(row) + (json.dumps(record["views"]), record["marker"],
                                           int(record["interleaved"]), kept(machine), real))
    for row in copy:
        yield row + (size or len(copy), settled, was)


def keep_read(db, reads, seq):
    """Stages reads (see taken), numbered from seq on; returns the next seq."""
    if reads:
        db.executemany(READ, [(seq + at,) + read for at, read in enumerate(reads)])
    return seq + len(reads)


def ingest(db, records, now=None, gathering=None):
    """Keeps (machine, record) pairs in the database, all in one transaction,
    a database of an older schema upgraded first: what fails or is killed
    half-way leaves the database as it was. Returns the number of runs that
    are new, updated and unchanged. With the gathering (a gather.Gathering)
    whose records they are: it asks the database what it keeps of each
    file, what it read of each is kept with the runs, and the runs of the
    logs it did not read again count as unchanged. A run first kept with a
    start more than a day after now (the gathering's time, see ahead_of) is
    flagged as a clock set ahead, for good. The records are read with the writers'
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
        if gathering is not None:
            db.execute(READING)
            # Each file's last reading is looked up by its path.
            db.execute("CREATE INDEX reading_by_path ON reading (path, seq)")
            # Files are kept at the end: a database that keeps none has none
            # to look up.
            if db.execute("SELECT count(*) FROM (SELECT 1 FROM files LIMIT 1) AS kept").fetchone()[0]:
                gathering.known = lambda reals: known_files(db, reals)
        seen = [0]

        def rows():
            """The rows of the records (see runs_of), read in a thread of
            their own while the database takes in those before, where the
            connection may be used from both (the reading asks it what it
            keeps of the files); what was read of each file staged as it
            comes."""
            reads, seq = [], 0
            deep = AHEAD if gathering is None or db.shared else 0
            for some, read in read_ahead(handfuls(records, gathering, db.keyed, seen), deep):
                reads += read
                if len(reads) >= BATCH:
                    seq = keep_read(db, reads, seq)
                    reads = []
                yield from some
            keep_read(db, reads, seq)

        staged = db.stage(rows())
        db.lock_writers()
        before = db.execute("SELECT count(*) FROM runs").fetchone()[0]
        with indexed_once_filled(db, ("runs",), before == 0):
            changed = db.upsert(staged, ahead, before == 0)
        if gathering is not None:
            db.execute(FILED)
            db.execute("DROP TABLE reading")
            seen[0] += gathering.carried
        with indexed_once_filled(db, SUMS, before == 0):
            bring_up_to_date(db, whole=before == 0)
        added = db.execute("SELECT count(*) FROM runs").fetchone()[0] - before
        commit_whole(db)
    except BaseException:
        if db.in_transaction:
            db.execute("ROLLBACK")
        raise
    return added, changed - added, seen[0] - changed


@contextmanager
def indexed_once_filled(db, tables, empty):
    """Into tables that held no rows (empty), their indexes are made once
    they hold all of them (see drop_indexes), not kept up to date a row at
    a time. What fails meanwhile is rolled back, indexes and all."""
    remade = db.drop_indexes(tables) if empty else []
    yield
    for sql in remade:
        db.execute(sql)


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
