"""Gathered folders: which files are Run logs, the machine folder each
stands for, and their records read one log at a time.
"""

import hashlib
import os
import queue
import stat
import threading
from collections import namedtuple
from itertools import islice

from .reader import START_OF_LOG, NotARunLog, PlaceLost, read_from, read_runs
from .serials import is_placeholder

# A real log grows about 1.5 KB a run: this is tens of thousands of runs.
# Past it a file is no log of one machine, and reading it whole could take
# all the memory there is.
LARGEST_LOG = 64 << 20
# What a file that is not a regular one is, for the error that names it.
KINDS = ((stat.S_ISFIFO, "a named pipe"), (stat.S_ISSOCK, "a socket"), (stat.S_ISCHR, "a character device"),
         (stat.S_ISBLK, "a block device"), (stat.S_ISDIR, "a folder"))
# Opening must not wait: a named pipe would block until someone writes to
# it, a terminal could become the tool's own.
OPEN_FLAGS = os.O_RDONLY | getattr(os, "O_BINARY", 0) | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_NOCTTY", 0)


class NotRead(Exception):
    """A file in the place of a log that is not read: not a regular file, or too large."""


def walk(top, onerror, links=None, real=None):
    """os.walk(top, onerror=onerror, followlinks=True), top down, dirs pruned
    in place by the caller; but without recursion, which before Python 3.12
    ends in a traceback in a tree nested deeper than a thousand folders. As
    there, a folder's subfolders are kept by name until they are walked.
    The subfolders that are links are added to links, when given, as the
    listing tells without another look at each. With top's real path
    (real), each folder comes with its own as a fourth value: its parent's
    and its name, unless a link led to it or to a folder above it (None)."""
    pending = [iter([(top, real)])]
    while pending:
        folder, real_folder = next(pending[-1], (None, None))
        if folder is None:
            pending.pop()
            continue
        dirs, files, linked = [], [], set()
        try:
            with os.scandir(folder) as listing:
                for entry in listing:
                    try:
                        is_dir = entry.is_dir()
                        if is_dir and (links is not None or real is not None) and entry.is_symlink():
                            linked.add(entry.name)
                    except OSError:
                        is_dir = False
                    (dirs if is_dir else files).append(entry.name)
        except OSError as problem:
            onerror(problem)
            continue
        if links is not None:
            links.update(os.path.join(folder, name) for name in linked)
        yield (folder, dirs, files) if real is None else (folder, dirs, files, real_folder)
        pending.append(subfolders(folder, real_folder, dirs, linked))


def subfolders(folder, real, names, linked):
    """Each folder of names in folder, with its real path (see walk)."""
    for name in names:
        yield os.path.join(folder, name), None if real is None or name in linked else os.path.join(real, name)


def find_logs(paths, error, warn=None, reals=None):
    """Each PATH as a file, or the Kelvane.log files below it in name order;
    each with the machine folder it stands for (see machine_of). A link to a folder is followed unless the
    folder is walked anyway (a loop, a second way in), so each real folder
    is read once; what is kept for that grows with the links, not the files.
    reals: where given, the real path of each folder walked is put in it
    by its path, where the walk knows it without looking again, before its
    logs are given."""
    walked = []          # real paths: each PATH, and each folder a link led out to
    holds_walked = []    # true once a folder led out to holds one walked before
    links = set()        # the subfolders listed that are links, until they are looked at

    def first_walk(folder):
        real = os.path.realpath(folder)
        if any(real == done or real.startswith(done.rstrip(os.sep) + os.sep) for done in walked):
            return False
        if any(done.startswith(real.rstrip(os.sep) + os.sep) for done in walked):
            holds_walked.append(True)
        walked.append(real)
        return True

    def to_walk(folder):
        if folder in links:
            links.discard(folder)
            return first_walk(folder)
        return not holds_walked or os.path.realpath(folder) not in walked

    # A folder below PATH that cannot be read is something given that was
    # not read, as a missing PATH is: its logs are not in the output.
    def unreadable(problem):
        error(problem.filename, "folder not read: " + (problem.strerror or str(problem)))

    for path in paths:
        if os.path.isdir(path):
            if not first_walk(path):
                continue
            for root, dirs, files, real in walk(path, unreadable, links, walked[-1]):
                if reals is not None and real is not None:
                    reals[root] = real
                dirs[:] = sorted(name for name in dirs if to_walk(os.path.join(root, name)))
                for name in sorted(files):
                    if name.lower() == "kelvane.log":
                        yield os.path.join(root, name), machine_of(root, path)
        elif os.path.exists(path):
            yield path, nearest_folder(os.path.dirname(os.path.abspath(path)))
        else:
            error(path, "no such file or folder")


def is_logs(name):
    return name.lower() == "logs"


def machine_of(folder, top):
    """The machine a log in folder found below top stands for: the folder's
    path below top without a final Logs folder (PC-0001, L1/PC-0001), or,
    where that leaves nothing (top is the machine's folder, or its Logs),
    the nearest folder above the log not called Logs; so the name does not
    depend on how far down the gathering started."""
    if folder == top:
        below = os.curdir
    elif folder.startswith(top) and (top.endswith(os.sep) or folder[len(top)] == os.sep):
        # A folder walked below top: its path below is what the walk joined on.
        below = folder[len(top):].lstrip(os.sep)
    else:
        below = os.path.relpath(folder, top)
    parts = [] if below == os.curdir else below.split(os.sep)
    if parts and is_logs(parts[-1]):
        parts.pop()
    return os.sep.join(parts) if parts else nearest_folder(folder)


def nearest_folder(folder):
    folder = os.path.abspath(folder)
    while is_logs(os.path.basename(folder)) and os.path.dirname(folder) != folder:
        folder = os.path.dirname(folder)
    return os.path.basename(folder) or folder


def log_identity(first):
    """What a log is known by, from the record of its first run: its
    header's start and the serial number it logged, as a log shipper knows
    a file by its first bytes, so that another spelling of its folder, or a
    copy in a backup, is the same log. Where that serial names no machine (a
    placeholder, a failed query), the nearest folder above it not called
    Logs is part of it too: two PCs with a placeholder, started in the same
    second, stay two logs. A log whose first run has not logged that far is
    known by its real path until it has."""
    serial = first["serial"]
    if serial is None and first["failed"] != "serial number query":
        return os.path.realpath(first["file"])
    start = "%s %s " % (first["date"], first["time"])
    if serial is not None and not is_placeholder(serial):
        return start + serial
    # A line end cannot be part of a logged value: the folder is told apart.
    return "%s%s\n%s" % (start, "" if serial is None else serial,
                          nearest_folder(os.path.dirname(os.path.abspath(first["file"]))))


def too_large(size):
    return NotRead("not read: %d bytes, larger than %d MiB (a Run log grows about 1.5 KB a run)"
                   % (size, LARGEST_LOG >> 20))


def not_regular(mode):
    what = next((what for test, what in KINDS if test(mode)), "something else")
    return NotRead("not read: %s, not a regular file" % what)


def read_file(path, warn):
    """The records of the Run log at path (see read_runs). Only a regular
    file is read, and only up to LARGEST_LOG: what it is, is asked of the
    file opened, so it cannot be swapped between the look and the read."""
    data, _, _ = bytes_from(path, 0)
    return read_runs(data, path, warn)


def bytes_from(path, offset):
    """The bytes of the file at path from offset on, its size and its
    modification time (ns) as they were when it was opened, by the rules of
    read_file(). A file that grows meanwhile gives what it grew by too, up
    to the bound; its size and time are the ones before, so the next look
    finds it changed. A file now no longer than offset gives no bytes."""
    descriptor, facts = opened(path)
    try:
        return rest_of(descriptor, facts, offset), facts.st_size, facts.st_mtime_ns
    finally:
        os.close(descriptor)


def opened(path):
    """A descriptor of the file at path, and its facts, where it is a
    regular file no larger than LARGEST_LOG; else NotRead or OSError."""
    try:
        descriptor = os.open(path, OPEN_FLAGS)
    except OSError:
        # A socket cannot be opened at all: say what it is rather than why.
        try:
            mode = os.stat(path).st_mode
        except OSError:
            mode = None
        if mode is None or stat.S_ISREG(mode):
            raise
        raise not_regular(mode) from None
    try:
        facts = os.fstat(descriptor)
        if not stat.S_ISREG(facts.st_mode):
            raise not_regular(facts.st_mode)
        if facts.st_size > LARGEST_LOG:
            raise too_large(facts.st_size)
    except BaseException:
        os.close(descriptor)
        raise
    return descriptor, facts


def rest_of(descriptor, facts, offset, most=LARGEST_LOG + 1):
    """The bytes of an opened file from offset on, at most most of them."""
    os.lseek(descriptor, offset, os.SEEK_SET)
    # What the file says it holds, then what it grew by meanwhile (a run
    # logging as it is gathered), up to the bound and no further.
    end = min(offset + most, LARGEST_LOG + 1)
    pieces, got = [], offset
    while got < end:
        piece = os.read(descriptor, min(max(facts.st_size + 1 - got, 1 << 12), end - got))
        if not piece:
            break
        pieces.append(piece)
        got += len(piece)
    if got > LARGEST_LOG:
        raise too_large(got)
    return b"".join(pieces)


# How much of a log's beginning tells whether a file still holds the log
# it held: its first run's header and serial number with room to spare, as
# log shippers take a file's first kilobyte for its fingerprint.
HEAD = 1024
# Logs looked up in the database at a time.
LOOKED_UP = 512


class Kept(namedtuple("Kept", "size mtime head digest log place runs")):
    """What the database keeps of a file gathered: its size and
    modification time (ns) when it was read, how many of its first bytes
    the digest is of, the identity of the log it holds (None for an empty
    file), its settled place (a reader.Settled), and how many runs it
    gave."""


class Read(namedtuple("Read", "path size mtime head digest log place runs same")):
    """What a gathering read of a file, kept as Kept is (path: its real
    path), and whether it begins as kept, so holds the same log."""


def digest_of(head):
    return hashlib.blake2b(head, digest_size=16).hexdigest()


def read_log(path, old, reread, warn):
    """The records of the log at path that the database does not hold as
    they are, and what was read (a Read; its path is left to the caller).
    old: what the database keeps of the file (a Kept), or None. A file that
    begins as kept, no shorter than it was, is read from its settled place
    on (unless reread); any other is read whole. Warnings are said only of
    the reading whose records are given."""
    descriptor, facts = opened(path)
    try:
        head = rest_of(descriptor, facts, 0, HEAD)
        same = old is not None and len(head) >= old.head and digest_of(head[:old.head]) == old.digest
        place = old.place if same and not reread and facts.st_size >= old.size else START_OF_LOG
        said = []
        # From the start, the rest follows the head read already.
        data = head + rest_of(descriptor, facts, len(head)) if not place.offset else \
            rest_of(descriptor, facts, place.offset)
        try:
            records, settled = read_from(data, place, path, lambda *warning: said.append(warning))
        except PlaceLost:
            place, said = START_OF_LOG, []
            records, settled = read_from(rest_of(descriptor, facts, 0), place, path,
                                         lambda *warning: said.append(warning))
    finally:
        os.close(descriptor)
    for warning in said:
        warn(*warning)
    log = old.log if place.offset else log_identity(records[0]) if records else None
    return records, Read(None, facts.st_size, facts.st_mtime_ns, len(head), digest_of(head), log, settled,
                         place.run + len(records), same)


class Gathering:
    """The records a gathering takes in: of each log found, only those the
    database does not hold as they are. A file whose size and modification
    time are as kept is not opened; one that changed is read as read_log
    says. known(real paths) gives what the database keeps of each, a Kept
    by real path; reread reads every log whole. Also, for the store: the
    log whose records are being given (reading), what was read of each
    file (taken), and how many runs the logs not read, or read from a
    settled place, hold before it (carried), which are unchanged."""

    def __init__(self, paths, warn, error, reread=False, known=lambda reals: {}):
        self.paths, self.warn, self.error, self.reread, self.known = paths, warn, error, reread, known
        self.carried = 0
        # The log's identity, the runs before its first record given, its runs, and
        # the path it was known by where it is known by its beginning from now on.
        self.reading = None
        self.read = []
        self.folders = {}     # a folder's real path by its path: the walk's, and real_folder()'s

    def taken(self):
        """What was read of each file since the last call."""
        read, self.read = self.read, []
        return read

    def records(self):
        """(machine folder, record) of each run given, in order, one log
        in memory at a time."""
        found = find_logs(self.paths, self.error, self.warn, self.folders)
        while True:
            some = [(path, machine) + self.look(path) for path, machine in islice(found, LOOKED_UP)]
            if not some:
                return
            kept = self.known([real for _, _, real, _ in some])
            for path, machine, real, facts in some:
                old = kept.get(real)
                if old is not None and not self.reread and facts is not None and stat.S_ISREG(facts.st_mode) \
                        and (facts.st_size, facts.st_mtime_ns) == (old.size, old.mtime):
                    self.carried += old.runs
                    continue
                try:
                    records, read = read_log(path, old, self.reread, self.warn)
                except OSError as problem:
                    self.error(path, problem.strerror or str(problem))
                    continue
                except (NotARunLog, NotRead) as problem:
                    self.error(path, str(problem))
                    continue
                self.read.append(read._replace(path=real))
                self.carried += read.runs - len(records)
                # Known by its path until now (see log_identity), by its beginning from now on.
                was = old.log if read.same and old.log == real and read.log != real else None
                self.reading = (read.log, read.runs - len(records), read.runs, was)
                for record in records:
                    yield machine, record


    def look(self, path):
        """The real path of the file at path and its facts (None where it
        cannot be looked at): the bare walk's one look at each log, and one
        at its folder, whose own folders are looked at once."""
        try:
            facts = os.lstat(path)
        except OSError:
            return os.path.realpath(path), None
        if stat.S_ISLNK(facts.st_mode):
            try:
                return os.path.realpath(path), os.stat(path)
            except OSError:
                return os.path.realpath(path), None
        folder, name = os.path.split(path)
        return os.path.join(self.real_folder(folder), name), facts

    def real_folder(self, folder):
        """os.path.realpath(folder), each folder above it worked out once
        (in a loop: a tree may be nested deeper than Python recurses)."""
        if len(self.folders) >= 4096:
            self.folders.clear()
        below = []
        while folder not in self.folders:
            parent, name = os.path.split(folder)
            if not parent or not name or name in (os.curdir, os.pardir) or os.path.islink(folder):
                self.folders[folder] = os.path.realpath(folder)
                break
            below.append((folder, name))
            folder = parent
        real = self.folders[folder]
        for folder, name in reversed(below):
            real = self.folders[folder] = os.path.join(real, name)
        return real


def read_records(paths, warn, error):
    """(machine folder, record) for each run of each log, in order, one log
    in memory at a time."""
    for path, machine in find_logs(paths, error, warn):
        try:
            records = read_file(path, warn)
        except OSError as problem:
            error(path, problem.strerror or str(problem))
            continue
        except (NotARunLog, NotRead) as problem:
            error(path, str(problem))
            continue
        for record in records:
            yield machine, record


def read_ahead(items, deep):
    """The items of an iterator, made in a thread of their own up to deep
    items ahead of the caller (deep 0: in the caller's), so that reading
    logs and what waits on a database or a disk go on at once. What making
    them raises is raised to the caller; a caller that stops taking them
    stops the thread before its next item."""
    if not deep:
        yield from items
        return
    made, stop, end = queue.Queue(deep), threading.Event(), object()

    def make():
        try:
            for item in items:
                if stop.is_set():
                    return
                made.put((item, None))
        except BaseException as problem:  # handed to the caller, whose it is
            made.put((None, problem))
            return
        made.put((end, None))

    # Not waited for at exit: a caller that stopped leaves nothing to finish.
    threading.Thread(target=make, name="reading", daemon=True).start()
    try:
        while True:
            item, problem = made.get()
            if problem is not None:
                raise problem
            if item is end:
                return
            yield item
    finally:
        stop.set()
        # A thread held at a full queue goes on to see stop.
        while not made.empty():
            made.get_nowait()
