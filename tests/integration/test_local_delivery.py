"""Local delivery by the stand-in: a report of the real korval.dll to its
own address comes back into its daemon entry point after --local-delay, or
stays queued (--hold-local), or is lost (--drop-local); one still waiting at
closedown is dropped. The lapsed clocks move on by the whole sleep."""

import re
import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import korval_it as it

OWN, ADMIN = "korval-daemon@example.test", "admin@example.test"
SUBJECT = "Unavailable Disk (Q:\\) on Mercury"


def start(name, mail, target):
    """A folder whose korval.ini reports an unreadable Q: every cycle to mail. The
    daemon's alias is already in the host's table, as a configure of an earlier run
    leaves it: today's daemon adds it only from configure or a delivered mail."""
    folder = it.work_dir(name)
    it.write_ini(folder, {"General": {"PollTime": 1, "MemoryLimit": 0, "Mail": mail},
                          "Drives": {"Number": 1, "FreeDisk": 1, "Drive1": "Q:\\"}})
    (folder / "standin-out").mkdir()
    (folder / "standin-out" / "aliases.txt").write_text(f"{OWN} = {target}\n")
    return folder


def notes(run, pattern):
    return re.findall(r"^standin: local mail (\d{4}) " + pattern + r"\r?$", run.stdout, re.M)


class LocalDelivery(unittest.TestCase):
    def test_report_to_itself_comes_back_after_the_delay(self):
        # Cycle 1 reports, its mail comes back 1 s later within the 1.5 s
        # sleep; cycle 2's mail is still waiting at closedown.
        folder = start("local-delivered", f"{OWN},{ADMIN}", "Daemon:korval.dll")
        run = it.run_standin("run", "--cycles", 2, "--lapse", 1500, "--local-delay", 1000, cwd=folder, timeout=60)
        self.assertEqual((run.returncode, run.faults()), (it.EXIT_OK, []))

        # Each report goes out to the admin and, with the same bytes, to the daemon.
        outbox, local = run.out.mails(), run.out.mails("local")
        self.assertEqual([(m.number, m.sender, m.recipients) for m in outbox], [(1, OWN, [ADMIN]), (2, OWN, [ADMIN])])
        self.assertEqual([(m.number, m.sender, m.recipients) for m in local], [(1, OWN, [OWN]), (2, OWN, [OWN])])
        self.assertEqual([m.raw for m in local], [m.raw for m in outbox])
        self.assertEqual(local[0].message["Subject"], SUBJECT)

        queued = f"from '{OWN}' to '{OWN}': delivery in 1000 ms"
        self.assertEqual(notes(run, queued), ["0001", "0002"])
        delivered = [(n, int(ms)) for n, ms in notes(run, r"delivered after (\d+) ms")]
        self.assertEqual([n for n, _ in delivered], ["0001"])
        self.assertTrue(1000 <= delivered[0][1] < 2000, delivered)
        self.assertEqual(notes(run, r"dropped: closedown \d+ ms after it was closed"), ["0002"])

        # The daemon takes it for a mail from itself: one reread, after the report.
        texts = run.out.texts()
        self.assertEqual(texts.count(f"KORVAL: MailFrom: '{OWN}'"), 1)
        self.assertEqual(texts.count("KORVAL reinit:"), 1)
        self.assertLess(texts.index("Error getting free disk space on Q:\\."), texts.index("KORVAL reinit:"))

        # The first sleep ran out: 60 s less the 1.5 s it lasted (a late wake-up
        # lasts longer and skips less); the second, stopped early, adds less
        # than a whole sleep.
        ahead = int(re.search(r"the daemon's clocks are (\d+) ms ahead", run.stdout)[1])
        self.assertTrue(57500 <= ahead < 58500 + 60000, ahead)

    def test_held_or_lost_never_reaches_the_daemon(self):
        for option, fate in ("--hold-local", "held"), ("--drop-local", "lost"):
            with self.subTest(option=option):
                # The alias's target in any case is a daemon's.
                folder = start(f"local{option[1:]}", OWN, "daemon:KORVAL.DLL")
                run = it.run_standin("run", "--cycles", 2, "--lapse", 1000, option, cwd=folder, timeout=60)
                self.assertEqual((run.returncode, run.faults()), (it.EXIT_OK, []))
                self.assertEqual(run.out.mails(), [])
                self.assertEqual([m.message["Subject"] for m in run.out.mails("local")], [SUBJECT, SUBJECT])
                self.assertEqual(notes(run, rf"from '{OWN}' to '{OWN}' {fate} \({option}\)"), ["0001", "0002"])
                self.assertNotIn("KORVAL reinit:", run.out.texts())


if __name__ == "__main__":
    unittest.main(verbosity=2)
