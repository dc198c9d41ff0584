"""Bad input through the real korval.dll: generated korval.ini files (binary
bytes, huge and negative numbers, long lines, missing sections, '%' in every
value, repeated keys), each reread by a mail to the daemon. After each, the
summary the daemon logs must be exactly what its formats make of a sound
record: counts within their tables, names within their fields, thresholds in
range.

The files come from the generator of the settings unit test. KORVAL_DLL_FILES
sets their number (default 500)."""

import os
import re
import subprocess
import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import korval_it as it

FILES = int(os.environ.get("KORVAL_DLL_FILES", "500"))
SENDER = "Admin <admin@example.test>"

# Every line a reread may log, as (category, priority, pattern).
SUMMARY = [
    ("address", 11, 20, r"Using daemon address '(.{1,99})'"),
    ("poll", 1, 20, r"Polling every (\d+) minutes\."),
    ("retry", 1, 20, r"Retry befor report: (-?\d+)\."),
    ("suspend", 1, 20, r"Don't report deads (-?\d+) times\."),
    ("memory", 1, 20, r"Test for (\d+) MB memory available\."),
    ("mail", 1, 20, r"Send reports to Mail '(.{1,299})'\."),
    ("sms", 1, 20, r"Send reports to SMS  '(.{1,299})'\."),
    ("drives", 1, 20, r"Test free space over (\d+) MB on ((?:.{1,9};){1,10})"),
    ("critical", 1, 20, r"  \(Suspend Merc(S|D|S/D) for space < (\d+) MB\)"),
    ("no disk", 1, 20, r"Not testing for free disk space\."),
    ("hosts", 1, 20, r"Polling (\d+) hosts:"),
    ("host", 1, 20, r"    (.{1,99})"),
]
OTHER = [
    (20, 15, re.escape(f"KORVAL: MailFrom: '{SENDER}'")),
    (0, 5, r"KORVAL reinit:"),
    (1, 5, r"Nothing to test\."),
    (0, 5, r"Unable to replace alias|Unable to create alias '.{1,199}'"),
]


def kind_of(line):
    for name, category, priority, pattern in SUMMARY:
        m = re.fullmatch(pattern, line.text, re.S)
        if m and (line.category, line.priority) == (category, priority):
            return name, m
    return None, None


class BadInput(unittest.TestCase):
    def check_summary(self, lines):
        """One summary: the lines in their order, each value in range."""
        kinds = [kind_of(l) for l in lines]
        names = [k for k, _ in kinds]
        self.assertNotIn(None, names, [l.text for l in lines])
        self.assertEqual(names[:4], ["address", "poll", "retry", "suspend"])
        values = {k: m for k, m in kinds}
        self.assertTrue(1 <= int(values["poll"][1]) <= 1440)
        self.assertNotEqual(int(values["retry"][1]), 0)
        self.assertNotEqual(int(values["suspend"][1]), 0)
        if "memory" in values:
            self.assertGreater(int(values["memory"][1]), 0)
        if "drives" in values:
            free = int(values["drives"][1])
            self.assertGreater(free, 0)
            if "critical" in values:
                self.assertTrue(0 < int(values["critical"][2]) <= free)
        else:
            self.assertIn("no disk", names)
        hosts = int(values["hosts"][1])
        self.assertTrue(0 <= hosts <= 15)
        self.assertEqual(names[names.index("hosts") + 1:], ["host"] * hosts)
        optional = [n for n in names[4:names.index("hosts")]]
        order = ["memory", "mail", "sms", "drives", "critical", "no disk"]
        self.assertEqual(optional, sorted(optional, key=order.index))

    def test_generated_files_reread_by_mail(self):
        folder = it.work_dir("bad-input")
        files = folder / "inis"
        files.mkdir()
        generator = it.BUILD / "tests" / "unit_settings.exe"
        subprocess.run(["wine", str(generator), "--gtest_filter=GeneratedFiles.*", "--gtest_brief=1"], check=True,
                       env=dict(os.environ, KORVAL_INI_DUMP=it.win_path(files), KORVAL_INI_COUNT=str(FILES)),
                       stdout=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
        self.assertEqual(len(list(files.glob("*.ini"))), FILES)

        # The first cycle's long sleep lasts a day: nothing but the rereads logs.
        it.write_ini(folder, {"General": {"PollTime": 1440, "MemoryLimit": 0, "Mail": "admin@example.test"},
                              "Hosts": {"Number": 1, "Host1": "127.0.0.1"}})
        run = it.run_standin("run", "--cycles", 1, "--deliver-every", 1, "--ini-files", it.win_path(files),
                             "--deliver", SENDER, cwd=folder, timeout=60 + FILES)
        self.assertEqual(run.returncode, it.EXIT_OK)
        self.assertEqual(run.faults(), [])
        self.assertEqual(run.stdout.count("standin: korval.ini <- "), FILES)

        log = run.out.log()
        texts = [l.text for l in log]
        # The start's own summary passes the same checks.
        self.check_summary(log[texts.index("Daemon KORVAL.DLL started.") + 1:texts.index("Korval thread created.")])
        starts = [i for i, l in enumerate(log) if l.text == "KORVAL reinit:"]
        self.assertEqual(len(starts), FILES)
        for n, (start, end) in enumerate(zip(starts, starts[1:] + [len(log)]), 1):
            with self.subTest(file=n):
                lines = log[start + 1:end]
                # The next reread's sender line closes this one.
                if end < len(log):
                    self.assertRegex(lines.pop().text, OTHER[0][2])
                rest = [l for l in lines if not any((l.category, l.priority) == (c, p) and re.fullmatch(x, l.text)
                                                    for c, p, x in OTHER[1:])]
                self.check_summary(rest)


if __name__ == "__main__":
    unittest.main(verbosity=2)
