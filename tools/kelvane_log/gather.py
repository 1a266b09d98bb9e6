"""Gathered folders: which files are Run logs, the machine folder each
stands for, and their records read one log at a time.
"""

import os

from .reader import NotARunLog, read_runs


def find_logs(paths, error, warn=None):
    """Each PATH as a file, or the Kelvane.log files below it in name order;
    each with the machine folder it stands for: the log's folder below PATH,
    or the log's own folder. A link to a folder is followed unless the
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

    def unreadable(problem):
        if warn is not None:
            warn(problem.filename, None, "folder not read: " + (problem.strerror or str(problem)))

    for path in paths:
        if os.path.isdir(path):
            if not first_walk(path):
                continue
            for root, dirs, files in os.walk(path, onerror=unreadable, followlinks=True):
                dirs[:] = sorted(name for name in dirs if to_walk(os.path.join(root, name)))
                for name in sorted(files):
                    if name.lower() == "kelvane.log":
                        machine = os.path.relpath(root, path)
                        if machine == os.curdir:
                            machine = os.path.basename(os.path.abspath(path))
                        yield os.path.join(root, name), machine
        elif os.path.exists(path):
            yield path, os.path.basename(os.path.dirname(os.path.abspath(path)))
        else:
            error(path, "no such file or folder")


def read_file(path, warn):
    """The records of the Run log at path (see read_runs)."""
    with open(path, "rb") as log:
        data = log.read()
    return read_runs(data, path, warn)


def read_records(paths, warn, error):
    """(machine folder, record) for each run of each log, in order, one log
    in memory at a time."""
    for path, machine in find_logs(paths, error, warn):
        try:
            records = read_file(path, warn)
        except OSError as problem:
            error(path, problem.strerror or str(problem))
            continue
        except NotARunLog as problem:
            error(path, str(problem))
            continue
        for record in records:
            yield machine, record
