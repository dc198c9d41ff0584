"""The Internet checks of the real korval.dll against a DNS server on Debian's
dnslib, started inside a private network namespace with zones made for the
run; the daemon asks it alone (Resolver=127.0.0.1:5353) and nothing leaves the
namespace. Lists that list, do not list, are dead, list everything, answer
with the public-resolver error code, stay silent, fail, or answer with a
compression loop; a PTR that is confirmed, then no longer; a PTR missing; an
MX elsewhere; and a stop in the middle of a round."""

import json
import re
import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import korval_it as it

DNS_SERVER = (f"/usr/bin/python3 {Path(__file__).resolve().parent / 'dnsserver.py'} zones.json 5353 dns-ready",
              "dns-ready")

IP, REVERSED = "192.0.2.10", "10.2.0.192"
PTR_NAME = f"{REVERSED}.in-addr.arpa"
A = lambda *addresses: [["A", a] for a in addresses]
LISTED_TEST = A("127.0.0.2")  # the RFC 5782 test entry, as every working list has it


def zone(name, address_answer=None):
    """A working list: its test entry listed, 127.0.0.1 not, the address as given."""
    records = {f"2.0.0.127.{name}": LISTED_TEST}
    if address_answer:
        records[f"{REVERSED}.{name}"] = address_answer
    return records


SETTINGS = {"General": {"PollTime": 1, "MemoryLimit": 0, "Mail": "admin@example.test,+15550100:sms.example.test",
                        "StatusFile": "korval.prom"},
            "Hosts": {"Number": 1, "Host1": "127.0.0.1"},
            "Internet": {"PublicIP": IP, "Resolver": "127.0.0.1:5353", "Minutes": 15}}

BLOCKLISTS = ["listed.test", "clean.test", "dead.test", "all.test", "public.test", "slow.test", "fail.test",
              "loop.test"]
ROUNDS_ZONES = {
    "records": {**zone("listed.test", A("127.0.0.2")), **zone("clean.test"),
                "*.all.test": A("127.0.0.2"), "*.public.test": A("127.255.255.254"),
                PTR_NAME: [["PTR", "mail.example.test"]], "mail.example.test": A(IP),
                "other.example.test": A("198.51.100.7"), "example.test": [["MX", [10, "mail.example.test"]]]},
    # From the second round on: delisted, and the PTR names a host elsewhere.
    "later": {f"{REVERSED}.listed.test": [], PTR_NAME: [["PTR", "other.example.test"]]},
    "behaviour": {"slow.test": "silent", "fail.test": "servfail", "loop.test": "loop"},
}
UNUSABLE = {
    "dead.test": "its test entry 127.0.0.2 is not listed: the list answers nothing through this resolver",
    "all.test": "its test entry 127.0.0.1 is listed: the list lists everything",
    "public.test": "test entry 127.0.0.2: error code 127.255.255.254, queries through a public or open resolver"
                   " are refused",
    "slow.test": "test entry 127.0.0.2: timed out",
    "fail.test": "test entry 127.0.0.2: server failure (SERVFAIL)",
    "loop.test": "test entry 127.0.0.2: malformed answer",
}


def run_in_namespace(folder, zones, settings, *args):
    """The stand-in beside the DNS server; it must end cleanly."""
    (folder / "zones.json").write_text(json.dumps(zones))
    it.write_ini(folder, settings)
    run = it.run_beside(folder, DNS_SERVER, *args, "--lapse", 100, timeout=120)
    assert (run.returncode, run.faults()) == (it.EXIT_OK, []), (run.returncode, run.faults())
    return run


def internet_lines(run):
    return [(l.priority, l.text) for l in run.out.log() if l.category == 20 and
            l.text.startswith(("Listed on", "Still listed", "No longer listed", "Blocklist ", "Reverse DNS", "MX of"))]


def admin_subjects(run):
    return [m.message["Subject"] for m in run.out.mails() if m.recipients == ["admin@example.test"]]


class Internet(unittest.TestCase):
    def test_two_rounds_of_every_kind_of_list_reverse_dns_and_mx(self):
        folder = it.work_dir("internet-rounds")
        settings = {**SETTINGS, "Internet": {**SETTINGS["Internet"], "Blocklists": ", ".join(BLOCKLISTS)},
                    "Heartbeat": {"Mail": "watch@example.test", "Minutes": 5, "Digest": "00:00"}}
        run = run_in_namespace(folder, ROUNDS_ZONES, settings, "--cycles", 16)

        summary = [l.text for l in run.out.log() if l.category == 1]
        self.assertIn(f"Checking how the Internet sees {IP} every 15 minutes, asking 127.0.0.1:5353.", summary)
        self.assertIn("Blocklists: " + ", ".join(BLOCKLISTS) + ".", summary)

        listed = f"{IP} is listed on listed.test: a listing without a meaning documented here (127.0.0.2)"
        wrong_ptr = f"the PTR name of {IP} is other.example.test, which resolves to 198.51.100.7, not to it"
        # Round 1 at the first cycle, round 2 fifteen minutes later; an
        # unusable list is logged once while its reason stays.
        self.assertEqual(internet_lines(run),
                         [(15, "Listed on listed.test: a listing without a meaning documented here (127.0.0.2).")] +
                         [(15, f"Blocklist {name} unusable: {reason}.") for name, reason in UNUSABLE.items()] +
                         [(25, "No longer listed on listed.test."),
                          (15, f"Reverse DNS of {IP} wrong: {wrong_ptr}.")])

        mails = [(m.recipients, m.message["Subject"], m.message.get_content().strip().splitlines()[-1])
                 for m in run.out.mails()]
        sms = ["+15550100@sms.example.test"]
        admin = ["admin@example.test"]
        internet = [m for m in mails if m[0] in (admin, sms) and not m[1].startswith("Korval")]
        self.assertEqual(internet, [
            (admin, "Listed on listed.test", listed + "."),
            (sms, "Listed listed.test", listed + "."),
            (admin, "No longer listed on listed.test", f"{IP} is no longer listed on listed.test."),
            (sms, "Delisted listed.test", f"{IP} is no longer listed on listed.test."),
            (admin, f"Reverse DNS of {IP} wrong", wrong_ptr + "."),
            (sms, f"rDNS wrong {IP}", wrong_ptr + "."),
        ])
        beats = [m for m in run.out.mails() if m.recipients == ["watch@example.test"]]
        first = beats[0].message.get_content()
        self.assertIn("Internet: listed on 1 of 8 blocklists, 6 unusable; reverse DNS right; MX right.\r\n", first)
        self.assertEqual(beats[0].message["Subject"], "Korval heartbeat example.test: 1 problem")
        digest = [m for m in run.out.mails() if "digest" in m.message["Subject"]][0].message.get_content()
        self.assertIn("Internet: 1 round; listed in 1 (listed.test); a list unusable in 6 (dead.test, all.test, "
                      "public.test, slow.test, fail.test, loop.test).\r\n", digest)

        status = (folder / "korval.prom").read_text()
        samples = dict(re.findall(r"^(korval_(?:blocklist|reverse|mx)\S*) (\d+)$", status, re.M))
        expected = {'korval_blocklist_listed{list="listed.test"}': "0",
                    'korval_blocklist_listed{list="clean.test"}': "0",
                    'korval_blocklist_usable{list="listed.test"}': "1",
                    'korval_blocklist_usable{list="clean.test"}': "1",
                    "korval_reverse_dns_ok": "0", "korval_mx_ok": "1"}
        expected.update({f'korval_blocklist_usable{{list="{name}"}}': "0" for name in UNUSABLE})
        self.assertEqual(samples, expected)

        # Two rounds: a dead list costs one question a round, a working one three.
        queries = (folder / "queries.txt").read_text().splitlines()
        asked = lambda suffix: sum(1 for q in queries if q.split()[0].endswith(suffix))
        self.assertEqual([asked("." + name) for name in BLOCKLISTS], [6, 6, 2, 4, 2, 4, 2, 2])

    def test_codes_of_a_documented_list_a_missing_ptr_and_an_mx_elsewhere(self):
        folder = it.work_dir("internet-codes")
        zones = {"records": {"2.0.0.127.zen.spamhaus.org": A("127.0.0.2", "127.0.0.4", "127.0.0.10"),
                             f"{REVERSED}.zen.spamhaus.org": A("127.0.0.4"),
                             **zone("hijacked.test", A("10.0.0.1")),
                             "example.test": [["MX", [20, "mx2.elsewhere.test"]], ["MX", [10, "mx1.elsewhere.test"]]],
                             "mx1.elsewhere.test": A("203.0.113.5"), "mx2.elsewhere.test": A("203.0.113.6")},
                 "behaviour": {"wrongid.test": "wrong-id", "trunc.test": "truncated"}}
        lists = ["zen.spamhaus.org", "hijacked.test", "wrongid.test", "trunc.test"]
        settings = {**SETTINGS, "Internet": {**SETTINGS["Internet"], "Blocklists": ",".join(lists)}}
        run = run_in_namespace(folder, zones, settings, "--cycles", 1)
        self.assertEqual(internet_lines(run), [
            (15, "Listed on zen.spamhaus.org: XBL, an exploited or infected host (127.0.0.4)."),
            (15, "Blocklist hijacked.test unusable: it answered 10.0.0.1, which is none of its listing codes."),
            (15, "Blocklist wrongid.test unusable: test entry 127.0.0.2: answer with a wrong id."),
            (15, "Blocklist trunc.test unusable: test entry 127.0.0.2: answer truncated."),
            (15, f"Reverse DNS of {IP} wrong: {IP} has no PTR record."),
            (15, f"MX of example.test wrong: no MX host of example.test resolves to {IP} "
                 "(MX: mx1.elsewhere.test, mx2.elsewhere.test)."),
        ])
        self.assertEqual(admin_subjects(run), ["Listed on zen.spamhaus.org", f"Reverse DNS of {IP} wrong",
                                               "MX of example.test elsewhere"])

    def test_a_listing_is_reminded_once_a_day_and_a_wrong_mx_told_once(self):
        # A round every hourly cycle: the reminder comes 24 rounds after the listing.
        folder = it.work_dir("internet-reminder")
        zones = {"records": {**zone("zen.spamhaus.org", A("127.0.0.10")), PTR_NAME: [["PTR", "mail.example.test"]],
                             "mail.example.test": A(IP), "example.test": [["MX", [10, "mx.elsewhere.test"]]],
                             "mx.elsewhere.test": A("203.0.113.5")}}
        settings = {**SETTINGS, "General": {**SETTINGS["General"], "PollTime": 60},
                    "Internet": {**SETTINGS["Internet"], "Blocklists": "zen.spamhaus.org", "Minutes": 60}}
        run = run_in_namespace(folder, zones, settings, "--cycles", 26)
        pbl = "PBL, an end-user range that the ISP says should not send mail directly (127.0.0.10)"
        self.assertEqual(internet_lines(run), [
            (15, f"Listed on zen.spamhaus.org: {pbl}."),
            (15, f"MX of example.test wrong: no MX host of example.test resolves to {IP} (MX: mx.elsewhere.test)."),
            (15, f"Still listed on zen.spamhaus.org: {pbl}."),
        ])
        self.assertEqual(admin_subjects(run), ["Listed on zen.spamhaus.org", "MX of example.test elsewhere",
                                               "Still listed on zen.spamhaus.org"])
        self.assertEqual(len((folder / "queries.txt").read_text().splitlines()), 26 * 7)

    def test_a_stop_in_the_middle_of_a_round(self):
        # The first question waits on a silent list for 2.5 s; the stop at
        # 2 s lands in it.
        folder = it.work_dir("internet-stop")
        zones = {"records": {}, "behaviour": {"slow.test": "silent"}}
        settings = {**SETTINGS, "Internet": {**SETTINGS["Internet"], "Blocklists": "slow.test"}}
        run = run_in_namespace(folder, zones, settings, "--seconds", 2)
        self.assertIn("standin: forced stops: 0", run.stdout)
        took = int(re.search(r"closedown took (\d+) ms", run.stdout)[1])
        self.assertLessEqual(took, 100)
        # The round cut short is no judgement: nothing logged, nothing sent.
        self.assertEqual(internet_lines(run), [])
        self.assertEqual(run.out.mails(), [])
        self.assertEqual(set((folder / "queries.txt").read_text().splitlines()), {"2.0.0.127.slow.test A"})


if __name__ == "__main__":
    unittest.main(verbosity=2)
