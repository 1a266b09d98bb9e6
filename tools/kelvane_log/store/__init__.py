"""The fleet database: the only code that speaks SQL, in rooms of its own:
`schema` (the tables, views and the steps that brought a database to its
version), `ingest` (taking a gathering's runs in), `figures` (the runs,
units and figures read back), one module per engine (`sqlite`, `postgres`),
and here the connection and the snapshot a report reads. The SQL is written
once, in SQLite's words; the PostgreSQL engine puts it in its own.
"""

import os
import re
import sqlite3
import tempfile
from contextlib import closing, contextmanager
from pathlib import Path

from .errors import BUSY, DATABASE_ERRORS, Busy, DatabaseError, FleetError, is_busy
from .figures import (ALL, Scope, check_figures, kept_runs, report_figures, stored_records,
                      stored_units)
from .ingest import ahead_of, ingest
from .postgres import OTHER_SCHEME, Postgres, is_uri, secrets, shown
from .schema import (COLUMNS, SCHEMA_VERSION, STEPS, UNIT_FIELDS, check_schema, given_back, kept,
                     upgrade)
from .sqlite import SQLite, network_filesystem

# What the rest of the tool uses of the store.
__all__ = ["ALL", "BUSY", "COLUMNS", "DATABASE_ERRORS", "STEPS", "SCHEMA_VERSION", "UNIT_FIELDS", "Busy",
           "DatabaseError", "FleetError", "Postgres", "SQLite", "Scope", "ahead_of", "check_figures", "check_schema",
           "connect", "given_back", "ingest", "is_busy", "is_uri", "kept", "kept_runs", "network_filesystem",
           "reading", "report_figures", "secrets", "shown", "stored_records", "stored_units", "upgrade"]


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
                             uri=True, isolation_level=None, timeout=wait, factory=SQLite,
                             check_same_thread=False)
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
    # A run takes about 600 bytes, its key less than 100: in pages of 16 KiB
    # (a new database's; one made before keeps its own), the runs of a
    # gathering, in no order of their keys, split a page every few dozen
    # runs rather than every few.
    db.execute("PRAGMA page_size = 16384")
    if scratch:
        db.execute("PRAGMA journal_mode = OFF")
        db.execute("PRAGMA synchronous = OFF")
    return db




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
