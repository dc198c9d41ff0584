// The talk of a service check, on the errand thread: resolve, connect,
// read each reply to its final line, upgrade to TLS where the entry says
// so, say goodbye. Every wait is a slice of the check's limit that the
// life's end cuts short.
#include <winsock.h>

#include "checks/hosts.h"
#include "checks/services.h"
#include "checks/tls.h"
#include "platform/platform.h"
#include "platform/text.h"

namespace {

// Connect, greeting, upgrade and handshake together.
constexpr DWORD CheckLimitMs = 10000;
// The longest single wait of a check: a stop ends the check within it.
constexpr DWORD WaitSliceMs = 50;
// How long the answer to the goodbye is waited for.
constexpr DWORD GoodbyeMs = 1000;

// addrinfo as ws2_32 lays it out: Winsock 1.1 has no IPv6, and its address
// functions are looked up at run time, so that the DLL loads without them.
struct AddressInfo {
    int flags, family, socktype, protocol;
    size_t addrlen;
    char* canonname;
    sockaddr* addr;
    AddressInfo* next;
};
typedef int(WINAPI* GetAddrInfo)(const char*, const char*, const AddressInfo*, AddressInfo**);
typedef void(WINAPI* FreeAddrInfo)(AddressInfo*);
constexpr int Inet6 = 23;          // AF_INET6
constexpr int NumericHost = 4;     // AI_NUMERICHOST

// Room for an IPv4 or IPv6 socket address (the family in its first bytes).
struct Address {
    int size;
    alignas(8) char bytes[32];
};

// The address of an IPv6 literal; 0 with an error number when the system
// has no IPv6 address functions or does not take the literal. ws2_32 is
// there whenever wsock32 is, which rests on it.
int resolve_ipv6(const char* literal, Address& address, int* error)
{
    static const AddressInfo hints = {NumericHost, Inet6, SOCK_STREAM, 0, 0, nullptr, nullptr, nullptr};
    *error = WSAEAFNOSUPPORT;
    HMODULE library = GetModuleHandleA("ws2_32.dll");
    if (!library)
        return 0;
    auto get = reinterpret_cast<GetAddrInfo>(reinterpret_cast<void*>(GetProcAddress(library, "getaddrinfo")));
    auto release = reinterpret_cast<FreeAddrInfo>(reinterpret_cast<void*>(GetProcAddress(library, "freeaddrinfo")));
    if (!get || !release)
        return 0;
    AddressInfo* list = nullptr;
    *error = get(literal, nullptr, &hints, &list);
    int found = *error == 0 && list && list->addrlen <= sizeof address.bytes;
    if (found) {
        address.size = static_cast<int>(list->addrlen);
        memcpy(address.bytes, list->addr, list->addrlen);
    }
    if (list)
        release(list);
    return found;
}

// The address of the check's host with its port; 0 with check.error set
// when it cannot be found.
int resolve(ServiceCheck& check, Address& address)
{
    const ServiceTarget& target = check.target;
    if (target.ipv6) {
        if (!resolve_ipv6(target.host, address, &check.error))
            return 0;
    } else {
        sockaddr_in& in = *reinterpret_cast<sockaddr_in*>(address.bytes);
        in.sin_family = AF_INET;
        in.sin_addr.s_addr = Platform.inet_addr(target.host);
        if (in.sin_addr.s_addr == INADDR_NONE)
            in.sin_addr.s_addr = look_up_name(target.host, &check.error);
        if (in.sin_addr.s_addr == INADDR_NONE)
            return 0;
        address.size = sizeof in;
    }
    // The port, in network order, sits at the same place in both forms.
    address.bytes[2] = static_cast<char>(target.port >> 8);
    address.bytes[3] = static_cast<char>(target.port);
    return 1;
}

int connect_within_limit(ServiceCheck& check, const ServiceLink& link, const Address& address)
{
    u_long nonblocking = 1;
    ioctlsocket(link.socket, FIONBIO, &nonblocking);
    if (connect(link.socket, reinterpret_cast<const sockaddr*>(address.bytes), address.size) != 0)
        check.error = WSAGetLastError();
    if (check.error == WSAEWOULDBLOCK) {
        int ready = wait_for(link, true);
        if (ready == 0)
            return ServiceTimedOut;
        // A failed connect shows as ready too: its error says which.
        int size = sizeof check.error;
        if (ready < 0 ||
            getsockopt(link.socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&check.error), &size) != 0)
            check.error = WSAGetLastError();
    }
    if (check.error == 0)
        return ServiceAnswered;
    return check.error == WSAECONNREFUSED ? ServiceRefused : ServiceConnectError;
}

// What arrived within the limit, decrypted once the link is secure: the
// byte count, or 0 or less when nothing came.
int receive(const ServiceLink& link, char* data, int size)
{
    if (link.tls)
        return tls_receive(*link.tls, link, data, size);
    if (wait_for(link, false) <= 0)
        return 0;
    return recv(link.socket, data, size, 0);
}

void say(const ServiceLink& link, const char* text)
{
    if (link.tls)
        tls_send(*link.tls, link, text);
    else
        send_all(link, text, static_cast<int>(strlen(text)));
}

// Reads one reply to its final line, in as many pieces as it comes, within
// the limit: SMTP marks every other line with '-' after its code, and IMAP
// sends untagged '*' lines before a tagged answer. The final line is left
// in line (terminated; a longer one cut), and what came after it is no
// part of the reply and is dropped. offered is set when a line names offer
// after its code. 1 when the final line came.
int read_reply(const ServiceLink& link, bool tagged, const char* offer, char (&line)[GreetingSize + 1],
               int& length, int* offered)
{
    int size = 0, skipping = 0;
    for (;;) {
        char* end = static_cast<char*>(memchr(line, '\n', size));
        // A line too long for the buffer is judged by its start, and the
        // rest of it skipped.
        if (!skipping && (end || size == GreetingSize)) {
            int n = end ? static_cast<int>(end - line) : size;
            if (offer && n > 4 && _strnicmp(line + 4, offer, strlen(offer)) == 0 &&
                static_cast<unsigned char>(line[4 + strlen(offer)]) <= ' ')
                *offered = 1;
            if (!(n > 3 && line[3] == '-') && !(tagged && line[0] == '*')) {
                line[n] = '\0';
                length = n;
                return 1;
            }
            skipping = !end;
        }
        if (end) {
            size -= static_cast<int>(end + 1 - line);
            memmove(line, end + 1, size);
            skipping = 0;
            continue;
        }
        if (skipping)
            size = 0;
        int got = receive(link, line + size, GreetingSize - size);
        if (got <= 0)
            return 0;
        size += got;
    }
}

// The requests that upgrade a plain talk to TLS, in order, and how the
// final line of each reply starts when the server agrees. SMTP's EHLO
// reply must also offer STARTTLS on one of its lines.
const struct {
    int protocol;
    const char* request;
    const char* consent;
    const char* offer;
} UpgradeSteps[] = {
    {SmtpStarttls, "EHLO korval\r\n", "250", "STARTTLS"},
    {SmtpStarttls, "STARTTLS\r\n", "220", nullptr},
    {Pop3Starttls, "STLS\r\n", "+OK", nullptr},
    {ImapStarttls, "a1 STARTTLS\r\n", "a1 OK", nullptr},
};

// The upgrade of a plain talk; 1 when the server agreed to every step.
int upgrade(const ServiceLink& link, int protocol)
{
    for (const auto& step : UpgradeSteps) {
        if (step.protocol != protocol)
            continue;
        send_all(link, step.request, static_cast<int>(strlen(step.request)));
        char line[GreetingSize + 1];
        int length, offered = step.offer == nullptr;
        if (!read_reply(link, protocol == ImapStarttls, step.offer, line, length, &offered) || !offered ||
            strncmp(line, step.consent, strlen(step.consent)) != 0)
            return 0;
    }
    return 1;
}

// The talk of one check on a connecting socket; tls is the room for a TLS
// session when the entry wants one.
int talk(ServiceCheck& check, ServiceLink& link, const Address& address, TlsSession* tls)
{
    int outcome = connect_within_limit(check, link, address);
    const ServiceKind& kind = ServiceKinds[check.target.protocol];
    if (outcome != ServiceAnswered || kind.greeting[0] == '\0')
        return outcome;
    if (kind.tls == ImplicitTls && (outcome = tls_start(*tls, link, check)) != ServiceAnswered)
        return outcome;
    int greeted = read_reply(link, false, nullptr, check.greeting, check.greeting_size, nullptr);
    int welcome = greeted && strncmp(check.greeting, kind.greeting, strlen(kind.greeting)) == 0;
    if (welcome && kind.tls == StartTls) {
        if (!upgrade(link, check.target.protocol))
            outcome = ServiceNoStarttls;
        else if ((outcome = tls_start(*tls, link, check)) != ServiceAnswered)
            return outcome;
    }
    // A goodbye whatever came, so that the server need not wait for its
    // timeout; a server that talks as expected has its answer heard out, so
    // that it sees a clean end, for a second at most: the check is decided.
    // IMAP, whose greeting is untagged, tags it.
    say(link, kind.goodbye);
    if (welcome) {
        DWORD spent = GetTickCount() - link.start;
        if (spent < link.limit && link.limit - spent > GoodbyeMs)
            link.limit = spent + GoodbyeMs;
        char line[GreetingSize + 1];
        int length;
        read_reply(link, kind.greeting[0] == '*', nullptr, line, length, nullptr);
    }
    if (!greeted)
        return ServiceNoGreeting;
    return welcome ? outcome : ServiceWrongGreeting;
}

} // namespace

void check_service(void* data, HANDLE life_over)
{
    ServiceCheck& check = *static_cast<ServiceCheck*>(data);
    Address address{};
    // A slow name server is waited for as a host's look-up is: the limit
    // starts once the address is known.
    if (!resolve(check, address)) {
        check.outcome = ServiceUnresolvable;
        return;
    }
    // Without the system's TLS no answer could be judged: nothing is tried.
    if (ServiceKinds[check.target.protocol].tls != NoTls && !tls_load(check)) {
        check.outcome = ServiceTlsMissing;
        return;
    }
    ServiceLink link = {socket(reinterpret_cast<const sockaddr*>(address.bytes)->sa_family, SOCK_STREAM, 0),
                        GetTickCount(), CheckLimitMs, life_over, nullptr};
    if (link.socket == INVALID_SOCKET) {
        check.error = WSAGetLastError();
        check.outcome = ServiceConnectError;
        return;
    }
    if (ServiceKinds[check.target.protocol].tls == NoTls) {
        check.outcome = talk(check, link, address, nullptr);
    } else {
        // Its buffers live on this thread's stack, not in the errand's data.
        TlsSession tls{};
        check.outcome = talk(check, link, address, &tls);
        tls_end(tls, link);
    }
    closesocket(link.socket);
}

int wait_for(const ServiceLink& link, bool writable)
{
    // In slices, so that the end of the life ends the wait within one.
    for (;;) {
        if (WaitForSingleObject(link.life_over, 0) == WAIT_OBJECT_0)
            return 0;
        DWORD spent = GetTickCount() - link.start;
        DWORD left = spent < link.limit ? link.limit - spent : 0;
        DWORD slice = left < WaitSliceMs ? left : WaitSliceMs;
        timeval limit = {0, static_cast<long>(slice * 1000)};
        // A set of one: select reads only as many sockets as the count says.
        struct OneSocket {
            u_int count;
            SOCKET socket;
        } ready = {1, link.socket}, failed = ready;
        fd_set* one = reinterpret_cast<fd_set*>(&ready);
        int result =
            select(0, writable ? nullptr : one, writable ? one : nullptr, reinterpret_cast<fd_set*>(&failed), &limit);
        if (result != 0 || slice == left)
            return result;
    }
}

int send_all(const ServiceLink& link, const char* data, int size)
{
    while (size > 0) {
        int sent = send(link.socket, data, size, 0);
        if (sent > 0) {
            data += sent;
            size -= sent;
        } else if (WSAGetLastError() != WSAEWOULDBLOCK || wait_for(link, true) <= 0) {
            return 0;
        }
    }
    return 1;
}
