"""A fleet database on a PostgreSQL server, which gatherers on many machines
write into at once: its connection strings (whose passwords no message
shows), its SQL put in PostgreSQL's words, and its connection class.
"""

import json
import os
import re
import sys
from contextlib import contextmanager

from .errors import DatabaseError, FleetError
from .ingest import KEEP, MOVE, RESTAGE, settling
from .schema import COLUMNS, ENGINE, POSTGRES, given_back


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
         " size, settled, was"
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


def json_row(names):
    """A row of a query's columns names, as one JSON array."""
    return "json_build_array(%s)" % ", ".join('query."%s"' % name for name in names)


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
            cursor.execute("SELECT %s::text FROM (%s) AS query" % (json_row(names), sql), parameters)
            for (row,) in cursor:
                yield tuple(json.loads(row))

    def lookup(self, sql, parameters, names):
        """The few rows of a query whose columns are names, in one round
        trip (a cursor on the server cost more to plan than they take to
        read), all in one JSON text: psycopg's client reads value by value,
        json.loads a text in C."""
        with self.speaking():
            (found,), = self.connection.execute("SELECT json_agg(%s)::text FROM (%s) AS query" % (
                json_row(names), to_postgres(sql)), parameters).fetchall()
        return [tuple(row) for row in json.loads(found or "[]")]

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

    # psycopg serializes the calls of threads on one connection.
    shared = True

    def drop_indexes(self, tables):
        """None: PostgreSQL's are kept up to date as the rows go in."""
        return []

    def stage(self, rows):
        """The rows in a table of this session's, gone at the commit; their
        order is kept in seq. They are copied in a batch at a time: between
        batches, reading the rows may ask the database about the files."""
        self.native("CREATE TEMPORARY TABLE incoming ON COMMIT DROP AS SELECT 0::bigint AS seq, log, %s,"
                    " serial AS real, 0::bigint AS size, 0::bigint AS settled, log AS was FROM runs"
                    " WITH NO DATA" % ", ".join(COLUMNS))
        lines, files = [], []
        for seq, row in enumerate(rows):
            lines.append("%d\t%s\n" % (seq, "\t".join("\\N" if value is None else str(value)
                                                       if value.__class__ is int else copy_text(given_back(value))
                                                       for value in row)))
            files.append(given_back(row[1]))
            if len(lines) == 5000:
                self.copy_in(lines, files)
                lines, files = [], []
        self.copy_in(lines, files)
        return "incoming"

    def copy_in(self, lines, files):
        if lines:
            with self.speaking(), self.connection.cursor() as cursor, \
                    cursor.copy("COPY incoming FROM STDIN") as copy:
                copy.write(self.kept(lines, files))

    @staticmethod
    def keyed(text):
        """A text as the files table keeps it, and is looked up by: as the
        runs are kept (see kept)."""
        return UNKEEPABLE.sub("\ufffd", given_back(text))

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

    def upsert(self, table, ahead, fresh):
        self.execute(MERGE % table)
        self.execute(RESTAGE)
        self.execute(MOVE)
        for statement in settling(fresh):
            self.execute(statement)
        return self.execute(KEEP, (ahead,)).rowcount
