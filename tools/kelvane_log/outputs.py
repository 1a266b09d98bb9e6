"""Records for people and tools: the table, jsonl and csv, written as the
records stream by, one run (or one unit) at a time.
"""

import csv
import json
import re

from .reader import FIELDS
from .store import UNIT_FIELDS

# A spreadsheet program runs a cell that starts so as a formula
# (=HYPERLINK(...), a DDE call): such a cell is written behind a quote, as
# OWASP's advice on CSV injection has it. The quote shows in a text editor.
FORMULA_STARTS = ("=", "+", "-", "@", "\t", "\r")


def cell(text):
    return "'" + text if text.startswith(FORMULA_STARTS) else text


def started(record):
    """A run's start as ISO 8601 (YYYY-MM-DDTHH:MM:SS), from the header's
    MM/DD/YY (read as 20YY) and time, as the store keeps it."""
    date = record["date"]
    return "20%s-%s-%sT%s" % (date[6:8], date[0:2], date[3:5], record["time"])


def write_jsonl(records, out):
    for _, record in records:
        out.write(json.dumps(dict(record, started=started(record))) + "\n")


def write_csv(records, out):
    writer = csv.writer(out)
    writer.writerow(FIELDS + ("started",))
    for _, record in records:
        row = []
        for field in FIELDS:
            value = record[field]
            if field == "views":
                value = json.dumps(value)
            elif field == "interleaved":
                value = "true" if value else "false"
            elif value is None:
                value = ""
            elif value.__class__ is str:
                value = cell(value)
            row.append(value)
        row.append(started(record))
        writer.writerow(row)


# What a terminal would act on (C0 controls, DEL, C1 controls) and the
# halves of UTF-16 pairs a log or a file name may hold alone: in the table
# they are written as Python writes them in a string (\n, \x1b, \udc80),
# so that a line feed cannot start a forged row nor an escape sequence move
# the cursor, and each cell's width is what it shows.
UNPRINTABLE = re.compile("[\x00-\x1f\x7f-\x9f\ud800-\udfff]")


def printable(text):
    return UNPRINTABLE.sub(lambda character: repr(character.group())[1:-1], text)


def shown(value):
    """A value for people: "-" where the run logged none, "" where it logged an empty one."""
    if value is None:
        return "-"
    return value if value else '""'


def write_table(records, out):
    columns = ("machine", "started", "serial", "loc", "outcome", "reason")
    rows = []
    outcomes = {}
    reasons = {}
    for machine, record in records:
        reason = record["failed"] or ""
        if record["interleaved"]:
            reason = (reason + ", " if reason else "") + "interleaved"
        rows.append(tuple(map(printable, (machine, started(record).replace("T", " "), shown(record["serial"]),
                                          shown(record["loc"]), record["outcome"], reason))))
        outcomes[record["outcome"]] = outcomes.get(record["outcome"], 0) + 1
        if record["failed"]:
            reasons[record["failed"]] = reasons.get(record["failed"], 0) + 1
    write_rows(columns, rows, out)
    out.write("\n%d runs\n" % len(rows))
    for outcome in ("PASS", "FAIL", "SKIP", "OFFICE-ABSENT", "INCOMPLETE"):
        if outcome in outcomes:
            out.write("  %-14s %d\n" % (outcome, outcomes[outcome]))
    if reasons:
        out.write("failure reasons\n")
        for reason in sorted(reasons):
            out.write("  %-22s %d\n" % (printable(reason), reasons[reason]))


def write_rows(columns, rows, out):
    """Rows of text under their column names, each column as wide as its widest cell."""
    widths = [max([len(column)] + [len(row[i]) for row in rows]) for i, column in enumerate(columns)]
    for row in [columns] + rows:
        out.write("  ".join(text.ljust(width) for text, width in zip(row, widths)).rstrip() + "\n")


def write_units_jsonl(units, out):
    # A write a unit costs more than its line: they go a thousand at a time.
    lines = []
    for unit in units:
        lines.append(json.dumps(unit))
        if len(lines) == 1000:
            out.write("\n".join(lines) + "\n")
            lines = []
    if lines:
        out.write("\n".join(lines) + "\n")


def write_units_csv(units, out):
    writer = csv.writer(out)
    writer.writerow(UNIT_FIELDS)
    for unit in units:
        writer.writerow(["" if value is None else cell(value) if value.__class__ is str else value
                         for value in map(unit.get, UNIT_FIELDS)])


def write_units_table(units, out):
    columns = ("unit", "runs", "logs", "first", "last", "state", "last_started", "build_id", "loc", "reason")
    rows = []
    states = dict.fromkeys(("done", "open", "no office"), 0)
    first_pass = retested = 0
    for unit in units:
        row = [str(unit[column]) if column in ("runs", "logs") else shown(unit[column]) for column in columns]
        row[columns.index("last_started")] = row[columns.index("last_started")].replace("T", " ")
        row[-1] = unit["reason"] or ""
        rows.append(list(map(printable, row)))
        states[unit["state"]] += 1
        first_pass += unit["first"] in ("PASS", "SKIP")
        retested += unit["runs"] > 1
    write_rows(columns, rows, out)
    out.write("\n%d units\n" % len(rows))
    for name, count in list(states.items()) + [("first pass", first_pass), ("retested", retested)]:
        out.write("  %-11s %d\n" % (name, count))
