"""Prometheus' own tool on what Korval gives Prometheus users: the status file
of the real korval.dll, with every family, passes `promtool check metrics`
without a word, and the alert rules in docs/prometheus/ pass `promtool test
rules`, each alert with input series that make it fire and series that do
not."""

import json
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import korval_it as it
import mailservers
import tlsservers

RULES = it.SOURCE / "docs" / "prometheus" / "korval-rules.yml"
SERVER = {"instance": "mx1:9182", "job": "windows"}

# One row a case: the alert, its input series ({series: values} in promtool's
# expanding notation, one sample a minute), the minute it is judged at, and
# the labels and summary of the one alert expected then (None: it must not fire).
CERTIFICATE = 'korval_service_cert_state{slot="2",service="smtps://mx1.example.test"}'
CERT_OF = "Certificate of smtps://mx1.example.test on mx1:9182"
DRIVE = 'korval_disk_state{slot="1",drive="D:\\\\"}'
CASES = [
    ("KorvalStatusFileStale",
     {"korval_poll_interval_seconds": "300+0x40", "korval_last_poll_end_seconds": "0+0x40"}, 30,
     ({"severity": "critical"}, "Korval on mx1:9182 has not finished a poll cycle for 30m 0s")),
    # Written every minute, also when the interval is 0 (PollTime=0).
    ("KorvalStatusFileStale",
     {"korval_poll_interval_seconds": "0+0x40", "korval_last_poll_end_seconds": "0+60x40"}, 30, None),
    # A file 14 minutes old with a poll interval of 5 minutes is not yet stale.
    ("KorvalStatusFileStale",
     {"korval_poll_interval_seconds": "300+0x40", "korval_last_poll_end_seconds": "0+0x14 840+0x25"}, 30, None),
    ("KorvalHostDown", {'korval_host_up{slot="1",host="mx2.example.test"}': "1 0x15"}, 12,
     ({"severity": "critical", "slot": "1", "host": "mx2.example.test"}, "Host mx2.example.test does not answer Korval on mx1:9182")),
    # Down for less than ten minutes, and back.
    ("KorvalHostDown", {'korval_host_up{slot="1",host="mx2.example.test"}': "1 0x8 1x10"}, 12, None),
    ("KorvalServiceDown", {'korval_service_up{slot="1",service="imap://mx1.example.test"}': "0x15"}, 12,
     ({"severity": "critical", "slot": "1", "service": "imap://mx1.example.test"},
      "Service imap://mx1.example.test does not answer Korval on mx1:9182")),
    ("KorvalServiceDown", {'korval_service_up{slot="1",service="imap://mx1.example.test"}': "1x15"}, 12, None),
    ("KorvalMailFlowDown", {"korval_mail_flow_up": "0x15"}, 12,
     ({"severity": "critical"}, "Mail does not move through mx1:9182: Korval's probes do not come back")),
    ("KorvalMailFlowDown", {"korval_mail_flow_up": "0x5 1x10"}, 12, None),
    ("KorvalCertificateWarning", {CERTIFICATE: "1x70"}, 65,
     ({"severity": "warning", "slot": "2", "service": "smtps://mx1.example.test"}, f"{CERT_OF} is in its warning days")),
    ("KorvalCertificateWarning", {CERTIFICATE: "2x70"}, 65, None),
    ("KorvalCertificateCritical", {CERTIFICATE: "2x15"}, 12,
     ({"severity": "critical", "slot": "2", "service": "smtps://mx1.example.test"}, f"{CERT_OF} expires within its critical days")),
    ("KorvalCertificateCritical", {CERTIFICATE: "1x15"}, 12, None),
    ("KorvalCertificateNotValid", {CERTIFICATE: "0x5 3x5"}, 7,
     ({"severity": "critical", "slot": "2", "service": "smtps://mx1.example.test"}, f"{CERT_OF} is expired or not yet valid")),
    ("KorvalCertificateNotValid", {CERTIFICATE: "0x10"}, 7, None),
    ("KorvalDriveLow", {DRIVE: "1x15"}, 12, ({"severity": "warning", "slot": "1", "drive": "D:\\"}, "Drive D:\\ on mx1:9182 is low on free space")),
    ("KorvalDriveLow", {DRIVE: "0x15"}, 12, None),
    ("KorvalDriveCritical", {DRIVE: "2x15"}, 12,
     ({"severity": "critical", "slot": "1", "drive": "D:\\"}, "Drive D:\\ on mx1:9182 is critically low on free space")),
    ("KorvalDriveCritical", {DRIVE: "1x15"}, 12, None),
    # Each state is one alert: an unreadable drive is not also critical.
    ("KorvalDriveCritical", {DRIVE: "3x15"}, 12, None),
    ("KorvalCertificateCritical", {CERTIFICATE: "3x15"}, 12, None),
    ("KorvalDriveUnreadable", {DRIVE: "3x15"}, 12,
     ({"severity": "critical", "slot": "1", "drive": "D:\\"}, "Korval cannot read drive D:\\ on mx1:9182")),
    ("KorvalDriveUnreadable", {DRIVE: "0x15"}, 12, None),
    ("KorvalModuleHeldOffline", {'korval_module_suspended{module="MercuryS"}': "1x15"}, 12,
     ({"severity": "critical", "module": "MercuryS"}, "Korval holds MercuryS offline on mx1:9182: mail is not moving")),
    ("KorvalModuleHeldOffline", {'korval_module_suspended{module="MercuryD"}': "0x15"}, 12, None),
]


def with_server(series):
    """The series name with the labels a scrape adds."""
    name, _, labels = series.partition("{")
    server = ",".join(f'{k}="{v}"' for k, v in SERVER.items())
    return f"{name}{{{labels.rstrip('}')}{',' if labels else ''}{server}}}"


FAMILIES = ["korval_poll_cycles_total", "korval_last_poll_end_seconds", "korval_failures_total",
            "korval_poll_interval_seconds", "korval_start_time_seconds", "korval_build_info", "korval_host_up",
            "korval_host_missed_polls", "korval_memory_available_bytes", "korval_disk_free_bytes", "korval_disk_state",
            "korval_module_suspended", "korval_service_up", "korval_service_cert_expiry_seconds",
            "korval_service_cert_state", "korval_mail_flow_up", "korval_mail_flow_round_trip_seconds",
            "korval_mail_flow_probes_in_flight", "korval_mail_flow_probes_lost_total", "korval_heartbeats_sent_total"]


class Promtool(unittest.TestCase):
    def test_a_status_file_with_every_family_is_clean(self):
        folder = it.work_dir("promtool")
        mailservers.make_certificates(folder)
        it.write_ini(folder, {"General": {"PollTime": 1, "MemoryLimit": 0, "Mail": "admin@example.test",
                                          "StatusFile": "korval.prom"},
                              "Drives": {"Number": 1, "FreeDisk": 1, "SuspendMercS": 1, "Drive1": "C:\\"},
                              "Hosts": {"Number": 1, "Host1": "127.0.0.1"},
                              "Services": {"Number": 1,
                                           "Service1": f"smtps://{mailservers.HOST}:{tlsservers.WITHOUT_CA}"},
                              "MailFlow": {"LostAfter": 5},
                              "Heartbeat": {"Mail": "beat@watch.example.test"}})
        run = it.run_beside(folder, tlsservers.SERVERS, "--cycles", 2, "--lapse", 300, timeout=120)
        self.assertEqual((run.returncode, run.faults()), (it.EXIT_OK, []))
        status = (folder / "korval.prom").read_text()
        samples = {line.split("{")[0].split(" ")[0] for line in status.splitlines() if not line.startswith("#")}
        self.assertEqual(sorted(samples), sorted(FAMILIES))
        lint = subprocess.run(["promtool", "check", "metrics"], input=status, capture_output=True, text=True)
        self.assertEqual((lint.returncode, lint.stdout, lint.stderr), (0, "", ""))

    def test_every_alert_fires_and_keeps_quiet_as_its_series_say(self):
        tests = []
        for alert, series, minute, expected in CASES:
            exp = []
            if expected:
                labels, summary = expected
                exp = [{"exp_labels": {**labels, **SERVER}, "exp_annotations": {"summary": summary}}]
            tests.append({"interval": "1m",
                          "input_series": [{"series": with_server(s), "values": v} for s, v in series.items()],
                          "alert_rule_test": [{"alertname": alert, "eval_time": f"{minute}m", "exp_alerts": exp}]})
        with tempfile.TemporaryDirectory() as folder:
            test = Path(folder) / "korval-rules-test.yml"
            # JSON is YAML: promtool reads it as it is.
            test.write_text(json.dumps({"rule_files": [str(RULES)], "evaluation_interval": "1m", "tests": tests}))
            run = subprocess.run(["promtool", "test", "rules", str(test)], capture_output=True, text=True)
        print(run.stdout, run.stderr)
        self.assertEqual(run.returncode, 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
