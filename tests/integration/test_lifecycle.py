"""A hundred lives of the real korval.dll in one stand-in process: load,
startup, one poll cycle, closedown, unload, again and again."""

import re
import statistics
import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import korval_it as it

LIVES = 100

# Everything a successful startup logs, in order, as (category, priority, text).
STARTUP = [
    (10, 5, "Daemon KORVAL.DLL started."),
    (11, 20, "Using daemon address 'korval-daemon@example.test'"),
    (1, 20, "Polling every 2 minutes."),
    (1, 20, "Retry befor report: 2."),
    (1, 20, "Don't report deads 4 times."),
    (1, 20, "Send reports to Mail 'admin@example.test'."),
    (1, 20, "Not testing for free disk space."),
    (1, 20, "Polling 1 hosts:"),
    (1, 20, "    127.0.0.1"),
    (1, 25, "Korval thread created."),
]


class Restarts(unittest.TestCase):
    def test_hundred_lives_in_one_process(self):
        folder = it.work_dir("lifecycle-restarts")
        it.write_ini(folder, {"General": {"PollTime": 2, "Retry": 2, "Suspend": 4, "MemoryLimit": 0,
                                          "Mail": "admin@example.test"},
                              "Hosts": {"Number": 1, "Host1": "127.0.0.1"}})
        # The lapsed long sleep outlasts the stand-in's look at the cycle
        # count, so every life ends in it after exactly one cycle.
        run = it.run_standin("run", "--restarts", LIVES, "--lapse", 10000, cwd=folder, timeout=240)

        # A late call through the host record or a thread still alive after
        # closedown is a fault of the stand-in, with its own exit code.
        self.assertEqual(run.faults(), [])
        self.assertEqual(run.returncode, it.EXIT_OK)
        self.assertIn(f"life {LIVES}: startup returned 1", run.stdout)
        self.assertEqual(run.stdout.count("1 poll cycle(s) completed"), LIVES)

        log = [(l.category, l.priority, l.text) for l in run.out.log()]
        starts = [i for i, line in enumerate(log) if line == STARTUP[0]]
        self.assertEqual(len(starts), LIVES)
        for life, at in enumerate(starts, 1):
            with self.subTest(life=life):
                self.assertEqual(log[at:at + len(STARTUP)], STARTUP)
        self.assertEqual(run.out.statistics().get("TotalTests"), LIVES)

        # The thread leaves by itself at the stop, and closedown returns as
        # soon as it has: no grace runs out, no settling follows. Wine's tick
        # count moves in steps of up to 16 ms.
        took = [int(ms) for ms in re.findall(r"closedown took (\d+) ms", run.stdout)]
        self.assertEqual(len(took), LIVES)
        self.assertLessEqual(statistics.median(took), 20)
        self.assertLess(max(took), 500)
        self.assertIn("standin: forced stops: 0", run.stdout)

    def test_life_after_an_unload_that_a_look_up_outlived(self):
        # Every look-up takes 6 s; each life is stopped after 1 s, in its
        # first look-up. The look-up of the first life still holds the DLL
        # when it is unloaded, so the second load gets the same image, and
        # the second life must start afresh and poll.
        folder = it.work_dir("lifecycle-outlived")
        it.write_ini(folder, {"General": {"PollTime": 2, "Retry": 2, "Suspend": 4, "MemoryLimit": 0,
                                          "Mail": "admin@example.test"},
                              "Hosts": {"Number": 1, "Host1": "slow.example.test"}})
        run = it.run_standin("run", "--restarts", 2, "--seconds", 1, "--slow-resolve", 6000, "--fail-resolve",
                             cwd=folder, timeout=120)
        self.assertEqual(run.faults(), [])
        self.assertEqual(run.returncode, it.EXIT_OK)
        self.assertIn("the DLL stays mapped until they leave", run.stdout)
        self.assertIn("life 2: startup returned 1", run.stdout)
        self.assertIn("standin: forced stops: 0", run.stdout)
        # Each life counted its cycle; neither cut look-up logged a word.
        self.assertEqual(run.out.statistics().get("TotalTests"), 2)
        texts = [l.text for l in run.out.log()]
        self.assertEqual(texts.count("Korval thread created."), 2)
        self.assertFalse([t for t in texts if "finding address" in t])

    def test_second_start_and_lives_after_stuck_errands(self):
        # A second startup in each life: one control thread and one errand
        # thread, no answer mixed up between them (127.0.0.1 always answers),
        # one cycle per lapse, and nothing of the DLL left after the unload.
        folder = it.work_dir("lifecycle-twice")
        it.write_ini(folder, {"General": {"PollTime": 1, "MemoryLimit": 0, "Mail": "admin@example.test"},
                              "Hosts": {"Number": 1, "Host1": "127.0.0.1"}})
        run = it.run_standin("run", "--restarts", 2, "--startups", 2, "--cycles", 3, "--lapse", 300,
                             cwd=folder, timeout=120)
        self.assertEqual((run.returncode, run.faults()), (it.EXIT_OK, []))
        self.assertEqual(run.stdout.count("startup again returned 1"), 2)
        self.assertEqual(run.stdout.count("threads of the daemon: 2"), 2)
        self.assertEqual(run.out.texts(10).count("Daemon KORVAL.DLL is already running: startup ignored."), 2)
        self.assertEqual([l.text for l in run.out.log() if "respond" in l.text], [])
        statistics = run.out.statistics()
        self.assertEqual((statistics["TotalTests"], statistics["FailedHost"], statistics["Failures"]), (6, 0, 0))
        self.assertIn("standin: forced stops: 0", run.stdout)

        # Five lives, each stopped while its disk query hangs for 16 s, so
        # that the fifth starts beside four stuck errands: every later life
        # starts and runs its own errands at once (its look-up fails and is
        # logged before its own query hangs in turn).
        folder = it.work_dir("lifecycle-stuck")
        it.write_ini(folder, {"General": {"PollTime": 1, "MemoryLimit": 0, "Mail": "admin@example.test"},
                              "Drives": {"Number": 1, "FreeDisk": 1, "Drive1": "C:\\"},
                              "Hosts": {"Number": 1, "Host1": "nowhere.invalid"}})
        run = it.run_standin("run", "--restarts", 5, "--seconds", 1, "--slow-drive", "C=16000", "--fail-resolve",
                             cwd=folder, timeout=120)
        self.assertEqual((run.returncode, run.faults()), (it.EXIT_OK, []))
        self.assertIn("life 5: startup returned 1", run.stdout)
        texts = [l.text for l in run.out.log()]
        self.assertEqual(texts.count("Error 11001 finding address nowhere.invalid"), 5)
        self.assertNotIn("Unable to Create Control Thread", texts)


if __name__ == "__main__":
    unittest.main(verbosity=2)
