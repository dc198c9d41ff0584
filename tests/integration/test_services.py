"""The service checks of the real korval.dll against small servers on 127.0.0.1
in a private network namespace: a greeting that arrives whole or in two
pieces answers; silence, a wrong greeting and a closed port miss, die and are
reported; every server that was reached hears a goodbye."""

import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import korval_it as it

# The servers: port -> (greeting pieces, None for silence). Each writes every
# line it receives to got-PORT.txt and closes when the client does.
SERVERS = r"""
import socket, threading, time
SERVERS = {2525: [b"220 mail.example.test ESMTP\r\n"], 2526: [b"+O", b"K POP3 ready\r\n"], 2527: None,
           2528: [b"554 no\x01%s%n service here, and a greeting too long to show whole in a log line\r\n"]}
def serve(port, pieces, listener):
    while True:
        connection, _ = listener.accept()
        for i, piece in enumerate(pieces or []):
            time.sleep(0.5 * i)
            connection.sendall(piece)
        with connection, open(f"got-{port}.txt", "ab") as got:
            for line in connection.makefile("rb"):
                got.write(line)
for port, pieces in SERVERS.items():
    listener = socket.create_server(("127.0.0.1", port))
    threading.Thread(target=serve, args=(port, pieces, listener), daemon=True).start()
open("servers-ready", "w").close()
time.sleep(600)
"""

NETNS_SCRIPT = "set -u\nip link set lo up\n" + it.NS_WINE + """/usr/bin/python3 servers.py & servers=$!
for _ in $(seq 100); do [ -e servers-ready ] && break; sleep 0.1; done
"$@"; status=$?
kill $servers; wineserver -k >/dev/null 2>&1; exit $status
"""

GOOD, PIECES, SILENT, WRONG, CLOSED = ("smtp://127.0.0.1:2525", "pop3://127.0.0.1:2526", "imap://127.0.0.1:2527",
                                       "SMTP://127.0.0.1:2528", "127.0.0.1:2529")
SETTINGS = {"General": {"PollTime": 1, "Retry": 1, "Suspend": 2, "MemoryLimit": 0,
                        "Mail": "admin@example.test,+15550100:sms.example.test"},
            "Services": {"Number": 6, "Service1": GOOD, "Service2": PIECES, "Service3": SILENT,
                         "Service4": WRONG, "Service5": CLOSED, "Service6": "ftp://127.0.0.1:21"}}
SHOWN = "554 no?%s%n service here, and a greeting too long to show wh"
REASONS = {SILENT: "no greeting", WRONG: f"unexpected greeting '{SHOWN}'", CLOSED: "connection refused"}


class Services(unittest.TestCase):
    def test_greeters_answer_and_the_others_die_and_are_reported(self):
        folder = it.work_dir("services")
        it.write_ini(folder, SETTINGS)
        (folder / "servers.py").write_text(SERVERS)
        run = it.run_standin("run", "--cycles", 2, "--seconds", 60, "--lapse", 100, cwd=folder, timeout=80,
                             prefix=["unshare", "--net", "--", "bash", "-c", NETNS_SCRIPT, "netns"],
                             env=it.NS_ENV)
        self.assertEqual(run.returncode, it.EXIT_OK)
        self.assertEqual(run.faults(), [])

        summary = [(l.category, l.priority, l.text) for l in run.out.log() if l.category == 1 and "service " in l.text]
        self.assertEqual(summary, [(1, 20, f"Checking service {s}.") for s in (GOOD, PIECES, SILENT, WRONG, CLOSED)] +
                         [(1, 15, "Skipping service ftp://127.0.0.1:21: it cannot be parsed.")])

        checks = [(l.category, l.priority, l.text) for l in run.out.log() if l.text.startswith("Service ")]
        missed = [(20, 15, f"Service {s} doesn't answer: {REASONS[s]}.") for s in (SILENT, WRONG, CLOSED)]
        dead = [[line, (20, 15, f"Service {s} is dead.")] for line, s in zip(missed, (SILENT, WRONG, CLOSED))]
        self.assertEqual(checks, missed + [line for pair in dead for line in pair])
        statistics = run.out.statistics()
        self.assertEqual((statistics["FailedHost"], statistics["Failures"], statistics["TotalTests"]), (6, 0, 2))

        reports = [(m.recipients, m.message["Subject"], m.message.get_content().strip().splitlines()[-1])
                   for m in run.out.mails()]
        expected = []
        for s in (SILENT, WRONG, CLOSED):
            expected += [(["admin@example.test"], f"No Service on {s}",
                          f"Specified service '{s}' does not answer: {REASONS[s]}."),
                         (["+15550100@sms.example.test"], f"Down {s}", f"Service '{s}' does not answer: {REASONS[s]}.")]
        self.assertEqual(reports, expected)

        goodbyes = {port: (folder / f"got-{port}.txt").read_bytes() for port in (2525, 2526, 2527, 2528)}
        self.assertEqual(goodbyes, {2525: b"QUIT\r\n" * 2, 2526: b"QUIT\r\n" * 2, 2527: b"a1 LOGOUT\r\n" * 2,
                                    2528: b"QUIT\r\n" * 2})


if __name__ == "__main__":
    unittest.main(verbosity=2)
