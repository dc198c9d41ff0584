"""The disk test of the real korval.dll on real drives: in a private mount
namespace a drive letter mapped to a small tmpfs goes low, critical and back,
and a letter mapped to a missing folder becomes readable when the folder
appears; the stand-in's module states follow. A refused module is logged,
counted and left as it was."""

import re
import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import korval_it as it

# Runs "$@" with K: on a 64 MB tmpfs and L: on a missing folder. A watcher
# moves the drives on as the daemon logs each step; the next cycle begins a
# lapse (1 s) later.
MOUNTNS_SCRIPT = r"""
set -u
mount --make-rprivate /
mount -t tmpfs -o size=64m korval-k "$K_DIR"
""" + it.NS_WINE + r"""ln -sfn "$K_DIR" "$WINEPREFIX/dosdevices/k:"
ln -sfn "$L_DIR" "$WINEPREFIX/dosdevices/l:"
seen() { n=$(grep -cs "$1" "$WATCH_LOG"); [ "${n:-0}" -ge "$2" ]; }
wait_for() { for _ in $(seq 600); do if seen "$1" "$2"; then return 0; fi; sleep 0.1; done; return 1; }
(
  wait_for "Error getting free disk space on L:" 1 && fallocate -l 30M "$K_DIR/a" && mkdir "$L_DIR"
  wait_for "Low disk space" 1 && fallocate -l 20M "$K_DIR/b"
  wait_for "Critical disk space" 2 && rm -f "$K_DIR/a" "$K_DIR/b"
) &
watcher=$!
"$@"
status=$?
kill $watcher 2>/dev/null
wineserver -k >/dev/null 2>&1
rm -f "$WINEPREFIX/dosdevices/k:" "$WINEPREFIX/dosdevices/l:"
exit $status
"""

MAIL, SMS = "admin@example.test", "+15550100@sms.example.test"
CYCLE = "cycle"


def thread_lines(out):
    """What the control thread logged; the memory figures, just before each disk test, as CYCLE."""
    lines = out.log()
    start = [l.text for l in lines].index("Korval thread created.") + 1
    return [CYCLE if l.text.startswith("Paged memory available") else (l.category, l.priority, l.text)
            for l in lines[start:] if not l.text.startswith("Physical memory available")]


def module_requests(run):
    return re.findall(r"^[\d:.]+ module (MERCURY[SD]) (.*?)\r?$", run.stdout, re.M)


def report(mail):
    return (mail.message["To"], mail.message["Subject"], mail.message["Priority"],
            mail.raw.split(b"\r\n")[-2].decode("latin-1"))


class Disks(unittest.TestCase):
    def test_tmpfs_drive_goes_low_critical_and_back_and_a_missing_folder_appears(self):
        folder = it.work_dir("disks-tmpfs")
        (folder / "k").mkdir()
        it.write_ini(folder, {"General": {"PollTime": 1, "Suspend": 2, "MemoryLimit": 0, "Mail": f"{MAIL},+15550100:sms.example.test"},
                              "Drives": {"Number": 2, "FreeDisk": 48, "CriticalDisk": 24, "SuspendMercS": 1,
                                         "SuspendMercD": 1, "Drive1": "K:\\", "Drive2": "L:\\"}})
        run = it.run_standin("run", "--cycles", 6, "--seconds", 60, "--lapse", 1000, cwd=folder, timeout=90,
                             prefix=["unshare", "--mount", "--", "bash", "-c", MOUNTNS_SCRIPT, "mountns"],
                             env={**it.NS_ENV,
                                  "WATCH_LOG": str(folder / "standin-out" / "korval.log"),
                                  "K_DIR": str(folder / "k"), "L_DIR": str(folder / "l")})
        self.assertEqual(run.returncode, it.EXIT_OK)
        self.assertEqual(run.faults(), [])

        shut = [(21, 15, "Shutting MercuryS down."), (21, 15, "Shutting MercuryD down.")]
        back = [(21, 15, "Setting MercuryS online."), (21, 15, "Setting MercuryD online.")]
        critical, ok = (20, 15, "Critical disk space: only 14MB on K:\\"), (20, 25, "OK disk space: 64MB on K:\\")
        self.assertEqual(thread_lines(run.out), [
            CYCLE, (20, 15, "Error getting free disk space on L:\\."), *shut,
            CYCLE, (20, 15, "Low disk space: only 34MB on K:\\"), (20, 15, "Disk L:\\ recovered."), *back,
            CYCLE, critical, *shut,
            CYCLE, critical,
            CYCLE, ok, *back,
            CYCLE, ok])

        both = lambda request: [("MERCURYS", "set " + request), ("MERCURYD", "set " + request)]
        self.assertEqual(module_requests(run), both("offline") + both("online") + both("offline") +
                         both("offline (unchanged)") + both("online"))
        self.assertEqual(run.out.modules(), {"MERCURYS": True, "MERCURYD": True})
        statistics = run.out.statistics()
        self.assertEqual((statistics["LowDiskSpace"], statistics["Failures"], statistics["TotalTests"]), (3, 0, 6))

        self.assertEqual([report(m) for m in run.out.mails()], [
            (MAIL, "Unavailable Disk (L:\\) on Mercury", "urgent", "Unable to detect disk space on drive L:\\ ."),
            (SMS, "Mercury No_Disk L:", "urgent", "L: not found."),
            (MAIL, "Low DiskSpace (K:\\) on Mercury", "urgent", "There is only 34 MB free on drive K:\\ ."),
            (SMS, "MercLowDisk K: (34MB)", "urgent", "34MB free on K: ."),
            (MAIL, "Disk on Mercury available", "normal", "Disk space on drive L:\\ detected."),
            (SMS, "Mercury Disk_On", "normal", "L:  found."),
            (MAIL, "Low DiskSpace (K:\\) on Mercury", "urgent", "There is only 14 MB free on drive K:\\ ."),
            (SMS, "MercLowDisk K: (14MB)", "urgent", "14MB free on K: ."),
            (MAIL, "Low DiskSpace (K:\\) on Mercury", "urgent", "There is 64 MB free on drive K:\\ ."),
            (SMS, "MercDisk K: NO Low (64MB)", "urgent", "64MB free on K: ."),
        ])

    def test_refused_module_is_logged_counted_and_keeps_its_state(self):
        folder = it.work_dir("disks-refused-module")
        it.write_ini(folder, {"General": {"PollTime": 1, "MemoryLimit": 0, "Mail": MAIL},
                              "Drives": {"Number": 1, "FreeDisk": 10, "SuspendMercS": 1, "SuspendMercD": 1,
                                         "Drive1": "Q:\\"}})
        run = it.run_standin("run", "--cycles", 1, "--seconds", 30, "--lapse", 200,
                             "--refuse-module", "MercuryS=-5", cwd=folder, timeout=60)
        self.assertEqual(run.returncode, it.EXIT_OK)
        self.assertEqual(thread_lines(run.out), [
            CYCLE, (20, 15, "Error getting free disk space on Q:\\."), (21, 15, "Shutting MercuryS down."),
            (1, 5, "KORVAL: MercuryS shutdown error (-5)."), (21, 15, "Shutting MercuryD down.")])
        self.assertEqual(module_requests(run), [("MERCURYS", "set offline refused (-5)"), ("MERCURYD", "set offline")])
        self.assertEqual(run.out.modules(), {"MERCURYS": True, "MERCURYD": False})
        self.assertEqual(run.out.statistics()["Failures"], 1)
        self.assertEqual([report(m)[1] for m in run.out.mails()], ["Unavailable Disk (Q:\\) on Mercury"])


if __name__ == "__main__":
    unittest.main(verbosity=2)
