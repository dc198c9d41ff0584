"""Shared helpers of the integration tests: run the stand-in mail server with
the real korval.dll under Wine and read what it left behind.

Paths come from KORVAL_BUILD and KORVAL_SOURCE (set by ctest); WINEPREFIX
and WINEDEBUG come from the environment.
"""

import email
import email.policy
import os
import re
import shutil
import signal
import subprocess
import tempfile
from dataclasses import dataclass, field
from pathlib import Path

SOURCE = Path(os.environ.get("KORVAL_SOURCE", Path(__file__).resolve().parents[2]))
BUILD = Path(os.environ.get("KORVAL_BUILD", SOURCE / "build"))
STANDIN = BUILD / "korval-standin.exe"
DLL = BUILD / "korval.dll"
SAMPLE_INI = SOURCE / "standin" / "sample" / "korval.ini"

# The namespace tests share a Wine prefix of their own: Wine's server and its
# services must start inside the namespace to send its echoes and open its
# drives.
NS_PREFIX = BUILD / "netns-wineprefix"
NS_ENV = {"WINEPREFIX": str(NS_PREFIX), "WINEDLLOVERRIDES": "mscoree,mshtml="}
# Shell lines that start that Wine server (preparing the prefix once).
NS_WINE = 'wineserver -k >/dev/null 2>&1\nif [ ! -f "$WINEPREFIX/system.reg" ]; then wineboot -i >/dev/null 2>&1; fi\n'
# Shell lines that bring up a loopback which ignores echo requests.
DEAF_LOOPBACK = "ip link set lo up\nsysctl -qw net.ipv4.icmp_echo_ignore_all=1\n"

# An SMTP greeter on one loopback address and port: it greets every
# connection, keeps what it hears in got-PORT.txt, and answers QUIT and
# closes, as a mail server does.
GREETER = r"""
import socket, sys, threading
address, port = sys.argv[1], int(sys.argv[2])
listener = socket.create_server((address, port))
def serve(connection):
    with connection, open(f"got-{port}.txt", "ab") as got:
        connection.sendall(b"220 greeter.example.test ESMTP\r\n")
        for line in connection.makefile("rb"):
            got.write(line)
            if line.upper().startswith(b"QUIT"):
                connection.sendall(b"221 bye\r\n")
                break
open("greeter-ready", "w").close()
while True:
    threading.Thread(target=serve, args=(listener.accept()[0],), daemon=True).start()
"""
# A server beside the stand-in ("$@") in a private network namespace: $SERVER
# is its command line, which makes the file $READY once it listens. With
# $BUNDLE, in a mount namespace of its own, the system's root certificates
# that Wine takes in are that file.
BESIDE_NETNS = """set -u
ip link set lo up
if [ -n "${BUNDLE:-}" ]; then
  mount --make-rprivate /
  mount --bind "$BUNDLE" /etc/ssl/certs/ca-certificates.crt
fi
""" + NS_WINE + """eval "exec $SERVER" & server=$!
for _ in $(seq 100); do [ -e "$READY" ] && break; sleep 0.1; done
"$@"; status=$?
kill $server; wineserver -k >/dev/null 2>&1; exit $status
"""


def greeter(folder, address, port):
    """Puts the greeter in folder; returns the server of run_beside that runs it on address:port."""
    (Path(folder) / "greeter.py").write_text(GREETER)
    return f"/usr/bin/python3 greeter.py {address} {port}", "greeter-ready"


def run_beside(folder, server, *args, bundle=None, timeout=60):
    """`run ARGS` of the stand-in in folder, in a private network namespace beside
    server: (its shell command line, the file it makes once it listens)."""
    unshare = ["unshare", "--net", "--mount"] if bundle else ["unshare", "--net"]
    env = {**NS_ENV, "SERVER": server[0], "READY": server[1], **({"BUNDLE": str(bundle)} if bundle else {})}
    return run_standin("run", *args, cwd=folder, timeout=timeout,
                       prefix=[*unshare, "--", "bash", "-c", BESIDE_NETNS, "netns"], env=env)

# Exit codes of the stand-in.
EXIT_OK, EXIT_NOT_STARTED, EXIT_USAGE, EXIT_FAULT, EXIT_NO_DLL = 0, 1, 2, 3, 4


def win_path(path):
    """The Wine (Z:) path of a Linux path."""
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


def work_dir(name):
    """A fresh, empty folder under the build folder, kept after the test for a look."""
    path = BUILD / "integration-work" / name
    shutil.rmtree(path, ignore_errors=True)
    path.mkdir(parents=True)
    return path


def write_ini(folder, sections, name="korval.ini"):
    """Writes an INI file from {section: {key: value}}, CR LF line ends."""
    lines = []
    for section, keys in sections.items():
        lines.append(f"[{section}]")
        lines.extend(f"{key}={value}" for key, value in keys.items())
        lines.append("")
    path = Path(folder) / name
    path.write_bytes("\r\n".join(lines).encode("latin-1"))
    return path


@dataclass
class LogLine:
    time: str
    category: int
    priority: int
    text: str


@dataclass
class Mail:
    number: int
    raw: bytes
    message: email.message.EmailMessage
    sender: str
    recipients: list = field(default_factory=list)
    refused: list = field(default_factory=list)


def parse_mail(raw):
    """Parses one report mail; fails on any defect the parser finds."""
    message = email.message_from_bytes(raw, policy=email.policy.default)
    defects = []
    try:
        for part in message.walk():
            defects += [f"message: {d!r}" for d in part.defects]
            for name, value in part.items():
                defects += [f"{name}: {d!r}" for d in getattr(value, "defects", ())]
            if not part.is_multipart():
                part.get_content()
    except Exception as error:  # the parser gave up on a header or the body
        defects.append(repr(error))
    if defects:
        raise AssertionError("mail parser defects: " + "; ".join(defects) + "\n" + raw.decode("latin-1"))
    return message


_LOG_LINE = re.compile(r"^(\d\d:\d\d:\d\d\.\d{3}) \[\s*(\d+):\s*(\d+)\] (.*)$")


class Output:
    """What the stand-in left in its output folder (--dir)."""

    def __init__(self, path):
        self.path = Path(path)

    def _text(self, name):
        file = self.path / name
        return file.read_bytes().decode("latin-1") if file.exists() else ""

    def log(self):
        """Every log line in order; a text holding line breaks continues on the lines below it."""
        lines = []
        for line in self._text("korval.log").split("\n")[:-1]:
            m = _LOG_LINE.match(line)
            if m:
                lines.append(LogLine(m[1], int(m[2]), int(m[3]), m[4]))
            elif lines:
                lines[-1].text += "\n" + line
            else:
                raise AssertionError(f"log line without a header: {line!r}")
        return lines

    def texts(self, category=None):
        return [l.text for l in self.log() if category is None or l.category == category]

    def mails(self, folder="outbox"):
        """Every mail of the outbox (or of local, the daemon's own), in order, parsed and checked."""
        mails = []
        for eml in sorted((self.path / folder).glob("*.eml")):
            raw = eml.read_bytes()
            envelope = eml.with_suffix(".env").read_text(encoding="latin-1").splitlines()
            values = lambda key: [l.split(": ", 1)[1] for l in envelope if l.startswith(key + ": ")]
            mails.append(Mail(int(eml.stem), raw, parse_mail(raw), (values("Sender") or [""])[0],
                              values("Recipient"), values("Refused")))
        return mails

    def statistics(self):
        """{category: count} of the table written at exit."""
        counts = {}
        for line in self._text("statistics.txt").splitlines()[1:]:
            module, category, count = line.split()
            counts[category] = int(count)
        return counts

    def aliases(self):
        return dict(l.split(" = ", 1) for l in self._text("aliases.txt").splitlines() if " = " in l)

    def modules(self):
        """{module: True when online}."""
        return {name: state == "online" for name, state in
                (l.split() for l in self._text("modules.txt").splitlines() if l.strip())}

    def dialogs(self):
        """[(caption, text, answer)] of every dialog answered with --answer."""
        unescape = lambda s: re.sub(r"\\(.)", lambda m: {"r": "\r", "n": "\n", "t": "\t"}.get(m[1], m[1]), s)
        return [tuple(unescape(f) for f in l.split("\t")) for l in self._text("dialogs.txt").splitlines()]


@dataclass
class Run:
    returncode: int
    stdout: str
    stderr: str
    out: Output

    def started(self):
        return "startup returned 1" in self.stdout

    def faults(self):
        return [l for l in (self.stdout + self.stderr).splitlines() if "FAULT" in l]


def run_standin(command, *args, cwd, out_dir="standin-out", timeout=120, prefix=(), env=None):
    """Runs `wine korval-standin.exe COMMAND ARGS --dir OUT_DIR` in cwd (the daemon
    reads cwd/korval.ini) and returns a Run. prefix goes before `wine` (for instance
    a network namespace wrapper); env adds to the environment. The output goes to
    files, so that Wine's background services cannot hold a pipe open."""
    cwd = Path(cwd)
    out = cwd / out_dir
    full_env = dict(os.environ, **(env or {}))
    argv = [*prefix, "wine", str(STANDIN), command, *map(str, args), "--dir", out_dir]
    with tempfile.TemporaryFile() as stdout, tempfile.TemporaryFile() as stderr:
        process = subprocess.Popen(argv, cwd=cwd, env=full_env, stdin=subprocess.DEVNULL,
                                   stdout=stdout, stderr=stderr, start_new_session=True)
        try:
            process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()
            raise AssertionError(f"stand-in did not end within {timeout} s: {argv}")
        stdout.seek(0)
        stderr.seek(0)
        run = Run(process.returncode, stdout.read().decode("latin-1"), stderr.read().decode("latin-1"), Output(out))
    print(f"$ {' '.join(argv)}\n{run.stdout}{run.stderr}[exit {run.returncode}]")
    return run
