"""The fleet database: the only module that speaks SQL. Its schema, the
connection, keeping records and giving them back, and the report's figures
grouped by the database, so that a million runs never sit in memory.

The database is a SQLite file, or a PostgreSQL database named by a
connection URI that gatherers on many machines write into at once. The SQL
here is written once, in SQLite's words; the few ways PostgreSQL differs sit
in the two connection classes at the end of this file and in to_postgres.
"""

import json
import os
import re
import signal
import sqlite3
import sys
from contextlib import contextmanager
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
# What the database holds when it is ours: (type, name, SQL) as SQLite lists them.
OBJECTS = [("table", "runs", RUNS_TABLE)]
# Everything but the key; a run is written again only where one of them differs.
VALUES = COLUMNS[2:]
# Every column qualified: PostgreSQL has both rows in scope.
IF_CHANGED = "ON CONFLICT (file, run) DO UPDATE SET %s WHERE (%s) IS NOT (%s)" % (
    ", ".join("%s = excluded.%s" % (name, name) for name in VALUES),
    ", ".join("runs." + name for name in VALUES), ", ".join("excluded." + name for name in VALUES))
UPSERT = "INSERT INTO runs VALUES (%s) " % ", ".join("?" * len(COLUMNS)) + IF_CHANGED


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


def connect(path, create, scratch=False, warn=None):
    """A connection to the fleet database: a PostgreSQL URI's, or the SQLite
    database at path, made when missing only if create. Transactions are
    begun and ended by hand. A SQLite gathering waits for reports being read
    to finish before it commits, and a report for a gathering's commit, each
    up to a minute. A scratch database (the page straight from logs) is
    thrown away afterwards: it keeps no journal. warn(path, offset, what) is
    told of values the database cannot keep as they are."""
    if is_uri(path):
        return Postgres(path, warn or (lambda path, offset, what: None))
    mode = "rwc" if create else "rw"
    try:
        db = sqlite3.connect("%s?mode=%s" % (Path(os.path.abspath(path)).as_uri(), mode),
                             uri=True, isolation_level=None, timeout=60, factory=SQLite)
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
    db.begin_reading()
    check_schema(db, create=False)


def check_schema(db, create):
    """True when the database is empty and create asks for the table to be
    made; raises FleetError for a database that is not a fleet database of
    ours. Only reads: a database refused here is left as it was."""
    version, objects = db.schema()
    if version > SCHEMA_VERSION:
        raise FleetError("made by a newer kelvane-log (schema version %d; this one knows %d)"
                         % (version, SCHEMA_VERSION))
    if version == SCHEMA_VERSION and objects == db.as_listed(OBJECTS):
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
    the number of runs that are new, updated and unchanged. The records are
    read with the writers' lock held (SQLite), or kept aside first and taken
    in with it (PostgreSQL, whose gatherers read their logs side by side)."""
    db.begin_writing()
    try:
        # A database that is not ours is refused before any log is read; an
        # empty one is made ours by one writer, whom the others wait for.
        if check_schema(db, create=True):
            db.lock_writers()
            if check_schema(db, create=True):
                db.create([statement for _, _, statement in OBJECTS], SCHEMA_VERSION)
            db.schema_made()
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

        staged = db.stage(rows())
        db.lock_writers()
        before = db.execute("SELECT count(*) FROM runs").fetchone()[0]
        # An unchanged run is no change: rowcount counts the rows written.
        changed = db.upsert(staged)
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
    for row in db.rows("SELECT %s FROM runs ORDER BY file, run" % ", ".join(COLUMNS)):
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
TO_LOOK_AT = "outcome IN ('FAIL', 'INCOMPLETE') OR interleaved = 1"


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


class SQLite(sqlite3.Connection):
    """A SQLite database: one writer at a time, who holds the lock from the
    first record read to the commit."""

    def schema(self):
        """The schema version and the objects there, as (type, name, SQL)."""
        return (self.execute("PRAGMA user_version").fetchone()[0],
                self.execute("SELECT type, name, sql FROM sqlite_master").fetchall())

    def as_listed(self, objects):
        return objects

    def create(self, statements, version):
        for statement in statements:
            self.execute(statement)
        self.execute("PRAGMA user_version = %d" % version)

    def begin_writing(self):
        self.execute("BEGIN IMMEDIATE")

    def begin_reading(self):
        self.execute("BEGIN")

    def lock_writers(self):
        """Held since begin_writing."""

    def schema_made(self):
        """Kept in the gathering's one transaction."""

    def stage(self, rows):
        return rows

    def upsert(self, rows):
        return self.executemany(UPSERT, rows).rowcount

    # SQLite steps through a query's rows as they are taken.
    rows = sqlite3.Connection.execute


SCHEMA = "kelvane"
# PostgreSQL keeps no user_version: the runs table's comment says it.
VERSION_COMMENT = "kelvane-log fleet database, schema version "
# Taking runs in is one writer's at a time: a key of its own among the
# advisory locks of a database that may serve other applications too.
WRITERS_LOCK = int.from_bytes(b"kelvane", "big")
NO_PSYCOPG = ("a PostgreSQL database needs psycopg 3, which %s does not have (Debian 12: apt-get install "
              "python3-psycopg, and run the tool with /usr/bin/python3; Windows: py -m pip install \"psycopg[binary]\")")
# Each kept run once, the last read where a log was given twice; in the key's
# order, as every writer does, so that none waits on another in a cycle.
MERGE = ("INSERT INTO runs SELECT DISTINCT ON (file, run) %s FROM %%s ORDER BY file, run, seq DESC "
         % ", ".join(COLUMNS) + IF_CHANGED)
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
    """SQL written for SQLite (keywords in capitals, no ? or % in its
    literals) as PostgreSQL reads it through psycopg, whose placeholder is %s."""
    sql = sql.replace("%", "%%").replace("?", "%s")
    return NULL_SAFE.sub(lambda found: "IS DISTINCT FROM " if found.group(1) else "IS NOT DISTINCT FROM ", sql)


def copy_text(value):
    """A value in COPY's text format, where a backslash escapes, a tab ends
    a value and a line a row (str.translate takes three times as long)."""
    return value.replace("\\", "\\\\").replace("\t", "\\t").replace("\n", "\\n").replace("\r", "\\r")


def postgres_table(statement):
    """A CREATE TABLE of SQLite's for PostgreSQL, its text ordered as SQLite
    orders it, by code point, whatever the server's locale."""
    return re.sub(r" TEXT\b", ' TEXT COLLATE "C"', statement).replace(" WITHOUT ROWID", "")


def is_uri(path):
    return path.startswith(("postgresql://", "postgres://"))


def secrets(uri):
    """What no message may show of a connection URI: its password as libpq
    reads it (up to the first @) and as its writer may have meant it (up to
    the last), the pieces libpq may show of that, a password parameter, each
    raw and percent-decoded; and PGPASSWORD."""
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
        if name == "password":
            found.add(value)
    found |= {unquote(secret) for secret in found}
    found.discard("")
    return sorted(found, key=len, reverse=True)


def scrub(text, hidden):
    for secret in hidden:
        text = text.replace(secret, "***")
    return text


def shown(path):
    """The database as messages and the page name it: a URI without its password."""
    return scrub(path, secrets(path)) if is_uri(path) else path


class Postgres:
    """A PostgreSQL database, its tables in a schema of their own (kelvane),
    reached through psycopg 3, imported only here. It runs the SQL written
    for SQLite (see to_postgres). Gatherers read their logs at the same time,
    each into a table of its own session, and take them in one at a time."""

    def __init__(self, uri, warn):
        self.hidden, self.warn = secrets(uri), warn
        try:
            import psycopg
        except ImportError:
            raise FleetError(NO_PSYCOPG % sys.executable) from None
        self.psycopg = psycopg
        try:
            self.connection = psycopg.connect(uri, autocommit=True, fallback_application_name="kelvane-log")
        except psycopg.Error as problem:
            raise FleetError("cannot open the database (%s)" % self.said(problem)) from None
        # The SQL names the tables without their schema.
        self.native("SET search_path TO " + SCHEMA)

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

    def native(self, sql, parameters=()):
        """SQL in PostgreSQL's own words."""
        with self.speaking():
            return self.connection.execute(sql, parameters)

    def rows(self, sql, parameters=()):
        """A query's rows a batch at a time, from a cursor on the server:
        psycopg's own would take them all into memory first. In binary,
        which psycopg reads in half the time of text."""
        with self.speaking(), self.connection.cursor(name="rows", binary=True) as cursor:
            cursor.itersize = 2000
            cursor.execute(to_postgres(sql), parameters)
            yield from cursor

    @property
    def in_transaction(self):
        return self.connection.info.transaction_status != self.psycopg.pq.TransactionStatus.IDLE

    def close(self):
        self.connection.close()

    def schema(self):
        objects = self.native(CATALOG, {"schema": SCHEMA}).fetchall()
        comment = dict(((kind, name), comment) for kind, name, comment in objects).get(("table", "runs")) or ""
        number = comment[len(VERSION_COMMENT):] if comment.startswith(VERSION_COMMENT) else ""
        return int(number) if number.isdigit() else 0, sorted((kind, name, None) for kind, name, _ in objects)

    def as_listed(self, objects):
        return sorted((kind, name, None) for kind, name, _ in objects if kind != "index")

    def create(self, statements, version):
        self.native("CREATE SCHEMA IF NOT EXISTS " + SCHEMA)
        for statement in statements:
            self.execute(postgres_table(statement) if statement.startswith("CREATE TABLE") else statement)
        self.native("COMMENT ON TABLE runs IS '%s%d'" % (VERSION_COMMENT, version))

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
        self.native("BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY")

    def lock_writers(self):
        self.native("SELECT pg_advisory_xact_lock(%s)", (WRITERS_LOCK,))

    def stage(self, rows):
        """The rows in a table of this session's, gone at the commit; their
        order is kept in seq."""
        self.native("CREATE TEMPORARY TABLE incoming ON COMMIT DROP AS"
                     " SELECT 0::bigint AS seq, * FROM runs WITH NO DATA")
        with self.speaking(), self.connection.cursor() as cursor, cursor.copy("COPY incoming FROM STDIN") as copy:
            lines, files = [], []
            for seq, row in enumerate(rows):
                lines.append("%d\t%s\n" % (seq, "\t".join("\\N" if value is None else str(value)
                                                           if value.__class__ is int else copy_text(given_back(value))
                                                           for value in row)))
                files.append(given_back(row[0]))
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

    def upsert(self, table):
        return self.execute(MERGE % table).rowcount


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
