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


def svg_days(days):
    """The newest days' outcomes as stacked bars, with the day's yield as a line."""
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
        date = escape(date)
        parts.append('<g data-day="%s" data-runs="%d" data-yield="%s"><title>%s: %s runs, yield %s</title>'
                     % (date, runs, share(good, runs), date, "{:,}".format(runs), share(good, runs)))
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
        points.append("%.1f,%.1f" % (centre, top + plot_height * (1 - good / runs)))
    # A light halo keeps the line readable across the bars.
    parts.append('<polyline class="halo" points="%s"/><polyline class="yield" points="%s"/>'
                 % (" ".join(points), " ".join(points)))
    parts.extend('<circle class="yield" cx="%s" cy="%s" r="3"/>' % tuple(point.split(",")) for point in points)
    parts.append("</svg>")
    return "".join(parts)


def svg_bars(rows, attribute, label_of):
    """One horizontal bar per (key, count), with its label and count."""
    width, line, label_width, count_width = 440, 24, 170, 76
    peak = max(count for _, count in rows)
    parts = ['<svg class="chart" viewBox="0 0 %d %d" role="img">' % (width, line * len(rows) + 4)]
    for index, (key, count) in enumerate(rows):
        y = index * line + 2
        length = max(1.0, (width - label_width - count_width) * count / peak)
        parts.append('<g data-%s="%s" data-count="%d"><text x="%d" y="%d" text-anchor="end">%s</text>'
                     '<rect class="bar" x="%d" y="%d" width="%.1f" height="16"/><text x="%.1f" y="%d">%s</text></g>'
                     % (attribute, escape(key), count, label_width - 8, y + 13, escape(printable(label_of(key))),
                        label_width, y, length, label_width + length + 6, y + 13, "{:,}".format(count)))
    parts.append("</svg>")
    return "".join(parts)


REPORT_STYLE = """
:root { color-scheme: light; }
body { font: 14px/1.35 "Segoe UI", system-ui, "DejaVu Sans", Arial, sans-serif; color: #1d1d1f; margin: 0 auto;
       max-width: 1320px; padding: 10px 22px 24px; }
h1 { font-size: 20px; margin: 0; }
h2 { font-size: 15px; margin: 0 0 6px; }
h2 small, .note { font-weight: normal; color: #5f6368; font-size: 12px; }
header p { margin: 2px 0 10px; color: #5f6368; }
.figures { display: flex; flex-wrap: wrap; gap: 8px; margin-bottom: 12px; }
.figure { border: 1px solid #d6d6d6; border-left: 6px solid #9e9e9e; border-radius: 4px; padding: 4px 12px 6px;
          min-width: 104px; }
.figure .value { display: block; font-size: 24px; font-weight: 600; font-variant-numeric: tabular-nums; }
.figure small { display: block; color: #5f6368; font-size: 12px; }
#figure-yield { border-left-color: #1d1d1f; }
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


def write_report(figures, out, source):
    """The yield report from the store's figures (see store.report_figures):
    one page, no script, no file or address it needs."""
    runs, outcomes, days = figures["runs"], figures["outcomes"], figures["days"]
    good = outcomes["PASS"] + outcomes["SKIP"]
    page = ['<!DOCTYPE html>\n<html lang="en"><head><meta charset="utf-8">'
            '<meta name="viewport" content="width=device-width, initial-scale=1">'
            '<title>Kelvane runs: yield %s</title><style>%s%s</style></head><body>'
            % (share(good, runs), REPORT_STYLE,
               "".join(".o-%s { fill: %s; background: %s; }\n" % (o, c, c) for o, c in COLOURS.items()))]
    period = " from %s to %s" % (escape(days[0][0]), escape(days[-1][0])) if days else ""
    page.append('<header><h1>Kelvane runs</h1><p>%s runs in %s logs%s; from %s</p></header>'
                % ("{:,}".format(runs), "{:,}".format(figures["logs"]), period, escape(printable(source))))
    page.append('<div class="figures"><div class="figure" id="figure-runs"><span class="value">%s</span>runs</div>'
                '<div class="figure" id="figure-yield"><span class="value">%s</span>yield<small>PASS and SKIP of all'
                '</small></div>' % ("{:,}".format(runs), share(good, runs)))
    for outcome in OUTCOMES:
        page.append('<div class="figure" id="figure-%s" style="border-left-color: %s"><span class="value">%s</span>'
                    '%s<small>%s</small></div>' % (outcome, COLOURS[outcome], "{:,}".format(outcomes[outcome]),
                                                   outcome, share(outcomes[outcome], runs)))
    page.append('<div class="figure" id="figure-interleaved"><span class="value">%s</span>interleaved<small>%s</small>'
                '</div></div>' % ("{:,}".format(figures["interleaved"]), share(figures["interleaved"], runs)))
    if not runs:
        page.append("<p>No runs.</p></body></html>\n")
        out.write("".join(page))
        return

    shown_days = days[-DAYS_SHOWN:]
    page.append('<div class="grid"><section id="days"><h2>Outcomes per day <small>%s; the line is the yield'
                '</small></h2>%s<ul class="legend">%s</ul></section>'
                % ("the newest %d of %d days" % (len(shown_days), len(days)) if len(days) > len(shown_days)
                   else "%d day%s" % (len(days), "" if len(days) == 1 else "s"), svg_days(shown_days),
                   "".join('<li><span class="o-%s"></span>%s</li>' % (o, o) for o in OUTCOMES)))
    page.append('<div><section id="reasons"><h2>Failure reasons</h2>%s</section>'
                % (svg_bars(figures["reasons"], "reason", lambda key: key or "(none logged)")
                   if figures["reasons"] else '<p class="note">None.</p>'))
    locs = figures["locs"][:LOCS_SHOWN]
    others = figures["locs"][LOCS_SHOWN:]
    page.append('<section id="locs"><h2>LOC mix</h2>%s%s</section></div></div>'
                % (svg_bars(locs, "loc", lambda key: key or "(none logged)"),
                   '<p class="note" id="locs-more">and %d more LOCs with %s runs</p>'
                   % (len(others), "{:,}".format(sum(count for _, count in others))) if others else ""))

    page.append('<section id="look"><h2>Runs to look at <small>FAIL, INCOMPLETE or interleaved: %s runs, newest first'
                '</small></h2>' % "{:,}".format(figures["to_look_at"]))
    if figures["listed"]:
        page.append('<table id="attention"><thead><tr><th>machine</th><th>date</th><th>time</th><th>serial</th>'
                    '<th>outcome</th><th>reason</th></tr></thead><tbody>')
        for machine, date, time, serial, outcome, failed, mixed in figures["listed"]:
            reason = ", ".join(filter(None, (failed, "interleaved" if mixed else None)))
            page.append('<tr><td>%s</td><td>%s</td><td>%s</td><td>%s</td><td class="outcome-%s">%s</td>'
                        '<td class="reason">%s</td></tr>' % tuple(escape(printable(text)) for text in (
                            machine, date, time, shown(serial), outcome, outcome, reason)))
        page.append("</tbody></table>")
    else:
        page.append('<p class="note">None.</p>')
    if figures["to_look_at"] > len(figures["listed"]):
        page.append('<p id="attention-more">and %s more</p>'
                    % "{:,}".format(figures["to_look_at"] - len(figures["listed"])))
    page.append("</section></body></html>\n")
    out.write("".join(page))

