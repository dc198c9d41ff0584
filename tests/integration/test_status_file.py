"""The status file of the real korval.dll read by its real consumers: Debian's
node exporter, scraped on 127.0.0.1 in a private network namespace, and
prometheus_client's parser (Debian's, so /usr/bin/python3)."""

import json
import subprocess
import sys
import time
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import korval_it as it

# The stand-in ("$@"), then the exporter on the folder it wrote into, scraped once.
NETNS_SCRIPT = "set -u\nip link set lo up\n" + it.NS_WINE + r"""
"$@"
status=$?
wineserver -k >/dev/null 2>&1
/usr/bin/prometheus-node-exporter --collector.disable-defaults --collector.textfile \
  --collector.textfile.directory="$TEXTFILE_DIR" --web.listen-address=127.0.0.1:9100 2>/dev/null &
for _ in $(seq 100); do
  /usr/bin/python3 -c 'import sys, urllib.request as u
sys.stdout.buffer.write(u.urlopen("http://127.0.0.1:9100/metrics", timeout=2).read())' >"$SCRAPE" 2>/dev/null && break
  sleep 0.1
done
kill $!
exit $status
"""
PARSE = """import json, sys
from prometheus_client.parser import text_string_to_metric_families as parse
print(json.dumps([[[s.name, sorted(s.labels.items()), s.value] for f in parse(open(p, encoding="utf-8").read())
                   for s in f.samples] for p in sys.argv[1:]]))"""
ODD = 'odd"name\\.invalid'


class StatusFile(unittest.TestCase):
    def test_exporter_and_parser_read_the_file(self):
        folder = it.work_dir("status-file")
        (folder / "metrics").mkdir()
        it.write_ini(folder, {"General": {"PollTime": 1, "MemoryLimit": 0, "Mail": "admin@example.test",
                                          "StatusFile": "metrics\\korval.prom"},
                              "Drives": {"Number": 2, "FreeDisk": 1, "SuspendMercS": 1, "Drive1": "C:\\",
                                         "Drive2": "Q:\\"},
                              "Hosts": {"Number": 2, "Host1": "127.0.0.1", "Host2": ODD}})
        prom, scrape = folder / "metrics" / "korval.prom", folder / "scrape.txt"
        run = it.run_standin("run", "--cycles", 2, "--lapse", 100, "--fail-resolve", cwd=folder, timeout=120,
                             prefix=["unshare", "-n", "--", "bash", "-c", NETNS_SCRIPT, "netns"],
                             env={**it.NS_ENV, "TEXTFILE_DIR": str(prom.parent), "SCRAPE": str(scrape)})
        self.assertEqual((run.returncode, run.faults()), (it.EXIT_OK, []))
        self.assertIn(f"Writing status to '{it.win_path(prom)}'.", run.out.texts(1))
        self.assertEqual([p.name for p in prom.parent.iterdir()], ["korval.prom"])

        parsed = json.loads(subprocess.run(["/usr/bin/python3", "-c", PARSE, prom, scrape], check=True,
                                           capture_output=True, text=True).stdout)
        file, exported = ({(n, tuple(map(tuple, l))): v for n, l, v in samples if n.startswith("korval_")}
                          for samples in parsed)
        self.assertEqual(exported, file)
        self.assertIn(["node_textfile_scrape_error", [], 0.0], parsed[1])
        end = file.pop(("korval_last_poll_end_seconds", ()))
        self.assertLess(abs(end - time.time()), 300)
        self.assertTrue(0 <= end - file.pop(("korval_start_time_seconds", ())) < 300)
        # Bytes, counted in whole megabytes.
        self.assertEqual(file.pop(("korval_disk_free_bytes", (("drive", "C:\\"), ("slot", "1")))) % 1048576, 0)
        for kind in "physical", "paged":
            self.assertGreater(file.pop(("korval_memory_available_bytes", (("kind", kind),))), 1048576)
        host = lambda slot, name: (("host", name), ("slot", slot))
        self.assertEqual(file, {
            ("korval_poll_cycles_total", ()): 2, ("korval_failures_total", ()): 2,  # a failed look-up a cycle
            ("korval_poll_interval_seconds", ()): 60, ("korval_build_info", (("version", "1.18"),)): 1,
            ("korval_host_up", host("1", "127.0.0.1")): 1, ("korval_host_up", host("2", ODD)): 0,
            ("korval_host_missed_polls", host("1", "127.0.0.1")): 0, ("korval_host_missed_polls", host("2", ODD)): 2,
            ("korval_disk_state", (("drive", "C:\\"), ("slot", "1"))): 0,
            ("korval_disk_state", (("drive", "Q:\\"), ("slot", "2"))): 3,
            ("korval_module_suspended", (("module", "MercuryS"),)): 1,
            ("korval_module_suspended", (("module", "MercuryD"),)): 0})


if __name__ == "__main__":
    unittest.main(verbosity=2)
