"""The benchmark proper, run by bench/run inside a private mount namespace."""

import os
import re
import socket
import ssl
import subprocess
import sys
import threading
from pathlib import Path

SOURCE = Path(os.environ["BENCH_SOURCE"])
BUILD = Path(os.environ["BENCH_BUILD"])
sys.path.insert(0, str(SOURCE / "tests" / "integration"))
import korval_it as it  # noqa: E402  (the stand-in runner and INI writer of the tests)

CYCLES = int(os.environ.get("BENCH_CYCLES", 10000))
ITEM_CYCLES = int(os.environ.get("BENCH_ITEM_CYCLES", 20))
STATUS_CYCLES = int(os.environ.get("BENCH_STATUS_CYCLES", 200))
STOPS = int(os.environ.get("BENCH_STOPS", 100))
WORK = BUILD / "bench"
PREFIX = WORK / "wineprefix"
DRIVES = "defghijklm"
PAUSE_MS = 60
MAIL = "admin@example.test"


def sh(*argv, **kw):
    return subprocess.run(argv, check=True, capture_output=True, text=True, **kw).stdout


def prepare_wine():
    os.environ.update(WINEPREFIX=str(PREFIX), WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
    subprocess.run(["wineserver", "-k"], capture_output=True)
    WORK.mkdir(parents=True, exist_ok=True)
    if not (PREFIX / "system.reg").exists():
        print("bench: preparing the benchmark's Wine prefix (once)", flush=True)
        subprocess.run(["wineboot", "-i"], capture_output=True)
    # Ten drives of 16 MB, seen only in this namespace.
    sh("mount", "--make-rprivate", "/")
    for letter in DRIVES:
        folder = WORK / "drives" / letter
        folder.mkdir(parents=True, exist_ok=True)
        sh("mount", "-t", "tmpfs", "-o", "size=16m", "tmpfs", str(folder))
        link = PREFIX / "dosdevices" / f"{letter}:"
        if link.is_symlink() or link.exists():
            link.unlink()
        link.symlink_to(folder)
    subprocess.run(["wine", "cmd.exe", "/c", "exit"], capture_output=True, stdin=subprocess.DEVNULL)


def measure(name, sections, *args, timeout):
    """Runs the stand-in with --measure in a fresh folder; returns (stdout, argv text)."""
    folder = it.work_dir(f"bench-{name}")
    it.write_ini(folder, sections)
    argv = ["run", *map(str, args), "--measure"]
    print(f"bench: {name}: korval-standin {' '.join(argv)}", flush=True)
    return standin(argv, folder, timeout), " ".join(argv)


def standin(argv, folder, timeout):
    """The stand-in's console output, kept in the folder: 10,000 cycles make a long one."""
    with open(folder / "console.txt", "wb") as console:
        result = subprocess.run(["wine", str(it.STANDIN), *argv, "--dir", "standin-out"], cwd=folder,
                                stdin=subprocess.DEVNULL, stdout=console, stderr=subprocess.STDOUT,
                                timeout=timeout)
    stdout = (folder / "console.txt").read_bytes().decode("latin-1")
    if result.returncode != 0 or "FAULT" in stdout:
        raise SystemExit(f"bench: the stand-in failed (exit {result.returncode}); see {folder}/console.txt")
    return stdout


def figure(stdout, pattern):
    found = re.findall(pattern, stdout)
    if not found:
        raise SystemExit(f"bench: no figure matching {pattern!r}")
    return found[-1]


def busy_median(stdout):
    return float(figure(stdout, r"cycle busy time over \d+ cycles: median ([\d.]+) ms"))


def allocations(stdout):
    cycles, count = figure(stdout, r"allocations by the DLL over (\d+) cycles: (\d+),")
    return int(count), int(cycles)


def start_greeter():
    """A local SMTP greeter for the service checks (greets, reads the goodbye, closes); its entry."""
    listener = socket.create_server(("127.0.0.1", 0))

    def serve():
        while True:
            connection, _ = listener.accept()
            with connection:
                connection.sendall(b"220 bench.example.test ESMTP\r\n")
                connection.makefile("rb").readline()
    threading.Thread(target=serve, daemon=True).start()
    return f"smtp://127.0.0.1:{listener.getsockname()[1]}"


def start_tls_greeter():
    """The same greeter behind implicit TLS, with a self-signed certificate made here; its entry."""
    cert, key = WORK / "greeter-cert.pem", WORK / "greeter-key.pem"
    sh("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "90", "-subj", "/CN=localhost",
       "-keyout", str(key), "-out", str(cert))
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    listener = socket.create_server(("127.0.0.1", 0))

    def serve():
        while True:
            connection, _ = listener.accept()
            # The greeting right after the handshake's last message: without
            # this, it waits for the client's delayed acknowledgement.
            connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            try:
                with context.wrap_socket(connection, server_side=True) as tls:
                    tls.sendall(b"220 bench.example.test ESMTP\r\n")
                    tls.makefile("rb").readline()
            except OSError:
                pass
    threading.Thread(target=serve, daemon=True).start()
    return f"smtps://127.0.0.1:{listener.getsockname()[1]}"


def settings(hosts=0, drives=0, free_disk=0, memory_limit=0, suspend=5, mail=MAIL, services=0, service="",
             status_file=""):
    ini = {"General": {"PollTime": 1, "Retry": 3, "Suspend": suspend, "MemoryLimit": memory_limit, "Mail": mail},
           "Drives": {"Number": max(drives, 1), "FreeDisk": free_disk},
           "Hosts": {"Number": hosts}}
    if status_file:
        ini["General"]["StatusFile"] = status_file
    # Without hosts, a drive that is never tested (FreeDisk 0) lets the daemon start.
    for k, letter in enumerate(DRIVES[:max(drives, 1)], 1):
        ini["Drives"][f"Drive{k}"] = f"{letter.upper()}:\\"
    for k in range(1, hosts + 1):
        ini["Hosts"][f"Host{k}"] = f"127.0.0.{k}"
    if services:
        ini["Services"] = {"Number": services, **{f"Service{k}": service for k in range(1, services + 1)}}
    return ini


def main():
    prepare_wine()
    rows = []
    alloc_runs = []

    # Cycle overhead: the busy time between two long waits, 1 host against
    # 15 hosts and against 1 host and 10 drives; the difference per item,
    # less the 60 ms pause, is what one item costs.
    base, _ = measure("1-host", settings(hosts=1), "--cycles", ITEM_CYCLES, "--lapse", 1, timeout=600)
    hosts, hosts_cmd = measure("15-hosts", settings(hosts=15), "--cycles", ITEM_CYCLES, "--lapse", 1, timeout=900)
    drives, drives_cmd = measure("10-drives", settings(hosts=1, drives=10, free_disk=1), "--cycles", ITEM_CYCLES,
                                 "--lapse", 1, timeout=900)
    services, services_cmd = measure("15-services", settings(hosts=1, services=15, service=start_greeter()), "--cycles", ITEM_CYCLES,
                                     "--lapse", 1, timeout=900)
    tls, tls_cmd = measure("15-tls-services", settings(hosts=1, services=15, service=start_tls_greeter()), "--cycles",
                           ITEM_CYCLES, "--lapse", 1, timeout=900)
    alloc_runs += [base, hosts, drives, services, tls]
    per_host = (busy_median(hosts) - busy_median(base)) / 14 - PAUSE_MS
    rows.append(("Cycle overhead per host beyond the 60 ms pause (15 answering loopback hosts)",
                 f"{per_host:.2f} ms", "≤ 1 ms", f"`{hosts_cmd}`: 15 hosts against 1 host"))
    drive_time = busy_median(drives) - busy_median(base)
    if drive_time < 10 * PAUSE_MS / 2:
        measured = f"not measured: this build tests no drive ({drive_time:+.1f} ms for 10 drives)"
    else:
        measured = f"{drive_time / 10 - PAUSE_MS:.2f} ms"
    rows.append(("Cycle overhead per drive beyond the 60 ms pause (10 tmpfs drives, FreeDisk set)", measured,
                 "≤ 1 ms", f"`{drives_cmd}`: 1 host and 10 drives against 1 host"))
    per_service = (busy_median(services) - busy_median(base)) / 15 - PAUSE_MS
    rows.append(("Cycle overhead per service check beyond the 60 ms pause (15 checks of a local SMTP greeter)",
                 f"{per_service:.2f} ms", "", f"`{services_cmd}`: 1 host and 15 services against 1 host"))
    per_tls = (busy_median(tls) - busy_median(base)) / 15 - PAUSE_MS
    rows.append(("Cycle overhead per TLS service check beyond the 60 ms pause (15 checks of a local SMTPS greeter)",
                 f"{per_tls:.2f} ms", "", f"`{tls_cmd}`: 1 host and 15 SMTPS services against 1 host"))

    # The hand-over of one errand to the errand thread and back, on the
    # daemon's own objects in the unit test program.
    handover = sh("wine", str(BUILD / "tests" / "unit_cycle.exe"), "--gtest_filter=ErrandTest.HandOver*")
    handover_ms = float(figure(handover, r"median ([\d.]+) ms per errand"))
    rows.append(("Hand-over of one errand (look-up, echo, disk query) to the errand thread and back: median",
                 f"{handover_ms:.4f} ms", "≤ 0.1 ms",
                 "`unit_cycle.exe --gtest_filter=ErrandTest.HandOver*`: 2,000 errands that do nothing"))

    # The status file: cycles without items (the memory test alone), with the
    # file and without it; the difference is the cost of writing it.
    bare, _ = measure("no-status-file", settings(), "--cycles", STATUS_CYCLES, "--lapse", 1, timeout=600)
    status, status_cmd = measure("status-file", settings(status_file="korval.prom"), "--cycles", STATUS_CYCLES,
                                 "--lapse", 1, timeout=600)
    alloc_runs += [bare, status]
    size = (it.BUILD / "integration-work" / "bench-status-file" / "korval.prom").stat().st_size
    rows.append((f"Cost of writing the status file per cycle ({size:,} bytes: its temporary twin written, moved over it)",
                 f"{busy_median(status) - busy_median(bare):.2f} ms", "≤ 1 ms",
                 f"`{status_cmd}`: 1 untested drive and `StatusFile=korval.prom`, against the same without it"))

    # Many cycles with reports: memory is always short and reported every
    # other cycle to a mail and an SMS recipient; no items, so no pauses.
    many, many_cmd = measure("many-cycles", settings(memory_limit=100000, suspend=1,
                                                     mail=f"{MAIL},+15550100:sms.example.test"),
                             "--cycles", CYCLES, "--lapse", 1, timeout=3600)
    alloc_runs.append(many)
    counts = [allocations(run) for run in alloc_runs]
    worst = max(count / max(cycles, 1) for count, cycles in counts)
    rows.append(("Heap allocations by the DLL per poll cycle (HeapAlloc, malloc/calloc/realloc, new, "
                 "LocalAlloc, GlobalAlloc)", f"{worst:g} ({sum(c for c, _ in counts)} in "
                 f"{sum(n for _, n in counts)} cycles)", "0", "the runs above and below"))
    first_bytes, last_bytes, first_handles, last_handles = figure(
        many, r"private bytes (\d+) -> (\d+), handles (\d+) -> (\d+)")
    cycles = allocations(many)[1]
    many_setup = f"`{many_cmd}`: 1 untested drive, memory always short, Suspend 1, a mail and an SMS recipient"
    rows.append((f"Stand-in process over {cycles} cycles in time-lapse with reports going out: private bytes",
                 f"{int(first_bytes):,} → {int(last_bytes):,} ({int(last_bytes) - int(first_bytes):+,})",
                 "no growth", many_setup))
    rows.append((f"... and handles over the same {cycles} cycles", f"{first_handles} → {last_handles} "
                 f"({int(last_handles) - int(first_handles):+d})", "no growth", many_setup))

    # Closedown outside a ping: one cycle without items, then the stop comes
    # during the long sleep (lapsed to 10 s).
    stops, stops_cmd = measure("closedown", settings(), "--restarts", STOPS, "--lapse", 10000,
                               timeout=60 + STOPS * 10)
    count, median, peak, by_itself = figure(
        stops, r"closedown over (\d+) stops: median ([\d.]+) ms, max ([\d.]+) ms, thread left by itself (\d+) of")
    stops_setup = f"`{stops_cmd}`: 1 untested drive, the stop in the long sleep"
    rows.append((f"closedown latency over {count} stops outside a ping: median", f"{float(median):.1f} ms",
                 "≤ 20 ms", stops_setup))
    rows.append(("... maximum", f"{float(peak):.1f} ms", "", stops_setup))
    rows.append(("... thread left by itself", f"{int(by_itself) * 100 // int(count)}% ({by_itself} of {count})",
                 "100%", stops_setup))

    # The DLL as shipped.
    dump = sh("i686-w64-mingw32-objdump", "-p", str(it.DLL))
    imports = re.findall(r"DLL Name: (\S+)", dump)
    size = it.DLL.stat().st_size
    rows.append(("korval.dll size (stripped; debug information in korval.dll.debug)",
                 f"{size:,} bytes ({size / 1024:.1f} KB)", "≤ 96 KB", "`ls -l build/korval.dll`"))
    rows.append(("korval.dll imports", ", ".join(imports), "Windows system DLLs only",
                 "`i686-w64-mingw32-objdump -p build/korval.dll`"))

    subprocess.run(["wineserver", "-k"], capture_output=True)
    wine = sh("wine", "--version").strip()
    table = [f"Measured by `bench/run` with {wine} on {os.cpu_count()} cores; each stand-in command ran in "
             "a folder holding the korval.ini described beside it.", "",
             "| figure | measured | target | how |", "|---|---|---|---|"]
    table += [f"| {a} | {b} | {c} | {d} |" for a, b, c, d in rows]
    text = "\n".join(table) + "\n"
    (WORK / "results.md").write_text(text)
    print("\n" + text)
    print(f"bench: table written to {WORK / 'results.md'}")


if __name__ == "__main__":
    main()
