"""Reading Run logs: a log's bytes in, one record per run out. Decodes the
text, takes it apart into entries, groups the runs that mixed and resolves
what each run logged. Pure functions of the bytes; nothing here touches a
file, a database or another module of the tool.
"""

import re
import sys
from collections import namedtuple
from itertools import chain

FIELDS = ("file", "run", "date", "time", "serial", "build_id", "feature_byte", "loc",
          "outcome", "failed", "views", "marker", "interleaved")
# Every outcome a record can have, the good ones first.
OUTCOMES = ("PASS", "SKIP", "OFFICE-ABSENT", "INCOMPLETE", "FAIL")

# Every run opens with this entry; the one before it may end anywhere, even
# mid-line (a Result token or a query failure has no line end, and a run cut
# off by a power loss leaves half an entry).
HEADER_START = "=" * 32 + " "
HEADER = re.compile(r"={32} (\d\d/\d\d/\d\d) (\d\d:\d\d:\d\d) ={40}\r\n")

# An entry is (step, value): the step of a run's course it records, and the
# text it carries (None for fixed text). Text of no entry at all is passed
# over. The steps are numbered so that a record is filled with few tests:
# the identity first, then the steps that give a record nothing, the
# verdicts, the rest.
(SERIAL, BUILD_ID, FEATURE_BYTE, LOC, JAPAN, NON_JAPAN, SETUP, COPYING, PASS, FAIL, SKIP, ABSENT,
 NATIVE, WOW64, BEFORE, KEPT, OVERWRITTEN, AFTER, NOT_SET, QUERY_FAILED, MARKER) = range(21)
IDENTITY = ("serial", "build_id", "feature_byte", "loc")

# The record field an entry's value goes to, by step.
FIELD_OF = {SERIAL: "serial", BUILD_ID: "build_id", FEATURE_BYTE: "feature_byte", LOC: "loc",
            QUERY_FAILED: "failed", NOT_SET: "failed", MARKER: "marker"}
VERDICT_OF = {PASS: "PASS", FAIL: "FAIL", SKIP: "SKIP", ABSENT: "OFFICE-ABSENT"}

NATIVE_KEY = "HKLM\\SOFTWARE\\Microsoft\\Office\\16.0\\Common\\OEM"
WOW64_KEY = "HKLM\\SOFTWARE\\Wow6432Node\\Microsoft\\Office\\16.0\\Common\\OEM"
KEY_OF = {NATIVE: NATIVE_KEY, WOW64: WOW64_KEY}
MARKER_DESTINATION = " copy to c:\\Windows\\QUINTAR.exe"

# A line entry by its first four characters, then its whole prefix, then
# what it gives. Where the prefix ends in "[", the rest of the line is the
# value; other lines must be the whole prefix, except the marker's, which
# carry a number or a path behind it.
LINE_ENTRIES = {
    "Seri": (("SerialNumber=[", SERIAL, None),),
    "Buil": (("BuildID=[", BUILD_ID, None),),
    "Feat": (("FeatureByte=[", FEATURE_BYTE, None),),
    "LOC=": (("LOC=[", LOC, None),),
    "Japa": (("Japan case, exit.", JAPAN, None),),
    "Non-": (("Non-Japan case.", NON_JAPAN, None),),
    "Setu": (("Setup the registry key!", SETUP, None),),
    "HKLM": ((NATIVE_KEY, NATIVE, None), (WOW64_KEY, WOW64, None)),
    "Regi": (("Registry before write: [", BEFORE, None), ("Registry after write: [", AFTER, None),
             ("Registry value not set after write: [", NOT_SET, None)),
    "Alre": (("Already correct registry key value, skip!", KEPT, None),),
    "inco": (("incorrect registry key value, overwrite it!", OVERWRITTEN, None),),
    "Not ": (("Not found Office reg key, skip and exit.", ABSENT, None),),
    "Copy": (("Copy file successful with return code: ", MARKER, "copied"),
             ("Copy file failed with return code: ", MARKER, "copy failed")),
    "Sour": (("Source file not exists: ", MARKER, "source missing"),),
}
# The entries without a line end: the next entry follows on the same line.
RESULT_TOKENS = {"Result=PASS": PASS, "Result=FAIL": FAIL, "Result=SKIP": SKIP}
QUERY_FAILURES = (("Query serial number failed", "serial number query"),
                  ("Query Build ID failed", "Build ID query"),
                  ("Query Feature Byte failed", "Feature Byte query"))

# The course of one run, as (state, step) -> next state. A run starts in
# START; END means it can log nothing more. Runs that mixed are told apart
# by it, and a run that was cut off by a power loss is told from one that
# goes on.
START, END = 0, -1
COURSE = {
    (START, SERIAL): 1, (1, BUILD_ID): 2, (2, FEATURE_BYTE): 3, (3, LOC): 4,
    (4, JAPAN): 5, (5, SKIP): END,
    (4, NON_JAPAN): 6, (6, SETUP): 7, (7, NATIVE): 8, (8, ABSENT): END,
    (8, BEFORE): 9, (9, KEPT): 11, (9, OVERWRITTEN): 10, (10, AFTER): 12, (12, NOT_SET): 20,
    (11, WOW64): 13, (12, WOW64): 13,
    (13, BEFORE): 14, (14, KEPT): 16, (14, OVERWRITTEN): 15, (15, AFTER): 17, (17, NOT_SET): 20,
    (16, PASS): 18, (17, PASS): 18,
    (START, QUERY_FAILED): 19, (19, FAIL): END, (20, FAIL): END,
    (18, COPYING): 21, (18, MARKER): END, (21, MARKER): END,
}


def steps_ahead():
    """For each state, the steps a run in it may still log."""
    ahead = {state: set() for state, _ in COURSE}
    changed = True
    while changed:
        changed = False
        for (state, step), following in COURSE.items():
            more = {step} | ahead.get(following, set())
            if not more <= ahead[state]:
                ahead[state] |= more
                changed = True
    ahead[END] = set()
    return ahead


AHEAD = steps_ahead()
# The steps that log each field.
STEPS_OF = {field: {step for step, name in FIELD_OF.items() if name == field} for field in FIELD_OF.values()}


def take_tokens(line, found):
    """Adds the entries without a line end that open line to found; returns
    the rest of the line."""
    while line and line[0] in "RQ":
        step = RESULT_TOKENS.get(line[:11])
        if step is not None:
            found.append((step, None))
            line = line[11:]
            continue
        for failure, reason in QUERY_FAILURES:
            if line.startswith(failure):
                found.append((QUERY_FAILED, reason))
                line = line[len(failure):]
                break
        else:
            break
    return line


def line_entries(line):
    """The entries of one line of a run's text, its line end taken off."""
    found = []
    line = take_tokens(line, found)
    for prefix, step, meaning in LINE_ENTRIES.get(line[:4], ()):
        if not line.startswith(prefix):
            continue
        if step == MARKER:
            found.append((step, meaning))
        elif step == NOT_SET:
            # The view whose write did not take effect.
            found.append((step, "registry 32-bit view" if "\\Wow6432Node\\" in line else "registry native view"))
        elif prefix[-1] == "[":
            value = line[len(prefix):]
            # A line cut to fit the log's line buffer has lost its closing
            # bracket: then all that is left is the value.
            if value.endswith("]"):
                value = value[:-1]
            found.append((step, value))
        elif len(line) == len(prefix):
            found.append((step, None))
        break
    else:
        # The marker's source path comes first; a long one may have cut the
        # destination off the end of the line.
        if line.endswith(MARKER_DESTINATION) or (len(line) >= 200 and " copy to " in line):
            found.append((COPYING, None))
    return tuple(found)


class Known(dict):
    """Text that recurs from run to run and machine to machine, each distinct
    piece taken apart once. What is kept is bounded in bytes, not in pieces,
    and a piece longer than Kelvane ever writes is not kept at all: a
    damaged log's garbage would only crowd out what recurs."""

    BUDGET = 1 << 20
    LONGEST = 0

    def __init__(self):
        super().__init__()
        self.spent = 0

    def keep(self, text, found, entries):
        # The text, the values cut from it and a tuple per entry.
        cost = 2 * sys.getsizeof(text) + 64 * entries
        if len(text) <= self.LONGEST and self.spent + cost <= self.BUDGET:
            self[text] = found
            self.spent += cost

    def clear(self):
        super().clear()
        self.spent = 0


class KnownLines(Known):
    # A line Kelvane writes fits its 260-unit buffer.
    LONGEST = 300

    def __missing__(self, line):
        found = line_entries(line)
        self.keep(line, found, len(found))
        return found


KNOWN_LINES = KnownLines()


class NotARunLog(Exception):
    pass


class KnownRests(Known):
    """A run's text after its first line (the serial number, which differs
    from machine to machine) recurs as often as its lines do: each distinct
    one is taken apart once, into (the entries of each line, where it was
    cut short or None, what it gives a run alone, its views, and room for
    what is worked out of it later)."""

    # A whole run is about 700 units; its values may be longer.
    LONGEST = 1 << 12

    def __missing__(self, rest):
        pieces = rest.split("\r\n")
        # Only the last piece can lack its line end: after the entries that
        # have none, what is left of it was cut short.
        tail = []
        left = take_tokens(pieces.pop(), tail)
        lines = [KNOWN_LINES[line] for line in pieces]
        lines.append(tuple(tail))
        gives = {"views": []}
        fill(gives, chain.from_iterable(lines))
        views = tuple(gives.pop("views"))
        # The last: excess()'s walks through it, remembered (see walk_through).
        found = (tuple(lines), len(rest) - len(left) if left else None, gives, views, {})
        # A run cut short is cut short once.
        if not left:
            self.keep(rest, found, len(lines) + sum(map(len, lines)) + WALKS_KEPT)
        return found


KNOWN_RESTS = KnownRests()


class Stretch:
    """One run's header and its text up to the next header, taken apart:
    where the header starts (its index in the log), the entries of its
    first line, the rest's (see KnownRests), and where the text ends in half
    an entry (its index in the log), else None."""

    __slots__ = ("at", "date", "time", "first", "rest", "cut")

    def __init__(self, at, date, time, first, rest, cut):
        self.at = at
        self.date = date
        self.time = time
        self.first = first
        self.rest = rest
        self.cut = cut

    def entries(self):
        return chain(self.first, chain.from_iterable(self.rest[0]))

    def last(self):
        for line in reversed(self.rest[0]):
            if line:
                return line[-1][0]
        return self.first[-1][0] if self.first else None

    def fill(self, record):
        """Gives a run alone its entries."""
        for step, _ in self.first:
            if step >= NATIVE:
                # A view begun on the first line goes on in the rest.
                fill(record, self.entries())
                return
        fill(record, self.first)
        _, _, gives, views, _ = self.rest
        record.update(gives)
        if views:
            record["views"] = [dict(view) for view in views]


def take_apart(text):
    """The stretches of a Run log's text, in order (a pure function)."""
    stretches = []
    for header, end in headers_of(text):
        start = header.end()
        newline = text.find("\r\n", start, end)
        if newline < 0:
            first, newline = (), start - 2
        elif text.startswith("SerialNumber=[", start):
            # Seen once per machine: not worth keeping.
            first = ((SERIAL, text[start + 14:newline - 1 if text[newline - 1] == "]" else newline]),)
        else:
            first = KNOWN_LINES[text[start:newline]]
        rest = KNOWN_RESTS[text[newline + 2:end]]
        cut = rest[1]
        stretches.append(Stretch(header.start(), header.group(1), header.group(2), first, rest,
                                 None if cut is None else newline + 2 + cut))
    return stretches


def headers_of(text):
    """Each run header with the end of its run's text: the next header, or
    the end of the log."""
    at = 0
    previous = None
    while True:
        at = text.find(HEADER_START, at)
        if at < 0:
            break
        header = HEADER.match(text, at)
        if header is None:
            at += 1
            continue
        if previous is not None:
            yield previous, at
        previous = header
        at = header.end()
    if previous is not None:
        yield previous, len(text)


# Where runs mixed, their states are kept as a set of possibilities. Each is
# one number that counts the runs still open in each state, FIELD bits to a
# state (runs in one state are alike; a run that has ended drops out), so a
# step costs the same however many runs are open. Past MAX_POSSIBILITIES,
# the rest are not followed.
FIELD = 32
STATE_MASK = (1 << FIELD) - 1
MAX_POSSIBILITIES = 64


def one_run(state):
    return 1 << FIELD * state


def run_moves():
    """For each step, how it moves a run: (where the count of the state it
    leaves lies, what the possibility gains)."""
    moves = [()] * (max(step for _, step in COURSE) + 1)
    for (state, step), following in COURSE.items():
        gained = (0 if following == END else one_run(following)) - one_run(state)
        moves[step] += ((FIELD * state, gained),)
    return moves


MOVES = run_moves()
NEW_RUN = one_run(START)


# take() from one possibility, remembered: the runs of a log mostly come
# one at a time, through the same few states. Forgotten when it holds
# TAKEN_MOST, as the possibilities of runs that mixed can be many.
TAKEN = {}
TAKEN_MOST = 1 << 12


def take(possible, step):
    """The possibilities after one entry; none where no run can take it.
    Not to be changed in place: it may be remembered."""
    if len(possible) == 1:
        (runs,) = possible
        following = TAKEN.get((runs, step))
        if following is None:
            if len(TAKEN) >= TAKEN_MOST:
                TAKEN.clear()
            following = TAKEN[runs, step] = frozenset(taken(possible, step))
        return following
    return taken(possible, step)


def taken(possible, step):
    following = set()
    moves = MOVES[step]
    for runs in possible:
        for at, gained in moves:
            if runs >> at & STATE_MASK:
                following.add(runs + gained)
        if len(following) >= MAX_POSSIBILITIES:
            break
    return following


def advance(possible, entries, strict):
    """The possible states of a set of runs after entries. An entry that no
    run can take: strict gives None; else it is passed over (an entry lost
    when two runs opened the log at once leaves a run short of a step)."""
    for step, _ in entries:
        following = take(possible, step)
        if following:
            possible = following
        elif strict:
            return None
    return possible


def started(possible):
    """The possibilities once one more run has begun."""
    return {runs + NEW_RUN for runs in possible}


def state_of(entries):
    """The state of a run that logged entries alone."""
    runs = next(iter(advance({NEW_RUN}, entries, strict=False)))
    return (runs.bit_length() - 1) // FIELD if runs else END


def excess(stretches):
    """For each stretch with any, the places in it of the entries that no
    run could take even if none had been cut off (an entry logged twice, or
    the runs of a lost header): they need none of the runs before them.
    Once the possibilities are too many to follow, none more are marked.
    Also the headers before which every run has ended however the entries
    are shared out, while they are still followed: what comes from there on
    is marked as it would be in a log of its own."""
    found = {}
    closed = []
    possible = {0}
    for index, stretch in enumerate(stretches):
        possible, missing = walk_through(started(possible), stretch)
        if missing:
            found[index] = set(missing)
        if possible is None:
            return found, closed
        if stretch.cut is not None:
            possible = {0}
        if possible == {0}:
            closed.append(index + 1)
    return found, closed


# Walks through a run's text remembered at most, for each text.
WALKS_KEPT = 4


def walk_through(possible, stretch):
    """The possibilities after a stretch's entries from possible (None once
    they are too many to follow), and the places of the entries no run
    could take until then. A walk from one possibility through text seen
    before, after a first line of the same entries, is remembered."""
    if len(possible) != 1:
        return walked(possible, stretch)
    walks = stretch.rest[4]
    key = (next(iter(possible)), tuple(step for step, _ in stretch.first))
    found = walks.get(key)
    if found is None:
        found = walked(possible, stretch)
        if len(walks) < WALKS_KEPT:
            walks[key] = found
    return found


def walked(possible, stretch):
    missing = []
    for place, (step, _) in enumerate(stretch.entries()):
        following = take(possible, step)
        if len(following) >= MAX_POSSIBILITIES:
            return None, tuple(missing)
        if following:
            possible = following
        else:
            missing.append(place)
    return possible, tuple(missing)


# How far the look from a header goes: past this many later headers, none
# of them alone, the runs open at it are taken as mixed with those after.
LOOK_AHEAD = 32


def alone(stretches):
    """For each run, whether everything from its header to the end of the
    log can be the course of that run and the runs after it alone (any of
    them may stop early; an entry no run could take is passed over): then a
    run still open before it was cut off; else that run went on, and its
    entries mix with theirs. Worked out from the last run back, so the look
    ends at a later header that is alone: what follows it needs nothing
    from before it. Also the runs where the look gave up, LOOK_AHEAD later
    headers on: those are not alone; and the runs whose look reached the
    end of the log, whose answer more runs logged after it could change."""
    extra = excess(stretches)[0]
    found = [True] * len(stretches)
    gave_up = set()
    open_ended = set()
    for first in range(len(stretches) - 1, -1, -1):
        possible = {0}
        at = first
        while True:
            entries = stretches[at].entries()
            if at in extra:
                entries = [entry for place, entry in enumerate(entries) if place not in extra[at]]
            possible = advance(started(possible), entries, strict=True)
            if possible is None:
                found[first] = False
                break
            at += 1
            # After a cut entry, the power went: whatever was open ends there.
            if stretches[at - 1].cut is not None:
                break
            if at == len(stretches) or found[at]:
                if at == len(stretches) or at in open_ended:
                    open_ended.add(first)
                break
            if at - first > LOOK_AHEAD:
                found[first] = False
                gave_up.add(first)
                break
    return found, gave_up, open_ended


def group_runs(stretches):
    """The runs of a log in groups, each (first, count, the header at which
    the look ahead gave up, or None): one run, or runs that mixed. A run
    whose header comes while the runs before it may still log joins their
    group unless it is alone (see alone())."""
    return grouping(stretches)[0]


def grouping(stretches):
    """group_runs(), whether the runs of the last group may still log after
    the last stretch, and whether a run was grouped by a look that reached
    the end (see alone())."""
    groups = []
    possible = None  # the current group's runs, while one of them may still log
    found = None     # alone(), once a run is open at a header
    open_ended = False
    for index, stretch in enumerate(stretches):
        if possible:
            # Where all may have ended, some may also have gone on: alone() says.
            possible = possible - {0}
        if possible and found is None:
            found, gave_up, reached = alone(stretches)
        if possible:
            open_ended = open_ended or index in reached
        if possible and not found[index]:
            first, count, stopped = groups[-1]
            if stopped is None and index in gave_up:
                stopped = index
            groups[-1] = (first, count + 1, stopped)
            possible = advance(started(possible), stretch.entries(), strict=False)
        else:
            groups.append((index, 1, None))
            possible = None
            if stretch.last() not in ENDING:
                ended = state_of(stretch.entries())
                possible = None if ended == END else {one_run(ended)}
        if stretch.cut is not None:
            possible = None
    if possible:
        possible = possible - {0}
    return groups, bool(possible), open_ended


# The entries after which a run alone can log nothing more.
ENDING = {FAIL, SKIP, ABSENT, MARKER}


def blank_record(path, index, stretch):
    return {"file": path, "run": index, "date": stretch.date, "time": stretch.time,
            "serial": None, "build_id": None, "feature_byte": None, "loc": None,
            "outcome": None, "failed": None, "views": [], "marker": None, "interleaved": False}


def fill(record, entries):
    """Gives a run the entries it logged alone."""
    views = record["views"]
    view = key = None
    for step, value in entries:
        if step < JAPAN:
            record[IDENTITY[step]] = value
        elif step < PASS:
            continue
        elif step < NATIVE:
            record["outcome"] = VERDICT_OF[step]
        elif step == BEFORE:
            view = {"key": key, "before": value, "action": None, "after": None}
            views.append(view)
            key = None
        elif step < BEFORE:
            key = KEY_OF[step]
            view = None
        elif step < NOT_SET:
            if view is not None:
                if step == KEPT:
                    view["action"] = "kept"
                elif step == OVERWRITTEN:
                    view["action"] = "overwritten"
                else:
                    view["after"] = value
        else:
            record[FIELD_OF[step]] = value


def resolve_mixed(records, stretches):
    """Gives runs that mixed what can be told. The first run's entries before
    the second header are its own. After that, each verdict goes to a run
    without one, in the order the verdicts were logged and the runs started;
    a value goes to the runs that could still log it only where every one of
    them logged it, all the same."""
    first = records[0]
    fill(first, stretches[0].entries())
    state = state_of(stretches[0].entries())
    logged = {}
    verdicts = []
    for stretch in stretches[1:]:
        for step, value in stretch.entries():
            if step in VERDICT_OF:
                verdicts.append(VERDICT_OF[step])
            elif step in FIELD_OF:
                logged.setdefault(FIELD_OF[step], []).append(value)
    waiting = [record for record in records if record["outcome"] is None]
    for record, verdict in zip(waiting, verdicts):
        record["outcome"] = verdict
    for field, values in logged.items():
        could = [record for record in records if record[field] is None
                 and (record is not first or AHEAD.get(state, ()) & STEPS_OF[field])]
        if field == "failed":
            could = [record for record in could if record["outcome"] == "FAIL"]
        elif field == "marker":
            could = [record for record in could if record["outcome"] == "PASS"]
        if len(values) == len(could) and len(set(values)) == 1:
            for record in could:
                record[field] = values[0]
    for record in records:
        record["interleaved"] = True


def read_runs(data, path, warn):
    """The records of one Run log's bytes, in file order. What was found
    and damage are reported through warn(path, byte offset or None, what); a
    file that is not a Run log raises NotARunLog."""
    text, offset_of, odd, form = decode(data, path, warn)
    if text is None:
        return []
    return runs_of(take_apart(text), offset_of, len(data) if odd else None, 0, path, warn)


class Settled(namedtuple("Settled", "offset run form base")):
    """Where a log's first unsettled run begins: the first run whose record
    more bytes appended to the log could still change. offset: its byte
    offset in the file (0: nothing is settled yet); run: how many runs come
    before it; form: how the log is encoded, an index in FORMS; base: the
    byte offset warnings count for it, which is offset unless the text
    before it holds characters beyond UTF-16's 2 bytes. Kept between
    readings, it is all read_from() needs of what came before."""


START_OF_LOG = Settled(0, 0, None, 0)


class PlaceLost(Exception):
    """The bytes at a settled place are no run header: the file is no longer
    the log the place was taken in."""


def read_settled(data, path, warn):
    """read_runs(data) and the log's settled place."""
    return read_from(data, START_OF_LOG, path, warn)


def read_from(data, place, path, warn):
    """The records of a log's runs from a settled place on (the log's bytes
    from place.offset), exactly as reading the whole log gives them, with
    the same warnings at the same offsets (the encoding's own, which have
    none, said again); and the log's settled place now, never before the
    one given. From START_OF_LOG, the whole log's bytes are read."""
    if not place.offset:
        text, offset_of, odd, form = decode(data, path, warn)
        if text is None:
            return [], place
    else:
        text, offset_of, odd, form = decode_from(data, place, path, warn)
    stretches = take_apart(text)
    records = runs_of(stretches, offset_of, place.offset + len(data) if odd else None, place.run, path, warn)
    settled = settled_run(stretches, text, FORMS[form][1] == "utf-8")
    if not settled:
        return records, place._replace(form=form)
    index = stretches[settled].at
    head = b"" if place.offset else FORMS[form][0]
    size = len(text[:index].encode(FORMS[form][1], "surrogatepass"))
    return records, Settled(place.offset + len(head) + size, place.run + settled, form,
                            offset_of(index))


def runs_of(stretches, offset_of, odd_end, before, path, warn):
    """The records of a log's stretches, the first numbered before + 1; the
    log ends in an odd byte at odd_end - 1 unless odd_end is None."""
    records = []
    for first, count, stopped in group_runs(stretches):
        group = stretches[first:first + count]
        if stopped is not None:
            warn(path, offset_of(stretches[stopped].at),
                 "more than %d runs open at once: read as runs that mixed, without looking further" % LOOK_AHEAD)
        runs = [blank_record(path, before + first + 1 + at, stretch) for at, stretch in enumerate(group)]
        if count == 1:
            group[0].fill(runs[0])
        else:
            resolve_mixed(runs, group)
        # Damage ends a run alone short of its course even after its
        # verdict; runs that mixed keep the verdicts they were given.
        cut = group[-1].cut
        if cut is not None:
            warn(path, offset_of(cut), "entry cut short")
            if count == 1:
                runs[0]["outcome"] = None
        records.extend(runs)
    if odd_end is not None:
        warn(path, odd_end - 1, "odd trailing byte")
        if records and not records[-1]["interleaved"]:
            records[-1]["outcome"] = None
    for record in records:
        if record["outcome"] is None:
            record["outcome"] = "INCOMPLETE"
    return records


# How many places the search for the settled one tries, from the last back,
# before it takes the start of the log: each costs a look at the runs
# before it.
PLACES_TRIED = 8


def settled_run(stretches, text, utf8):
    """The index of the first stretch whose run more text could change; 0
    where none is surely settled. A run before it must have ended, with
    every run before it, however their entries are shared out, and no run
    before it may have been grouped by a look that reached it: the look
    goes on past it in a longer log. The last run can always log more. In
    UTF-8, no place past text that was no UTF-8 is taken: the byte offset
    of what follows it is not known."""
    closed = [index for index in excess(stretches)[1] if index < len(stretches)]
    if utf8 and "\ufffd" in text:
        damaged = text.index("\ufffd")
        closed = [index for index in closed if stretches[index].at <= damaged]
    for index in reversed(closed[-PLACES_TRIED:]):
        _, still_open, open_ended = grouping(stretches[:index])
        if not still_open and not open_ended:
            return index
    return 0


def utf16_offset(index):
    return 2 * index


# Re-saved by an editor: the byte-order mark, and the encoding it means.
MARKED = ((b"\xff\xfe", "utf-16-le", "UTF-16LE with a byte-order mark"),
          (b"\xef\xbb\xbf", "utf-8", "UTF-8 with a byte-order mark"),
          (b"", "utf-8", "UTF-8 without a byte-order mark"))
# Each way a log can be encoded, the way Kelvane writes it first.
FORMS = ((b"", "utf-16-le", None),) + MARKED


def decode(data, path, warn):
    """The text of a Run log, the byte offset in the file of an index in it,
    whether the file ends in an odd byte of UTF-16, and its encoding (an
    index in FORMS); no text for an empty file. A log as Kelvane writes it
    is UTF-16LE without a byte-order mark; one re-saved as UTF-16LE with a
    mark, or as UTF-8, is read with a warning saying so."""
    if not data:
        warn(path, None, "empty file")
        return None, None, False, None
    odd = len(data) & 1 == 1
    text = data[:len(data) & ~1].decode("utf-16-le", "surrogatepass")
    if HEADER.match(text):
        return text, utf16_offset, odd, 0
    for form, (mark, encoding, what) in enumerate(MARKED, 1):
        if data.startswith(mark):
            whole = len(data) & ~1 if encoding == "utf-16-le" else len(data)
            text = data[len(mark):whole].decode(encoding, "replace")
            if HEADER.match(text):
                warn(path, None, "read as " + what)
                if encoding == "utf-8":
                    return text, lambda index: len(mark) + len(text[:index].encode("utf-8")), False, form
                return text, lambda index: len(mark) + 2 * index, odd, form
    raise NotARunLog("not a Run log (no run header in UTF-16LE or UTF-8): it starts with " + opening(data))


def decode_from(data, place, path, warn):
    """decode() of a log's bytes from a settled place on."""
    mark, encoding, what = FORMS[place.form]
    if what is not None:
        warn(path, None, "read as " + what)
    whole = len(data) & ~1 if encoding == "utf-16-le" else len(data)
    text = data[:whole].decode(encoding, "surrogatepass" if what is None else "replace")
    if not HEADER.match(text):
        raise PlaceLost("no run header at byte %d" % place.offset)
    base = place.base
    if encoding == "utf-8":
        return text, lambda index: base + len(text[:index].encode("utf-8")), False, place.form
    return text, lambda index: base + 2 * index, whole < len(data), place.form


def opening(data):
    """The first bytes of a file, as text where they are text."""
    head = data[:48] if len(data) > 48 else data
    if len(head) > 1 and not any(head[1::2]):
        return "UTF-16LE text %r" % head[:len(head) & ~1].decode("utf-16-le")
    try:
        text = head.decode("utf-8")
        if "\0" not in text:
            return "text %r" % text
    except UnicodeDecodeError:
        pass
    return "bytes %r" % head[:24]
