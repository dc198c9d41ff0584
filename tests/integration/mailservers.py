"""Real mail servers for the TLS checks: Debian's Exim and Dovecot, started by
a test as its own processes on loopback ports inside its private network
namespace, with their own configuration, spool and log files in the test's
work folder (never the system's), and certificates from a private CA that
the test makes.

Exim listens on the SMTP ports below, Dovecot on the IMAP and POP3 ones. Each
server's own log tells a clean goodbye from a dropped connection:
goodbyes(folder) reads them, and names_asked(folder) the host name that
each TLS client named to Dovecot.

Run by Debian's /usr/bin/python3 as `mailservers.py certificates FOLDER`, it
makes the certificates (python3-cryptography belongs to that Python)."""

import datetime
import re
import subprocess
import sys
from pathlib import Path

HOST = "localhost"
SYSTEM_PYTHON = "/usr/bin/python3"
# The leaf certificates for HOST: name -> (days since it began, days it has left).
# "future" begins in five days; "aging" is within its warning days, the one
# that "valid" renews.
CERTIFICATES = {"valid": (1, 89), "soon": (87, 3), "expired": (100, -10), "future": (-5, 95), "aging": (75, 15)}

# Exim: implicit TLS with the valid certificate, with the one that expires
# soon, with the expired one, and with TLS 1.3 alone; STARTTLS offered, and
# not offered.
SMTPS, SMTPS_SOON, SMTPS_EXPIRED, SMTPS_TLS13, SUBMISSION, NO_STARTTLS, SUBMISSION_EXPIRED = (4650, 4651, 4652, 4653,
                                                                                        5870, 5871, 5872)
# Dovecot, with the valid certificate: STARTTLS and implicit TLS.
IMAP, IMAPS, POP3, POP3S = 1430, 9930, 1100, 9950
SMTP_PORTS = (SMTPS, SMTPS_SOON, SMTPS_EXPIRED, SMTPS_TLS13, SUBMISSION, NO_STARTTLS, SUBMISSION_EXPIRED)

EXIM_CONFIG = """\
primary_hostname = {host}
exim_user = root
exim_group = root
keep_environment =
exim_path = /usr/sbin/exim4
spool_directory = {work}/spool
log_file_path = {work}/%slog
pid_file_path = {work}/exim.pid
local_interfaces = <; 127.0.0.1
daemon_smtp_ports = {SUBMISSION} : {NO_STARTTLS} : {SUBMISSION_EXPIRED} : {SMTPS} : {SMTPS_SOON} : {SMTPS_EXPIRED} : \
  {SMTPS_TLS13}
tls_on_connect_ports = {SMTPS} : {SMTPS_SOON} : {SMTPS_EXPIRED} : {SMTPS_TLS13}
tls_advertise_hosts = ${{if eq{{$received_port}}{{{NO_STARTTLS}}}{{}}{{*}}}}
tls_certificate = {certs}/${{if eq{{$received_port}}{{{SMTPS_SOON}}}{{soon}}\
{{${{if or{{{{eq{{$received_port}}{{{SMTPS_EXPIRED}}}}}{{eq{{$received_port}}{{{SUBMISSION_EXPIRED}}}}}}}\
{{expired}}{{valid}}}}}}}}.pem
tls_privatekey = {certs}/key.pem
tls_require_ciphers = ${{if eq{{$received_port}}{{{SMTPS_TLS13}}}{{NORMAL:-VERS-ALL:+VERS-TLS1.3}}{{NORMAL}}}}
log_selector = +smtp_connection +incoming_interface
"""

DOVECOT_CONFIG = """\
base_dir = {work}/run
state_dir = {work}/state
log_path = {work}/dovecot.log
protocols = imap pop3
listen = 127.0.0.1
ssl = yes
ssl_cert = <{certs}/valid.pem
ssl_key = <{certs}/key.pem
default_login_user = dovenull
default_internal_user = dovecot
login_log_format_elements = user=<%u> rip=%r lip=%l lport=%{{local_port}} sni=%{{local_name}} %c
passdb {{
  driver = static
  args = password=unused
}}
userdb {{
  driver = static
  args = uid=nobody gid=nogroup home=/nonexistent
}}
service imap-login {{
  inet_listener imap {{
    port = {IMAP}
  }}
  inet_listener imaps {{
    port = {IMAPS}
    ssl = yes
  }}
}}
service pop3-login {{
  inet_listener pop3 {{
    port = {POP3}
  }}
  inet_listener pop3s {{
    port = {POP3S}
    ssl = yes
  }}
}}
"""


def make_certificates(folder):
    """Writes ca.pem, key.pem and one NAME.pem per CERTIFICATES entry (the leaf
    and then the CA, as a server sends them) into folder/certs, and
    NAME-alone.pem with the leaf alone. chained.pem holds a leaf in its
    warning days (as "aging") issued by an intermediate CA, with that CA;
    chained-alone.pem the same leaf without it (a server that leaves out its
    intermediate CA: a partial chain even where the CA is trusted)."""
    subprocess.run([SYSTEM_PYTHON, __file__, "certificates", str(folder)], check=True)
    return Path(folder) / "certs"


def _write_certificates(folder):
    from cryptography import x509
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import rsa
    from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID

    certs = Path(folder) / "certs"
    certs.mkdir(parents=True, exist_ok=True)
    now = datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0)
    pem = lambda c: c.public_bytes(serialization.Encoding.PEM)
    name = lambda cn: x509.Name([x509.NameAttribute(NameOID.ORGANIZATION_NAME, "Korval tests"),
                                 x509.NameAttribute(NameOID.COMMON_NAME, cn)])

    ca_key = rsa.generate_private_key(public_exponent=65537, key_size=2048)
    ca = (x509.CertificateBuilder().subject_name(name("Korval test CA")).issuer_name(name("Korval test CA"))
          .public_key(ca_key.public_key()).serial_number(x509.random_serial_number())
          .not_valid_before(now - datetime.timedelta(days=365)).not_valid_after(now + datetime.timedelta(days=365))
          .add_extension(x509.BasicConstraints(ca=True, path_length=None), critical=True)
          .add_extension(x509.KeyUsage(False, False, False, False, False, True, True, False, False), critical=True)
          .sign(ca_key, hashes.SHA256()))
    (certs / "ca.pem").write_bytes(pem(ca))

    key = rsa.generate_private_key(public_exponent=65537, key_size=2048)
    (certs / "key.pem").write_bytes(key.private_bytes(serialization.Encoding.PEM,
                                                      serialization.PrivateFormat.TraditionalOpenSSL,
                                                      serialization.NoEncryption()))
    def leaf(issuer, issuer_key, began, left):
        return (x509.CertificateBuilder().subject_name(name(HOST)).issuer_name(issuer.subject)
                .public_key(key.public_key()).serial_number(x509.random_serial_number())
                .not_valid_before(now - datetime.timedelta(days=began))
                .not_valid_after(now + datetime.timedelta(days=left))
                .add_extension(x509.SubjectAlternativeName([x509.DNSName(HOST)]), critical=False)
                .add_extension(x509.ExtendedKeyUsage([ExtendedKeyUsageOID.SERVER_AUTH]), critical=False)
                .sign(issuer_key, hashes.SHA256()))

    for label, (began, left) in CERTIFICATES.items():
        cert = leaf(ca, ca_key, began, left)
        (certs / f"{label}.pem").write_bytes(pem(cert) + pem(ca))
        (certs / f"{label}-alone.pem").write_bytes(pem(cert))

    middle_key = rsa.generate_private_key(public_exponent=65537, key_size=2048)
    middle = (x509.CertificateBuilder().subject_name(name("Korval test intermediate CA")).issuer_name(ca.subject)
              .public_key(middle_key.public_key()).serial_number(x509.random_serial_number())
              .not_valid_before(now - datetime.timedelta(days=300)).not_valid_after(now + datetime.timedelta(days=300))
              .add_extension(x509.BasicConstraints(ca=True, path_length=0), critical=True)
              .add_extension(x509.KeyUsage(False, False, False, False, False, True, True, False, False), critical=True)
              .sign(ca_key, hashes.SHA256()))
    chained = leaf(middle, middle_key, *CERTIFICATES["aging"])
    (certs / "chained.pem").write_bytes(pem(chained) + pem(middle))
    (certs / "chained-alone.pem").write_bytes(pem(chained))


def write_configs(folder, certs):
    """Exim's and Dovecot's configuration, spool and log folders under folder."""
    folder, certs = Path(folder).resolve(), Path(certs).resolve()
    exim, dovecot = folder / "exim", folder / "dovecot"
    for path in (exim / "spool", dovecot / "run", dovecot / "state"):
        path.mkdir(parents=True, exist_ok=True)
    # The configurations name the ports as this module does.
    ports = {name: value for name, value in globals().items() if name.isupper() and isinstance(value, int)}
    (exim / "exim.conf").write_text(EXIM_CONFIG.format(host=HOST, work=exim, certs=certs, **ports))
    (dovecot / "dovecot.conf").write_text(DOVECOT_CONFIG.format(work=dovecot, certs=certs, **ports))


def start_lines(folder):
    """Shell lines for a namespace script that start both servers in the
    foreground as its children ($exim, $dovecot), wait until every port
    listens, and a line that stops them ($stop_servers)."""
    folder = Path(folder).resolve()
    ports = (*SMTP_PORTS, IMAP, IMAPS, POP3, POP3S)
    return f"""/usr/sbin/exim4 -C {folder}/exim/exim.conf -bdf & exim=$!
/usr/sbin/dovecot -F -c {folder}/dovecot/dovecot.conf & dovecot=$!
for _ in $(seq 100); do
  [ "$(ss -Hltn | grep -cE '127\\.0\\.0\\.1:({"|".join(map(str, ports))}) ')" -eq {len(ports)} ] && break
  sleep 0.1
done
stop_servers="kill $exim $dovecot; wait $exim $dovecot"
"""


# How each server logs the end of a connection: a clean goodbye or its own words.
_EXIM_END = re.compile(r"SMTP connection from .*I=\[127\.0\.0\.1\]:(\d+) (closed by QUIT|.*)$")
_DOVECOT_END = re.compile(r"(?:imap|pop3)-login: Info: Disconnected: (.*?)(?: \(.*\))?: user=.* lport=(\d+)(?:, sni=([^,]*))?")


def _lines(path):
    return path.read_text().splitlines() if path.exists() else []


def goodbyes(folder):
    """{port: [how each connection ended]} from the servers' own logs: "clean"
    after QUIT or LOGOUT, else the server's own words."""
    folder = Path(folder)
    ended = {}
    for line in _lines(folder / "exim" / "mainlog"):
        m = _EXIM_END.search(line)
        if m and "(TCP/IP connection count" not in line:
            ended.setdefault(int(m[1]), []).append("clean" if m[2] == "closed by QUIT" else m[2])
    for line in _lines(folder / "dovecot" / "dovecot.log"):
        m = _DOVECOT_END.search(line)
        if m:
            ended.setdefault(int(m[2]), []).append("clean" if m[1] == "Aborted login by logging out" else m[1])
    return ended


def names_asked(folder):
    """{port: [the host name each TLS client named (SNI)]} from Dovecot's log."""
    asked = {}
    for line in _lines(Path(folder) / "dovecot" / "dovecot.log"):
        m = _DOVECOT_END.search(line)
        if m:
            asked.setdefault(int(m[2]), []).append(m[3] or "")
    return asked


if __name__ == "__main__" and sys.argv[1:2] == ["certificates"]:
    _write_certificates(sys.argv[2])
