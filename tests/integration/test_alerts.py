"""The worked night of docs/alerts.md through the real korval.dll: the
stand-in replays it by plan from 00:30 to 07:10 in five-minute cycles (the
router and the twelve web hosts behind it down from 01:00 to 02:55, smtp://mx2
missing at 02:00, 02:10 and 02:20, the printer down from 05:00), and the
outbox must hold exactly the mails and SMS of the page's table.

Every host and mx2 are names resolved inside the stand-in to loopback
addresses; mx2's greeter runs on its address inside a private network
namespace."""

import re
import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import korval_it as it

DOMAIN, MAIL, SMS = "example.com", "admin@example.com", "0170555@sms.example.com"
WEB = [f"web{n:02d}" for n in range(1, 13)]
HOSTS = ["router", *WEB, "printer"]
MX2 = "smtp://mx2"

# Cycle N begins at 00:30 + 5 (N - 1) minutes: 01:00 is cycle 7, 07:10 cycle 81.
CLOCK, CYCLES = "2026-12-08 00:30", 81
PLAN = "\n".join([
    "# mx2 first: it is given 127.0.0.2, where its greeter listens",
    "19,21,23 service smtp://mx2:25 down     # 02:00, 02:10, 02:20",
    "7-30 host router down                   # 01:00 .. 02:55",
    *(f"7-30 host {web} down" for web in WEB),
    "55- host printer down                   # 05:00 ..",
]) + "\n"

SETTINGS = {"General": {"PollTime": 5, "Retry": 2, "Suspend": 12, "MemoryLimit": 0,
                        "Mail": "admin@example.com,0170555:sms.example.com"},
            "Hosts": {"Number": len(HOSTS), **{f"Host{n}": h for n, h in enumerate(HOSTS, 1)}},
            "Services": {"Number": 1, "Service1": MX2}}
ALERTS = {"Unstable": "3/10", "Group": 1, "SmsPerHour": 4, "SmsQuiet": "23:00-07:00"}

# The page's table: (time, list, subject, priority, lines after the time line).
DOWN = [f"{h} down since 01:10" for h in ("router", *WEB)]
BACK = [f"{h} back" for h in ("router", *WEB)]
PRINTER = ["Specified target 'printer' does not respond to echo."]
NIGHT = [
    ("01:10", MAIL, "Korval: 13 reports on example.com", "urgent", DOWN),
    ("02:10", MAIL, "Korval: 13 reports on example.com", "urgent", DOWN),
    ("02:20", MAIL, "Unstable smtp://mx2", "normal", ["'smtp://mx2' missed 3 of its last 10 polls."]),
    ("03:00", MAIL, "Korval: 13 reports on example.com", "normal", BACK),
    ("03:10", MAIL, "Stable smtp://mx2", "normal", ["'smtp://mx2' answered its last 10 polls."]),
    ("05:10", MAIL, "No Response on printer", "urgent", PRINTER),
    ("06:10", MAIL, "No Response on printer", "urgent", PRINTER),
    ("07:00", SMS, "Korval after quiet hours", "urgent",
     ["printer down since 05:10; router down 01:10 to 03:00; web01 down 01:10 to 03:00; "
      "web02 down 01:10 to 03:00 +11 more"]),
    ("07:10", MAIL, "No Response on printer", "urgent", PRINTER),
    ("07:10", SMS, "Dead printer ", "urgent", ["Host 'printer' does not respond."]),
]


def replay(name, sections):
    folder = it.work_dir(name)
    it.write_ini(folder, sections)
    (folder / "night.plan").write_text(PLAN)
    return it.run_beside(folder, it.greeter(folder, "127.0.0.2", 25), "--plan", "night.plan", "--clock", CLOCK,
                         "--cycles", CYCLES, "--lapse", 100, "--domain", DOMAIN, "--seconds", 600, timeout=660)


def outbox(run):
    """(time, list, subject, priority, lines after the time line) of every mail, in order."""
    mails = []
    for m in run.out.mails():
        body = m.message.get_content().replace("\r\n", "\n").strip("\n").split("\n")
        # The mail form has a time line after a blank one; an SMS only its lines.
        lines = body[1:] if body[0].startswith("Time: ") else body
        time = re.search(r"(\d\d:\d\d):\d\d", m.message["Date"])[1]
        mails.append((time, *m.recipients, m.message["Subject"], m.message["Priority"], lines))
    return mails


class WorkedNight(unittest.TestCase):
    def test_the_outbox_holds_the_night_of_the_page(self):
        run = replay("alerts-night", {**SETTINGS, "Alerts": ALERTS})
        self.assertEqual((run.returncode, run.faults()), (it.EXIT_OK, []))
        self.assertEqual(run.out.statistics()["TotalTests"], CYCLES)
        self.assertIn("Alerts on, unstable at 3/10, grouped, 4 SMS an hour, SMS quiet 23:00-07:00.",
                      run.out.texts(1))
        unstable = [(l.time[:5], l.priority, l.text) for l in run.out.log() if l.category == 20 and "stable" in l.text]
        self.assertEqual(unstable, [
            ("02:20", 15, "Service smtp://mx2 is unstable: 3 of the last 10 polls missed."),
            ("03:10", 25, "Service smtp://mx2 is stable again.")])
        mails = outbox(run)
        for got, page in zip(mails, NIGHT):
            with self.subTest(time=page[0], list=page[1]):
                self.assertEqual(got, page)
        self.assertEqual(len(mails), len(NIGHT))
        self.assertEqual(sum(m[1] == MAIL for m in mails), 8)
        self.assertEqual(sum(m[1] == SMS for m in mails), 2)


if __name__ == "__main__":
    unittest.main(verbosity=2)
