"""Sums kept as runs come in: one row per unit as the units view gives it,
the units by the day of their first run, the runs by the day they started,
and the logs; each gathering brings them up to date, in its own
transaction, for the units and days it touched, so that the page and
--check read a year of runs at the cost of its days, not of its runs.
Neither engine refreshes a view a piece at a time, so they are tables. The
views stay the definition: the tables hold what the views give, and
agree_with_views-style checks compare the two.
"""

from .schema import ENGINE, PASSED, UNITS_BY_ORDER

# The runs counted on a day (the day chart, first-pass yield per day) are
# those whose start can be believed: runs flagged for their clock are left
# out, by this one condition.
DAY_RUNS = "clock IS NULL"
# Passing runs that wrote the value, and that found both views already set.
WROTE = """outcome = 'PASS' AND views LIKE '%"action": "overwritten"%'"""
BOTH_SET = """outcome = 'PASS' AND views LIKE '%"action": "kept"%"action": "kept"%'"""
# Runs that passed are no news, even where they mixed with others.
TO_LOOK_AT = "outcome IN ('FAIL', 'INCOMPLETE') OR (interleaved = 1 AND outcome NOT IN ('PASS', 'SKIP'))"

UNIT_COLUMNS = ("unit", "serial", "runs", "logs", "first", "last", "state", "first_started", "last_started",
                "build_id", "loc", "reason", "file", "machine", "placeholder", "first_clock")
# The runs of a start's day: starts are YYYY-MM-DDTHH:MM:SS, so a day's
# runs lie from the day to the day followed by a letter after T, which an
# index finds.
ON_DAY = "{start} >= {day} AND {start} < {day} || 'U'"

# The runs grouped by day and by what the page counts of them; {where}
# picks the runs.
RUN_DAYS = """SELECT substr(started, 1, 10) AS day, outcome, interleaved, loc, failed,
       CASE WHEN {day} THEN 1 ELSE 0 END AS believed, count(*) AS runs, count(CASE WHEN {wrote} THEN 1 END) AS wrote,
       count(CASE WHEN {both} THEN 1 END) AS both_set, count(CASE WHEN unit IS NULL THEN 1 END) AS without_unit,
       max(CASE WHEN {day} THEN started END) AS latest
FROM runs{{join}} WHERE {{where}}
GROUP BY substr(started, 1, 10), outcome, interleaved, loc, failed, CASE WHEN {day} THEN 1 ELSE 0 END""".format(
    day=DAY_RUNS, wrote=WROTE, both=BOTH_SET)
RUN_DAY_COLUMNS = ("day", "outcome", "interleaved", "loc", "failed", "believed", "runs", "wrote", "both_set",
                   "without_unit", "latest")
# Units grouped by the day of their first run and by what the page counts
# of them; {source} holds summed units.
UNIT_GROUP = ("substr(first_started, 1, 10)", "build_id", "state", "CASE WHEN %s THEN 1 ELSE 0 END" % PASSED,
              "CASE WHEN runs > 1 THEN 1 ELSE 0 END", "CASE WHEN placeholder IS NOT NULL THEN 1 ELSE 0 END",
              "CASE WHEN first_clock IS NOT NULL THEN 1 ELSE 0 END")
UNIT_DAY_COLUMNS = ("day", "build_id", "state", "passed", "retested", "by_placeholder", "off_clock", "units")
UNIT_DAYS = "SELECT %s, {count} AS units FROM {source} WHERE {where} GROUP BY %s" % (
    ", ".join("%s AS %s" % pair for pair in zip(UNIT_GROUP, UNIT_DAY_COLUMNS)), ", ".join(UNIT_GROUP))

# The units view's own definition, for the units a gathering touched.
TOUCHED_UNITS = UNITS_BY_ORDER.replace("FROM runs WHERE unit IS NOT NULL GROUP BY unit",
                                       "FROM runs WHERE unit IN (SELECT unit FROM touched_units) GROUP BY unit")
assert TOUCHED_UNITS != UNITS_BY_ORDER

MADE = [
    """CREATE TABLE summed_units (
    unit TEXT NOT NULL PRIMARY KEY,
    serial TEXT,
    runs INTEGER NOT NULL,
    logs INTEGER NOT NULL,
    first TEXT NOT NULL,
    last TEXT NOT NULL,
    state TEXT NOT NULL,
    first_started TEXT NOT NULL,
    last_started TEXT NOT NULL,
    build_id TEXT,
    loc TEXT,
    reason TEXT,
    file TEXT NOT NULL,
    machine TEXT NOT NULL,
    placeholder TEXT,
    first_clock TEXT
)%s""" % ENGINE["clustered"],
    # The open units, newest first; and the units of a window of days.
    "CREATE INDEX summed_units_open ON summed_units (state, last_started DESC, unit)",
    "CREATE INDEX summed_units_by_first_run ON summed_units (first_started)",
    """CREATE TABLE summed_unit_days (
    day TEXT NOT NULL,
    build_id TEXT,
    state TEXT NOT NULL,
    passed INTEGER NOT NULL,
    retested INTEGER NOT NULL,
    by_placeholder INTEGER NOT NULL,
    off_clock INTEGER NOT NULL,
    units INTEGER NOT NULL
)""",
    "CREATE INDEX summed_unit_days_by_day ON summed_unit_days (day)",
    """CREATE TABLE summed_run_days (
    day TEXT NOT NULL,
    outcome TEXT NOT NULL,
    interleaved INTEGER NOT NULL,
    loc TEXT,
    failed TEXT,
    believed INTEGER NOT NULL,
    runs INTEGER NOT NULL,
    wrote INTEGER NOT NULL,
    both_set INTEGER NOT NULL,
    without_unit INTEGER NOT NULL,
    latest TEXT
)""",
    "CREATE INDEX summed_run_days_by_day ON summed_run_days (day)",
    "CREATE TABLE summed_logs (log TEXT NOT NULL PRIMARY KEY)%s" % ENGINE["clustered"],
    # A day's runs, to sum it again, and the logs of a window; the runs to
    # look at, newest first, without reading the others.
    "CREATE INDEX runs_by_start ON runs (started, log)",
    "CREATE INDEX runs_to_look_at ON runs (started DESC, file, run DESC) WHERE %s" % TO_LOOK_AT,
]
SUMS = ("summed_units", "summed_unit_days", "summed_run_days", "summed_logs")
# What the runs kept so far sum to.
SUMMED = (
    "INSERT INTO summed_units (%s) SELECT %s FROM units" % (", ".join(UNIT_COLUMNS), ", ".join(UNIT_COLUMNS)),
    "INSERT INTO summed_unit_days (%s) %s" % (", ".join(UNIT_DAY_COLUMNS), UNIT_DAYS.format(
        count="count(*)", source="summed_units", where="true")),
    "INSERT INTO summed_run_days (%s) %s" % (", ".join(RUN_DAY_COLUMNS), RUN_DAYS.format(join="", where="true")),
    "INSERT INTO summed_logs (log) SELECT DISTINCT log FROM runs",
)
MADE += SUMMED
# The sums made again from every run kept.
SUMMED_AGAIN = tuple("DELETE FROM %s" % table for table in SUMS) + SUMMED

# What a run is, for the sums: its key and everything the units view and
# the day sums read of it.
RUN_KEY = ("log", "run", "started")
RUN_VALUES = ("outcome", "interleaved", "loc", "failed", "views", "clock", "unit", "ordered", "build_id", "serial",
              "file", "machine")
SAME_RUN = " AND ".join(["b.{0} = r.{0}".format(name) for name in RUN_KEY]
                        + ["b.{0} IS r.{0}".format(name) for name in RUN_VALUES])
NOTED = ", ".join(RUN_KEY + RUN_VALUES)
# Before a batch of gathered runs is kept: its logs, and their runs as kept
# before the gathering (a log whose copies came in an earlier batch was
# noted then), to tell afterwards which runs are new or changed.
NOTING = (
    "CREATE TEMP TABLE IF NOT EXISTS touched_logs AS SELECT log FROM runs WHERE false",
    "CREATE UNIQUE INDEX IF NOT EXISTS touched_logs_by_log ON touched_logs (log)",
    "CREATE TEMP TABLE IF NOT EXISTS runs_before AS SELECT %s FROM runs WHERE false" % NOTED,
    "CREATE INDEX IF NOT EXISTS runs_before_by_key ON runs_before (log, run, started)",
    # A log known by its path until its serial was logged, whose runs were
    # moved to its identity by its beginning: no log of its own any more.
    "CREATE TEMP TABLE IF NOT EXISTS moved_logs AS SELECT log FROM runs WHERE false",
    "INSERT INTO moved_logs (log) SELECT DISTINCT was FROM gathered WHERE was IS NOT NULL",
    "INSERT INTO runs_before SELECT %s FROM runs WHERE log IN (SELECT log FROM gathered)"
    " AND log NOT IN (SELECT log FROM touched_logs)" % NOTED,
    "INSERT INTO touched_logs (log) SELECT DISTINCT log FROM gathered WHERE log NOT IN (SELECT log FROM touched_logs)",
)
# Of the groups, only the Build ID may be NULL.
SAME_GROUP = " AND ".join("c.{0} {1} s.{0}".format(name, "IS" if name == "build_id" else "=")
                          for name in UNIT_DAY_COLUMNS[:-1])
SUMMING = NOTING[:5] + (
    # The runs that are new or changed, as they are and as they were: the
    # units and days the sums are brought up to date for.
    "CREATE TEMP TABLE runs_changed AS SELECT %s FROM runs AS r WHERE r.log IN (SELECT log FROM touched_logs)"
    " AND NOT EXISTS (SELECT 1 FROM runs_before AS b WHERE %s) UNION ALL SELECT %s FROM runs_before AS b"
    " WHERE NOT EXISTS (SELECT 1 FROM runs AS r WHERE %s)" % (NOTED, SAME_RUN, NOTED, SAME_RUN),
    "CREATE TEMP TABLE touched_units AS SELECT DISTINCT unit FROM runs_changed WHERE unit IS NOT NULL",
    "CREATE UNIQUE INDEX touched_units_by_unit ON touched_units (unit)",
    # Each touched unit as the units view gives it now; the day sums take
    # the difference, counted -1 for what a unit was and +1 for what it is.
    # A unit as it was is left alone: gathering the same logs again writes
    # nothing.
    "CREATE TEMP TABLE units_before AS SELECT * FROM summed_units WHERE unit IN (SELECT unit FROM touched_units)",
    "CREATE TEMP TABLE units_now AS %s" % TOUCHED_UNITS,
    "CREATE UNIQUE INDEX units_now_by_unit ON units_now (unit)",
    "DELETE FROM summed_units WHERE unit IN (SELECT unit FROM touched_units) AND NOT EXISTS (SELECT 1 FROM"
    " units_now AS n WHERE n.unit = summed_units.unit AND %s)" % " AND ".join(
        "n.{0} IS summed_units.{0}".format(name) for name in UNIT_COLUMNS[1:]),
    "INSERT INTO summed_units (%s) SELECT %s FROM units_now AS n WHERE NOT EXISTS (SELECT 1 FROM summed_units AS s"
    " WHERE s.unit = n.unit)" % (", ".join(UNIT_COLUMNS), ", ".join("n." + name for name in UNIT_COLUMNS)),
    "CREATE TEMP TABLE unit_days_changed AS SELECT day, build_id, state, passed, retested, by_placeholder, off_clock,"
    " sum(units) AS units FROM (%s UNION ALL %s) AS d GROUP BY day, build_id, state, passed, retested,"
    " by_placeholder, off_clock HAVING sum(units) <> 0" % (
        UNIT_DAYS.format(count="-count(*)", source="units_before", where="true"),
        UNIT_DAYS.format(count="count(*)", source="summed_units", where="unit IN (SELECT unit FROM touched_units)")),
    "CREATE INDEX unit_days_changed_by_day ON unit_days_changed (day)",
    "UPDATE summed_unit_days SET units = units + (SELECT c.units FROM unit_days_changed AS c WHERE %s)"
    " WHERE EXISTS (SELECT 1 FROM unit_days_changed AS c WHERE %s)" % (
        SAME_GROUP.replace("s.", "summed_unit_days."), SAME_GROUP.replace("s.", "summed_unit_days.")),
    "INSERT INTO summed_unit_days (%s) SELECT %s FROM unit_days_changed AS c WHERE NOT EXISTS"
    " (SELECT 1 FROM summed_unit_days AS s WHERE %s)" % (
        ", ".join(UNIT_DAY_COLUMNS), ", ".join("c." + name for name in UNIT_DAY_COLUMNS), SAME_GROUP),
    "DELETE FROM summed_unit_days WHERE units = 0",
    # The days of the runs that are new or changed are summed again.
    "CREATE TEMP TABLE run_days_changed AS SELECT DISTINCT substr(started, 1, 10) AS day FROM runs_changed",
    "DELETE FROM summed_run_days WHERE day IN (SELECT day FROM run_days_changed)",
    "INSERT INTO summed_run_days (%s) %s" % (", ".join(RUN_DAY_COLUMNS), RUN_DAYS.format(
        join=" JOIN run_days_changed AS d ON " + ON_DAY.format(start="started", day="d.day"), where="true")),
    "INSERT INTO summed_logs (log) SELECT DISTINCT log FROM touched_logs WHERE true ON CONFLICT (log) DO NOTHING",
    "DELETE FROM summed_logs WHERE log IN (SELECT log FROM moved_logs)"
    " AND NOT EXISTS (SELECT 1 FROM runs WHERE runs.log = summed_logs.log)",
    "DROP TABLE moved_logs",
    "DROP TABLE touched_logs",
    "DROP TABLE touched_units",
    "DROP TABLE runs_before",
    "DROP TABLE runs_changed",
    "DROP TABLE units_before",
    "DROP TABLE units_now",
    "DROP TABLE unit_days_changed",
    "DROP TABLE run_days_changed",
)


def make(db, ahead):
    """The summary tables, summed from the runs kept so far."""
    for statement in MADE:
        db.execute(statement)


def bring_up_to_date(db, whole=False):
    """The sums, after a gathering's runs were kept (NOTING ran before each
    batch of them), for the units and days of the runs it added or changed;
    in its transaction. whole: the gathering began with no runs kept, and
    NOTING did not run: every unit and day is new, and the sums are made
    from all the runs at once."""
    for statement in SUMMED_AGAIN if whole else SUMMING:
        db.execute(statement)
