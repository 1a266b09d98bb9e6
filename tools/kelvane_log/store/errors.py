"""What the fleet database raises, whichever engine keeps it."""

import sqlite3


class FleetError(Exception):
    pass


class DatabaseError(Exception):
    """What PostgreSQL or its client said, without a password."""


# What the database itself may raise, besides FleetError.
DATABASE_ERRORS = (sqlite3.Error, DatabaseError)


class Busy(FleetError):
    """Another process held a SQLite database for longer than the tool was to wait."""


BUSY = "busy: another process held it for %d s"


def is_busy(problem):
    """Whether SQLite gave up waiting for a lock another process holds."""
    return isinstance(problem, sqlite3.OperationalError) and str(problem).startswith(("database is locked",
                                                                                      "database is busy"))
