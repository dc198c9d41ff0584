"""What the shipped korval.dll costs the mail server, as far as it can be
checked without a clock: its size and imports, and a few hundred poll cycles
in the measuring stand-in with no allocation and no handle left behind.
The times are measured by bench/run and never asserted here."""

import os
import re
import subprocess
import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import korval_it as it

SIZE_LIMIT = 96 * 1024
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "comctl32.dll", "wsock32.dll", "ws2_32.dll",
               "iphlpapi.dll", "icmp.dll", "msvcrt.dll"}
CYCLES = int(os.environ.get("KORVAL_LEAN_CYCLES", 200))


def sections(path):
    dump = subprocess.run(["i686-w64-mingw32-objdump", "-h", str(path)], check=True, capture_output=True,
                          text=True).stdout
    return {line.split()[1] for line in dump.splitlines() if re.match(r"\s+\d+ \.", line)}


def measured(stdout, label):
    lines = [l for l in stdout.splitlines() if l.startswith(f"standin: measure: {label}")]
    if not lines:
        raise AssertionError(f"no '{label}' figure in the output")
    return lines[-1]


class Image(unittest.TestCase):
    def test_small_stripped_and_importing_only_system_dlls(self):
        self.assertLessEqual(it.DLL.stat().st_size, SIZE_LIMIT)
        dump = subprocess.run(["i686-w64-mingw32-objdump", "-p", str(it.DLL)], check=True, capture_output=True,
                              text=True).stdout
        imports = {l.split(":", 1)[1].strip().lower() for l in dump.splitlines() if "DLL Name:" in l}
        self.assertLessEqual(imports, SYSTEM_DLLS)
        self.assertIn("_vsnprintf", dump, "the formatter sits on msvcrt")

        # Stripped, with the debug information in a file beside it that a
        # debugger finds by name.
        self.assertFalse({s for s in sections(it.DLL) if s.startswith(".debug")})
        self.assertIn(".gnu_debuglink", sections(it.DLL))
        debug = it.DLL.with_name(it.DLL.name + ".debug")
        self.assertIn(debug.name.encode(), it.DLL.read_bytes())
        self.assertIn(".debug_info", sections(debug))

    def test_no_heavy_runtime_in_the_link(self):
        # MinGW's own printf and its floating-point conversion would come in
        # through a C99 printf call anywhere in the daemon.
        # The link map's first part lists every archive member pulled in.
        linked = it.DLL.with_name(it.DLL.name + ".map").read_text(errors="replace")
        members = linked.split("Discarded input sections", 1)[0]
        heavy = [part for part in ("mingw_pformat", "gdtoa", "libstdc++", "libgcc_eh") if part in members]
        self.assertEqual(heavy, [])


class Cycles(unittest.TestCase):
    def test_no_allocation_and_no_handle_growth_over_hundreds_of_cycles(self):
        # Memory is always short and reported every other cycle over both
        # channels; a host is pinged and a drive tested in every cycle.
        folder = it.work_dir("lean-cycles")
        it.write_ini(folder, {"General": {"PollTime": 1, "Retry": 1, "Suspend": 1, "MemoryLimit": 100000,
                                          "Mail": "admin@example.test,+15550100:sms.example.test"},
                              "Drives": {"Number": 1, "FreeDisk": 1, "Drive1": "C:\\"},
                              "Hosts": {"Number": 1, "Host1": "127.0.0.1"}})
        run = it.run_standin("run", "--cycles", CYCLES, "--lapse", 1, "--measure", cwd=folder,
                             timeout=60 + CYCLES // 2)
        self.assertEqual(run.returncode, it.EXIT_OK)
        self.assertEqual(run.faults(), [])

        allocations = re.search(r"over (\d+) cycles: (\d+),", measured(run.stdout, "allocations by the DLL over"))
        self.assertGreaterEqual(int(allocations[1]), CYCLES - 1)
        self.assertEqual(int(allocations[2]), 0)
        # The counters do see the DLL: startup copies the host record and
        # makes the life's errand block.
        self.assertRegex(measured(run.stdout, "allocations by the DLL from startup"), r": 2 by HeapAlloc 2$")

        handles = re.search(r"handles (\d+) -> (\d+)", measured(run.stdout, "process at"))
        self.assertGreater(int(handles[1]), 0)
        self.assertEqual(handles[1], handles[2])
        self.assertGreaterEqual(len(list((folder / "standin-out" / "outbox").glob("*.eml"))), CYCLES)


if __name__ == "__main__":
    unittest.main(verbosity=2)
