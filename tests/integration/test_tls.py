"""The TLS checks of the real korval.dll against Debian's Exim and Dovecot on
127.0.0.1 in a private network namespace, over implicit TLS and STARTTLS with
certificates of a private CA: with a valid certificate they answer and name
the configured host, one that expires in three days is critical and
reported, an expired one is a miss, and each server's own log shows a clean
goodbye; the status file shows every certificate read. An SMTP server that
offers no STARTTLS, a server that insists on TLS 1.3, and two small servers
that no real one imitates (plain text on an implicit-TLS port, a handshake
that stalls) miss with their reasons. Small servers of tlsservers.py try
what real ones rarely do, over a day of lapsed hourly cycles: a greeting in
two reads before STARTTLS and one longer than a read, a certificate not yet
valid, two certificates served in turn under one name, and one sent without
its intermediate CA."""

import re
import sys
import unittest
from datetime import datetime, timedelta, timezone
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import korval_it as it
import mailservers
import tlsservers

# Plain text at once on 4660; on 4661 the ClientHello is taken and never
# answered. Each writes what it receives to got-PORT.bin.
SERVERS = r"""
import socket, threading, time
def serve(port, greeting, listener):
    while True:
        connection, _ = listener.accept()
        connection.sendall(greeting)
        with connection, open(f"got-{port}.bin", "ab") as got:
            while data := connection.recv(4096):
                got.write(data)
for port, greeting in {4660: b"220 plain.example.test ESMTP\r\n", 4661: b""}.items():
    listener = socket.create_server(("127.0.0.1", port))
    threading.Thread(target=serve, args=(port, greeting, listener), daemon=True).start()
open("servers-ready", "w").close()
time.sleep(600)
"""

NETNS_SCRIPT = """set -u
ip link set lo up
{wine}{servers}/usr/bin/python3 small.py & small=$!
for _ in $(seq 100); do [ -e servers-ready ] && break; sleep 0.1; done
"$@"; status=$?
kill $small; eval "$stop_servers"; wineserver -k >/dev/null 2>&1; exit $status
"""

HOST, M = mailservers.HOST, mailservers
# The entries that answer, with their server's port.
SOON = f"SMTPS://{HOST}:{M.SMTPS_SOON}"
ANSWERING = {f"smtp+starttls://{HOST}:{M.SUBMISSION}": M.SUBMISSION, f"smtps://{HOST}:{M.SMTPS}": M.SMTPS,
             f"imap+starttls://{HOST}:{M.IMAP}": M.IMAP, f"imaps://{HOST}:{M.IMAPS}": M.IMAPS,
             f"pop3+starttls://{HOST}:{M.POP3}": M.POP3, f"pop3s://{HOST}:{M.POP3S}": M.POP3S, SOON: M.SMTPS_SOON}
# The expired certificate, over both styles: the handshake and the goodbye
# go well, and the check misses.
EXPIRED = {f"smtps://{HOST}:{M.SMTPS_EXPIRED}": M.SMTPS_EXPIRED,
           f"smtp+starttls://{HOST}:{M.SUBMISSION_EXPIRED}": M.SUBMISSION_EXPIRED}
EXPIRED_ON = (datetime.now(timezone.utc) + timedelta(days=M.CERTIFICATES["expired"][1])).strftime("%Y-%m-%d")
NO_STARTTLS, TLS13, PLAIN, STALLED = (f"smtp+starttls://{HOST}:{M.NO_STARTTLS}", f"smtps://{HOST}:{M.SMTPS_TLS13}",
                                      "smtps://127.0.0.1:4660", "imaps://127.0.0.1:4661")
REASONS = {**{entry: f"certificate expired on {EXPIRED_ON}" for entry in EXPIRED},
           NO_STARTTLS: "STARTTLS not offered",
           TLS13: r"TLS handshake failed \(error 0x[0-9A-F]{8}; the server may require TLS 1\.3, which this system lacks\)",
           PLAIN: "the server answered in plain text", STALLED: "TLS handshake timed out"}
ENTRIES = [*ANSWERING, *REASONS]
TLS_READ = [*ANSWERING, *EXPIRED]


def seconds(line):
    return datetime.strptime(line.time, "%H:%M:%S.%f").timestamp()


class Tls(unittest.TestCase):
    def test_real_servers_answer_in_tls_and_the_others_miss_with_their_reasons(self):
        folder = it.work_dir("tls")
        certs = mailservers.make_certificates(folder)
        mailservers.write_configs(folder, certs)
        (folder / "small.py").write_text(SERVERS)
        it.write_ini(folder, {"General": {"PollTime": 1, "Retry": 1, "Suspend": 2, "MemoryLimit": 0,
                                          "Mail": "admin@example.test", "StatusFile": "korval.prom"},
                              "Services": {"Number": len(ENTRIES),
                                           **{f"Service{k}": e for k, e in enumerate(ENTRIES, 1)}}})
        script = NETNS_SCRIPT.format(wine=it.NS_WINE, servers=mailservers.start_lines(folder))
        run = it.run_standin("run", "--cycles", 1, "--seconds", 40, "--lapse", 100, cwd=folder, timeout=60,
                             prefix=["unshare", "--net", "--", "bash", "-c", script, "netns"], env=it.NS_ENV)
        self.assertEqual(run.returncode, it.EXIT_OK)
        self.assertEqual(run.faults(), [])

        log = run.out.log()
        checks = [l for l in log if l.text.startswith("Service ")]
        self.assertEqual(len(checks), len(REASONS), [l.text for l in checks])
        for line, (entry, reason) in zip(checks, REASONS.items()):
            self.assertRegex(line.text, f"^Service {re.escape(entry)} doesn't answer: {reason}\\.$")

        # Plain text is known at once after the check before it; the stalled
        # handshake takes the whole limit.
        missed = {l.text.split()[1]: seconds(l) for l in checks}
        self.assertLess(missed[PLAIN] - missed[TLS13], 1.5)
        self.assertGreaterEqual(missed[STALLED] - missed[PLAIN], 9.9)

        # The certificate that expires in three days (of ninety) is within
        # its critical days: noticed and reported, not a miss.
        soon = r"expires on \d{4}-\d\d-\d\d, in [23] days"
        notices = [l.text for l in log if l.text.startswith("Certificate of ")]
        self.assertEqual(len(notices), 1, notices)
        self.assertRegex(notices[0], f"^Certificate of {re.escape(SOON)} {soon}: critical\\.$")
        self.assertIn(f"Certificates: warning below 21 days, critical below 7 days, sooner for a short-lived one.",
                      run.out.texts(1))
        mails = run.out.mails()
        self.assertEqual(len(mails), 1)
        self.assertRegex(mails[0].message["Subject"], f"^Certificate of {re.escape(SOON)} expires in [23] days$")
        self.assertRegex(mails[0].message.get_content(),
                         f"The certificate of '{re.escape(SOON)}' for {HOST} \\(not trusted\\) {soon}\\.")

        status = (folder / "korval.prom").read_text()
        states = dict(re.findall(r'^korval_service_cert_state\{slot="\d+",service="([^"]+)"\} (\d)$', status, re.M))
        self.assertEqual(states, {entry: "2" if entry == SOON else "3" if entry in EXPIRED else "0"
                                  for entry in TLS_READ})
        expiries = re.findall(r'^korval_service_cert_expiry_seconds\{slot="\d+",service="[^"]+"\} (\d+)$', status,
                              re.M)
        self.assertEqual(len(expiries), len(TLS_READ))

        ended = mailservers.goodbyes(folder)
        said_goodbye = [*ANSWERING.values(), *EXPIRED.values(), M.NO_STARTTLS]
        self.assertEqual({port: ended.get(port) for port in said_goodbye}, {port: ["clean"] for port in said_goodbye})
        self.assertEqual(mailservers.names_asked(folder), {port: [HOST] for port in (M.IMAP, M.IMAPS, M.POP3, M.POP3S)})
        self.assertEqual((folder / "got-4660.bin").read_bytes()[:1], b"\x16", "a ClientHello, then nothing")
        self.assertEqual((folder / "got-4661.bin").read_bytes()[:1], b"\x16")

    def test_small_servers_over_a_day_of_hourly_cycles(self):
        # With the test's root CA among the system's roots.
        folder = it.work_dir("tls-small")
        certs = mailservers.make_certificates(folder)
        bundle = folder / "bundle.pem"
        bundle.write_bytes(Path("/etc/ssl/certs/ca-certificates.crt").read_bytes() + (certs / "ca.pem").read_bytes())
        T = tlsservers
        two_reads, long_greeting = f"smtp+starttls://{HOST}:{T.GREETING_IN_TWO}", f"smtps://{HOST}:{T.LONG_GREETING}"
        not_yet, in_turn = f"smtps://{HOST}:{T.NOT_YET_VALID}", f"smtps://{HOST}:{T.IN_TURN}"
        without, with_ca = f"smtps://{HOST}:{T.WITHOUT_CA}", f"smtps://{HOST}:{T.WITH_CA}"
        entries = [two_reads, long_greeting, not_yet, in_turn, without, with_ca]
        it.write_ini(folder, {"General": {"PollTime": 60, "Retry": 1, "Suspend": 100, "MemoryLimit": 0,
                                          "Mail": "admin@example.test", "StatusFile": "korval.prom"},
                              "Services": {"Number": len(entries),
                                           **{f"Service{k}": e for k, e in enumerate(entries, 1)}}})
        cycles = T.TURNS + 26
        run = it.run_beside(folder, T.SERVERS, "--cycles", cycles, "--lapse", 50, bundle=bundle, timeout=240)
        self.assertEqual((run.returncode, run.faults()), (it.EXIT_OK, []))
        texts = run.out.texts()

        # The greeting in two reads and the long one are read to their end:
        # every check answers, and says a clean goodbye.
        misses = [t for t in texts if " doesn't answer: " in t]
        starts = (f"Service {two_reads} ", f"Service {long_greeting} ", f"Service {in_turn} ")
        self.assertFalse([t for t in misses if t.startswith(starts)], misses)
        # (A check of the cycle after the last may be cut by the closedown.)
        served = [line.split() for line in (folder / "served.txt").read_text().splitlines()]
        for port in T.GREETING_IN_TWO, T.LONG_GREETING:
            self.assertEqual([ending for p, _, ending in served if p == str(port)][:cycles], ["clean"] * cycles)

        # A certificate valid from five days ahead is a miss, every cycle.
        begins = (datetime.now(timezone.utc) + timedelta(days=5)).strftime("%Y-%m-%d")
        self.assertEqual(misses, [f"Service {not_yet} doesn't answer: certificate not valid before {begins}."] * cycles)

        # Two certificates in turn for the first cycles: one warning for the
        # one that expires first, and "renewed" once it has not been served
        # for a day (the day of the daemon's lapsed clock).
        turns = [name for port, name, _ in served if port == str(T.IN_TURN)]
        self.assertEqual(turns[:T.TURNS], ["aging", "valid"] * (T.TURNS // 2))
        notices = [t for t in texts if t.startswith(f"Certificate of {in_turn}")]
        self.assertEqual(len(notices), 2, notices)
        self.assertRegex(notices[0], r" expires on \d{4}-\d\d-\d\d, in 1[45] days\.$")
        self.assertRegex(notices[1], r" renewed: it expires on \d{4}-\d\d-\d\d, in 8[89] days\.$")
        # The renewed notice comes in the cycle a day after the old one's last
        # (cycle TURNS - 1): the entry before it misses once a cycle.
        before = texts[:texts.index(notices[1])]
        self.assertEqual(sum(t.startswith(f"Service {not_yet} doesn't") for t in before), T.TURNS - 1 + 24)
        status = (folder / "korval.prom").read_text()
        self.assertIn(f'korval_service_cert_state{{slot="3",service="{not_yet}"}} 3\n', status)
        self.assertIn(f'korval_service_cert_state{{slot="4",service="{in_turn}"}} 0\n', status)
        self.assertEqual([m.message["Subject"] for m in run.out.mails() if in_turn in m.message["Subject"]],
                         [f"Certificate of {in_turn} expires in {notices[0].split(', in ')[1].split()[0]} days",
                          f"Certificate of {in_turn} renewed"])

        # Sent without its intermediate CA, a certificate is a partial chain.
        mails = {m.message["Subject"]: m.message.get_content() for m in run.out.mails()}
        soon = r"expires on \d{4}-\d\d-\d\d, in 1[45] days\."
        self.assertRegex(mails[f"Certificate of {without} expires in 14 days"],
                         f"'{re.escape(without)}' for {HOST} \\(not trusted\\) {soon}")
        self.assertRegex(mails[f"Certificate of {with_ca} expires in 14 days"], f"'{re.escape(with_ca)}' for {HOST} {soon}")

    def test_a_stop_during_a_stalled_handshake_ends_the_check_at_once(self):
        # The stop at 3 s lands in the first cycle's handshake, which would
        # wait out its 10 s: the errand leaves with the life, and the
        # stand-in finds no thread of the daemon still in a call.
        folder = it.work_dir("tls-stop")
        mailservers.make_certificates(folder)
        it.write_ini(folder, {"General": {"PollTime": 1, "MemoryLimit": 0, "Mail": "admin@example.test"},
                              "Services": {"Number": 1, "Service1": f"imaps://127.0.0.1:{tlsservers.STALLED}"}})
        run = it.run_beside(folder, tlsservers.SERVERS, "--seconds", 3)
        self.assertEqual((run.returncode, run.faults()), (it.EXIT_OK, []))
        self.assertLessEqual(int(re.search(r"closedown took (\d+) ms", run.stdout)[1]), 50)
        self.assertNotIn("still in a call after closedown", run.stdout)
        self.assertIn("standin: forced stops: 0", run.stdout)
        self.assertEqual((folder / "served.txt").read_text(), f"{tlsservers.STALLED} valid closed by the client\n")

    def test_tls_missing_on_the_system_is_told_once_and_judges_nothing(self):
        # Wine without secur32: the system's TLS cannot be loaded.
        folder = it.work_dir("tls-missing")
        entries = ["smtps://127.0.0.1:1", "imap+starttls://127.0.0.1:1", "smtp://127.0.0.1:1"]
        it.write_ini(folder, {"General": {"PollTime": 1, "Retry": 0, "MemoryLimit": 0, "Mail": "admin@example.test",
                                          "StatusFile": "korval.prom"},
                              "Services": {"Number": len(entries),
                                           **{f"Service{k}": e for k, e in enumerate(entries, 1)}},
                              "Heartbeat": {"Mail": "beat@watch.example.test", "Minutes": 5}})
        run = it.run_standin("run", "--cycles", 2, "--lapse", 100, cwd=folder, timeout=60,
                             env={"WINEDLLOVERRIDES": "mscoree,mshtml,secur32="})
        self.assertEqual((run.returncode, run.faults()), (it.EXIT_OK, []))
        texts = run.out.texts(20)
        self.assertEqual([t for t in texts if "TLS" in t],
                         ["TLS is unavailable on this system (secur32.dll: error 126): TLS services are not checked."])
        self.assertEqual({t.split()[1] for t in texts if t.startswith("Service ")}, {"smtp://127.0.0.1:1"})
        self.assertEqual(run.out.statistics()["Failures"], 1)
        status = (folder / "korval.prom").read_text()
        self.assertEqual(re.findall(r'^korval_service_up\{slot="(\d)"', status, re.M), ["3"])
        beat = [m for m in run.out.mails() if m.recipients == ["beat@watch.example.test"]][0]
        self.assertEqual(beat.message["Subject"], "Korval heartbeat example.test: 2 problems")
        self.assertIn("\r\nTLS: unavailable on this system, TLS services not checked.\r\n", beat.message.get_content())


if __name__ == "__main__":
    unittest.main(verbosity=2)
