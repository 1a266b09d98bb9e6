"""The fleet database's schema: its tables and views, written once in
SQLite's words (ENGINE; the PostgreSQL engine puts them in its own), and the
ordered steps that brought each database to the version it has, so that a
database made by an older tool is brought forward rather than refused. Also
how a text from a log or a folder name is kept.
"""

import os
import sqlite3
from contextlib import closing
from functools import lru_cache

from ..gather import log_identity, nearest_folder
from ..reader import FIELDS
from ..serials import BLANKS, PLACEHOLDERS
from .errors import FleetError

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


BATCH = 4096        # runs kept at a time, in whole logs

# Each file gathered, by its real path: its size and modification time (ns)
# when it was read, the digest of its first head bytes, the log it holds
# (None for an empty file), its settled place (see reader.Settled) and the
# number of runs it gave. A file as kept is not read again; one that begins
# as kept, no shorter, is read from its settled place on.
FILES = """CREATE TABLE files (
    path TEXT NOT NULL,
    size BIGINT NOT NULL,
    mtime BIGINT NOT NULL,
    head INTEGER NOT NULL,
    digest TEXT NOT NULL,
    log TEXT,
    place_offset BIGINT NOT NULL,
    place_run INTEGER NOT NULL,
    place_form INTEGER,
    place_base BIGINT NOT NULL,
    runs INTEGER NOT NULL,
    PRIMARY KEY (path)
)%s""" % ENGINE["clustered"]
FILE_COLUMNS = ("path", "size", "mtime", "head", "digest", "log", "place_offset", "place_run", "place_form",
                "place_base", "runs")


def summed(db, ahead):
    """The summary tables, summed from the runs kept (see summaries)."""
    from .summaries import make  # which is made of this module's views
    make(db, ahead)


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
    ("the files gathered, each with its size, time, beginning and settled place", [FILES]),
    ("sums of the units, their first-run days, the runs' days and the logs, kept as runs come in", [summed]),
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


@lru_cache(maxsize=None)
def objects_of(version):
    """The tables, indexes and views a database of version holds: what its
    steps make of an empty database."""
    from .sqlite import SQLite  # which needs this module's SQL first
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
