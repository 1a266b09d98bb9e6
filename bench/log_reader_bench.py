#!/usr/bin/env python3
"""Speed of tools/kelvane-log: reads a generated set of Run logs and reports
records per second and the ratio to a bare UTF-16 decode of the same bytes,
and the reader's peak memory for a tenth of the logs and for all of them;
then the time to read one log whose runs all mixed (100, 1,000 and 5,000
runs started at once), and the peak memory for 10 and for 1,000 logs that
each hold 64 KiB of garbage between two entries.

    bench/log_reader_bench.py [--logs 10000] [--repeat 5] [--seed 1]

The logs are written to a temporary folder, one machine folder each, from
runs built entry by entry the way Kelvane.exe logs them: passing runs that
write or keep each view, Japanese machines, failing queries, a write that
does not take effect, machines without Office, and some logs cut short by a
power loss. Each timing is the best of --repeat rounds. Not a test: the
figures depend on the machine.
"""

import argparse
import os
import re
import random
import shutil
import sys
import tempfile
import time
import tracemalloc

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
NATIVE = "HKLM\\SOFTWARE\\Microsoft\\Office\\16.0\\Common\\OEM\r\n"
WOW64 = "HKLM\\SOFTWARE\\Wow6432Node\\Microsoft\\Office\\16.0\\Common\\OEM\r\n"


sys.dont_write_bytecode = True  # no __pycache__ next to the tool
sys.path.insert(0, os.path.join(SOURCE, "tools"))
from kelvane_log import gather, reader  # noqa: E402


def header(rng, day):
    return "%s %02d/%02d/26 %02d:%02d:%02d %s\r\n" % (
        "=" * 32, 1 + day // 28 % 12, 1 + day % 28, rng.randrange(24), rng.randrange(60), rng.randrange(60), "=" * 40)


def identity(serial, loc):
    build_id = "12#S%s34" % loc
    return ("SerialNumber=[%s]\r\nBuildID=[%s]\r\nFeatureByte=[FB-7]\r\nLOC=[%s]\r\n" % (serial, build_id, loc))


def view(key, before):
    if before == "OEMTA":
        return key + "Registry before write: [OEMTA]\r\nAlready correct registry key value, skip!\r\n"
    return (key + "Registry before write: [%s]\r\nincorrect registry key value, overwrite it!\r\n"
            "Registry after write: [OEMTA]\r\n" % before)


MARKER = ("C:\\Prov\\QUINTAR.exe copy to c:\\Windows\\QUINTAR.exe\r\n"
          "Copy file successful with return code: 1\r\n")


def run(rng, serial, day):
    kind = rng.choices(("written", "kept", "skip", "query", "not set", "absent"), (30, 40, 8, 8, 4, 10))[0]
    text = header(rng, day)
    if kind == "query":
        return text + rng.choice(("Query serial number failed", "Query Build ID failed",
                                  "Query Feature Byte failed")) + "Result=FAIL"
    loc = "ABJ" if kind == "skip" else "ABA"
    text += identity(serial, loc)
    if kind == "skip":
        return text + "Japan case, exit.\r\nResult=SKIP"
    text += "Non-Japan case.\r\nSetup the registry key!\r\n"
    if kind == "absent":
        return text + NATIVE + "Not found Office reg key, skip and exit.\r\n"
    if kind == "not set":
        return (text + view(NATIVE, "OEMTA") + WOW64 + "Registry before write: []\r\n"
                "incorrect registry key value, overwrite it!\r\nRegistry after write: []\r\n"
                "Registry value not set after write: [" + WOW64[:-2] + "]\r\nResult=FAIL")
    before = "OEMTA" if kind == "kept" else rng.choice(("", "oemta", "OEM"))
    return text + view(NATIVE, before) + view(WOW64, before) + "Result=PASS" + MARKER


def generate(folder, count, rng):
    """count machine folders, each with a Kelvane.log of one to four runs."""
    total = 0
    for machine in range(count):
        serial = "SN%06d" % machine
        data = "".join(run(rng, serial, day) for day in range(rng.randint(1, 4))).encode("utf-16-le")
        if rng.random() < 0.02:
            data = data[:rng.randrange(200, len(data))]  # a power loss
        os.makedirs(os.path.join(folder, "PC-%05d" % machine, "Logs"))
        with open(os.path.join(folder, "PC-%05d" % machine, "Logs", "Kelvane.log"), "wb") as log:
            log.write(data)
        total += len(data)
    return total


# A log's entries, each with its line end if it has one.
ENTRY = re.compile(r"Result=(?:PASS|FAIL|SKIP)|Query [A-Za-z ]+? failed|[^\r]*\r\n")


def all_mixed(count, rng):
    """The log of count runs started at once, taking turns entry by entry:
    every header comes before the first verdict."""
    runs = [ENTRY.findall(run(rng, "SN%06d" % at, 0)) for at in range(count)]
    return "".join(entry for turn in range(max(map(len, runs))) for entry in
                   (run[turn] for run in runs if turn < len(run))).encode("utf-16-le")


def damaged(folder, count, rng):
    """count logs of two runs, each with 64 KiB of random text (short lines
    of it, as well as entries and runs, must not be remembered for ever)
    between two entries of the first run."""
    for machine in range(count):
        first = run(rng, "SN%06d" % machine, 0).encode("utf-16-le")
        at = first.index("\r\n".encode("utf-16-le")) + 4  # after the header
        garbage = bytearray(rng.getrandbits(8 * 65536).to_bytes(65536, "little"))
        for line_end in range(256, len(garbage), 256):
            garbage[line_end - 4:line_end] = "\r\n".encode("utf-16-le")
        data = first[:at] + bytes(garbage) + first[at:] + run(rng, "SN%06d" % machine, 1).encode("utf-16-le")
        os.makedirs(os.path.join(folder, "PC-%05d" % machine, "Logs"))
        with open(os.path.join(folder, "PC-%05d" % machine, "Logs", "Kelvane.log"), "wb") as log:
            log.write(data)


def peak(paths, warn):
    """Peak of what the reader allocates while it streams the records of the
    logs at paths, its caches emptied first."""
    reader.KNOWN_LINES.clear()
    reader.KNOWN_RESTS.clear()
    tracemalloc.start()
    for _ in gather.read_records(paths, warn, warn):
        pass
    _, most = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    return len(paths), most


def best(repeat, work):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        result = work()
        times.append(time.perf_counter() - start)
    return min(times), result


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--logs", type=int, default=10000)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--mixed", default="100,1000,5000", help="runs in each log whose runs all mixed")
    args = parser.parse_args()
    folder = tempfile.mkdtemp(prefix="kelvane-log-bench-")
    try:
        size = generate(folder, args.logs, random.Random(args.seed))
        paths = [path for path, _ in gather.find_logs([folder], None)]
        blobs = []
        for path in paths:
            with open(path, "rb") as log:
                blobs.append(log.read())
        quiet = lambda *_: None  # the cut logs' warnings are expected

        def decode_files():
            units = 0
            for path in paths:
                with open(path, "rb") as log:
                    data = log.read()
                units += len(data[:len(data) & ~1].decode("utf-16-le", "surrogatepass"))
            return units

        def read_files():
            records = 0
            for path in paths:
                records += len(gather.read_file(path, quiet))
            return records

        def decode_bytes():
            return sum(len(data[:len(data) & ~1].decode("utf-16-le", "surrogatepass")) for data in blobs)

        def read_bytes():
            return sum(len(reader.read_runs(data, "", quiet)) for data in blobs)

        peaks = [peak(paths[:len(paths) // 10], quiet), peak(paths, quiet)]
        decode_disk, _ = best(args.repeat, decode_files)
        read_disk, records = best(args.repeat, read_files)
        decode_memory, _ = best(args.repeat, decode_bytes)
        read_memory, _ = best(args.repeat, read_bytes)
    finally:
        shutil.rmtree(folder)

    rng = random.Random(args.seed)
    mixed = []
    for count in map(int, args.mixed.split(",")):
        data = all_mixed(count, rng)
        seconds, got = best(args.repeat, lambda: reader.read_runs(data, "", quiet))
        mixed.append((count, len(data), seconds, sum(record["interleaved"] for record in got)))
    folder = tempfile.mkdtemp(prefix="kelvane-log-bench-")
    try:
        damaged(folder, 1000, rng)
        damaged_paths = sorted(path for path, _ in gather.find_logs([folder], None))
        garbage = [peak(damaged_paths[:10], quiet), peak(damaged_paths, quiet)]
    finally:
        shutil.rmtree(folder)

    print("%d logs, %d runs, %.1f MB of UTF-16LE (Python %s)"
          % (len(paths), records, size / 1e6, sys.version.split()[0]))
    print("%-36s %9s %14s %8s" % ("", "seconds", "records/s", "ratio"))
    print("%-36s %9.3f %14s %8s" % ("files: open, read, decode", decode_disk, "", "1.00"))
    print("%-36s %9.3f %14.0f %8.2f" % ("files: kelvane-log records", read_disk, records / read_disk,
                                        read_disk / decode_disk))
    print("%-36s %9.3f %14s %8s" % ("in memory: decode", decode_memory, "", "1.00"))
    print("%-36s %9.3f %14.0f %8.2f" % ("in memory: kelvane-log records", read_memory, records / read_memory,
                                        read_memory / decode_memory))
    print("peak memory while reading: " + ", ".join("%d logs %.0f KiB" % (count, most / 1024) for count, most in peaks))
    print()
    print("%-36s %9s %14s" % ("one log whose runs all mixed", "seconds", "interleaved"))
    for count, size, seconds, interleaved in mixed:
        print("%-36s %9.3f %14d" % ("%d runs, %.1f MB" % (count, size / 1e6), seconds, interleaved))
    print("peak memory while reading logs with 64 KiB of garbage: "
          + ", ".join("%d logs %.0f KiB" % (count, most / 1024) for count, most in garbage))


if __name__ == "__main__":
    main()
