"""A fleet database in a SQLite file: one writer at a time; and whether the
file lies where SQLite's locks cannot be relied on.
"""

import os
import re
import sqlite3
from itertools import chain

from .errors import BUSY, Busy, is_busy
from .ingest import GATHER, GATHERED, KEEP, MOVE, RESTAGE, in_whole_logs, settling
from .schema import kept


# Values SQLite binds to one statement at most.
VALUES_AT_ONCE = 32766 if sqlite3.sqlite_version_info >= (3, 32) else 999
# The one row of values an INSERT takes.
ONE_ROW = re.compile(r"VALUES (\(\?(?:, \?)*\))")


class SQLite(sqlite3.Connection):
    """A SQLite database: one writer at a time, who holds the lock from the
    first record read to the commit."""

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

    def executemany(self, sql, rows):
        """sqlite3's executemany, an INSERT's rows bound many to a statement
        (as many as SQLite takes values): the interpreter is let go while
        SQLite steps, and taken back once a statement, not once a row, which
        a thread reading logs meanwhile makes costly."""
        one = ONE_ROW.search(sql)
        rows = rows if one is None or isinstance(rows, list) else list(rows)
        if one is None or not rows:
            return super().executemany(sql, rows)
        per = max(1, VALUES_AT_ONCE // len(rows[0]))
        whole = len(rows) - len(rows) % per
        if whole:
            many = sql[:one.start()] + "VALUES " + ", ".join([one.group(1)] * per) + sql[one.end():]
            super().executemany(many, (tuple(chain.from_iterable(rows[at:at + per])) for at in range(0, whole, per)))
        return super().executemany(sql, rows[whole:])

    @property
    def shared(self):
        """Whether another thread may use the connection meanwhile: where
        SQLite was built to serialize the calls of threads on one connection."""
        return self.execute("SELECT 1 FROM pragma_compile_options WHERE compile_options = 'THREADSAFE=1'"
                            ).fetchone() is not None

    def upsert(self, rows, ahead, fresh):
        """Takes the rows in, a batch of whole logs at a time, and counts
        those written: an unchanged run is no change. fresh: no runs were
        kept before (see settling)."""
        self.execute(GATHERED)
        changed = 0
        for batch in in_whole_logs(rows):
            self.executemany(GATHER, batch)
            self.execute(RESTAGE)
            self.execute(MOVE)
            for statement in settling(fresh):
                self.execute(statement)
            changed += self.execute(KEEP, (ahead,)).rowcount
            self.execute("DELETE FROM gathered")
        self.execute("DROP TABLE gathered")
        return changed

    def drop_indexes(self, tables):
        """Drops the indexes of tables; returns the SQL that makes them
        again, as SQLite kept it (so the schema is the very same). Into a
        table that holds no rows, an index kept up to date a row at a time
        takes a write in a random place for each; made once the table holds
        all of them, it is sorted once."""
        found = self.execute("SELECT name, sql FROM sqlite_master WHERE type = 'index' AND sql IS NOT NULL"
                             " AND tbl_name IN (%s)" % ", ".join("?" * len(tables)), tables).fetchall()
        for name, _ in found:
            self.execute("DROP INDEX %s" % name)
        return [sql for _, sql in found]

    # A text as the files table keeps it, and is looked up by.
    keyed = staticmethod(kept)

    # SQLite steps through a query's rows as they are taken.
    rows = sqlite3.Connection.execute

    def lookup(self, sql, parameters, names):
        """The few rows of a query (whose columns are names)."""
        return self.execute(sql, parameters).fetchall()


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
