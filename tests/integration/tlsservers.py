"""Small TLS servers for what Exim and Dovecot will not do, on 127.0.0.1 with
the certificates of mailservers.py, for a test inside its private network
namespace:

- GREETING_IN_TWO: SMTP with STARTTLS whose greeting is `220-first line`
  and, 300 ms later, `220 ready` (a greeting delay, as anti-spam set-ups do);
- NOT_YET_VALID: SMTPS with a certificate valid from five days ahead;
- IN_TURN: SMTPS with two certificates served in turn, the renewed one
  ("valid") and the one it renews ("aging", in its warning days), until
  TURNS connections have come; from then on the renewed one alone;
- WITHOUT_CA and WITH_CA: SMTPS with a certificate in its warning days issued
  by an intermediate CA, sent without that CA and with it;
- LONG_GREETING: SMTPS whose greeting is a reply of 30 lines, about 2 KB,
  in one write (one TLS record, longer than a check's buffer);
- STALLED: takes the ClientHello and never answers.

Each speaks greeting, EHLO, STARTTLS and QUIT, and adds a line `PORT
CERTIFICATE ENDING` per connection to served.txt (ENDING "clean" after QUIT,
else what went wrong). Run as `tlsservers.py CERTS [TURNS]`; it writes
servers-ready once every port listens."""

import socket
import ssl
import sys
import threading
import time
from pathlib import Path

GREETING_IN_TWO, NOT_YET_VALID, IN_TURN, WITHOUT_CA, LONG_GREETING, STALLED, WITH_CA = range(4670, 4677)
# Connections to IN_TURN that alternate between the two certificates.
TURNS = 8

# The servers for korval_it.run_beside, with the certificates in ./certs.
SERVERS = f"/usr/bin/python3 {Path(__file__).resolve()} certs", "servers-ready"


_log_lock = threading.Lock()


def _note(port, certificate, ending):
    with _log_lock, open("served.txt", "a") as log:
        log.write(f"{port} {certificate} {ending}\n")


def _context(certs, name):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(certs / f"{name}.pem", certs / "key.pem")
    return context


def _lines(connection):
    """The client's lines, as they come."""
    pending = b""
    while True:
        while b"\n" not in pending:
            data = connection.recv(4096)
            if not data:
                return
            pending += data
        line, pending = pending.split(b"\n", 1)
        yield line.rstrip(b"\r").decode("latin-1")


def _talk(connection):
    """EHLO, STARTTLS and QUIT after the greeting; what the talk ended with."""
    for line in _lines(connection):
        verb = line.split(" ", 1)[0].upper()
        if verb == "EHLO":
            connection.sendall(b"250-localhost\r\n" + (b"250-STARTTLS\r\n" if not isinstance(connection, ssl.SSLSocket)
                                                      else b"") + b"250 HELP\r\n")
        elif verb == "STARTTLS":
            connection.sendall(b"220 go ahead\r\n")
            return "starttls"
        elif verb == "QUIT":
            connection.sendall(b"221 bye\r\n")
            return "clean"
        else:
            connection.sendall(b"500 unknown\r\n")
    return "dropped"


def _serve_one(port, connection, context, certificate, greeting):
    ending = "dropped"
    try:
        if greeting is None:
            while connection.recv(4096):
                pass
            ending = "closed by the client"
            return
        if port != GREETING_IN_TWO:
            connection = context.wrap_socket(connection, server_side=True)
        for part in greeting:
            if isinstance(part, float):
                time.sleep(part)
            else:
                connection.sendall(part)
        ending = _talk(connection)
        if ending == "starttls":
            connection = context.wrap_socket(connection, server_side=True)
            ending = _talk(connection)
    except (OSError, ssl.SSLError) as error:
        ending = type(error).__name__
    finally:
        connection.close()
        _note(port, certificate, ending)


def _serve(port, listener, contexts, greeting, turns):
    served = 0
    while True:
        connection, _ = listener.accept()
        # In turn while turns last, then the last one alone.
        name = list(contexts)[served % len(contexts) if served < turns else -1]
        served += 1
        threading.Thread(target=_serve_one, args=(port, connection, contexts[name], name, greeting),
                         daemon=True).start()


def main(certs, turns):
    certs = Path(certs)
    ready = b"220 ready\r\n"
    servers = {
        GREETING_IN_TWO: (("valid",), (b"220-first line\r\n", 0.3, ready)),
        NOT_YET_VALID: (("future",), (ready,)),
        IN_TURN: (("aging", "valid"), (ready,)),
        WITHOUT_CA: (("chained-alone",), (ready,)),
        WITH_CA: (("chained",), (ready,)),
        LONG_GREETING: (("valid",), (b"".join(b"220-%02d %s\r\n" % (n, b"x" * 60) for n in range(29)) + ready,)),
        STALLED: (("valid",), None),
    }
    for port, (names, greeting) in servers.items():
        listener = socket.create_server(("127.0.0.1", port))
        contexts = {name: _context(certs, name) for name in names}
        threading.Thread(target=_serve, args=(port, listener, contexts, greeting, turns), daemon=True).start()
    Path("servers-ready").touch()
    while True:
        time.sleep(600)


if __name__ == "__main__":
    main(sys.argv[1], int(sys.argv[2]) if len(sys.argv) > 2 else TURNS)
