"""The mail flow check of the real korval.dll in the stand-in, whose queue
hands the daemon's probes back into its entry point: a probe back in time
(no reread, its round trip logged), a queue that stands still reported dead
after Retry + 1 missed cycles and recovered when it moves again, a lost probe
counted, a forged mail from the daemon's own address no probe back; and
without [MailFlow] such a mail still rereads."""

import re
import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import korval_it as it

OWN = "korval-daemon@example.test"


def settings(**flow):
    sections = {"General": {"PollTime": 1, "Retry": 1, "Suspend": 9, "MemoryLimit": 0, "Mail": "admin@example.test",
                            "StatusFile": "korval.prom"},
                "Hosts": {"Number": 1, "Host1": "127.0.0.1"}}
    if flow:
        sections["MailFlow"] = flow
    return sections


class MailFlow(unittest.TestCase):
    def test_a_queue_that_stands_still_and_moves_again(self):
        # Each cycle is a minute of the daemon's clock; the probes stay in the
        # queue until five cycles are done, and come back 100 ms after they
        # are sent from then on.
        folder = it.work_dir("mail-flow")
        it.write_ini(folder, settings(LostAfter=2))
        run = it.run_standin("run", "--cycles", 9, "--lapse", 300, "--hold-local-cycles", 5, "--local-delay", 100,
                             cwd=folder, timeout=120)
        self.assertEqual((run.returncode, run.faults()), (it.EXIT_OK, []))
        texts = run.out.texts()
        self.assertIn("Probing mail flow: a probe is lost after 2 minutes.", texts)
        self.assertEqual(run.out.aliases(), {OWN: "Daemon:korval.dll"})
        flow = [t for t in texts if t.startswith("Mail flow ")]
        # Probe 1 is older than two minutes at the third cycle: the first
        # miss; the second miss (Retry + 1) is dead and reported.
        self.assertEqual(flow[:3], ["Mail flow doesn't move: probe 1 not back after 2 minutes.",
                                    "Mail flow doesn't move: probe 2 not back after 2 minutes.",
                                    "Mail flow is dead."])
        recovered = flow.index("Mail flow is ON again.")
        self.assertTrue(all(not t.startswith("Mail flow doesn't move") for t in flow[recovered:]), flow)
        self.assertTrue([t for t in flow if re.fullmatch(r"Mail flow probe \d+ back after 0\.\d{3} s\.", t)], flow)
        self.assertNotIn("KORVAL reinit:", texts)
        self.assertEqual([m.message["Subject"] for m in run.out.mails()],
                         ["No Mail Flow on example.test", "Mail Flow on example.test: OK"])
        body = run.out.mails()[0].message.get_content()
        self.assertIn("Mail does not move through example.test: probe 2 not back after 2 minutes.", body)
        # Each probe names itself in its envelope sender, one token for the
        # life; the daemon's alias brings it back.
        probes = run.out.mails("local")
        senders = [re.fullmatch(r"korval-daemon-([0-9a-f]{16})-(\d+)@example\.test", m.sender) for m in probes]
        self.assertTrue(all(senders), [m.sender for m in probes])
        self.assertEqual(len({m[1] for m in senders}), 1)
        self.assertEqual([(int(m[2]), p.recipients) for m, p in zip(senders, probes)],
                         [(n, [OWN]) for n in range(1, 10)])
        self.assertEqual(probes[0].message["Subject"], "Korval mail flow probe 1")
        status = (folder / "korval.prom").read_text()
        self.assertIn("\nkorval_mail_flow_up 1\n", status)
        self.assertRegex(status, r"\nkorval_mail_flow_round_trip_seconds 0\.\d{3}\n")
        self.assertIn("\nkorval_mail_flow_probes_lost_total 3\n", status)

    def test_a_lost_probe_and_a_mail_from_itself_without_the_check(self):
        folder = it.work_dir("mail-flow-lost")
        it.write_ini(folder, settings(LostAfter=1))
        run = it.run_standin("run", "--cycles", 3, "--lapse", 300, "--drop-local", cwd=folder, timeout=60)
        self.assertEqual((run.returncode, run.faults()), (it.EXIT_OK, []))
        self.assertEqual([t for t in run.out.texts() if t.startswith("Mail flow ")],
                         ["Mail flow doesn't move: probe 1 not back after 1 minute.",
                          "Mail flow doesn't move: probe 2 not back after 1 minute.", "Mail flow is dead."])
        self.assertIn("\nkorval_mail_flow_probes_lost_total 2\n", (folder / "korval.prom").read_text())

        # Every probe lost, and a mail a cycle from outside with the daemon's
        # own address as its sender: no probe back, the flow goes dead.
        folder = it.work_dir("mail-flow-forged")
        it.write_ini(folder, settings(LostAfter=1))
        run = it.run_standin("run", "--cycles", 4, "--lapse", 300, "--drop-local", "--deliver-every", 300,
                             "--deliver", OWN, cwd=folder, timeout=60)
        self.assertEqual((run.returncode, run.faults()), (it.EXIT_OK, []))
        texts = run.out.texts()
        self.assertIn("KORVAL reinit:", texts)
        flow = [t for t in texts if t.startswith("Mail flow ")]
        self.assertEqual(flow[:3], ["Mail flow doesn't move: probe 1 not back after 1 minute.",
                                    "Mail flow doesn't move: probe 2 not back after 1 minute.", "Mail flow is dead."])
        self.assertFalse([t for t in flow if t.startswith("Mail flow probe") or "ON again" in t], flow)

        # Without the section: a mail from the daemon's own address rereads,
        # and the status file has no mail flow family.
        folder = it.work_dir("mail-flow-off")
        it.write_ini(folder, settings())
        run = it.run_standin("run", "--cycles", 1, "--lapse", 300, "--deliver", f"<{OWN}>", cwd=folder, timeout=60)
        self.assertEqual((run.returncode, run.faults()), (it.EXIT_OK, []))
        self.assertIn("KORVAL reinit:", run.out.texts())
        self.assertNotIn("mail_flow", (folder / "korval.prom").read_text())


if __name__ == "__main__":
    unittest.main(verbosity=2)
