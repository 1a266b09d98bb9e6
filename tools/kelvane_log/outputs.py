"""Records for people and tools: the table, jsonl and csv, written as the
records stream by, one run at a time.
"""

import csv
import json

from .reader import FIELDS


def write_jsonl(records, out):
    for _, record in records:
        out.write(json.dumps(record) + "\n")


def write_csv(records, out):
    writer = csv.writer(out)
    writer.writerow(FIELDS)
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
            row.append(value)
        writer.writerow(row)


def shown(value):
    """A value for people: "-" where the run logged none, "" where it logged an empty one."""
    if value is None:
        return "-"
    return value if value else '""'


def write_table(records, out):
    columns = ("machine", "date", "time", "serial", "loc", "outcome", "reason")
    rows = []
    outcomes = {}
    reasons = {}
    for machine, record in records:
        reason = record["failed"] or ""
        if record["interleaved"]:
            reason = (reason + ", " if reason else "") + "interleaved"
        rows.append((machine, record["date"], record["time"], shown(record["serial"]), shown(record["loc"]),
                     record["outcome"], reason))
        outcomes[record["outcome"]] = outcomes.get(record["outcome"], 0) + 1
        if record["failed"]:
            reasons[record["failed"]] = reasons.get(record["failed"], 0) + 1
    widths = [max([len(column)] + [len(row[i]) for row in rows]) for i, column in enumerate(columns)]
    for row in [columns] + rows:
        out.write("  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip() + "\n")
    out.write("\n%d runs\n" % len(rows))
    for outcome in ("PASS", "FAIL", "SKIP", "OFFICE-ABSENT", "INCOMPLETE"):
        if outcome in outcomes:
            out.write("  %-14s %d\n" % (outcome, outcomes[outcome]))
    if reasons:
        out.write("failure reasons\n")
        for reason in sorted(reasons):
            out.write("  %-22s %d\n" % (reason, reasons[reason]))
