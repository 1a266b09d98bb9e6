#!/usr/bin/env python3
"""tools/kelvane-log on a gathered folder where everything is hostile: edited
copies of the kept Run logs with odd values, folder names that are no text or
are markup, files in a log's place that are no files or too big, and Ctrl-C.

    KELVANE_RUN_LOGS=build/test/tests/work/run-logs python3 tests/tools/test_hostile_logs.py
"""

import json
import os
import re
import resource
import signal
import socket
import unittest

from test_fleet_report import stopped
from test_kelvane_log import InTemporaryFolder, log_of, read_bytes, records, run_tool, setUpModule  # noqa: F401

# A FAIL with every value logged: each planted run is listed on the page.
FAILING = "KelvaneFaults.a_write_that_does_not_take_effect_fails_the_run"


def failing(serial="SN-0042", build_id="12#SABA34", feature_byte="FB-7"):
    text = read_bytes(log_of(FAILING)).decode("utf-16-le")
    for logged, planted in (("SN-0042", serial), ("12#SABA34", build_id), ("FB-7", feature_byte)):
        text = text.replace("[%s]" % logged, "[%s]" % planted)
    return text.encode("utf-16-le", "surrogatepass")


def fifo(path):
    os.mkfifo(path)


def device(path):
    os.symlink("/dev/zero", path)


def listening(path):
    with socket.socket(socket.AF_UNIX) as unix:
        unix.bind(path)


def too_big(path):
    # 64 MiB and a byte, none of it on disk.
    with open(path, "wb") as file:
        file.truncate((64 << 20) + 1)


FORGED = "SN-1\nPC-99     12/08/26  15:02:53  SN-9  ABA  PASS\x1b[1A\x1b[2K\x9b2J"
# Each: what is planted (the machine folder, and its Kelvane.log's bytes or
# what makes it), and what must come out ((output, text) pairs that must
# show, and that must not; the table with its padding as one blank).
HOSTILE = [
    ("a lone surrogate in a serial", b"PC-surrogate", failing(serial="SN-\udc80"),
     [("jsonl", '"serial": "SN-\\udc80"'), ("table", "PC-surrogate 12/08/26 15:02:53 SN-\\udc80 ABA FAIL"),
      ("csv", ",SN-\\udc80,"), ("html", "<td>SN-\\udc80</td>")], []),
    ("a folder name that is not UTF-8", b"PC-\xe9", failing(),
     [("jsonl", '/PC-\\udce9/Kelvane.log"'), ("table", "\nPC-\\udce9 12/08/26"), ("html", "<td>PC-\\udce9</td>")],
     []),
    ("a line feed and escape sequences in a serial", b"PC-lf", failing(serial=FORGED),
     [("table", "PC-lf 12/08/26 15:02:53 SN-1\\nPC-99 12/08/26 15:02:53 SN-9 ABA PASS\\x1b[1A\\x1b[2K\\x9b2J ABA FAIL"),
      ("html", "SN-1\\nPC-99"), ("jsonl", json.dumps(FORGED))],
     [("table", "\nPC-99"), ("table", "\x1b"), ("table", "\x9b")]),
    ("formulas in the values", b"PC-formula", failing('=HYPERLINK("http://x.test/","SN-0042")', "@SUM(1)", "+FB"),
     [("csv", ",\"'=HYPERLINK(\"\"http://x.test/\"\",\"\"SN-0042\"\")\",'@SUM(1),'+FB,"),
      ("jsonl", '"serial": "=HYPERLINK(\\"http://x.test/\\",\\"SN-0042\\")", "build_id": "@SUM(1)"')],
     [("csv", ',"=HYPERLINK'), ("csv", ",@SUM"), ("csv", ",+FB")]),
    ("markup in a serial and a folder name", b'PC-<i onclick="x">&amp;', failing(serial="<script>x()</script>"),
     [("html", "<td>PC-&lt;i onclick=&quot;x&quot;&gt;&amp;amp;</td>"), ("html", "<td>&lt;script&gt;x()&lt;/script&gt;</td>")],
     [("html", "<script"), ("html", "<i ")]),
    ("a named pipe for a log", b"PC-fifo", fifo,
     [("errors", "PC-fifo/Kelvane.log: not read: a named pipe, not a regular file\n")], []),
    ("a link to /dev/zero for a log", b"PC-zero", device,
     [("errors", "PC-zero/Kelvane.log: not read: a character device, not a regular file\n")], []),
    ("a socket for a log", b"PC-socket", listening,
     [("errors", "PC-socket/Kelvane.log: not read: a socket, not a regular file\n")], []),
    ("a log over 64 MiB", b"PC-huge", too_big,
     [("errors", "PC-huge/Kelvane.log: not read: 67108865 bytes, larger than 64 MiB")], []),
    ("Ctrl-C while the logs go into the database", b"stop", failing(),
     [("Ctrl-C", "not a regular file\nkelvane-log: interrupted; the database is as it was\nexit code 130")], []),
]
NOT_READ = 4


class HostileLogs(InTemporaryFolder):
    def test_every_run_is_kept_and_shown_safely_and_what_is_no_log_is_named(self):
        # A regression that reads /dev/zero whole fails on memory, not the machine.
        resource.setrlimit(resource.RLIMIT_AS, (2 << 30, resource.getrlimit(resource.RLIMIT_AS)[1]))
        gathered = os.path.join(self.tmp, "gathered")
        for _, machine, planted, _, _ in HOSTILE:
            path = os.path.join(os.fsencode(gathered), machine, b"Kelvane.log")
            os.makedirs(os.path.dirname(path))
            if callable(planted):
                planted(path)
            else:
                with open(path, "wb") as file:
                    file.write(planted)
        fleet = os.path.join(self.tmp, "fleet.sqlite")

        # Every format from the logs, and from the database they went into.
        outputs = {}
        for form in ("jsonl", "table", "csv", "html"):
            outputs[form], outputs["errors"], code = run_tool(gathered, fmt=form)
            self.assertEqual(code, 2, form)
        kept, gathering, code = run_tool("--into", fleet, gathered)
        runs = len(HOSTILE) - NOT_READ
        self.assertEqual((kept, code), ("", 2))
        self.assertEqual(gathering, outputs["errors"] + "%d new, 0 updated, 0 unchanged\n" % runs)
        self.assertEqual(len(outputs["errors"].splitlines()), NOT_READ)
        got = records(gathered)[0]
        stored = records("--from", fleet)[0]
        self.assertEqual(len(got), runs)
        self.assertEqual(sorted(stored, key=json.dumps), sorted(got, key=json.dumps), "as they went in")
        self.assertEqual(run_tool("--from", fleet, fmt="html")[0].replace(fleet, gathered), outputs["html"])
        lines = outputs["table"].splitlines()
        self.assertEqual(lines[runs + 1:runs + 3], ["", "%d runs" % runs], "one line a run")
        outputs["table"] = re.sub(" +", " ", outputs["table"])

        before = read_bytes(fleet)
        child = stopped("--into", fleet, gathered)
        self.assertIsNotNone(child, "the tool reached the last log")
        child.send_signal(signal.SIGINT)
        outputs["Ctrl-C"] = "%sexit code %d" % (child.communicate(timeout=60)[1].decode("utf-8"), child.returncode)
        self.assertEqual(read_bytes(fleet), before)

        for name, _, _, shows, hides in HOSTILE:
            for output, text in shows:
                self.assertIn(text, outputs[output], name)
            for output, text in hides:
                self.assertNotIn(text, outputs[output], name)
        for output in ("errors", "Ctrl-C"):
            self.assertNotIn("Traceback", outputs[output])


if __name__ == "__main__":
    unittest.main(verbosity=2)
