#!/usr/bin/env python3
"""tools/kelvane-log on a gathered folder of hostile copies of the kept Run logs and of what is no log; Ctrl-C."""

import os
import re
import resource
import signal
import subprocess
import unittest

from test_fleet_report import stopped
from test_kelvane_log import InTemporaryFolder, log_of, read_bytes, run_tool, setUpModule  # noqa: F401

FORGED, SHOWN = "SN-1\nPC-9 PASS\x1b[1A\x1b[2K\x9b2J", "SN-1\\nPC-9 PASS\\x1b[1A\\x1b[2K\\x9b2J"
# A machine folder; its Kelvane.log: a FAIL (so listed on the page) logging these values, or what is planted instead;
# what must show in each output (the table with its padding as one blank; the page from the database).
HOSTILE = [
    (b"PC-surrogate", {"SerialNumber": "SN-\udc80"},
     {"jsonl": '"serial": "SN-\\udc80"', "table": " SN-\\udc80 ABA", "csv": ",SN-\\udc80,", "html": ">SN-\\udc80<"}),
    (b"PC-\xe9", {}, {"jsonl": '/PC-\\udce9/Kelvane.log"', "table": "\nPC-\\udce9 ", "html": ">PC-\\udce9<"}),
    (b"PC-deep" + b"/a" * 1200, {}, {"jsonl": "/PC-deep/a/a/a/"}),
    (b"PC-lf", {"SerialNumber": FORGED}, {"table": " %s ABA FAIL" % SHOWN, "html": ">%s<" % SHOWN}),
    (b"PC-formula", {"SerialNumber": '=HYPERLINK("x")', "BuildID": "@SUM(1)", "FeatureByte": "+FB"},
     {"csv": ",\"'=HYPERLINK(\"\"x\"\")\",'@SUM(1),'+FB,", "jsonl": '"serial": "=HYPERLINK(\\"x\\")"'}),
    (b'PC-<i id="x">&amp;', {"SerialNumber": "<b>"},
     {"html": "<tr><td>PC-&lt;i id=&quot;x&quot;&gt;&amp;amp;</td>", "page": "<td>&lt;b&gt;</td>"}),
    (b"PC-fifo\x1b", os.mkfifo, {"errors": "PC-fifo\\x1b/Kelvane.log: not read: a named pipe, not a regular file\n"}),
    (b"PC-zero", lambda path: os.symlink("/dev/zero", path), {"errors": "zero/Kelvane.log: not read: a character"}),
    (b"PC-huge", lambda path: open(path, "wb").truncate((64 << 20) + 1), {"errors": "67108865 bytes, larger than 64"}),
    (b"stop", {}, {"Ctrl-C": "regular file\nkelvane-log: interrupted; the database is as it was\nexit code 130"}),
]


class HostileLogs(InTemporaryFolder):
    def tearDown(self):
        subprocess.run(["rm", "-r", self.tmp], check=True)  # shutil.rmtree recurses

    def test_every_run_is_kept_and_shown_as_it_is_and_what_is_no_log_is_named(self):
        # A regression that reads /dev/zero whole fails for want of memory, not the machine.
        resource.setrlimit(resource.RLIMIT_AS, (2 << 30, resource.getrlimit(resource.RLIMIT_AS)[1]))
        gathered, fleet = os.path.join(self.tmp, "gathered"), os.path.join(self.tmp, "fleet.sqlite")
        failing = read_bytes(log_of("KelvaneFaults.a_write_that_does_not_take_effect_fails_the_run")).decode("utf-16le")
        for index, (machine, planted, _) in enumerate(HOSTILE):
            path = os.path.join(os.fsencode(gathered), machine, b"Kelvane.log")
            subprocess.run(["mkdir", "-p", os.path.dirname(path)], check=True)  # os.makedirs recurses
            if callable(planted):
                planted(path)
                continue
            text = failing
            # Each a PC of its own: logs that begin alike are one log.
            for line, value in dict({"SerialNumber": "SN-%02d" % index}, **planted).items():
                text = re.sub(r"(?<=\n%s=\[)[^]]*" % line, lambda _: value, text)
            with open(path, "wb") as log:
                log.write(text.encode("utf-16-le", "surrogatepass"))
        outputs = {form: run_tool(gathered, fmt=form) for form in ("jsonl", "table", "csv", "html")}
        errors = outputs["jsonl"][1]
        # What could be read is kept, what could not is named: exit code 1.
        self.assertEqual({(err, code) for _, err, code in outputs.values()}, {(errors, 1)})
        self.assertEqual(run_tool("--into", fleet, gathered), ("", errors + "7 new, 0 updated, 0 unchanged\n", 1))
        self.assertEqual(sorted(run_tool("--from", fleet, fmt="jsonl")[0].splitlines()),
                         sorted(outputs["jsonl"][0].splitlines()), "as they went in")
        outputs["page"] = run_tool("--from", fleet, fmt="html")
        self.assertEqual(outputs["page"][0].replace(fleet, gathered), outputs["html"][0])
        outputs = {name: re.sub(" +", " ", out) if name == "table" else out for name, (out, _, _) in outputs.items()}
        outputs["errors"], before = errors, read_bytes(fleet)
        os.utime(os.path.join(gathered, "stop", "Kelvane.log"), ns=(0, 0))  # changed since kept: read again
        with stopped("--into", fleet, gathered, os.path.join(gathered, "stop", "Kelvane.log")) as child:
            child.send_signal(signal.SIGINT)
            outputs["Ctrl-C"] = "%sexit code %d" % (child.communicate(timeout=60)[1].decode("utf-8"), child.returncode)
        self.assertEqual(read_bytes(fleet), before)
        for machine, _, shows in HOSTILE:
            for output, text in shows.items():
                self.assertIn(text, outputs[output], machine[:20])


if __name__ == "__main__":
    unittest.main(verbosity=2)
