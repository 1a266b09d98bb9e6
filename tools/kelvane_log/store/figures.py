"""What is read back: the runs and units kept, of a window of days or one
unit, and every figure of the page and of --check, grouped by the database
so that a million runs never sit in memory.
"""

import datetime
import json

from ..reader import FIELDS, OUTCOMES
from .schema import COLUMNS, UNIT_FIELDS, given_back, kept
from .summaries import RUN_DAY_COLUMNS, RUN_DAYS, TO_LOOK_AT, UNIT_DAY_COLUMNS, UNIT_DAYS


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
    """One record per unit, in order of the unit, from the units' sums."""
    where, parameters = scope.units()
    for row in db.rows("SELECT %s FROM summed_units WHERE %s ORDER BY unit" % (", ".join(UNIT_FIELDS), where),
                       parameters):
        if bytes in map(type, row):
            row = tuple(map(given_back, row))
        yield dict(zip(UNIT_FIELDS, row))


LISTED = 100        # runs and open units to look at, newest first; the rest are counted
BUILDS_LISTED = 20
# Within a second, a log's later run is the newer one.
NEWEST_FIRST = "started DESC, file, run DESC"


def unit_groups(scope):
    """The statement, with its parameters, that gives a scope's units
    grouped by the day of their first run and by what the page counts of
    them: from the day sums, for a window of days or all; from the summed
    unit itself, for one unit."""
    if scope.unit is None:
        where, parameters = scope.where("day")
        return "SELECT %s FROM summed_unit_days WHERE %s" % (", ".join(UNIT_DAY_COLUMNS), where), parameters
    where, parameters = scope.units()
    return UNIT_DAYS.format(count="count(*)", source="summed_units", where=where), parameters


def unit_summary(db, scope, recent, listed=LISTED):
    """The unit figures of a scope: counts by state, the Build IDs, the units
    by the day of their first run where its clock is believed ({YYYY-MM-DD:
    (units, of them passed first time)}: the cohorts of first-pass yield and
    its control chart), the open units listed newest first (with their
    latest run's values), and the oldest start of an open unit's latest run
    since recent (a start as text). Read from the sums, never from the runs."""
    units = dict.fromkeys(("units", "passed_first", "done", "open_units", "retested", "no_office",
                           "placeholder_units", "units_off_clock"), 0)
    builds, days = {}, {}
    for day, build_id, state, passed, retested, by_placeholder, off_clock, count in db.execute(*unit_groups(scope)):
        if not off_clock:
            on_day = days.setdefault(day, [0, 0])
            on_day[0] += count
            on_day[1] += count if passed else 0
        units["units"] += count
        units["passed_first"] += count if passed else 0
        units["retested"] += count if retested else 0
        units["placeholder_units"] += count if by_placeholder else 0
        units["units_off_clock"] += count if off_clock else 0
        units[{"done": "done", "open": "open_units", "no office": "no_office"}[state]] += count
        build = builds.setdefault(given_back(build_id), [0, 0, 0, 0])
        build[0] += count
        build[1] += count if passed else 0
        build[2] += count if state == "done" else 0
        build[3] += count if state == "open" else 0
    where, parameters = scope.units()
    oldest = db.execute("SELECT min(last_started) FROM summed_units WHERE state = 'open' AND last_started >= ? AND "
                        + where, [recent] + parameters).fetchone()[0]
    listing = []
    if listed:
        listing = [tuple(map(given_back, row)) for row in db.execute(
            "SELECT unit, machine, last_started, runs, reason, file, last, coalesce(placeholder, unit)"
            " FROM summed_units WHERE state = 'open' AND %s ORDER BY last_started DESC, unit LIMIT %d"
            % (where, listed), parameters)]
    days = {day: tuple(counts) for day, counts in sorted(days.items())}
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


def check_figures(db, scope, recent):
    """What --check judges: the units first run per day, the open units and
    the oldest start of a recent open unit's latest run."""
    units, _, days, _, oldest = unit_summary(db, scope, recent, listed=0)
    return {"unit_days": days, "open_units": units["open_units"], "oldest_open": oldest}


def run_groups(scope):
    """The statement, with its parameters, that gives a scope's runs grouped
    by day and by what the page counts of them: the day sums of a window of
    days or all; one unit's runs, through the unit index."""
    if scope.unit is None:
        where, parameters = scope.where("day")
        return "SELECT %s FROM summed_run_days WHERE %s" % (", ".join(RUN_DAY_COLUMNS), where), parameters
    where, parameters = scope.runs()
    return RUN_DAYS.format(join="", where=where), parameters


def logs(db, scope):
    """The number of logs with a run in a scope: all the logs kept, or
    those a window's runs or a unit's runs are of."""
    if not scope:
        return db.execute("SELECT count(*) FROM summed_logs").fetchone()[0]
    where, parameters = scope.runs()
    return db.execute("SELECT count(*) FROM (SELECT DISTINCT log FROM runs WHERE %s) AS logs" % where,
                      parameters).fetchone()[0]


def report_figures(db, scope=ALL, recent=""):
    """Every figure of the page, grouped by the database. The runs that
    started in the scope are counted in one pass, by day, outcome, LOC and
    reason; the scope's units are worked out once, in the statement that
    groups them. Nothing is written, not even a temporary table: a role that
    may only read can make the page. recent: the start since which an open
    unit is news."""
    days, locs, reasons, outcomes = {}, {}, {}, dict.fromkeys(OUTCOMES, 0)
    interleaved = to_look_at = wrote = both_set = off_clock = without_unit = 0
    latest = None
    where, parameters = scope.runs()
    for (day, outcome, mixed, loc, failed, believed, count, wrote_here, set_here, loose,
         newest) in db.execute(*run_groups(scope)):
        # A run whose clock went back or was ahead is on no day.
        if believed:
            on_day = days.setdefault(day, dict.fromkeys(OUTCOMES, 0))
            on_day[outcome] += count
            latest = newest if latest is None or newest > latest else latest
        else:
            off_clock += count
        outcomes[outcome] += count
        interleaved += count if mixed else 0
        to_look_at += count if outcome in ("FAIL", "INCOMPLETE") or (mixed and outcome not in ("PASS", "SKIP")) else 0
        wrote += wrote_here
        both_set += set_here
        without_unit += loose
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
    units["runs_without_unit"] = without_unit
    figures = {
        "days": sorted(days.items()), "outcomes": outcomes, "runs": sum(outcomes.values()),
        "interleaved": interleaved, "wrote": wrote, "both_set": both_set, "off_clock": off_clock,
        "logs": logs(db, scope),
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
        "latest": latest,
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
