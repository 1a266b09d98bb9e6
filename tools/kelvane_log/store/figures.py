"""What is read back: the runs and units kept, of a window of days or one
unit, and every figure of the page and of --check, grouped by the database
so that a million runs never sit in memory.
"""

import datetime
import json

from ..reader import FIELDS, OUTCOMES
from .schema import COLUMNS, PASSED, UNIT_FIELDS, given_back, kept


class Scope:
    """Which runs and units a call is about: a window of days (ISO dates,
    both inclusive), one unit, or all. Runs are those that started in the
    window; units are those whose first run did, with all their runs."""

    def __init__(self, since=None, until=None, unit=None):
        self.since, self.until, self.unit = since, until, unit

    def __bool__(self):
        return (self.since, self.until, self.unit) != (None, None, None)

    def where(self, started, unit="unit"):
        """The condition, with its parameters, on a start column and a unit column."""
        conditions, parameters = [], []
        if self.since is not None:
            conditions.append("%s >= ?" % started)
            parameters.append(self.since.isoformat())
        if self.until is not None:
            conditions.append("%s < ?" % started)
            parameters.append(day_after(self.until))
        if self.unit is not None:
            conditions.append("%s = ?" % unit)
            parameters.append(kept(self.unit))
        return " AND ".join(conditions) or "1 = 1", parameters

    def runs(self, alias=""):
        """Runs: in the window by their own start."""
        return self.where(alias + "started", alias + "unit")

    def units(self, alias=""):
        """Units (rows of the units view): in the window by their first run's start."""
        return self.where(alias + "first_started", alias + "unit")


ALL = Scope()


def day_after(day):
    return (day + datetime.timedelta(days=1)).isoformat()


def stored_records(db, scope=ALL):
    """(machine, record) for each run kept, in the order of the key: by the
    log's path, then the run's place in it, then its start; for one unit, in
    the order of its runs: by start, then log path, then place."""
    where, parameters = scope.runs()
    order = "ordered, log, run" if scope.unit is not None else "file, run, started"
    for row in db.rows("SELECT %s FROM runs WHERE %s ORDER BY %s" % (", ".join(COLUMNS), where, order), parameters):
        if bytes in map(type, row):
            row = tuple(map(given_back, row))
        record = dict(zip(FIELDS, row))
        record["views"] = json.loads(record["views"])
        record["interleaved"] = bool(record["interleaved"])
        yield row[-1], record


def kept_runs(db, file, first=1):
    """(machine, record) for each run kept from the log at path file, from
    its run number first on, as stored_records gives them, in order of
    place then start."""
    found = []
    for row in db.execute("SELECT %s FROM runs WHERE file = ? AND run >= ? ORDER BY run, started"
                          % ", ".join(COLUMNS), (kept(file), first)).fetchall():
        row = tuple(map(given_back, row))
        record = dict(zip(FIELDS, row))
        record["views"] = json.loads(record["views"])
        record["interleaved"] = bool(record["interleaved"])
        found.append((row[-1], record))
    return found


def stored_units(db, scope=ALL):
    """One record per unit, in order of the unit."""
    where, parameters = scope.units()
    for row in db.rows("SELECT %s FROM units WHERE %s ORDER BY unit" % (", ".join(UNIT_FIELDS), where), parameters):
        if bytes in map(type, row):
            row = tuple(map(given_back, row))
        yield dict(zip(UNIT_FIELDS, row))


LISTED = 100        # runs and open units to look at, newest first; the rest are counted
BUILDS_LISTED = 20
# Within a second, a log's later run is the newer one.
NEWEST_FIRST = "started DESC, file, run DESC"
# Runs that passed are no news, even where they mixed with others.
TO_LOOK_AT = "outcome IN ('FAIL', 'INCOMPLETE') OR (interleaved = 1 AND outcome NOT IN ('PASS', 'SKIP'))"
# Passing runs that wrote the value, and that found both views already set.
WROTE = """outcome = 'PASS' AND views LIKE '%"action": "overwritten"%'"""
BOTH_SET = """outcome = 'PASS' AND views LIKE '%"action": "kept"%"action": "kept"%'"""
# The figures by day (runs per day, first-pass yield per day, the last whole
# day and its control limit) and the newest start the page is made from count
# only the runs whose start can be believed: runs with a doubtful clock are
# left out once they are flagged, by this one condition.
DAY_RUNS = "clock IS NULL"


# The units of a scope, worked out once (where the engine is told to keep
# them: SQLite from 3.35, PostgreSQL) in a statement that reads both what
# the figures group and the open units listed: a unit's state, whether it
# passed first time or was retested, its Build ID, and, of the open units
# whose latest run started since a moment, the oldest start.
UNIT_SUMMARY = """WITH page_units AS {materialized}(SELECT * FROM units WHERE {where})
SELECT 'group' AS kind, build_id, state, NULL AS unit, NULL AS machine, NULL AS reason, NULL AS file, NULL AS last,
       NULL AS shown, CASE WHEN {passed} THEN 1 ELSE 0 END AS passed, CASE WHEN runs > 1 THEN 1 ELSE 0 END AS retested,
       CASE WHEN placeholder IS NOT NULL THEN 1 ELSE 0 END AS by_placeholder,
       CASE WHEN first_clock IS NOT NULL THEN 1 ELSE 0 END AS off_clock,
       count(*) AS count, min(CASE WHEN state = 'open' AND last_started >= ? THEN last_started END) AS since
FROM page_units GROUP BY build_id, state, CASE WHEN {passed} THEN 1 ELSE 0 END, CASE WHEN runs > 1 THEN 1 ELSE 0 END,
         CASE WHEN placeholder IS NOT NULL THEN 1 ELSE 0 END, CASE WHEN first_clock IS NOT NULL THEN 1 ELSE 0 END
UNION ALL
SELECT 'day' AS kind, substr(first_started, 1, 10), NULL, NULL, NULL, NULL, NULL, NULL, NULL,
       CASE WHEN {passed} THEN 1 ELSE 0 END, 0, 0, 0, count(*), NULL
FROM page_units WHERE first_clock IS NULL GROUP BY substr(first_started, 1, 10), CASE WHEN {passed} THEN 1 ELSE 0 END
UNION ALL
SELECT * FROM (SELECT 'open' AS kind, build_id, state, unit, machine, reason, file, last,
                      coalesce(placeholder, unit) AS shown, 0 AS passed, 0 AS retested, 0 AS by_placeholder,
                      0 AS off_clock, runs AS count, last_started AS since
               FROM page_units WHERE state = 'open' ORDER BY last_started DESC, unit LIMIT {listed}) AS listed"""


def unit_summary(db, scope, recent, listed=LISTED):
    """The unit figures of a scope: counts by state, the Build IDs, the units
    by the day of their first run where its clock is believed ({YYYY-MM-DD:
    (units, of them passed first time)}: the cohorts of first-pass yield and
    its control chart), the open units listed newest first (with their
    latest run's values), and the oldest start of an open unit's latest run
    since recent (a start as text)."""
    where, parameters = scope.units()
    units = dict.fromkeys(("units", "passed_first", "done", "open_units", "retested", "no_office",
                           "placeholder_units", "units_off_clock"), 0)
    builds, days, listing, oldest = {}, {}, [], None
    for (kind, build_id, state, unit, machine, reason, file, last, shown, passed, retested, by_placeholder,
         off_clock, count, since) in db.execute(
            UNIT_SUMMARY.format(where=where, passed=PASSED, listed=listed, materialized=db.MATERIALIZED),
            parameters + [recent]):
        if kind == "open":
            listing.append(tuple(map(given_back, (unit, machine, since, count, reason, file, last, shown))))
            continue
        if kind == "day":
            day = days.setdefault(build_id, [0, 0])
            day[0] += count
            day[1] += count if passed else 0
            continue
        units["units"] += count
        units["passed_first"] += count if passed else 0
        units["retested"] += count if retested else 0
        units["placeholder_units"] += count if by_placeholder else 0
        units["units_off_clock"] += count if off_clock else 0
        key = {"done": "done", "open": "open_units", "no office": "no_office"}[state]
        units[key] += count
        build = builds.setdefault(given_back(build_id), [0, 0, 0, 0])
        build[0] += count
        build[1] += count if passed else 0
        build[2] += count if state == "done" else 0
        build[3] += count if state == "open" else 0
        if since is not None and (oldest is None or since < oldest):
            oldest = since
    days = {day: tuple(counts) for day, counts in days.items()}
    return units, builds, days, latest_runs(db, listing), oldest


def latest_runs(db, listing):
    """The open units listed, each with its latest run's values that say what
    it last logged: (unit, machine, last start, runs, reason, outcome,
    record), the record holding serial, build_id, feature_byte, loc and
    views. One statement for all of them, through the unit index."""
    if not listing:
        return []
    found = {}
    pairs = " OR ".join(["(unit = ? AND started = ?)"] * len(listing))
    parameters = []
    for unit, _, last_started, _, _, _, _, _ in listing:
        parameters += [kept(unit), last_started]
    for row in db.execute("SELECT unit, started, file, run, serial, build_id, feature_byte, loc, views FROM runs"
                          " WHERE %s" % pairs, parameters):
        row = tuple(map(given_back, row))
        key = (row[0], row[1], row[2])
        if key not in found or found[key][0] < row[3]:
            found[key] = (row[3], dict(zip(("serial", "build_id", "feature_byte", "loc", "views"), row[4:])))
    return [(shown, machine, last_started, runs, reason, outcome,
             found.get((unit, last_started, file), (0, {}))[1])
            for unit, machine, last_started, runs, reason, file, outcome, shown in listing]


def latest_start(db, scope=ALL):
    """The newest believable start among a scope's runs, as text, or None."""
    where, parameters = scope.runs()
    return db.execute("SELECT max(started) FROM runs WHERE %s AND %s" % (where, DAY_RUNS), parameters).fetchone()[0]


def check_figures(db, scope, recent):
    """What --check judges: the units first run per day, the open units and
    the oldest start of a recent open unit's latest run."""
    units, _, days, _, oldest = unit_summary(db, scope, recent, listed=0)
    return {"unit_days": days, "open_units": units["open_units"], "oldest_open": oldest}


def report_figures(db, scope=ALL, recent=""):
    """Every figure of the page, grouped by the database. The runs that
    started in the scope are counted in one pass, by day, outcome, LOC and
    reason; the scope's units are worked out once, in the statement that
    groups them. Nothing is written, not even a temporary table: a role that
    may only read can make the page. recent: the start since which an open
    unit is news."""
    days, locs, reasons, outcomes = {}, {}, {}, dict.fromkeys(OUTCOMES, 0)
    interleaved = to_look_at = wrote = both_set = off_clock = 0
    where, parameters = scope.runs()
    for day, outcome, mixed, loc, failed, believed, count, wrote_here, set_here in db.execute(
            "SELECT substr(started, 1, 10), outcome, interleaved, loc, failed, CASE WHEN {day} THEN 1 ELSE 0 END,"
            " count(*), count(CASE WHEN {wrote} THEN 1 END), count(CASE WHEN {both} THEN 1 END) FROM runs"
            " WHERE {where} GROUP BY substr(started, 1, 10), outcome, interleaved, loc, failed,"
            " CASE WHEN {day} THEN 1 ELSE 0 END".format(day=DAY_RUNS, wrote=WROTE, both=BOTH_SET, where=where),
            parameters):
        # A run whose clock went back or was ahead is on no day.
        if believed:
            on_day = days.setdefault(day, dict.fromkeys(OUTCOMES, 0))
            on_day[outcome] += count
        else:
            off_clock += count
        outcomes[outcome] += count
        interleaved += count if mixed else 0
        to_look_at += count if outcome in ("FAIL", "INCOMPLETE") or (mixed and outcome not in ("PASS", "SKIP")) else 0
        wrote += wrote_here
        both_set += set_here
        loc = given_back(loc) or ""
        locs[loc] = locs.get(loc, 0) + count
        # A run cut off has no reason of its own: its bar is the cut-off runs' (None).
        if outcome == "INCOMPLETE":
            reasons[None] = reasons.get(None, 0) + count
        elif failed is not None or outcome == "FAIL":
            reason = given_back(failed) or ""
            reasons[reason] = reasons.get(reason, 0) + count
    # Failure reasons, the most frequent first, each with the failing runs up to it.
    pareto, failing = [], 0
    for reason, count in sorted(reasons.items(), key=lambda item: (-item[1], item[0] is None, item[0] or "")):
        failing += count
        pareto.append((reason, count, failing))

    units, builds, unit_days, listed_open, oldest = unit_summary(db, scope, recent)
    units["runs_without_unit"] = db.execute("SELECT count(*) FROM runs WHERE unit IS NULL AND " + where,
                                            parameters).fetchone()[0]
    figures = {
        "days": sorted(days.items()), "outcomes": outcomes, "runs": sum(outcomes.values()),
        "interleaved": interleaved, "wrote": wrote, "both_set": both_set, "off_clock": off_clock,
        "logs": db.execute("SELECT count(*) FROM (SELECT log FROM runs WHERE %s GROUP BY log) AS logs" % where,
                           parameters).fetchone()[0],
        "reasons": pareto,
        "locs": sorted(locs.items(), key=lambda item: (-item[1], item[0])),
        "to_look_at": to_look_at,
        "listed": [tuple(map(given_back, row)) for row in db.execute(
            "SELECT machine, started, serial, outcome, failed, interleaved FROM runs WHERE (" + TO_LOOK_AT
            + ") AND " + where + " ORDER BY " + NEWEST_FIRST + " LIMIT %d" % LISTED, parameters)],
        "units": units,
        "open": listed_open,
        "oldest_open": oldest,
        "unit_days": unit_days,
        "latest": latest_start(db, scope),
    }
    figures["builds"], more = [], [0, 0]
    for build_id, row in sorted(builds.items(), key=lambda item: (-item[1][0], item[0] is None, item[0] or "")):
        if len(figures["builds"]) < BUILDS_LISTED:
            figures["builds"].append((build_id,) + tuple(row))
        else:
            more[0] += 1
            more[1] += row[0]
    figures["builds_more"] = tuple(more)
    return figures
