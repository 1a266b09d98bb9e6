"""Gathered folders: which files are Run logs, the machine folder each
stands for, and their records read one log at a time.
"""

import os
import stat
from itertools import repeat

from .reader import NotARunLog, read_runs
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


def walk(top, onerror):
    """os.walk(top, onerror=onerror, followlinks=True), top down, dirs pruned
    in place by the caller; but without recursion, which before Python 3.12
    ends in a traceback in a tree nested deeper than a thousand folders. As
    there, a folder's subfolders are kept by name until they are walked."""
    pending = [iter([top])]
    while pending:
        folder = next(pending[-1], None)
        if folder is None:
            pending.pop()
            continue
        dirs, files = [], []
        try:
            with os.scandir(folder) as listing:
                for entry in listing:
                    try:
                        is_dir = entry.is_dir()
                    except OSError:
                        is_dir = False
                    (dirs if is_dir else files).append(entry.name)
        except OSError as problem:
            onerror(problem)
            continue
        yield folder, dirs, files
        pending.append(map(os.path.join, repeat(folder), dirs))


def find_logs(paths, error, warn=None):
    """Each PATH as a file, or the Kelvane.log files below it in name order;
    each with the machine folder it stands for (see machine_of). A link to a folder is followed unless the
    folder is walked anyway (a loop, a second way in), so each real folder
    is read once; what is kept for that grows with the links, not the files."""
    walked = []          # real paths: each PATH, and each folder a link led out to
    holds_walked = []    # true once a folder led out to holds one walked before

    def first_walk(folder):
        real = os.path.realpath(folder)
        if any(real == done or real.startswith(done.rstrip(os.sep) + os.sep) for done in walked):
            return False
        if any(done.startswith(real.rstrip(os.sep) + os.sep) for done in walked):
            holds_walked.append(True)
        walked.append(real)
        return True

    def to_walk(folder):
        if os.path.islink(folder):
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
            for root, dirs, files in walk(path, unreadable):
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
    parts = [] if os.path.relpath(folder, top) == os.curdir else os.path.relpath(folder, top).split(os.sep)
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
        if offset:
            os.lseek(descriptor, offset, os.SEEK_SET)
        # What the file says it holds, then what it grew by meanwhile (a run
        # logging as it is gathered), up to the bound and no further.
        pieces, got = [], offset
        while got <= LARGEST_LOG:
            piece = os.read(descriptor, min(max(facts.st_size + 1 - got, 1 << 12), LARGEST_LOG + 1 - got))
            if not piece:
                break
            pieces.append(piece)
            got += len(piece)
        if got > LARGEST_LOG:
            raise too_large(got)
    finally:
        os.close(descriptor)
    return b"".join(pieces), facts.st_size, facts.st_mtime_ns


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
