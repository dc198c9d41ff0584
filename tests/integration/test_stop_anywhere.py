"""Stop anywhere: many lives of the real korval.dll in one stand-in process,
each stopped after a random delay: in the start delay, in the echo to a
silent host, in the report of its death, in a disk query that blocks or in
the long sleep. No crash, no
host call after closedown returned, no thread left behind, and a mail
delivered after every closedown still gets through the daemon entry point.

KORVAL_LIVES sets the number of lives (default 60; 1000 for the full run)."""

import collections
import os
import re
import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import korval_it as it

LIVES = int(os.environ.get("KORVAL_LIVES", "60"))
# Start delay 100 ms, echo timeout 2,000 ms, then the report, a disk query
# that takes 400 ms and the long sleep (a real minute): stops are spread over
# all of them.
STOP_WITHIN_MS = 2900
PHASES = [(100, "start delay"), (2100, "echo"), (2200, "report"), (2650, "disk query"),
          (STOP_WITHIN_MS + 1, "long sleep")]

# A loopback that ignores echo requests, with a Wine server of its own.
NETNS_SCRIPT = "set -u\n" + it.DEAF_LOOPBACK + it.NS_WINE + r"""
"$@"
status=$?
wineserver -k >/dev/null 2>&1
exit $status
"""


class StopAnywhere(unittest.TestCase):
    def test_random_stops_leave_nothing_behind(self):
        folder = it.work_dir("stop-anywhere")
        # Retry -1: the first miss is a death, reported at once.
        it.write_ini(folder, {"General": {"PollTime": 1, "Retry": -1, "Suspend": 1, "MemoryLimit": 0,
                                          "Mail": "admin@example.test,+15550100:sms.example.test"},
                              "Hosts": {"Number": 1, "Host1": "127.0.0.1"},
                              "Drives": {"Number": 1, "Drive1": "C:\\", "FreeDisk": 1}})
        run = it.run_standin("run", "--restarts", LIVES, "--stop-random", STOP_WITHIN_MS, "--slow-drive", "C=400",
                             "--after-closedown", "Admin <admin@example.test>", cwd=folder, timeout=60 + 6 * LIVES,
                             prefix=["unshare", "--net", "--", "bash", "-c", NETNS_SCRIPT, "netns"],
                             env=it.NS_ENV)

        self.assertEqual(run.faults(), [])
        self.assertEqual(run.returncode, it.EXIT_OK)
        self.assertEqual(len(re.findall(r"life \d+: startup returned 1", run.stdout)), LIVES)
        self.assertEqual(run.stdout.count("daemon after closedown returned 0"), LIVES)
        took = [int(ms) for ms in re.findall(r"closedown took (\d+) ms", run.stdout)]
        self.assertEqual(len(took), LIVES)
        self.assertLess(max(took), 1500)
        # A handle left open by every life would grow the count with the lives;
        # Wine's own bookkeeping moves it by a few.
        handles = re.search(r"handles: (\d+) before the first life, (\d+) after the last", run.stdout)
        self.assertLess(int(handles[2]) - int(handles[1]), max(LIVES // 2, 10))
        forced = re.search(r"standin: forced stops: (\d+)", run.stdout)
        self.assertEqual(int(forced[1]), 0)

        # Where the stops fell, for the record.
        delays = [int(ms) for ms in re.findall(r"stopping after (\d+) ms", run.stdout)]
        phases = collections.Counter(next(name for end, name in PHASES if ms < end) for ms in delays)
        reports = len([m for m in run.out.mails() if m.recipients])
        print(f"{LIVES} lives: stops {dict(phases)}; {reports} report mail(s); "
              f"closedown median {sorted(took)[len(took) // 2]} ms, max {max(took)} ms"
              + f"; handles {handles[1]} before, {handles[2]} after"
              + (f"; forced stops {forced[1]}" if forced else ""))
        self.assertEqual(len(delays), LIVES)


if __name__ == "__main__":
    unittest.main(verbosity=2)
