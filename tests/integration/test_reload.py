"""Rereads by mail while the real korval.dll polls and reports: the stand-in
puts another korval.ini in place before every mail to the daemon (some
broken or empty), and every summary, log line and report must belong to a
host list configured at that moment; the last one wins.

KORVAL_RELOADS sets the number of mails (default 100; the full test is 1000)."""

import os
import random
import re
import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import korval_it as it

RELOADS = int(os.environ.get("KORVAL_RELOADS", "100"))
SENDER = "Reloader <reloader@example.test>"

# The stand-in's console: the daemon's log lines, the mails it closed and its own notes, in order.
LOG = re.compile(r"^\d\d:\d\d:\d\d\.\d{3} \[\s*(\d+):\s*(\d+)\] (.*)$")
CLOSED = re.compile(r"^\d\d:\d\d:\d\d\.\d{3} mail (\d{4}) closed")
PUT = re.compile(r"^standin: korval\.ini <- (\S+): delivering")


def good_file(k, rng):
    """Its own sender, recipient and one to three loopback hosts; (text, hosts). Every
    fourth good file is cut in its second host key, or lists more hosts than it has."""
    hosts = [f"127.0.0.{rng.randint(1, 254)}" for _ in range(rng.randint(1, 3))]
    text = (f"[General]\r\nPollTime=1\r\nRetry=3\r\nSuspend=1\r\nMemoryLimit=100000\r\n"
            f"Mail=ops{k}@example.test\r\nFrom=korval-{k}\r\n[Hosts]\r\n")
    shape = rng.choice(["plain", "plain", "cut", "past"])
    if shape == "cut":
        return text + f"Number=3\r\nHost1={hosts[0]}\r\nHo", hosts[:1]
    number = len(hosts) + (12 if shape == "past" else 0)
    return text + f"Number={number}\r\n" + "".join(f"Host{i}={h}\r\n" for i, h in enumerate(hosts, 1)), hosts


def broken_file(k, rng):
    """Nothing to test: empty, junk without a section, or hosts without Mail; (text, hosts)."""
    shape = rng.choice(["empty", "junk", "no mail"])
    if shape == "empty":
        return "", []
    if shape == "junk":
        alphabet = "abcxyz=019 .:;\\%\r\n\t\x7f\xe9"
        return "".join(rng.choice(alphabet) for _ in range(rng.randint(1, 200))), []
    host = f"127.0.0.{rng.randint(1, 254)}"
    return f"[General]\r\nFrom=nomail-{k}\r\n[Hosts]\r\nNumber=1\r\nHost1={host}\r\n", [host]


class Reload(unittest.TestCase):
    def test_rereads_while_cycles_run(self):
        folder = it.work_dir("reload")
        files = folder / "inis"
        files.mkdir()
        rng = random.Random(20261207)
        start, start_hosts = good_file(0, rng)
        (folder / "korval.ini").write_bytes(start.encode("latin-1"))
        configured = []  # (good, hosts) per mail
        for k in range(1, RELOADS + 1):
            good = k == RELOADS or rng.random() < 0.75
            text, hosts = (good_file if good else broken_file)(k, rng)
            (files / f"{k:05d}.ini").write_bytes(text.encode("latin-1"))
            configured.append((good, hosts))

        run = it.run_standin("run", "--lapse", 20, "--deliver-every", 20, "--ini-files", "inis",
                             "--deliver", SENDER, cwd=folder, timeout=120 + RELOADS // 5)
        self.assertEqual(run.faults(), [])
        self.assertEqual(run.returncode, it.EXIT_OK)
        self.assertIn(f"{RELOADS} mail(s) delivered every 20 ms", run.stdout)

        # Walk the console: one summary per start and per mail, and the reread
        # count at which each report was closed.
        summaries, closed, reread = [], {}, 0
        for line in run.stdout.splitlines():
            if m := PUT.match(line):
                self.assertEqual(m[1], f"{reread + 1:05d}.ini")
            elif m := CLOSED.match(line):
                closed[int(m[1])] = (reread, len(summaries))
            elif m := LOG.match(line):
                category, priority, text = int(m[1]), int(m[2]), m[3]
                if text == "KORVAL reinit:":
                    reread += 1
                elif (category, priority) == (11, 20):
                    summaries.append({"reread": reread, "address": text, "mail": None, "hosts": []})
                elif (category, priority) == (1, 20) and text.startswith("Send reports to Mail "):
                    summaries[-1]["mail"] = text
                elif (category, priority) == (1, 20) and text.startswith("    "):
                    summaries[-1]["hosts"].append(text.strip())
                else:
                    # Every host answers: no other line names one.
                    self.assertNotIn("127.0.0.", text)
                    self.assertNotIn("Delivery error", text)
        self.assertEqual(reread, RELOADS)
        self.assertEqual([s["reread"] for s in summaries], list(range(RELOADS + 1)))

        address = lambda k: f"Using daemon address 'korval-{k}@example.test'"
        mail = lambda k: f"Send reports to Mail 'ops{k}@example.test'."
        self.assertEqual((summaries[0]["address"], summaries[0]["mail"], summaries[0]["hosts"]),
                         (address(0), mail(0), start_hosts))
        for k, (good, hosts) in enumerate(configured, 1):
            with self.subTest(reread=k, good=good):
                s, before = summaries[k], summaries[k - 1]
                self.assertEqual(s["hosts"], hosts)
                # Nothing to test keeps the address and the recipients.
                self.assertEqual((s["address"], s["mail"]),
                                 (address(k), mail(k)) if good else (before["address"], before["mail"]))
        nothing = sum(not good for good, _ in configured)
        self.assertEqual(run.out.texts().count("Nothing to test."), nothing)
        self.assertEqual(run.out.statistics().get("Failures"), nothing)

        # A report carries the sender and recipients of one summary: of the
        # last reread logged before it was closed, or of the one before, whose
        # record may still have been in place.
        mails = run.out.mails()
        self.assertEqual(sorted(closed), [m.number for m in mails])
        during = 0
        for m in mails:
            with self.subTest(mail=m.number):
                self.assertEqual(m.message["From"], m.sender)
                at = closed[m.number][0]
                candidates = [(s["address"], s["mail"]) for s in summaries[max(0, at - 1):at + 1]]
                self.assertIn((f"Using daemon address '{m.sender}'",
                               f"Send reports to Mail '{','.join(m.recipients)}'."), candidates)
                during += 0 < at < RELOADS
        self.assertGreater(during, 0, "no report was composed between two rereads")

        # The last list wins, and its address is the daemon's alias.
        last = summaries[-1]
        self.assertEqual((last["address"], last["hosts"]), (address(RELOADS), configured[-1][1]))
        final = mails[-1]
        self.assertEqual(closed[final.number][1], RELOADS + 1, "no report after the last summary")
        self.assertEqual((final.sender, final.recipients), (f"korval-{RELOADS}@example.test", [f"ops{RELOADS}@example.test"]))
        self.assertEqual(run.out.aliases().get(f"korval-{RELOADS}@example.test"), "Daemon:korval.dll")


if __name__ == "__main__":
    unittest.main(verbosity=2)
