// A small stub resolver over Windows Sockets: one question over UDP to one
// server, and a parser that takes every answer as hostile. Wine's DnsQuery_A
// refuses well-formed PTR answers and waits ten seconds for a silent server
// where no stop can reach it, so the daemon asks for itself.
#pragma once

#include <windows.h>

#include <cstdint>

// A name as the daemon handles it: at most 253 characters, dotted.
constexpr int DnsNameSize = 256;
// What one answer may carry into the check; more are ignored.
constexpr int DnsMaxAddresses = 8;
constexpr int DnsMaxNames = 4;

enum DnsType { DnsA = 1, DnsCname = 5, DnsPtr = 12, DnsMx = 15 };

// What became of a question. Only DnsAnswered and DnsNoName are answers;
// the rest say why there is none.
enum DnsResult {
    DnsAnswered,   // with data of the type asked (or none: no data)
    DnsNoName,     // "no such name"
    DnsServerFail, // SERVFAIL
    DnsRefused,
    DnsOtherError, // another response code
    DnsMalformed,  // cut short, a bad name, a loop of compression pointers, too long
    DnsTruncated,  // the TC bit: the answer did not fit the datagram
    DnsWrongQuestion, // the answer is for another question
    DnsWrongId,
    DnsTimedOut,
    DnsStopped,    // the life ended during the wait
    DnsSocketError,
    DnsResultCount
};

struct DnsAnswer {
    int result;            // a DnsResult
    int address_count;
    uint32_t addresses[DnsMaxAddresses]; // A records, network order
    int name_count;
    char names[DnsMaxNames][DnsNameSize]; // PTR targets, or MX exchanges by preference
};

// The server asked: an IPv4 address in network order and a port.
struct DnsServer {
    uint32_t address;
    uint16_t port;
};

// Writes the query for name and type with id into out; its length, or 0
// when the name is not a valid one.
int dns_build_query(uint8_t* out, int size, uint16_t id, const char* name, int type);
// Reads a reply to the query (id, name, type) into answer; never reads
// outside message[0 .. size).
void dns_parse(const uint8_t* message, int size, uint16_t id, const char* name, int type, DnsAnswer& answer);

// Asks server over UDP, once again after a silence, until deadline_ms on
// GetTickCount's clock (a round is far shorter than its wrap); every wait is
// a slice that life_over ends. A datagram from elsewhere, with another id or
// for another question is ignored. Errands only.
void dns_ask(const DnsServer& server, const char* name, int type, DnsAnswer& answer, DWORD deadline_ms,
             HANDLE life_over);
// The system's first DNS server (port 53); 0 when it has none.
int dns_system_server(DnsServer& server);
// What a result says in a log line or a reason ("timed out", "SERVFAIL").
const char* dns_result_text(int result);
