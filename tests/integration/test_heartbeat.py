"""The heartbeat and the daily digest of the real korval.dll under the
stand-in's time-lapse, whose clocks run a minute a cycle: a heartbeat after
the first cycle and every five minutes, and the digest once its time of day
has come, each with its subject."""

import datetime
import sys
import time
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import korval_it as it


class Heartbeat(unittest.TestCase):
    def test_heartbeats_and_a_digest_reach_the_outbox(self):
        folder = it.work_dir("heartbeat")
        # The digest's time: three minutes of the lapsed clock after the start,
        # on the same day (a start just before midnight would find the day's
        # time already past and send one at once).
        now = datetime.datetime.now()
        if (now + datetime.timedelta(minutes=4)).date() != now.date():
            time.sleep((datetime.datetime.combine(now.date() + datetime.timedelta(days=1), datetime.time(0, 0, 5))
                        - now).total_seconds())
        digest = (datetime.datetime.now() + datetime.timedelta(minutes=3)).strftime("%H:%M")
        it.write_ini(folder, {"General": {"PollTime": 1, "MemoryLimit": 0, "Mail": "admin@example.test",
                                          "StatusFile": "korval.prom"},
                              "Hosts": {"Number": 1, "Host1": "127.0.0.1"},
                              "Heartbeat": {"Mail": "ping-3f9a@watch.example.test", "Minutes": 5, "Digest": digest}})
        run = it.run_standin("run", "--cycles", 8, "--lapse", 200, cwd=folder, timeout=60)
        self.assertEqual((run.returncode, run.faults()), (it.EXIT_OK, []))
        texts = run.out.texts()
        self.assertIn("Heartbeat every 5 minutes to 'ping-3f9a@watch.example.test'.", texts)
        self.assertIn(f"Daily digest at {digest} to the Mail recipients.", texts)

        mails = [(m.recipients, m.message["Subject"]) for m in run.out.mails()]
        beat = (["ping-3f9a@watch.example.test"], "Korval heartbeat example.test: all well")
        self.assertEqual(mails.count(beat), 2, mails)
        self.assertEqual(mails.count((["admin@example.test"], "Korval daily digest example.test: all well")), 1)
        self.assertEqual(len(mails), 3, mails)
        first = run.out.mails()[0].message.get_content().splitlines()
        self.assertEqual(first[2:4], ["First heartbeat since Korval started.", "Hosts: 1 of 1 up."])
        self.assertIn("\nkorval_heartbeats_sent_total 2\n", (folder / "korval.prom").read_text())


if __name__ == "__main__":
    unittest.main(verbosity=2)
