#!/usr/bin/env python3
"""A log read night by night from its settled place gives what a reading of
the whole log gives: random logs built from the runs of the kept Run logs
(whole, cut at any byte, mixed, ended between entries, re-encoded, with
characters beyond two UTF-16 bytes and bytes that are no UTF-8), grown a
few bytes at a time.

    KELVANE_RUN_LOGS=build/test/tests/work/run-logs python3 tests/tools/test_settled_place.py
"""

import os
import random
import shutil
import sys
import tempfile
import unittest

from test_kelvane_log import ENTRY, HEADER, RUN_LOGS, SOURCE, at_once, log_of, read_bytes, setUpModule  # noqa: F401

sys.path.insert(0, os.path.join(SOURCE, "tools"))
from kelvane_log import gather, reader  # noqa: E402

TWO_RUNS = "KelvaneRun.leaves_correct_views_alone_and_a_second_run_appends_and_overwrites_the_marker"

ENCODINGS = (lambda text: text.encode("utf-16-le", "surrogatepass"),
             lambda text: b"\xff\xfe" + text.encode("utf-16-le", "surrogatepass"),
             lambda text: text.replace("SN-", "SN-\udcff").encode("utf-8", "surrogateescape"),
             lambda text: b"\xef\xbb\xbf" + text.encode("utf-8", "surrogatepass"))


def kept_runs():
    """Each run of each kept log, and each kept log whose runs mixed, whole."""
    runs, mixed = [], []
    for machine in sorted(os.listdir(RUN_LOGS)):
        text = read_bytes(log_of(machine)).decode("utf-16-le")
        starts = [header.start() for header in HEADER.finditer(text)] + [len(text)]
        (mixed if "Stress" in machine else runs).extend(text[a:b] for a, b in zip(starts, starts[1:]))
    return runs, mixed


def random_log(rng, runs, mixed):
    pieces = []
    for _ in range(rng.randint(1, 12)):
        run, kind = rng.choice(runs), rng.random()
        if kind < 0.1:
            run = rng.choice(mixed)
        elif kind < 0.25:
            run = "".join(at_once(*(ENTRY.findall(rng.choice(runs)) for _ in range(rng.randint(2, 4)))))
        elif kind < 0.35:
            run = run[:rng.randrange(1, len(run))]  # a power loss
        elif kind < 0.45:
            run = "".join(ENTRY.findall(run)[:rng.randrange(1, 12)])  # ended between entries
        elif kind < 0.5:
            run = run.replace("SN-", "SN-\U0001f600")
        pieces.append(run)
    data = rng.choice(ENCODINGS)("".join(pieces))
    return data + b"\0" if rng.random() < 0.1 else data


def read(data, place):
    said = []
    records, settled = reader.read_from(data[place.offset:], place, "Kelvane.log",
                                        lambda path, offset, what: said.append((offset, what)))
    return records, said, settled


def with_offsets(said, start, end=float("inf")):
    return [(offset, what) for offset, what in said if offset is not None and start <= offset < end]


class SettledPlace(unittest.TestCase):
    def test_a_log_read_from_its_settled_place_each_night_reads_as_the_whole_log(self):
        runs, mixed = kept_runs()
        places = 0
        for seed in range(300):
            rng = random.Random(seed)
            log = random_log(rng, runs, mixed)
            place = reader.START_OF_LOG
            for size in sorted(set(rng.sample(range(1, len(log)), min(12, len(log) - 1)) + [len(log)])):
                data = log[:size]
                said = []
                try:
                    whole = reader.read_runs(data, "Kelvane.log", lambda _, offset, what: said.append((offset, what)))
                    settled = read(data, reader.START_OF_LOG)[2]
                except reader.NotARunLog:
                    continue  # not yet a whole run header: no place is taken
                with self.subTest(seed=seed, size=size, place=place):
                    grown, grown_said, moved = read(data, place)
                    self.assertEqual(whole[:place.run] + grown, whole)
                    self.assertEqual(with_offsets(said, place.offset), with_offsets(grown_said, 0))
                    before, before_said, _ = read(data[:place.offset], reader.START_OF_LOG)
                    self.assertEqual(before, whole[:place.run])
                    self.assertEqual(with_offsets(said, 0, place.offset), with_offsets(before_said, 0))
                    self.assertEqual(moved, settled)
                    self.assertGreaterEqual(moved.offset, place.offset)
                places += moved.offset > 0
                place = moved
        # Most logs settle their runs as they grow.
        self.assertGreater(places, 1000)

    def test_a_log_is_read_on_from_an_offset_by_the_rules_of_a_whole_reading(self):
        tmp = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, tmp)
        log, pipe = os.path.join(tmp, "Kelvane.log"), os.path.join(tmp, "pipe")
        data = read_bytes(log_of(TWO_RUNS))
        with open(log, "wb") as file:
            file.write(data)
        _, place = reader.read_settled(data, log, print)
        self.assertEqual((place.offset > 0, place.run), (True, 1))
        facts = os.stat(log)
        self.assertEqual(gather.bytes_from(log, place.offset), (data[place.offset:], facts.st_size, facts.st_mtime_ns))
        self.assertEqual(gather.bytes_from(log, len(data) + 2)[0], b"")
        os.mkfifo(pipe)  # nobody writes to it: opening it must not wait
        with self.assertRaisesRegex(gather.NotRead, "a named pipe"):
            gather.bytes_from(pipe, place.offset)


if __name__ == "__main__":
    unittest.main()
