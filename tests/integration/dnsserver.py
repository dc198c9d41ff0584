"""A DNS server for the Internet checks' tests, on Debian's dnslib: it answers
from the zones a test writes as JSON, and misbehaves on purpose for the names
the test marks. Run inside the test's network namespace only:

    /usr/bin/python3 dnsserver.py ZONES.json PORT READY-FILE

ZONES.json: {"records": {NAME: [[TYPE, VALUE], ...]},
             "later": {NAME: [[TYPE, VALUE], ...]},
             "behaviour": {SUFFIX: "silent" | "servfail" | "loop" | "truncated" | "wrong-id"}}
A name with records gets them ("*.ZONE" stands for every name below ZONE;
from its second question on, a name in "later" gets those instead); a name
below a marked suffix gets that behaviour; any other name "no such name".
Every question is appended to queries.txt, so that a test can count them.
"""

import json
import socket
import struct
import sys

from dnslib import DNSRecord, QTYPE, RCODE, RR, A, MX, PTR


ASKED = {}


def records_of(zones, name):
    if ASKED.get(name, 0) > 1 and name in zones.get("later", {}):
        return zones["later"][name]
    records = zones["records"]
    if name in records:
        return records[name]
    labels = name.split(".")
    for k in range(1, len(labels)):
        wildcard = "*." + ".".join(labels[k:])
        if wildcard in records:
            return records[wildcard]
    return None


def answer(query, zones):
    q = query.q
    name = str(q.qname).rstrip(".").lower()
    ASKED[name] = ASKED.get(name, 0) + 1
    for suffix, behaviour in zones.get("behaviour", {}).items():
        if name == suffix or name.endswith("." + suffix):
            return behaviour
    reply = query.reply()
    records = records_of(zones, name)
    if records is None:
        reply.header.rcode = RCODE.NXDOMAIN
        return reply
    for rtype, value in records:
        if rtype == "A" and q.qtype == QTYPE.A:
            reply.add_answer(RR(q.qname, QTYPE.A, rdata=A(value), ttl=60))
        elif rtype == "PTR" and q.qtype == QTYPE.PTR:
            reply.add_answer(RR(q.qname, QTYPE.PTR, rdata=PTR(value), ttl=60))
        elif rtype == "MX" and q.qtype == QTYPE.MX:
            preference, host = value
            reply.add_answer(RR(q.qname, QTYPE.MX, rdata=MX(host, preference), ttl=60))
    return reply


def misbehave(data, behaviour):
    """The raw answer of a marked name, or None for silence."""
    ident = struct.unpack(">H", data[:2])[0]
    question = data[12:]
    if behaviour == "silent":
        return None
    if behaviour == "servfail":
        return struct.pack(">HHHHHH", ident, 0x8182, 1, 0, 0, 0) + question
    if behaviour == "wrong-id":
        return struct.pack(">HHHHHH", ident ^ 0x5A5A, 0x8180, 1, 1, 0, 0) + question + \
            b"\xc0\x0c\x00\x01\x00\x01\x00\x00\x00\x3c\x00\x04\x7f\x00\x00\x02"
    if behaviour == "truncated":
        return struct.pack(">HHHHHH", ident, 0x8380, 1, 0, 0, 0) + question
    if behaviour == "loop":
        # One answer whose owner name is a compression pointer to itself.
        at = 12 + len(question)
        pointer = struct.pack(">H", 0xC000 | at)
        return struct.pack(">HHHHHH", ident, 0x8180, 1, 1, 0, 0) + question + pointer + \
            b"\x00\x01\x00\x01\x00\x00\x00\x3c\x00\x04\x7f\x00\x00\x02"
    raise ValueError(behaviour)


def main():
    zones = json.load(open(sys.argv[1]))
    port = int(sys.argv[2])
    server = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    server.bind(("127.0.0.1", port))
    open(sys.argv[3], "w").close()
    log = open("queries.txt", "a")
    while True:
        data, peer = server.recvfrom(4096)
        try:
            query = DNSRecord.parse(data)
        except Exception:
            continue
        log.write(f"{str(query.q.qname).rstrip('.').lower()} {QTYPE[query.q.qtype]}\n")
        log.flush()
        reply = answer(query, zones)
        raw = misbehave(data, reply) if isinstance(reply, str) else reply.pack()
        if raw is not None:
            server.sendto(raw, peer)


if __name__ == "__main__":
    main()
