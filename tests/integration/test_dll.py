"""The built korval.dll as the mail server sees it: its PE image, and every
entry point called through the stand-in server."""

import struct
import subprocess
import sys
import unittest

sys.path.insert(0, str(__import__("pathlib").Path(__file__).resolve().parent))
import korval_it as it

ALLOWED_IMPORTS = {"kernel32.dll", "user32.dll", "wsock32.dll", "ws2_32.dll", "iphlpapi.dll", "icmp.dll",
                   "msvcrt.dll"}
EXPORTS = {"_DllMain@12", "_closedown", "_configure", "_daemon", "_startup"}


def objdump():
    return subprocess.run(["i686-w64-mingw32-objdump", "-p", str(it.DLL)], check=True, capture_output=True,
                          text=True).stdout


def export_names(dump):
    names = []
    table = dump.split("[Ordinal/Name Pointer] Table", 1)[1]
    for line in table.splitlines()[1:]:
        parts = line.split()
        if len(parts) != 3 or not parts[0].startswith("["):
            break
        names.append(parts[2])
    return names


class Image(unittest.TestCase):
    def test_pe32_i386_with_exactly_the_entry_points_and_system_imports(self):
        data = it.DLL.read_bytes()
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        self.assertEqual(data[pe:pe + 4], b"PE\0\0")
        machine, = struct.unpack_from("<H", data, pe + 4)
        magic, = struct.unpack_from("<H", data, pe + 24)
        self.assertEqual(machine, 0x14C, "i386")
        self.assertEqual(magic, 0x10B, "PE32")

        dump = objdump()
        self.assertEqual(sorted(export_names(dump)), sorted(EXPORTS))
        imports = {line.split(":", 1)[1].strip().lower() for line in dump.splitlines() if "DLL Name:" in line}
        self.assertTrue(imports, "no imports found")
        self.assertLessEqual(imports, ALLOWED_IMPORTS)

    def test_version_resource_says_1_18(self):
        data = it.DLL.read_bytes()
        fixed = data.find(struct.pack("<I", 0xFEEF04BD))
        self.assertGreater(fixed, 0, "no VS_FIXEDFILEINFO")
        file_ms, file_ls = struct.unpack_from("<II", data, fixed + 8)
        self.assertEqual((file_ms >> 16, file_ms & 0xFFFF), (1, 18))
        self.assertIn("FileVersion\0\0".encode("utf-16-le") + "1.18\0".encode("utf-16-le"), data)


class EntryPoints(unittest.TestCase):
    def test_short_record_is_refused_before_any_call(self):
        folder = it.work_dir("dll-short-record")
        it.write_ini(folder, {"General": {"Mail": "admin@example.test"}, "Hosts": {"Number": 1, "Host1": "127.0.0.1"}})
        run = it.run_standin("probe", "--record-size", 300, "--seconds", 2, "--answer", "cancel", cwd=folder)
        self.assertEqual(run.returncode, it.EXIT_NOT_STARTED)
        for entry in ("daemon", "configure", "startup"):
            self.assertIn(f"{entry} returned 0", run.stdout)
        self.assertEqual(run.out.log(), [])
        self.assertEqual(run.out.statistics(), {})
        self.assertEqual(run.out.aliases(), {})
        self.assertEqual(run.out.dialogs(), [])
        self.assertEqual(run.out.mails(), [])

    def test_every_entry_point_runs_without_a_fault_and_the_summary_is_exact(self):
        folder = it.work_dir("dll-entry-points")
        it.write_ini(folder, {"General": {"PollTime": 1, "Retry": 2, "Suspend": 4, "MemoryLimit": 0,
                                          "Mail": "admin@example.test;+15550100:sms.example.test"},
                              "Drives": {"Number": 2, "FreeDisk": 500, "CriticalDisk": 50, "SuspendMercS": 1,
                                         "SuspendMercD": 1, "Drive1": "C:\\", "Drive2": "%s%n\\"},
                              "Hosts": {"Number": 1, "Host1": "127.0.0.1"}})
        run = it.run_standin("probe", "--cycles", 1, "--seconds", 60, "--lapse", 200, "--answer", "cancel",
                             "--deliver", "Joe <joe@example.test>", "--deliver", "<>", cwd=folder)
        self.assertEqual(run.returncode, it.EXIT_OK, run.stdout + run.stderr)
        self.assertEqual(run.faults(), [])
        for entry in ("daemon", "configure", "startup"):
            self.assertIn(f"{entry} returned", run.stdout)
        self.assertIn("1 poll cycle(s) completed", run.stdout)
        self.assertIn("delivering a mail from '<>'", run.stdout)
        self.assertGreaterEqual(run.out.statistics().get("TotalTests", 0), 1)
        # The drive named "%s%n\" cannot be read; its name goes out as written.
        self.assertEqual([m.message["Subject"] for m in run.out.mails()],
                         ["Unavailable Disk (%s%n\\) on Mercury", "Mercury No_Disk %s%n\\"])
        self.assertIn("Error getting free disk space on %s%n\\.", run.out.texts())

        lines = [(l.category, l.priority, l.text) for l in run.out.log()]
        start = lines.index((10, 5, "Daemon KORVAL.DLL started."))
        self.assertEqual(lines[start + 1:start + 12], [
            (11, 20, "Using daemon address 'korval-daemon@example.test'"),
            (1, 20, "Polling every 1 minutes."),
            (1, 20, "Retry befor report: 2."),
            (1, 20, "Don't report deads 4 times."),
            (1, 20, "Send reports to Mail 'admin@example.test'."),
            (1, 20, "Send reports to SMS  '+15550100@sms.example.test'."),
            (1, 20, "Test free space over 500 MB on C:\\;%s%n\\;"),
            (1, 20, "  (Suspend MercS/D for space < 50 MB)"),
            (1, 20, "Polling 1 hosts:"),
            (1, 20, "    127.0.0.1"),
            (1, 25, "Korval thread created."),
        ])

        # Before the start the mail is refused; after it Joe's mail makes the
        # daemon reread and log the summary again, and "<>" is a bounce.
        # The control thread's memory lines may fall in between.
        calls = [l for l in lines if l[:2] != (20, 25)]
        self.assertEqual(calls[0], (0, 5, "ERROR: KORVAL Daemon must run as resident"))
        joe = calls.index((20, 15, "KORVAL: MailFrom: 'Joe <joe@example.test>'"))
        self.assertEqual(calls[joe + 1:joe + 12], [(0, 5, "KORVAL reinit:")] + lines[start + 1:start + 11])
        self.assertEqual(calls[joe + 12:joe + 14], [(20, 15, "KORVAL: MailFrom: '<>'"),
                                                    (21, 15, "KORVAL: Delivery error encountered.")])
        self.assertEqual([l[2] for l in lines].count("KORVAL reinit:"), 1)
        self.assertEqual(run.out.aliases(), {"korval-daemon@example.test": "Daemon:korval.dll"})


if __name__ == "__main__":
    unittest.main(verbosity=2)
