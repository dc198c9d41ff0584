"""The service checks of the real korval.dll against small servers on 127.0.0.1
in a private network namespace: a greeting that arrives whole or in two
pieces answers; silence, a wrong greeting and a closed port miss, die and are
reported; every server that was reached hears a goodbye."""

import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import korval_it as it

# The servers: port -> (delay, piece) pairs of the greeting, None for silence.
# Each notes every connection in accepted-PORT.txt, writes every line it
# receives to got-PORT.txt and closes when the client does.
SERVERS = r"""
import socket, threading, time
DRIBBLE = [(0 if i == 0 else 2, bytes([c])) for i, c in enumerate(b"220 a greeting dribbled a byte every 2 s\r\n")]
SERVERS = {2525: [(0, b"220 mail.example.test ESMTP\r\n")], 2526: [(0, b"+O"), (0.5, b"K POP3 ready\r\n")],
           2527: None,
           2528: [(0, b"554 no\x01%s%n service here, and a greeting too long to show whole in a log line\r\n")],
           2530: [(0, b"554 not 220 for you\r\n")], 2531: [(1.9, b"220 late but in time\r\n")], 2532: DRIBBLE}
def serve(port, pieces, listener):
    while True:
        connection, _ = listener.accept()
        open(f"accepted-{port}.txt", "a").write("connection\n")
        try:
            for delay, piece in pieces or []:
                time.sleep(delay)
                connection.sendall(piece)
        except OSError:
            pass
        with connection, open(f"got-{port}.txt", "ab") as got:
            for line in connection.makefile("rb"):
                got.write(line)
for port, pieces in SERVERS.items():
    listener = socket.create_server(("127.0.0.1", port))
    threading.Thread(target=serve, args=(port, pieces, listener), daemon=True).start()
open("servers-ready", "w").close()
time.sleep(600)
"""

NETNS_SCRIPT = "set -u\nip link set lo up\n${DEAF:+sysctl -qw net.ipv4.icmp_echo_ignore_all=1}\n" + it.NS_WINE + """/usr/bin/python3 servers.py & servers=$!
for _ in $(seq 100); do [ -e servers-ready ] && break; sleep 0.1; done
"$@"; status=$?
kill $servers; wineserver -k >/dev/null 2>&1; exit $status
"""

GOOD, PIECES, SILENT, WRONG, CLOSED, NOT220 = ("smtp://127.0.0.1:2525", "pop3://127.0.0.1:2526",
                                               "imap://127.0.0.1:2527", "SMTP://127.0.0.1:2528", "127.0.0.1:2529",
                                               "smtp://127.0.0.1:2530")
SETTINGS = {"General": {"PollTime": 1, "Retry": 1, "Suspend": 2, "MemoryLimit": 0,
                        "Mail": "admin@example.test,+15550100:sms.example.test"},
            "Services": {"Number": 7, "Service1": GOOD, "Service2": PIECES, "Service3": SILENT,
                         "Service4": WRONG, "Service5": CLOSED, "Service6": "ftp://127.0.0.1:21", "Service7": NOT220}}
SHOWN = "554 no?%s%n service here, and a greeting too long to show wh"
REASONS = {SILENT: "no greeting", WRONG: f"unexpected greeting '{SHOWN}'", CLOSED: "connection refused",
           NOT220: "unexpected greeting '554 not 220 for you'"}
MISSING = (SILENT, WRONG, CLOSED, NOT220)


def run_in_namespace(folder, *args, deaf=False):
    (folder / "servers.py").write_text(SERVERS)
    return it.run_standin("run", *args, "--lapse", 100, cwd=folder, timeout=90,
                          prefix=["unshare", "--net", "--", "bash", "-c", NETNS_SCRIPT, "netns"],
                          env={**it.NS_ENV, "DEAF": "1" if deaf else ""})


class Services(unittest.TestCase):
    def test_greeters_answer_and_the_others_die_and_are_reported(self):
        folder = it.work_dir("services")
        it.write_ini(folder, SETTINGS)
        run = run_in_namespace(folder, "--cycles", 2, "--seconds", 60)
        self.assertEqual(run.returncode, it.EXIT_OK)
        self.assertEqual(run.faults(), [])

        summary = [(l.category, l.priority, l.text) for l in run.out.log() if l.category == 1 and "service " in l.text]
        self.assertEqual(summary, [(1, 20, f"Checking service {s}.") for s in
                                   (GOOD, PIECES, SILENT, WRONG, CLOSED, NOT220)] +
                         [(1, 15, "Skipping service ftp://127.0.0.1:21: it cannot be parsed.")])

        checks = [(l.category, l.priority, l.text) for l in run.out.log() if l.text.startswith("Service ")]
        missed = [(20, 15, f"Service {s} doesn't answer: {REASONS[s]}.") for s in MISSING]
        dead = [[line, (20, 15, f"Service {s} is dead.")] for line, s in zip(missed, MISSING)]
        self.assertEqual(checks, missed + [line for pair in dead for line in pair])
        statistics = run.out.statistics()
        self.assertEqual((statistics["FailedHost"], statistics["Failures"], statistics["TotalTests"]), (8, 0, 2))

        reports = [(m.recipients, m.message["Subject"], m.message.get_content().strip().splitlines()[-1])
                   for m in run.out.mails()]
        expected = []
        for s in MISSING:
            expected += [(["admin@example.test"], f"No Service on {s}",
                          f"Specified service '{s}' does not answer: {REASONS[s]}."),
                         (["+15550100@sms.example.test"], f"Down {s}", f"Service '{s}' does not answer: {REASONS[s]}.")]
        self.assertEqual(reports, expected)

        goodbyes = {port: (folder / f"got-{port}.txt").read_bytes() for port in (2525, 2526, 2527, 2528, 2530)}
        self.assertEqual(goodbyes, {2525: b"QUIT\r\n" * 2, 2526: b"QUIT\r\n" * 2, 2527: b"a1 LOGOUT\r\n" * 2,
                                    2528: b"QUIT\r\n" * 2, 2530: b"QUIT\r\n" * 2})

    def test_slow_look_up_is_waited_for_and_a_stop_starts_no_check(self):
        # A look-up of 9 s does not spend the 10 s of the check: the server
        # that greets after 1.9 s answers. A greeting dribbled a byte every
        # 2 s is cut at 10 s in all.
        folder = it.work_dir("services-slow")
        it.write_ini(folder, {"General": {"PollTime": 1, "MemoryLimit": 0, "Mail": "admin@example.test"},
                              "Services": {"Number": 2, "Service1": "smtp://localhost:2531",
                                           "Service2": "smtp://127.0.0.1:2532"}})
        run = run_in_namespace(folder, "--cycles", 1, "--seconds", 60, "--slow-resolve", 9000)
        self.assertEqual((run.returncode, run.faults()), (it.EXIT_OK, []))
        self.assertEqual([l.text for l in run.out.log() if l.text.startswith("Service ")],
                         ["Service smtp://127.0.0.1:2532 doesn't answer: no greeting."])

        # A stop during the echo to a silent host: the service after it is
        # never connected to, neither before closedown returns nor after.
        folder = it.work_dir("services-stop")
        it.write_ini(folder, {"General": {"PollTime": 1, "MemoryLimit": 0, "Mail": "admin@example.test"},
                              "Hosts": {"Number": 1, "Host1": "127.0.0.1"},
                              "Services": {"Number": 1, "Service1": GOOD}})
        run = run_in_namespace(folder, "--seconds", 1, deaf=True)
        self.assertEqual((run.returncode, run.faults()), (it.EXIT_OK, []))
        self.assertIn("0 poll cycle(s) completed", run.stdout)
        self.assertFalse((folder / "accepted-2525.txt").exists())


if __name__ == "__main__":
    unittest.main(verbosity=2)
