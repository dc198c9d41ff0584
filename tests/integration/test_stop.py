"""A stop while the control thread waits on a blocking call: in a private
network namespace 127.0.0.1 ignores echo requests and the only name server, on
127.0.0.1:53, reads queries and never answers; a drive's free-space query
blocks as an unreachable network drive does. The stand-in stops the daemon in
the second cycle's echo, look-up or disk query: closedown returns at once, the
thread leaves by itself, nothing calls the host afterwards, and the cycle
before the stop logs what it always has."""

import re
import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import korval_it as it
from test_hosts import CYCLE_END, thread_lines

# The silent name server logs each query it reads to $QUERIES. Names are
# looked up there alone, and give up after 2 s, so that the look-up left
# running by the stop has ended before the stand-in looks for threads left
# behind.
NETNS_SCRIPT = r"""
set -u
mount --make-rprivate /
""" + it.DEAF_LOOPBACK + r"""
printf 'nameserver 127.0.0.1\noptions timeout:2 attempts:1\n' >resolv.conf
mount --bind resolv.conf /etc/resolv.conf
python3 -c '
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("127.0.0.1", 53))
print("ready", flush=True)
while True:
    s.recvfrom(512)
    print("query", flush=True)
' >"$QUERIES" &
server=$!
until grep -qs ready "$QUERIES"; do sleep 0.05; done
wineserver -k >/dev/null 2>&1
if [ ! -f "$WINEPREFIX/system.reg" ]; then wineboot -i >/dev/null 2>&1; fi
"$@"
status=$?
kill $server
wineserver -k >/dev/null 2>&1
exit $status
"""

# Cycle 1 runs from about 0.1 s to 2.2 s, the lapsed long sleep lasts 1 s,
# and cycle 2 waits from about 3.2 s to 5.2 s: the stop at 4 s lands in it.
STOP_AFTER_SECONDS = 4


def stop_during_second_wait(name, host):
    folder = it.work_dir(name)
    it.write_ini(folder, {"General": {"PollTime": 1, "Retry": 3, "MemoryLimit": 0, "Mail": "admin@example.test"},
                          "Hosts": {"Number": 1, "Host1": host}})
    run = it.run_standin("run", "--seconds", STOP_AFTER_SECONDS, "--lapse", 1000, cwd=folder, timeout=90,
                         prefix=["unshare", "--net", "--mount", "--", "bash", "-c", NETNS_SCRIPT, "netns"],
                         env={**it.NS_ENV,
                              "QUERIES": str(folder / "queries.txt")})
    queries = (folder / "queries.txt").read_text().count("query")
    return run, queries


class StopDuringNetworkWaits(unittest.TestCase):
    def assert_left_by_itself(self, run):
        self.assertEqual(run.returncode, it.EXIT_OK)
        # A call through the host record after closedown, or a thread still
        # running after it, shows as a fault.
        self.assertEqual(run.faults(), [])
        self.assertIn("1 poll cycle(s) completed", run.stdout)
        self.assertIn("standin: forced stops: 0", run.stdout)
        took = int(re.search(r"closedown took (\d+) ms", run.stdout)[1])
        self.assertLessEqual(took, 50)

    def test_stop_during_echo_to_a_silent_host(self):
        run, _ = stop_during_second_wait("stop-during-echo", "127.0.0.1")
        self.assert_left_by_itself(run)
        # The first echo timed out as always; the one the stop cut short is
        # neither answer nor miss, and the rest of that cycle still runs.
        self.assertEqual(thread_lines(run.out), [(11, 20, "Error 11010 receiving ICMP echo"),
                                                 (20, 15, "Host 127.0.0.1 doesn't respond."), CYCLE_END,
                                                 CYCLE_END])
        statistics = run.out.statistics()
        self.assertEqual((statistics["FailedHost"], statistics["Failures"], statistics["TotalTests"]), (1, 0, 2))

    def test_stop_during_look_up_at_a_silent_name_server(self):
        run, queries = stop_during_second_wait("stop-during-look-up", "silent.example.test")
        self.assert_left_by_itself(run)
        lines = thread_lines(run.out)
        self.assertEqual(len(lines), 4, lines)
        self.assertRegex(lines[0][2], r"^Error \d+ finding address silent\.example\.test$")
        self.assertEqual([lines[0][:2], *lines[1:]],
                         [(10, 15), (20, 15, "Host silent.example.test doesn't respond."), CYCLE_END, CYCLE_END])
        statistics = run.out.statistics()
        self.assertEqual((statistics["FailedHost"], statistics["Failures"], statistics["TotalTests"]), (1, 1, 2))
        # Both look-ups asked the silent name server.
        self.assertGreaterEqual(queries, 2)

    def test_stop_during_blocked_disk_query(self):
        # Each query of C: takes 1.5 s: cycle 1 ends at about 1.7 s, the
        # lapsed sleep at 2.7 s, and the stop at 4 s lands in cycle 2's query.
        folder = it.work_dir("stop-during-disk-query")
        it.write_ini(folder, {"General": {"PollTime": 1, "MemoryLimit": 0, "Mail": "admin@example.test"},
                              "Drives": {"Number": 1, "Drive1": "C:\\", "FreeDisk": 1}})
        run = it.run_standin("run", "--seconds", STOP_AFTER_SECONDS, "--lapse", 1000, "--slow-drive", "C=1500",
                             cwd=folder, timeout=90)
        self.assert_left_by_itself(run)
        # The drive was fine; the query cut short is neither reading nor failure.
        self.assertEqual(thread_lines(run.out), [CYCLE_END, CYCLE_END])
        self.assertEqual(run.out.statistics()["TotalTests"], 2)


if __name__ == "__main__":
    unittest.main(verbosity=2)
