// The stub resolver. Every length, count and pointer in an answer comes from
// the network: each is checked against the message before it is used.
#include "checks/dns.h"

#include <winsock.h>
#include <iphlpapi.h>

#include <cstring>

#include "platform/platform.h"
#include "platform/text.h"

namespace {

constexpr int HeaderSize = 12;
constexpr int MaxNameLength = 253;
// A plain DNS answer over UDP has at most 512 bytes; a larger datagram is
// read whole and refused, never cut.
constexpr int MaxMessage = 1500;
// One more send after this much silence, and the slices every wait is cut
// into so that the life's end is seen at once.
constexpr DWORD ResendMs = 1000;
constexpr DWORD SliceMs = 50;
// CNAMEs followed from the name asked.
constexpr int MaxChain = 8;

// Names compare in any letter case; a name read from an answer holds
// printable ASCII only, which every code page folds alike.
int same_name(const char* a, const char* b)
{
    return _stricmp(a, b) == 0;
}

int get16(const uint8_t* p)
{
    return p[0] << 8 | p[1];
}

// Reads the name at *at into out and moves *at past its place in the
// record. Every compression pointer must point before the lowest place
// read so far, so pointers can never go round in a loop; a name that does
// not fit, a label type other than plain or pointer, or a character that a
// log line should not carry makes the whole answer malformed.
int read_name(const uint8_t* m, int size, int* at, char (&out)[DnsNameSize])
{
    int pos = *at, lowest = *at, length = 0, after = -1;
    for (;;) {
        if (pos >= size)
            return 0;
        int label = m[pos];
        if ((label & 0xC0) == 0xC0) {
            if (pos + 1 >= size)
                return 0;
            int target = (label & 0x3F) << 8 | m[pos + 1];
            if (target >= lowest || target < HeaderSize)
                return 0;
            if (after < 0)
                after = pos + 2;
            pos = lowest = target;
            continue;
        }
        if (label & 0xC0)
            return 0;
        if (label == 0)
            break;
        if (pos + 1 + label > size || length + (length ? 1 : 0) + label > MaxNameLength)
            return 0;
        if (length)
            out[length++] = '.';
        for (int k = 1; k <= label; ++k) {
            int c = m[pos + k];
            if (c <= ' ' || c > '~' || c == '.')
                return 0;
            out[length++] = static_cast<char>(c);
        }
        pos += 1 + label;
    }
    out[length] = '\0';
    *at = after >= 0 ? after : pos + 1;
    return 1;
}

// A random id from the system's random source, so that an answer cannot be
// guessed by someone who sees no query.
uint16_t random_id()
{
    uint16_t id = 0;
    if (!random_bytes(&id, sizeof id)) {
        LARGE_INTEGER counter;
        QueryPerformanceCounter(&counter);
        id = static_cast<uint16_t>(counter.LowPart ^ counter.LowPart >> 16 ^ GetCurrentThreadId());
    }
    return id;
}

void parse_records(const uint8_t* m, int size, int at, int count, const char* name, int type, DnsAnswer& a)
{
    char owner[DnsNameSize], data[DnsNameSize], current[DnsNameSize];
    int preferences[DnsMaxNames];
    copy_text(current, name);
    int chain = 0;
    for (int k = 0; k < count; ++k) {
        if (!read_name(m, size, &at, owner) || at + 10 > size) {
            a.result = DnsMalformed;
            return;
        }
        int rtype = get16(m + at), rclass = get16(m + at + 2), length = get16(m + at + 8);
        int rdata = at + 10;
        at = rdata + length;
        if (at > size) {
            a.result = DnsMalformed;
            return;
        }
        if (rclass != 1 || !same_name(owner, current))
            continue;
        int inside = rdata;
        if (rtype == DnsCname && type != DnsCname) {
            if (++chain > MaxChain || !read_name(m, rdata + length, &inside, current)) {
                a.result = DnsMalformed;
                return;
            }
        } else if (rtype == type && type == DnsA) {
            if (length != 4) {
                a.result = DnsMalformed;
                return;
            }
            if (a.address_count < DnsMaxAddresses)
                memcpy(&a.addresses[a.address_count++], m + rdata, 4);
        } else if (rtype == type && (type == DnsPtr || type == DnsMx)) {
            int preference = 0;
            if (type == DnsMx) {
                if (length < 3) {
                    a.result = DnsMalformed;
                    return;
                }
                preference = get16(m + rdata);
                inside += 2;
            }
            // The name must lie within its record.
            if (!read_name(m, rdata + length, &inside, data)) {
                a.result = DnsMalformed;
                return;
            }
            // Kept in order of preference, the best DnsMaxNames.
            int slot = a.name_count;
            while (slot > 0 && preferences[slot - 1] > preference)
                --slot;
            if (slot >= DnsMaxNames)
                continue;
            int last = a.name_count < DnsMaxNames ? a.name_count : DnsMaxNames - 1;
            for (int j = last; j > slot; --j) {
                preferences[j] = preferences[j - 1];
                memcpy(a.names[j], a.names[j - 1], DnsNameSize);
            }
            preferences[slot] = preference;
            copy_text(a.names[slot], data);
            if (a.name_count < DnsMaxNames)
                ++a.name_count;
        }
    }
}

} // namespace

int dns_build_query(uint8_t* out, int size, uint16_t id, const char* name, int type)
{
    size_t length = strlen(name);
    // Header, the labels with their length bytes, the root, type and class.
    if (length == 0 || length > MaxNameLength || HeaderSize + static_cast<int>(length) + 2 + 4 > size)
        return 0;
    static const uint8_t header[HeaderSize] = {0, 0, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0};
    memcpy(out, header, HeaderSize);
    out[0] = static_cast<uint8_t>(id >> 8);
    out[1] = static_cast<uint8_t>(id);
    int at = HeaderSize;
    for (const char* p = name; *p;) {
        const char* end = strchr(p, '.');
        int label = end ? static_cast<int>(end - p) : static_cast<int>(strlen(p));
        if (label == 0 || label > 63)
            return 0;
        out[at++] = static_cast<uint8_t>(label);
        memcpy(out + at, p, label);
        at += label;
        p += label;
        if (*p && !*++p)
            return 0; // a trailing dot
    }
    out[at++] = 0;
    out[at++] = 0;
    out[at++] = static_cast<uint8_t>(type);
    out[at++] = 0;
    out[at++] = 1;
    return at;
}

void dns_parse(const uint8_t* m, int size, uint16_t id, const char* name, int type, DnsAnswer& a)
{
    a = DnsAnswer{};
    a.result = DnsMalformed;
    if (size < HeaderSize)
        return;
    if (get16(m) != id) {
        a.result = DnsWrongId;
        return;
    }
    int flags = get16(m + 2);
    // An answer (QR) to a standard query.
    if (!(flags & 0x8000) || (flags & 0x7800))
        return;
    char asked[DnsNameSize];
    int at = HeaderSize;
    if (get16(m + 4) != 1 || !read_name(m, size, &at, asked) || at + 4 > size) {
        a.result = get16(m + 4) != 1 ? DnsWrongQuestion : DnsMalformed;
        return;
    }
    if (!same_name(asked, name) || get16(m + at) != type || get16(m + at + 2) != 1) {
        a.result = DnsWrongQuestion;
        return;
    }
    at += 4;
    if (flags & 0x0200) {
        a.result = DnsTruncated;
        return;
    }
    int rcode = flags & 0xF;
    a.result = rcode == 0 ? DnsAnswered : rcode == 3 ? DnsNoName : rcode == 2 ? DnsServerFail
             : rcode == 5 ? DnsRefused : DnsOtherError;
    if (rcode == 0)
        parse_records(m, size, at, get16(m + 6), name, type, a);
    if (a.result != DnsAnswered)
        a.address_count = a.name_count = 0;
}

void dns_ask(const DnsServer& server, const char* name, int type, DnsAnswer& answer, DWORD deadline_ms,
             HANDLE life_over)
{
    answer = DnsAnswer{};
    uint8_t query[HeaderSize + DnsNameSize + 6];
    uint16_t id = random_id();
    int length = dns_build_query(query, sizeof query, id, name, type);
    if (length == 0) {
        answer.result = DnsMalformed;
        return;
    }
    SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s == INVALID_SOCKET) {
        answer.result = DnsSocketError;
        return;
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = server.address;
    to.sin_port = htons(server.port);
    // What was refused last, should nothing better come: a stray answer is
    // waited past, but the reason stays.
    int refused = DnsTimedOut;
    int sends = 0;
    DWORD resend_at = GetTickCount();
    // On the stack: an errand that a stop left running shares nothing.
    uint8_t buffer[MaxMessage + 1];
    for (;;) {
        if (WaitForSingleObject(life_over, 0) == WAIT_OBJECT_0) {
            answer.result = DnsStopped;
            break;
        }
        DWORD now = GetTickCount();
        int left = static_cast<int>(deadline_ms - now);
        if (left <= 0) {
            answer.result = refused;
            break;
        }
        if (sends < 2 && static_cast<int>(resend_at - now) <= 0) {
            sendto(s, reinterpret_cast<const char*>(query), length, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
            ++sends;
            resend_at = now + ResendMs;
        }
        DWORD slice = static_cast<DWORD>(left) < SliceMs ? static_cast<DWORD>(left) : SliceMs;
        timeval limit = {0, static_cast<long>(slice * 1000)};
        struct OneSocket {
            u_int count;
            SOCKET socket;
        } ready = {1, s};
        if (select(0, reinterpret_cast<fd_set*>(&ready), nullptr, nullptr, &limit) <= 0)
            continue;
        sockaddr_in from{};
        int from_size = sizeof from;
        int got = recvfrom(s, reinterpret_cast<char*>(buffer), sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from),
                           &from_size);
        if (got < 0) {
            // Nothing listens there (an ICMP port unreachable), or worse.
            answer.result = WSAGetLastError() == WSAEMSGSIZE ? DnsMalformed : DnsSocketError;
            break;
        }
        if (from.sin_addr.s_addr != server.address || from.sin_port != to.sin_port)
            continue;
        if (got > MaxMessage) {
            answer.result = DnsMalformed;
            break;
        }
        dns_parse(buffer, got, id, name, type, answer);
        if (answer.result != DnsWrongId && answer.result != DnsWrongQuestion)
            break;
        refused = answer.result;
    }
    closesocket(s);
}

int dns_system_server(DnsServer& server)
{
    // Room for the fixed part and a few more servers' entries.
    union {
        FIXED_INFO info;
        char room[4096];
    } params;
    ULONG size = sizeof params;
    if (GetNetworkParams(&params.info, &size) != ERROR_SUCCESS)
        return 0;
    params.info.DnsServerList.IpAddress.String[sizeof params.info.DnsServerList.IpAddress.String - 1] = '\0';
    server.address = inet_addr(params.info.DnsServerList.IpAddress.String);
    server.port = 53;
    return server.address != INADDR_NONE && server.address != 0;
}

const char* dns_result_text(int result)
{
    static const char* const texts[] = {"answered",
                                        "no such name",
                                        "server failure (SERVFAIL)",
                                        "query refused",
                                        "error answer",
                                        "malformed answer",
                                        "answer truncated",
                                        "answer to another question",
                                        "answer with a wrong id",
                                        "timed out",
                                        "stopped",
                                        "no socket"};
    static_assert(sizeof texts / sizeof *texts == DnsResultCount);
    return result >= 0 && result < DnsResultCount ? texts[result] : "";
}
