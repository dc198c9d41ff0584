"""The host test of the real korval.dll against a real loopback: in a private
network namespace 127.0.0.1 goes silent, dies, is reported, answers again and
its recovery is reported; outside, an answering host leaves no trace."""

import re
import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import korval_it as it

# Runs "$@" in the namespace with a loopback that ignores echo requests until
# the daemon logs the host dead; the next cycle begins a lapse (1 s) later.
NETNS_SCRIPT = "set -u\n" + it.DEAF_LOOPBACK + it.NS_WINE + r"""
(
  for _ in $(seq 900); do
    if grep -qs "is dead\." "$WATCH_LOG"; then exec sysctl -qw net.ipv4.icmp_echo_ignore_all=0; fi
    sleep 0.1
  done
) &
watcher=$!
"$@"
status=$?
kill $watcher 2>/dev/null
wineserver -k >/dev/null 2>&1
exit $status
"""

SETTINGS = {"General": {"PollTime": 1, "Retry": 1, "Suspend": 2, "MemoryLimit": 0,
                        "Mail": "admin@example.test,+15550100:sms.example.test"},
            "Hosts": {"Number": 1, "Host1": "127.0.0.1"}}
MAIL, SMS = "admin@example.test", "+15550100@sms.example.test"
CYCLE_END = "cycle end"


def thread_lines(out):
    """(category, priority, text) of every line the control thread logged, with
    the memory figures, which close every cycle, reduced to CYCLE_END."""
    lines = out.log()
    start = [l.text for l in lines].index("Korval thread created.") + 1
    return [CYCLE_END if l.text.startswith("Paged memory available") else (l.category, l.priority, l.text)
            for l in lines[start:] if not l.text.startswith("Physical memory available")]


class Hosts(unittest.TestCase):
    def assert_report(self, mail, to, subject, priority, line):
        pattern = (rb"From: korval-daemon@example\.test\r\nTo: " + re.escape(to.encode()) +
                   rb"\r\nDate: [^\r\n]+\r\nMIME-Version: 1\.0\r\n"
                   rb"Content-type: text/plain; charset=ISO-8859-1\r\nContent-transfer-encoding: 7BIT\r\n"
                   rb"Message-ID: <DM[0-9a-f]{10}@example\.test>\r\n"
                   rb"Subject: " + re.escape(subject.encode()) + rb"\r\nPriority: " + priority.encode() +
                   rb"\r\n\r\n\r\nTime: [^\r\n]+\r\n" + re.escape(line.encode()) + rb"\r\n")
        self.assertIsNotNone(re.fullmatch(pattern, mail.raw), mail.raw.decode("latin-1"))
        self.assertEqual((mail.sender, mail.recipients, mail.refused), ("korval-daemon@example.test", [to], []))

    def test_silent_loopback_dies_is_reported_and_recovers(self):
        folder = it.work_dir("hosts-silent-loopback")
        it.write_ini(folder, SETTINGS)
        run = it.run_standin("run", "--cycles", 4, "--seconds", 70, "--lapse", 1000, cwd=folder, timeout=85,
                             prefix=["unshare", "--net", "--", "bash", "-c", NETNS_SCRIPT, "netns"],
                             env={**it.NS_ENV,
                                  "WATCH_LOG": "standin-out/korval.log"})
        self.assertEqual(run.returncode, it.EXIT_OK)
        self.assertEqual(run.faults(), [])

        lines = thread_lines(run.out)
        code = re.search(r"Error (\d+) receiving ICMP echo", "\n".join(run.out.texts()))
        echo_error = (11, 20, f"Error {code[1] if code else '?'} receiving ICMP echo")
        miss = (20, 15, "Host 127.0.0.1 doesn't respond.")
        self.assertEqual(lines, [echo_error, miss, CYCLE_END,
                                 echo_error, miss, (20, 15, "Host 127.0.0.1 is dead."), CYCLE_END,
                                 (20, 25, "Host 127.0.0.1 is ON again."), CYCLE_END,
                                 CYCLE_END])
        statistics = run.out.statistics()
        self.assertEqual((statistics["FailedHost"], statistics["Failures"], statistics["TotalTests"]), (2, 0, 4))

        mails = run.out.mails()
        reports = [(MAIL, "No Response on 127.0.0.1", "urgent", "Specified target '127.0.0.1' does not respond to echo."),
                   (SMS, "Dead 127.0.0.1 ", "urgent", "Host '127.0.0.1' does not respond."),
                   (MAIL, "Responding 127.0.0.1: OK", "normal", "Specified target '127.0.0.1' is responding again."),
                   (SMS, "Live 127.0.0.1", "normal", "Host '127.0.0.1' is responding again.")]
        self.assertEqual(len(mails), len(reports))
        for mail, report in zip(mails, reports):
            with self.subTest(mail=mail.number):
                self.assert_report(mail, *report)

    def test_answering_host_logs_no_miss_and_sends_nothing(self):
        folder = it.work_dir("hosts-answering")
        it.write_ini(folder, SETTINGS)
        run = it.run_standin("run", "--cycles", 2, "--seconds", 30, "--lapse", 200, cwd=folder, timeout=60)
        self.assertEqual(run.returncode, it.EXIT_OK)
        self.assertEqual(thread_lines(run.out), [CYCLE_END, CYCLE_END])
        self.assertEqual(run.out.statistics()["FailedHost"], 0)
        self.assertEqual(run.out.mails(), [])


if __name__ == "__main__":
    unittest.main(verbosity=2)
