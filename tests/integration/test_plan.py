"""The stand-in's plan through the real korval.dll: hosts, a drive and a
service answer cycle by cycle as the plan says, and the daemon's misses,
reports and recoveries fall in the cycles its rules give. With --clock and
PollTime=1 each cycle has its own minute, so the log's and the mails' times
tell the cycle. A planned name or address never leaves the machine; the
service, when the plan does not hold it down, is a real greeter on
127.0.0.1 in a private network namespace."""

import re
import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import korval_it as it

CLOCK, FIRST_MINUTE, CYCLES = "2026-12-24 00:55", 55, 7
SERVICE = "smtp://127.0.0.1:2525"

# name, plan lines, [(cycle, log line naming the thing)], [(cycle, subject)] of the mails and SMS.
ROWS = [
    ("an address down in cycles 2-5 is dead at its third miss (Retry=2) and back in 6",
     ["2-5 host 10.0.0.5 down"],
     [(c, "Host 10.0.0.5 doesn't respond.") for c in (2, 3, 4)] + [(4, "Host 10.0.0.5 is dead."),
      (5, "Host 10.0.0.5 doesn't respond."), (5, "Host 10.0.0.5 is dead."), (6, "Host 10.0.0.5 is ON again.")],
     [(4, "No Response on 10.0.0.5"), (4, "Dead 10.0.0.5 "), (6, "Responding 10.0.0.5: OK"), (6, "Live 10.0.0.5")]),
    ("a drive low in cycles 3-4 is reported once, and back after two good readings",
     ["1- drive Q: free 500", "3-4 drive q free 50"],
     [(3, "Low disk space: only 50MB on Q:\\"), (4, "Low disk space: only 50MB on Q:\\"),
      (5, "OK disk space: 500MB on Q:\\"), (6, "OK disk space: 500MB on Q:\\")],
     [(3, "Low DiskSpace (Q:\\) on Mercury"), (3, "MercLowDisk Q: (50MB)"),
      (6, "Low DiskSpace (Q:\\) on Mercury"), (6, "MercDisk Q: NO Low (500MB)")]),
    ("a service refused in cycles 2-4 is dead in 4 and its greeter answers again in 5",
     [f"2-4 service {SERVICE} down"],
     [(c, f"Service {SERVICE} doesn't answer: connection refused.") for c in (2, 3, 4)] +
     [(4, f"Service {SERVICE} is dead."), (5, f"Service {SERVICE} is ON again.")],
     [(4, f"No Service on {SERVICE}"), (4, f"Down {SERVICE}"), (5, f"Service {SERVICE}: OK"),
      (5, f"Up {SERVICE}")]),
]

SETTINGS = {"General": {"PollTime": 1, "Retry": 2, "Suspend": 5, "MemoryLimit": 0,
                        "Mail": "admin@example.test,+15550100:sms.example.test"},
            "Hosts": {"Number": 1, "Host1": "10.0.0.5"},
            "Drives": {"Number": 1, "Drive1": "Q:\\", "FreeDisk": 100, "CriticalDisk": 10},
            "Services": {"Number": 1, "Service1": SERVICE}}

# What each row's lines name.
NAMES = ["10.0.0.5", "Q:", SERVICE]


def cycle_of(time):
    """The poll cycle of a log or mail time HH:MM[:SS...]."""
    hours, minutes = map(int, time.split(":")[:2])
    return (hours * 60 + minutes) % (24 * 60) - FIRST_MINUTE + 1


class Plan(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        folder = it.work_dir("plan")
        it.write_ini(folder, SETTINGS)
        plan = ["# each row's lines"] + [line for row in ROWS for line in row[1]]
        (folder / "rows.plan").write_text("\n".join(plan) + "\n")
        cls.folder = folder
        cls.standin = it.run_beside(folder, it.greeter(folder, "127.0.0.1", 2525), "--plan", "rows.plan",
                                    "--clock", CLOCK, "--cycles", CYCLES, "--lapse", 200, "--seconds", 80, timeout=120)

    def test_the_run_ends_cleanly_with_every_cycle(self):
        self.assertEqual(self.standin.returncode, it.EXIT_OK)
        self.assertEqual(self.standin.faults(), [])
        self.assertEqual(self.standin.out.statistics()["TotalTests"], CYCLES)
        self.assertIn("standin: plan: host 10.0.0.5 is 127.0.0.2", self.standin.stdout)

    def test_rows(self):
        lines = self.standin.out.log()
        start = [l.text for l in lines].index("Korval thread created.") + 1
        log = [(cycle_of(l.time), l.text) for l in lines[start:]]
        mails = [(cycle_of(re.search(r"\d\d:\d\d:\d\d", m.message["Date"])[0]), m.message["Subject"])
                 for m in self.standin.out.mails()]
        for (name, _, lines, reports), shown in zip(ROWS, NAMES):
            with self.subTest(row=name):
                self.assertEqual([l for l in log if shown in l[1]], lines)
                self.assertEqual([m for m in mails if shown in m[1]], reports)

    def test_the_greeter_hears_only_the_cycles_the_plan_lets_through(self):
        self.assertEqual((self.folder / "got-2525.txt").read_bytes(), b"QUIT\r\n" * 4)


if __name__ == "__main__":
    unittest.main(verbosity=2)
