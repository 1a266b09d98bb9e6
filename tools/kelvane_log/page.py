"""The one-page yield report: the figures the store grouped, drawn as a
self-contained HTML page with inline SVG charts, no script and nothing it
fetches.
"""

from html import escape

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


def svg_days(days, unit_days):
    """The newest days' run outcomes as stacked bars, with the first-pass
    yield of the units first run on each day as a line."""
    width, height, left, right, top, bottom = 880, 230, 52, 48, 12, 36
    plot_width, plot_height = width - left - right, height - top - bottom
    peak = max(sum(day.values()) for _, day in days)
    step = nice_step(peak)
    ceiling = step * -(-peak // step)
    slot = plot_width / len(days)
    bar = max(1.0, min(56.0, slot * 0.72))
    label_every = max(1, int(-(-60 // slot)))
    parts = ['<svg class="chart" viewBox="0 0 %d %d" role="img" aria-label="Outcomes per day">' % (width, height)]
    for value in range(0, ceiling + 1, step):
        y = top + plot_height * (1 - value / ceiling)
        parts.append('<line class="grid" x1="%d" x2="%d" y1="%.1f" y2="%.1f"/><text class="axis" x="%d" y="%.1f" '
                     'text-anchor="end">%s</text>'
                     % (left, left + plot_width, y, y, left - 6, y + 4, "{:,}".format(value)))
    for value in (0, 50, 100):
        y = top + plot_height * (1 - value / 100)
        parts.append('<text class="axis" x="%d" y="%.1f">%d%%</text>' % (left + plot_width + 6, y + 4, value))
    points = []
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
            points.append("%.1f,%.1f" % (centre, top + plot_height * (1 - passed / units)))
    # A light halo keeps the line readable across the bars.
    parts.append('<polyline class="halo" points="%s"/><polyline class="yield" points="%s"/>'
                 % (" ".join(points), " ".join(points)))
    parts.extend('<circle class="yield" cx="%s" cy="%s" r="3"/>' % tuple(point.split(",")) for point in points)
    parts.append("</svg>")
    return "".join(parts)


def svg_bars(rows, attribute, label_of, total=None):
    """One horizontal bar per (key, count), with its label and count; given
    the total, a Pareto: rows of (key, count, count up to it), each with its
    cumulative share."""
    width, line, label_width, count_width = 440, 24, 170, 76 if total is None else 130
    peak = max(row[1] for row in rows)
    parts = ['<svg class="chart" viewBox="0 0 %d %d" role="img">' % (width, line * len(rows) + 4)]
    for index, row in enumerate(rows):
        key, count = row[:2]
        y = index * line + 2
        length = max(1.0, (width - label_width - count_width) * count / peak)
        cumulative = "" if total is None else share(row[2], total)
        parts.append('<g data-%s="%s" data-count="%d"%s><text x="%d" y="%d" text-anchor="end">%s</text>'
                     '<rect class="bar" x="%d" y="%d" width="%.1f" height="16"/><text x="%.1f" y="%d">%s%s</text></g>'
                     % (attribute, escape(key), count, ' data-cumulative="%s"' % cumulative if cumulative else "",
                        label_width - 8, y + 13, escape(printable(label_of(key))), label_width, y, length,
                        label_width + length + 6, y + 13, "{:,}".format(count),
                        ' <tspan class="axis">%s</tspan>' % cumulative if cumulative else ""))
    parts.append("</svg>")
    return "".join(parts)


REPORT_STYLE = """
:root { color-scheme: light; }
body { font: 14px/1.35 "Segoe UI", system-ui, "DejaVu Sans", Arial, sans-serif; color: #1d1d1f; margin: 0 auto;
       max-width: 1320px; padding: 10px 22px 24px; }
h1 { font-size: 20px; margin: 0; }
h2 { font-size: 15px; margin: 0 0 6px; }
section { margin-bottom: 12px; }
h2 small, .note { font-weight: normal; color: #5f6368; font-size: 12px; }
header p { margin: 2px 0 10px; color: #5f6368; }
.figures { display: flex; flex-wrap: wrap; gap: 8px; margin-bottom: 12px; }
.figure { border: 1px solid #d6d6d6; border-left: 6px solid #9e9e9e; border-radius: 4px; padding: 4px 12px 6px;
          min-width: 96px; }
.figure .value { display: block; font-size: 24px; font-weight: 600; font-variant-numeric: tabular-nums; }
.figure small { display: block; color: #5f6368; font-size: 12px; }
.grid { display: grid; grid-template-columns: minmax(0, 2fr) minmax(0, 1fr); gap: 12px 22px; }
section { break-inside: avoid; }
.chart { width: 100%; height: auto; display: block; font-size: 12px; }
.chart text { fill: #1d1d1f; }
.chart .axis { fill: #5f6368; font-size: 11px; }
.chart .grid { stroke: #e3e3e3; }
.chart .bar { fill: #5a7fa8; }
.chart polyline { fill: none; stroke: #1d1d1f; stroke-width: 1.5; }
.chart polyline.halo { stroke: #fff; stroke-width: 4; }
.chart circle.yield { fill: #1d1d1f; }
.legend { display: flex; flex-wrap: wrap; gap: 4px 14px; margin: 4px 0 10px; padding: 0; list-style: none;
          font-size: 12px; }
.legend span { display: inline-block; width: 11px; height: 11px; margin-right: 4px; vertical-align: -1px; }
table { border-collapse: collapse; min-width: 60%; font-variant-numeric: tabular-nums; }
th, td { text-align: left; padding: 3px 18px 3px 0; border-bottom: 1px solid #ececec; white-space: nowrap; }
td.reason { white-space: normal; }
td.name { white-space: normal; overflow-wrap: anywhere; }
th:last-child, td:last-child { padding-right: 0; }
th { font-size: 12px; color: #5f6368; font-weight: 600; border-bottom-color: #bdbdbd; }
.outcome-FAIL { color: #b71c1c; font-weight: 600; }
@media (max-width: 980px) { .grid { grid-template-columns: minmax(0, 1fr); } }
@media print {
  @page { size: A4 landscape; margin: 10mm; }
  body { max-width: none; padding: 0; font-size: 10pt; }
  * { -webkit-print-color-adjust: exact; print-color-adjust: exact; }
  thead { display: table-header-group; }
  tr { break-inside: avoid; }
}
"""


def number(count):
    return "{:,}".format(count)


def figure(name, value, label, note="", colour=None):
    return ('<div class="figure" id="figure-%s"%s><span class="value">%s</span>%s%s</div>'
            % (name, ' style="border-left-color: %s"' % colour if colour else "", value, label,
               "<small>%s</small>" % note if note else ""))


def table(name, headings, rows):
    """rows of cells, each (text, class or None); the text is escaped here."""
    return ('<table id="%s"><thead><tr>%s</tr></thead><tbody>%s</tbody></table>'
            % (name, "".join("<th>%s</th>" % heading for heading in headings),
               "".join("<tr>%s</tr>" % "".join('<td%s>%s</td>' % (' class="%s"' % kind if kind else "", escape(printable(text)))
                                               for text, kind in row) for row in rows)))


def started(text):
    return text.replace("T", " ")


def unit_figures(units):
    count = units["units"]
    return ('<div class="figures">%s</div>' % "".join((
        figure("units", number(count), "units", "by serial number"),
        figure("first-pass", share(units["passed_first"], count), "first-pass yield", "first run PASS or SKIP"),
        figure("final", share(units["done"], count), "final yield", "latest run PASS or SKIP"),
        figure("open", number(units["open_units"]), "open units", share(units["open_units"], count) + " of units",
               COLOURS["FAIL"]),
        figure("retested", number(units["retested"]), "retested units", share(units["retested"], count) + " of units"),
        figure("no-office", number(units["no_office"]), "units without Office", share(units["no_office"], count)
               + " of units", COLOURS["OFFICE-ABSENT"]),
        figure("no-unit", number(units["runs_without_unit"]), "runs without a unit", "in logs of several PCs"),
        figure("placeholder", number(units["placeholder_units"]), "units known by their log",
               "serial a placeholder (Default string, 0000000...)"))))


def off_clock(figures):
    """What the days leave out: runs whose clock went back or was ahead,
    and units whose first run was one (the units still count them)."""
    runs, units = figures["off_clock"], figures["units"]["units_off_clock"]
    if not runs:
        return ""
    return ('<p class="note" id="off-clock">Left out, their clock went back or was ahead: %s runs, and %s units'
            ' from the first-pass yield per day</p>' % (number(runs), number(units)))


def open_units(figures):
    count, listed = figures["units"]["open_units"], figures["open"]
    parts = ['<section id="open"><h2>Open units <small>latest run FAIL or INCOMPLETE, not to ship: %s units, latest '
             'first</small></h2>' % number(count)]
    if listed:
        parts.append(table("open-units", ("unit", "machine", "last start", "runs", "reason"),
                           [((unit, "name"), (machine, "name"), (started(last), None), (number(runs), None),
                             (reason or "", "reason")) for unit, machine, last, runs, reason in listed]))
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


def write_report(figures, out, source):
    """The yield report from the store's figures (see store.report_figures):
    one page, no script, no file or address it needs. It leads with units,
    then the runs they are made of."""
    runs, days, units = figures["runs"], figures["days"], figures["units"]
    page = ['<!DOCTYPE html>\n<html lang="en"><head><meta charset="utf-8">'
            '<meta name="viewport" content="width=device-width, initial-scale=1">'
            '<title>Kelvane units: first-pass yield %s</title><style>%s%s</style></head><body>'
            % (share(units["passed_first"], units["units"]), REPORT_STYLE,
               "".join(".o-%s { fill: %s; background: %s; }\n" % (o, c, c) for o, c in COLOURS.items()))]
    period = " from %s to %s" % (escape(days[0][0]), escape(days[-1][0])) if days else ""
    page.append('<header><h1>Kelvane units</h1><p>%s units; %s runs in %s logs%s; from %s</p></header>'
                % (number(units["units"]), number(runs), number(figures["logs"]), period, escape(printable(source))))
    page.append(unit_figures(units))
    if not runs:
        page.append("<p>No runs.</p></body></html>\n")
        out.write("".join(page))
        return
    page.append(open_units(figures))

    shown_days = days[-DAYS_SHOWN:]
    page.append('<div class="grid"><section id="days"><h2>Runs per day <small>%s; the line is the first-pass yield '
                'of the units first run that day</small></h2>%s<ul class="legend">%s</ul>%s</section>'
                % ("the newest %d of %d days" % (len(shown_days), len(days)) if len(days) > len(shown_days)
                   else "%d day%s" % (len(days), "" if len(days) == 1 else "s"),
                   svg_days(shown_days, figures["unit_days"]),
                   "".join('<li><span class="o-%s"></span>%s</li>' % (o, o) for o in OUTCOMES), off_clock(figures)))
    failing = sum(row[1] for row in figures["reasons"])
    locs = figures["locs"][:LOCS_SHOWN]
    others = figures["locs"][LOCS_SHOWN:]
    page.append('<div>%s<section id="reasons"><h2>Failure reasons <small>runs, most frequent first, with the '
                'cumulative share</small></h2>%s</section><section id="locs"><h2>LOC mix <small>runs</small></h2>%s%s'
                '</section></div></div>'
                % (builds(figures), svg_bars(figures["reasons"], "reason", lambda key: key or "(none logged)", failing)
                   if figures["reasons"] else '<p class="note">None.</p>',
                   svg_bars(locs, "loc", lambda key: key or "(none logged)"),
                   '<p class="note" id="locs-more">and %d more LOCs with %s runs</p>'
                   % (len(others), number(sum(count for _, count in others))) if others else ""))

    page.append(run_figures(figures))
    page.append('<section id="look"><h2>Runs to look at <small>FAIL, INCOMPLETE or interleaved: '
                '%s runs, newest first</small></h2>' % number(figures["to_look_at"]))
    if figures["listed"]:
        page.append(table("attention", ("machine", "date", "time", "serial", "outcome", "reason"), [
            ((machine, None), (date, None), (time, None), (shown(serial), None), (outcome, "outcome-" + outcome),
             (", ".join(filter(None, (failed, "interleaved" if mixed else None))), "reason"))
            for machine, date, time, serial, outcome, failed, mixed in figures["listed"]]))
    else:
        page.append('<p class="note">None.</p>')
    if figures["to_look_at"] > len(figures["listed"]):
        page.append('<p id="attention-more">and %s more</p>' % number(figures["to_look_at"] - len(figures["listed"])))
    page.append("</section></body></html>\n")
    out.write("".join(page))
