"""The one-page yield report: the figures the store grouped, drawn as a
self-contained HTML page with inline SVG charts, no script and nothing it
fetches.
"""

import json
from html import escape

from . import check
from .outputs import printable, shown
from .reader import OUTCOMES

# Outcomes bottom to top in the day bars, as in the legend.
COLOURS = {"PASS": "#2e7d32", "SKIP": "#7aa7d6", "OFFICE-ABSENT": "#e0a526", "INCOMPLETE": "#7d7d7d",
           "FAIL": "#c62828"}
DAYS_SHOWN = 62     # the newest days in the day bars
LOCS_SHOWN = 10


def share(part, whole):
    return "%.1f%%" % (100.0 * part / whole) if whole else "-"


def nice_step(peak):
    """A grid step of 1, 2 or 5 times a power of ten, for about four lines."""
    step = 1
    while True:
        for times in (1, 2, 5):
            if step * times * 4 >= peak:
                return step * times
        step *= 10


def svg_days(days, unit_days, before):
    """The newest days' run outcomes as stacked bars, with the first-pass
    yield of the units first run on each day as a line; a day from before
    on (today, not yet whole) is a hollow point off the line."""
    width, height, left, right, top, bottom = 880, 230, 52, 48, 12, 36
    plot_width, plot_height = width - left - right, height - top - bottom
    peak = max(sum(day.values()) for _, day in days)
    step = nice_step(peak)
    ceiling = step * -(-peak // step)
    slot = plot_width / len(days)
    bar = max(1.0, min(56.0, slot * 0.72))
    label_every = max(1, int(-(-76 // slot)))
    parts = ['<svg class="chart days" viewBox="0 0 %d %d" role="img" aria-label="Outcomes per day">' % (width, height)]
    for value in range(0, ceiling + 1, step):
        y = top + plot_height * (1 - value / ceiling)
        parts.append('<line class="grid" x1="%d" x2="%d" y1="%.1f" y2="%.1f"/><text class="axis" x="%d" y="%.1f" '
                     'text-anchor="end">%s</text>'
                     % (left, left + plot_width, y, y, left - 6, y + 4, "{:,}".format(value)))
    for value in (0, 50, 100):
        y = top + plot_height * (1 - value / 100)
        parts.append('<text class="axis" x="%d" y="%.1f">%d%%</text>' % (left + plot_width + 6, y + 4, value))
    points, partial = [], []
    for index, (date, day) in enumerate(days):
        runs = sum(day.values())
        centre = left + slot * (index + 0.5)
        good = day["PASS"] + day["SKIP"]
        units, passed = unit_days.get(date, (0, 0))
        first_pass = (' data-units="%d" data-first-pass="%s"' % (units, share(passed, units))) if units else ""
        date = escape(date)
        parts.append('<g data-day="%s" data-runs="%d" data-yield="%s"%s><title>%s: %s runs, run yield %s%s</title>'
                     % (date, runs, share(good, runs), first_pass, date, "{:,}".format(runs), share(good, runs),
                        "; %s units first run, first-pass yield %s" % ("{:,}".format(units), share(passed, units))
                        if units else ""))
        base = top + plot_height
        for outcome in OUTCOMES:
            if day[outcome]:
                tall = plot_height * day[outcome] / ceiling
                base -= tall
                parts.append('<rect class="o-%s" data-outcome="%s" data-count="%d" x="%.1f" y="%.1f" width="%.1f" '
                             'height="%.1f"><title>%s %s: %s</title></rect>'
                             % (outcome, outcome, day[outcome], centre - bar / 2, base, bar, tall, date, outcome,
                                "{:,}".format(day[outcome])))
        if index % label_every == 0:
            parts.append('<text class="axis" x="%.1f" y="%d" text-anchor="middle">%s</text>'
                         % (centre, top + plot_height + 16, date))
        parts.append("</g>")
        if units:
            point = (centre, top + plot_height * (1 - passed / units))
            if date < before:
                points.append(point)
            else:
                partial.append(point)
    # A light halo keeps the line readable across the bars.
    line = " ".join("%.1f,%.1f" % point for point in points)
    parts.append('<polyline class="halo" points="%s"/><polyline class="yield" points="%s"/>' % (line, line))
    parts.extend('<circle class="yield" cx="%.1f" cy="%.1f" r="3"/>' % point for point in points)
    parts.extend('<circle class="partial" cx="%.1f" cy="%.1f" r="3.5"/>' % point for point in partial)
    parts.append("</svg>")
    return "".join(parts)


def svg_bars(rows, attribute, label_of, total=None):
    """One horizontal bar per (key, count), with its label and count; given
    the total, a Pareto: rows of (key, count, count up to it), each with its
    cumulative share."""
    width, line, label_width, count_width = 440, 24, 170, 76 if total is None else 130
    peak = max(row[1] for row in rows)
    parts = ['<svg class="chart bars" viewBox="0 0 %d %d" role="img" style="max-width: %dpx">'
             % (width, line * len(rows) + 4, width)]
    for index, row in enumerate(rows):
        key, count = row[:2]
        y = index * line + 2
        length = max(1.0, (width - label_width - count_width) * count / peak)
        cumulative = "" if total is None else share(row[2], total)
        parts.append('<g data-%s="%s" data-count="%d"%s><text x="%d" y="%d" text-anchor="end">%s</text>'
                     '<rect class="bar" x="%d" y="%d" width="%.1f" height="16"/><text x="%.1f" y="%d">%s%s</text></g>'
                     % (attribute, escape("INCOMPLETE" if key is None else key), count,
                        ' data-cumulative="%s"' % cumulative if cumulative else "",
                        label_width - 8, y + 13, escape(printable(label_of(key))), label_width, y, length,
                        label_width + length + 6, y + 13, "{:,}".format(count),
                        ' <tspan class="axis">%s</tspan>' % cumulative if cumulative else ""))
    parts.append("</svg>")
    return "".join(parts)


REPORT_STYLE = """
:root { color-scheme: light; }
body { font: 14px/1.35 "Segoe UI", system-ui, "DejaVu Sans", Arial, sans-serif; color: #1d1d1f; margin: 0 auto;
       max-width: 1320px; padding: 8px 22px 24px; }
h1 { font-size: 20px; margin: 0; display: inline; }
h2 { font-size: 15px; margin: 0 0 6px; }
section { margin-bottom: 12px; }
h2 small, .note { font-weight: normal; color: #5f6368; font-size: 12px; }
header { margin-bottom: 8px; }
header p { margin: 2px 0 0; color: #5f6368; }
#made { display: inline; margin-left: 12px; color: #1d1d1f; }
.top { display: grid; grid-template-columns: minmax(0, 1fr) minmax(250px, 25%); gap: 8px 12px; margin-bottom: 10px;
       align-items: start; }
.figures { display: flex; flex-wrap: wrap; gap: 5px; }
.figure { border: 1px solid #d6d6d6; border-left: 5px solid #9e9e9e; border-radius: 4px; padding: 2px 8px 3px;
          min-width: 80px; font-size: 13px; }
.figure .value { display: block; font-size: 21px; font-weight: 600; font-variant-numeric: tabular-nums; }
.figure small { display: block; color: #5f6368; font-size: 11px; }
#figure-last-day small { font-size: 12px; }
#figure-last-day { border-left-color: #2e7d32; }
#figure-last-day.below { border-left-color: #c62828; background: #fdecea; }
#figure-last-day.below .value { color: #b71c1c; }
.front { display: grid; grid-template-columns: minmax(0, 1fr) minmax(0, 1fr); gap: 12px 22px; }
.grid { display: grid; grid-template-columns: minmax(0, 2fr) minmax(0, 1fr); gap: 12px 22px; }
.chart { width: 100%; height: auto; display: block; font-size: 12px; }
.chart.days { max-width: 880px; }
.chart.pchart { max-width: 640px; }
.chart text { fill: #1d1d1f; }
.chart .axis { fill: #5f6368; font-size: 11px; }
.chart .grid { stroke: #e3e3e3; }
.chart .bar { fill: #5a7fa8; }
.chart polyline { fill: none; stroke: #1d1d1f; stroke-width: 1.5; }
.chart polyline.halo { stroke: #fff; stroke-width: 4; }
.chart polyline.limit { stroke: #c62828; stroke-width: 1; stroke-dasharray: 4 3; }
.chart line.centre { stroke: #2e7d32; stroke-width: 1.5; }
.chart circle.yield { fill: #1d1d1f; }
.chart circle.partial { fill: #fff; stroke: #1d1d1f; stroke-width: 1.5; }
.chart circle.below { fill: #c62828; }
.chart text.below { fill: #b71c1c; font-weight: 600; }
.legend { display: flex; flex-wrap: wrap; gap: 4px 14px; margin: 4px 0 10px; padding: 0; list-style: none;
          font-size: 12px; }
.legend span { display: inline-block; width: 11px; height: 11px; margin-right: 4px; vertical-align: -1px; }
.scroll { overflow-x: auto; }
table { border-collapse: collapse; font-variant-numeric: tabular-nums; }
th, td { text-align: left; padding: 2px 14px 2px 0; border-bottom: 1px solid #ececec; white-space: nowrap; }
td.reason { white-space: normal; min-width: 10em; }
/* On the first screen a long unit (a log's path) is cut, whole in the list below and in its title. */
#open-first td.name { max-width: 15em; overflow: hidden; text-overflow: ellipsis; }
th:last-child, td:last-child { padding-right: 0; }
th { font-size: 12px; color: #5f6368; font-weight: 600; border-bottom-color: #bdbdbd; }
.outcome-FAIL { color: #b71c1c; font-weight: 600; }
.more a { color: #1a5fb4; }
@media (max-width: 980px) { .grid, .front, .top { grid-template-columns: minmax(0, 1fr); } }
@media (max-width: 600px) { body { padding: 6px 10px 16px; } #open-first td.name { max-width: 9em; }
                            #made { display: block; margin: 2px 0 0; }
                            .figure { min-width: 0; } .figure .value { font-size: 18px; } }
@media print {
  @page { size: A4 landscape; margin: 8mm; }
  body { max-width: none; padding: 0; font-size: 9pt; }
  * { -webkit-print-color-adjust: exact; print-color-adjust: exact; }
  #first-screen { break-after: page; }
  .top { grid-template-columns: minmax(0, 1fr) 26%; }
  .front { grid-template-columns: minmax(0, 1fr) minmax(0, 1fr); }
  .grid { grid-template-columns: minmax(0, 3fr) minmax(0, 2fr); }
  .scroll { overflow-x: visible; }
  thead { display: table-header-group; }
  tr, .figure, svg, h2 { break-inside: avoid; }
  .more a { color: inherit; text-decoration: none; }
}
"""
FRONT_OPEN = 10     # open units on the first screen; the rest in the full list below
PCHART_DAYS = 30    # days before today in the p-chart
PCHART_LABELLED = 5     # the newest points labelled with their value


def number(count):
    return "{:,}".format(count)


def figure(name, value, label, note="", colour=None, extra=""):
    return ('<div class="figure" id="figure-%s"%s%s><span class="value">%s</span>%s%s</div>'
            % (name, ' style="border-left-color: %s"' % colour if colour else "", extra, value, label,
               "<small>%s</small>" % note if note else ""))


def table(name, headings, rows):
    """rows of cells, each (text, class or None); the text is escaped here."""
    return ('<div class="scroll"><table id="%s"><thead><tr>%s</tr></thead><tbody>%s</tbody></table></div>'
            % (name, "".join("<th>%s</th>" % heading for heading in headings),
               "".join("<tr>%s</tr>" % "".join(cell(text, kind) for text, kind in row) for row in rows)))


def cell(text, kind):
    text = escape(printable(text))
    return '<td%s%s>%s</td>' % (' class="%s"' % kind if kind else "", ' title="%s"' % text if kind == "name" else "",
                                text)


def started(text):
    return text.replace("T", " ")


def percent(fraction):
    return "%.1f%%" % (100 * fraction)


def unit_figures(units):
    count = units["units"]
    return "".join((
        # Units known only by their log, their serial a placeholder (Default
        # string, 0000000...), are counted in the first tile: the first screen
        # has no room for a tile of its own.
        figure("units", number(count), "units", "by serial, %s by log"
               % number(units["placeholder_units"])),
        figure("first-pass", share(units["passed_first"], count), "first-pass yield", "first run PASS or SKIP"),
        figure("final", share(units["done"], count), "final yield", "latest run PASS or SKIP"),
        figure("open", number(units["open_units"]), "open units", share(units["open_units"], count) + " of units",
               COLOURS["FAIL"]),
        figure("retested", number(units["retested"]), "retested units", share(units["retested"], count) + " of units"),
        figure("no-office", number(units["no_office"]), "units without Office", share(units["no_office"], count)
               + " of units", COLOURS["OFFICE-ABSENT"]),
        figure("no-unit", number(units["runs_without_unit"]), "runs without a unit", "in logs of several PCs")))


def off_clock(figures):
    """What the days leave out: runs whose clock went back or was ahead,
    and units whose first run was one (the units still count them)."""
    runs, units = figures["off_clock"], figures["units"]["units_off_clock"]
    if not runs:
        return ""
    return ('<p class="note" id="off-clock">Left out, their clock went back or was ahead: %s runs, and %s units'
            ' from the first-pass yield per day</p>' % (number(runs), number(units)))


def last_day_figure(last):
    """The last whole day's first-pass yield against its lower control limit:
    red when below."""
    if last is None:
        return figure("last-day", "-", "last whole day", "no day before today with units first run yet")
    if last["limit"] is None:
        against = check.no_limit(last)
    else:
        against = "%s its lower limit %s (p̄ %s of %s units in the %d days before)" % (
            "<b>below</b>" if last["below"] else "above", percent(max(0.0, last["limit"])), percent(last["centre"]),
            number(last["prior_units"]), check.BASELINE_DAYS)
    return ('<div class="figure%s" id="figure-last-day" data-day="%s" data-units="%d" data-first-pass="%s"'
            ' data-limit="%s"><span class="value">%s</span>first-pass yield of %s, the last whole day'
            '<small>%s units first run; %s</small></div>'
            % (" below" if last["below"] else "", last["day"], last["units"], percent(last["first_pass"]),
               "" if last["limit"] is None else percent(max(0.0, last["limit"])), percent(last["first_pass"]),
               last["day"], number(last["units"]), against))


def svg_pchart(unit_days, last, before):
    """The first-pass yield of the units first run on each of the days before
    `before` and that day itself (today, drawn as partial): each day's point,
    the newest labelled, the centre line p̄ of the last whole day and each
    day's lower limit, the days below it marked."""
    width, height, left, right, top, bottom = 600, 258, 44, 70, 22, 34
    plot_width, plot_height = width - left - right, height - top - bottom
    days = [check.day_before(before, back) for back in range(PCHART_DAYS, -1, -1)]
    centre = last["centre"] if last else None
    shown = [(day,) + unit_days[day] for day in days if unit_days.get(day, (0, 0))[0] > 0]
    lows = [passed / units for _, units, passed in shown]
    for _, units, _ in shown:
        limit = check.lower_limit(centre, units)
        if limit is not None:
            lows.append(max(0.0, limit))
    if centre is not None:
        lows.append(centre)
    # The scale starts at the ten below the lowest value: a fall from 95 % to 80 % is not drawn flat.
    floor = min(90, 10 * int(100 * min(lows or [0]) // 10))
    step = 5 if 100 - floor <= 40 else 10
    y_of = lambda value: top + plot_height * (100 - 100 * value) / (100 - floor)
    slot = plot_width / len(days)
    x_of = lambda index: left + slot * (index + 0.5)
    parts = ['<svg class="chart pchart" id="pchart" viewBox="0 0 %d %d" role="img" aria-label="First-pass yield'
             ' per day, a p-chart">' % (width, height)]
    for value in range(floor, 101, step):
        y = y_of(value / 100)
        parts.append('<line class="grid" x1="%d" x2="%d" y1="%.1f" y2="%.1f"/><text class="axis" x="%d" y="%.1f"'
                     ' text-anchor="end">%d%%</text>' % (left, left + plot_width, y, y, left - 6, y + 4, value))
    for index, day in enumerate(days):
        if index % 7 == (len(days) - 1) % 7:
            parts.append('<text class="axis" x="%.1f" y="%d" text-anchor="middle">%s</text>'
                         % (x_of(index), top + plot_height + 16, day))
    if centre is not None:
        y = y_of(centre)
        parts.append('<line class="centre" x1="%d" x2="%d" y1="%.1f" y2="%.1f"/><text class="axis" x="%d" y="%.1f">'
                     'p̄ %s</text>' % (left, left + plot_width, y, y, left + plot_width + 4, y + 4, percent(centre)))
    limits, points, line = [], [], []
    previous = None
    for index, day in enumerate(days):
        units, passed = unit_days.get(day, (0, 0))
        if not units:
            continue
        value = passed / units
        limit = check.lower_limit(centre, units)
        partial = day >= before
        below = limit is not None and value < limit and not partial
        x, y = x_of(index), y_of(value)
        if limit is not None and not partial:
            limits.append("%.1f,%.1f %.1f,%.1f" % (x - slot / 2, y_of(max(0.0, limit)), x + slot / 2,
                                                    y_of(max(0.0, limit))))
        if not partial:
            line.append("%.1f,%.1f" % (x, y))
        labelled = index >= len(days) - 1 - PCHART_LABELLED or below
        # A label below a point lower than the one before it, so that neighbours do not overlap.
        label_y = y + 16 if previous is not None and value < previous else y - 8
        previous = value
        points.append('<g class="point" data-day="%s" data-units="%d" data-first-pass="%s" data-limit="%s"%s%s>'
                      '<title>%s: %s units first run, first-pass yield %s%s%s</title>'
                      '<circle class="%s" cx="%.1f" cy="%.1f" r="%s"/>%s</g>'
                      % (day, units, percent(value), "" if limit is None else percent(max(0.0, limit)),
                         ' data-below="true"' if below else "", ' data-partial="true"' if partial else "",
                         day, number(units), percent(value),
                         "" if limit is None else ", lower limit %s" % percent(max(0.0, limit)),
                         " (not yet whole)" if partial else "",
                         "partial" if partial else "below" if below else "yield", x, y, "4.5" if below else "3",
                         '<text class="%s" x="%.1f" y="%.1f" text-anchor="middle">%s%s</text>'
                         % ("below" if below else "axis", x, label_y, "%.0f%%" % (100 * value),
                            " so far" if partial else "") if labelled else ""))
    parts.extend('<polyline class="limit" points="%s"/>' % segment for segment in limits)
    parts.append('<polyline class="halo" points="%s"/><polyline class="yield" points="%s"/>'
                 % (" ".join(line), " ".join(line)))
    parts.extend(points)
    parts.append("</svg>")
    return "".join(parts)


def open_for(hours):
    """How long a unit has been open, for people."""
    if hours < 1:
        return "%d min" % max(0, hours * 60)
    if hours < 48:
        return "%d h" % hours
    return "%d d %d h" % (hours // 24, hours % 24)


def reason_of(outcome, reason, run):
    """Why a unit is open: a failed run's reason; for a run without a verdict,
    what it last logged before it was cut off."""
    if outcome != "INCOMPLETE":
        return reason or ""
    views = json.loads(run["views"]) if run.get("views") else []
    if views:
        view = views[-1]
        which = "32-bit" if "Wow6432Node" in (view.get("key") or "") else "64-bit"
        step = ("value written" if view.get("after") is not None else "value kept" if view.get("action") == "kept"
                else "overwriting" if view.get("action") == "overwritten" else "value read")
        return "cut off after the %s registry view: %s" % (which, step)
    for field, name in (("loc", "LOC"), ("feature_byte", "Feature Byte"), ("build_id", "Build ID"),
                        ("serial", "serial number")):
        if run.get(field) is not None:
            return "cut off after the %s" % name
    return "cut off before anything was logged"


def open_rows(listed, made, full):
    rows = []
    for unit, machine, last, runs, reason, outcome, run in listed:
        cells = [(unit, "name"), (outcome, "outcome-" + outcome), (reason_of(outcome, reason, run), "reason"),
                 (open_for(check.hours_since(last, made)), None)]
        if full:
            cells[1:1] = [(machine, "name")]
            cells += [(started(last), None), (number(runs), None)]
        rows.append(cells)
    return rows


def open_first(figures, made):
    count, listed = figures["units"]["open_units"], figures["open"][:FRONT_OPEN]
    parts = ['<section id="open-first"><h2>Open units <small>%s, not to ship: latest run FAIL or INCOMPLETE, latest '
             'first</small></h2>' % number(count)]
    if listed:
        parts.append(table("open-first-units", ("unit", "latest", "reason", "open for"),
                           open_rows(listed, made, full=False)))
    else:
        parts.append('<p class="note">None.</p>')
    if count > len(listed):
        parts.append('<p class="more" id="open-first-more"><a href="#open">and %s more</a></p>'
                     % number(count - len(listed)))
    parts.append("</section>")
    return "".join(parts)


def open_units(figures, made):
    count, listed = figures["units"]["open_units"], figures["open"]
    parts = ['<section id="open"><h2>Open units <small>latest run FAIL or INCOMPLETE, not to ship: %s units, latest '
             'first</small></h2>' % number(count)]
    if listed:
        parts.append(table("open-units", ("unit", "machine", "latest", "reason", "open for", "latest start", "runs"),
                           open_rows(listed, made, full=True)))
    else:
        parts.append('<p class="note">None.</p>')
    if count > len(listed):
        parts.append('<p id="open-more">and %s more</p>' % number(count - len(listed)))
    parts.append("</section>")
    return "".join(parts)


def builds(figures):
    rows = [((build_id if build_id is not None else "(none logged)", None), (number(units), None),
             (share(passed, units), None), (share(done, units), None), (number(still_open), None))
            for build_id, units, passed, done, still_open in figures["builds"]]
    more, more_units = figures["builds_more"]
    return ('<section id="builds"><h2>Build IDs <small>units by the Build ID of their latest run that logged one'
            '</small></h2>%s%s</section>'
            % (table("build-ids", ("Build ID", "units", "first-pass yield", "final yield", "open"), rows),
               '<p class="note" id="builds-more">and %s more Build IDs with %s units</p>' % (number(more),
                                                                                       number(more_units))
               if more else ""))


def run_figures(figures):
    runs, outcomes = figures["runs"], figures["outcomes"]
    good = outcomes["PASS"] + outcomes["SKIP"]
    parts = [figure("runs", number(runs), "runs"),
             figure("yield", share(good, runs), "run yield", "PASS and SKIP of all runs", "#1d1d1f")]
    parts.extend(figure(outcome, number(outcomes[outcome]), outcome, share(outcomes[outcome], runs), COLOURS[outcome])
                 for outcome in OUTCOMES)
    parts.append(figure("interleaved", number(figures["interleaved"]), "interleaved",
                        share(figures["interleaved"], runs)))
    parts.append(figure("wrote", number(figures["wrote"]), "passing runs wrote the value",
                        share(figures["wrote"], outcomes["PASS"]) + " of PASS"))
    parts.append(figure("both-set", number(figures["both_set"]), "found both views set",
                        share(figures["both_set"], outcomes["PASS"]) + " of PASS: the image carried it"))
    return '<section id="runs"><h2>Runs</h2><div class="figures">%s</div></section>' % "".join(parts)


def scope_said(scope):
    """What the page is about where not all runs: said on the page."""
    said = []
    if scope.unit is not None:
        said.append("the unit %s" % escape(printable(scope.unit)))
    if scope.since is not None or scope.until is not None:
        said.append("runs that started %s, and the units whose first run did, with all their runs" % " ".join(
            filter(None, ("from %s" % scope.since.isoformat() if scope.since else None,
                          "up to %s" % scope.until.isoformat() if scope.until else None))))
    return "; ".join(said)


def write_report(figures, out, source, made, scope):
    """The yield report from the store's figures (see store.report_figures):
    one page, no script, no file or address it needs. Its first screen
    answers which units are not done and whether first-pass yield is
    falling; then the units, then the runs they are made of. made: the
    moment the page is made, local time."""
    runs, days, units = figures["runs"], figures["days"], figures["units"]
    before = check.whole_days_before(made, scope.until)
    last = check.last_whole_day(figures["unit_days"], before)
    page = ['<!DOCTYPE html>\n<html lang="en"><head><meta charset="utf-8">'
            '<meta name="viewport" content="width=device-width, initial-scale=1">'
            '<title>Kelvane units: first-pass yield %s</title><style>%s%s</style></head><body>'
            % (share(units["passed_first"], units["units"]), REPORT_STYLE,
               "".join(".o-%s { fill: %s; background: %s; }\n" % (o, c, c) for o, c in COLOURS.items()))]
    period = " from %s to %s" % (escape(days[0][0]), escape(days[-1][0])) if days else ""
    about = scope_said(scope)
    page.append('<div id="first-screen"><header><h1>Kelvane units</h1><p id="made">made %s (local time) from runs up'
                ' to %s</p><p>%s units; %s runs in %s logs%s; from %s%s</p></header>'
                % (made.strftime("%Y-%m-%d %H:%M"), started(figures["latest"])[:16] if figures["latest"] else "-",
                   number(units["units"]), number(runs), number(figures["logs"]), period,
                   escape(printable(source)), '</p><p id="scope">' + about if about else ""))
    page.append('<div class="top"><div class="figures">%s</div>%s</div>' % (unit_figures(units),
                                                                           last_day_figure(last)))
    if not runs:
        page.append("<p>No runs.</p></div></body></html>\n")
        out.write("".join(page))
        return
    page.append('<div class="front">%s<section id="first-pass-chart"><h2>First-pass yield per day <small>a p-chart '
                'of the units first run each day: the centre line p̄ of the %d days before %s, each day\'s lower '
                'limit dashed, days below it red, today hollow</small></h2>%s</section></div></div>'
                % (open_first(figures, made), check.BASELINE_DAYS, last["day"] if last else "the last whole day",
                   svg_pchart(figures["unit_days"], last, before)))
    page.append(open_units(figures, made))

    shown_days = days[-DAYS_SHOWN:]
    page.append('<div class="grid"><section id="days"><h2>Runs per day <small>%s; the line is the first-pass yield '
                'of the units first run that day</small></h2>%s<ul class="legend">%s</ul>%s</section>'
                % ("the newest %d of %d days" % (len(shown_days), len(days)) if len(days) > len(shown_days)
                   else "%d day%s" % (len(days), "" if len(days) == 1 else "s"),
                   svg_days(shown_days, figures["unit_days"], before) if shown_days else "",
                   "".join('<li><span class="o-%s"></span>%s</li>' % (o, o) for o in OUTCOMES), off_clock(figures)))
    failing = sum(row[1] for row in figures["reasons"])
    locs = figures["locs"][:LOCS_SHOWN]
    others = figures["locs"][LOCS_SHOWN:]
    page.append('<div>%s<section id="reasons"><h2>Failure reasons <small>runs, most frequent first, with the '
                'cumulative share; INCOMPLETE counted as cut off</small></h2>%s</section><section id="locs"><h2>LOC mix'
                ' <small>runs</small></h2>%s%s</section></div></div>'
                % (builds(figures), svg_bars(figures["reasons"], "reason", lambda key: "cut off (INCOMPLETE)"
                                             if key is None else key or "(none logged)", failing)
                   if figures["reasons"] else '<p class="note">None.</p>',
                   svg_bars(locs, "loc", lambda key: key or "(none logged)"),
                   '<p class="note" id="locs-more">and %d more LOCs with %s runs</p>'
                   % (len(others), number(sum(count for _, count in others))) if others else ""))

    page.append(run_figures(figures))
    page.append('<section id="look"><h2>Runs to look at <small>FAIL, INCOMPLETE, or interleaved and not passed: '
                '%s runs, newest first</small></h2>' % number(figures["to_look_at"]))
    if figures["listed"]:
        page.append(table("attention", ("machine", "started", "serial", "outcome", "reason"), [
            ((machine, None), (started(start), None), (shown(serial), None), (outcome, "outcome-" + outcome),
             (", ".join(filter(None, (failed, "interleaved" if mixed else None))), "reason"))
            for machine, start, serial, outcome, failed, mixed in figures["listed"]]))
    else:
        page.append('<p class="note">None.</p>')
    if figures["to_look_at"] > len(figures["listed"]):
        page.append('<p id="attention-more">and %s more</p>' % number(figures["to_look_at"] - len(figures["listed"])))
    page.append("</section></body></html>\n")
    out.write("".join(page))
