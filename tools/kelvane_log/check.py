"""What a monitoring system asks: the figures (the same store functions as
the page's) turned into one state and one line, in the convention of
monitoring plugins: `KELVANE-LOG <STATE> - <what> | <performance data>`.
Also the one definition of the last whole day and its control limit, which
the page draws.
"""

import datetime
import math

# The days before the last whole day whose units give its centre line.
BASELINE_DAYS = 30
# An open unit whose latest run started longer ago than this is history, not news.
RECENT_DAYS = 30
DEFAULT_OPEN_HOURS = 24


def day_before(day, days=1):
    return (datetime.date.fromisoformat(day) - datetime.timedelta(days=days)).isoformat()


def whole_days_before(now, until=None):
    """The day (YYYY-MM-DD) before which days are whole: today, or the day
    after --until where that is earlier."""
    today = now.date()
    return min(today, until + datetime.timedelta(days=1)).isoformat() if until else today.isoformat()


def share(part, whole):
    return part / whole if whole else None


def lower_limit(centre, units):
    """The p-chart's lower control limit of a day of units first run, for a
    centre line p̄: p̄ − 3·√(p̄(1−p̄)/n). None where p̄ is 0 or 1 (nothing to
    fall below) or the day had no units."""
    if centre is None or units <= 0 or centre <= 0 or centre >= 1:
        return None
    return centre - 3 * math.sqrt(centre * (1 - centre) / units)


def last_whole_day(unit_days, before):
    """The newest day before `before` (YYYY-MM-DD: today, or the day after
    --until) on which units had their first run, with its first-pass yield,
    the centre line p̄ of the units first run in the BASELINE_DAYS before it,
    and its lower limit; None where there is no such day. unit_days:
    {YYYY-MM-DD: (units, passed first time)}."""
    whole = [day for day, (units, _) in unit_days.items() if day < before and units > 0]
    if not whole:
        return None
    day = max(whole)
    units, passed = unit_days[day]
    start = day_before(day, BASELINE_DAYS)
    prior = [unit_days[other] for other in unit_days if start <= other < day]
    prior_units = sum(count for count, _ in prior)
    centre = share(sum(good for _, good in prior), prior_units)
    limit = lower_limit(centre, units)
    first_pass = passed / units
    return {"day": day, "units": units, "passed": passed, "first_pass": first_pass, "centre": centre,
            "prior_units": prior_units, "limit": limit, "below": limit is not None and first_pass < limit}


def no_limit(last):
    """Why a last whole day has no lower limit to fall below."""
    if last["centre"] is None:
        return "no lower limit: no units first run in the %d days before" % BASELINE_DAYS
    return "no lower limit: the units of the %d days before all %s first time" % (
        BASELINE_DAYS, "passed" if last["centre"] >= 1 else "failed")


def hours_since(start, now):
    """Hours from a run's start (YYYY-MM-DDTHH:MM:SS) to now (a datetime)."""
    return (now - datetime.datetime.fromisoformat(start)).total_seconds() / 3600


def recent_since(now):
    """The start since which an open unit is news, as the store compares it."""
    return (now - datetime.timedelta(days=RECENT_DAYS)).isoformat(timespec="seconds")


def percent(fraction):
    return "%.1f" % (100 * fraction)


def judge(figures, before, now, open_hours):
    """(state, what, performance data) of check figures (store.check_figures)."""
    last = last_whole_day(figures["unit_days"], before)
    if last is None:
        return "UNKNOWN", "no whole day with units first run yet", ""
    oldest = None if figures["oldest_open"] is None else max(0.0, hours_since(figures["oldest_open"], now))
    limit = last["limit"]
    # A value that cannot be determined is U, as the plugins' guidelines have it.
    data = ["first_pass=%s%%;;%s;0;100" % (percent(last["first_pass"]), "" if limit is None
                                           else percent(max(0.0, limit)) + ":"),
            "lower_limit=%s;;;0;100" % ("U" if limit is None else percent(max(0.0, limit)) + "%"),
            "open_units=%d;;;0;" % figures["open_units"],
            "oldest_open_hours=%s;%s;;0;" % ("0" if oldest is None else "%.1f" % oldest, ("%g" % open_hours))]
    said = "first-pass yield %s %s%% of %d units" % (last["day"], percent(last["first_pass"]), last["units"])
    if limit is None:
        said += " (%s)" % no_limit(last)
    else:
        said += " %s its lower control limit %s%%" % ("below" if last["below"] else "above",
                                                     percent(max(0.0, limit)))
    said += "; %d open units" % figures["open_units"]
    if oldest is not None:
        said += ", the oldest of the last %d days open %.1f h" % (RECENT_DAYS, oldest)
    if last["below"]:
        state = "CRITICAL"
    elif oldest is not None and oldest > open_hours:
        state = "WARNING"
    else:
        state = "OK"
    return state, said, " ".join(data)


def line(state, what, data=""):
    """The one line a monitoring system reads."""
    text = "KELVANE-LOG %s - %s" % (state, " ".join(what.replace("|", "/").split()))
    return text + (" | " + data if data else "") + "\n"
