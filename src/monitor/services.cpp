// The service checks: a connection to each entry of [Services] and, for
// the mail protocols, their greeting, judged by the host test's rules.
#include <winsock.h>

#include "monitor/monitor.h"

#include "monitor/errand.h"
#include "platform/daemon_state.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "report/report.h"
#include "settings/settings.h"

namespace {

// Connect and greeting together.
constexpr DWORD CheckLimitMs = 10000;
// How much of an unexpected greeting the log and the report show.
constexpr int ShownGreeting = 60;

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

// Waits, within what is left of the limit, until the socket is readable
// (or, for a connect, writable or failed); the select result.
int wait_for(SOCKET s, DWORD start, bool connecting)
{
    DWORD spent = GetTickCount() - start;
    DWORD left = spent < CheckLimitMs ? CheckLimitMs - spent : 0;
    timeval limit = {static_cast<long>(left / 1000), static_cast<long>(left % 1000 * 1000)};
    // A set of one: select reads only as many sockets as the count says.
    struct OneSocket {
        u_int count;
        SOCKET socket;
    } ready = {1, s}, failed = ready;
    fd_set* one = reinterpret_cast<fd_set*>(&ready);
    return select(0, connecting ? nullptr : one, connecting ? one : nullptr, reinterpret_cast<fd_set*>(&failed),
                  &limit);
}

int connect_within_limit(ServiceCheck& check, SOCKET s, const Address& address, DWORD start)
{
    u_long nonblocking = 1;
    ioctlsocket(s, FIONBIO, &nonblocking);
    if (connect(s, reinterpret_cast<const sockaddr*>(address.bytes), address.size) != 0)
        check.error = WSAGetLastError();
    if (check.error == WSAEWOULDBLOCK) {
        int ready = wait_for(s, start, true);
        if (ready == 0)
            return ServiceTimedOut;
        // A failed connect shows as ready too: its error says which.
        int size = sizeof check.error;
        if (ready < 0 || getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&check.error), &size) != 0)
            check.error = WSAGetLastError();
    }
    if (check.error == 0)
        return ServiceAnswered;
    return check.error == WSAECONNREFUSED ? ServiceRefused : ServiceConnectError;
}

// Reads until the first line has ended; it may come in pieces. 1 when it did.
int read_greeting(ServiceCheck& check, SOCKET s, DWORD start)
{
    while (check.greeting_size < GreetingSize && wait_for(s, start, false) > 0) {
        int got = recv(s, check.greeting + check.greeting_size, GreetingSize - check.greeting_size, 0);
        if (got <= 0)
            return 0;
        for (; got > 0; --got)
            if (check.greeting[check.greeting_size++] == '\n')
                return 1;
    }
    return 0;
}

int talk(ServiceCheck& check, SOCKET s, const Address& address, DWORD start)
{
    int outcome = connect_within_limit(check, s, address, start);
    const ServiceKind& kind = ServiceKinds[check.target.protocol];
    if (outcome != ServiceAnswered || kind.greeting[0] == '\0')
        return outcome;
    int greeted = read_greeting(check, s, start);
    // A goodbye whatever came, so that the server need not wait for its timeout.
    send(s, kind.goodbye, static_cast<int>(strlen(kind.goodbye)), 0);
    if (!greeted)
        return ServiceNoGreeting;
    return strncmp(check.greeting, kind.greeting, strlen(kind.greeting)) == 0 ? ServiceAnswered
                                                                               : ServiceWrongGreeting;
}

// Why a check missed, by its outcome: an unexpected greeting shows its
// start, the others their error number, if any.
const char* const MissReasons[] = {"",
                                   "connection refused",
                                   "connection timed out",
                                   "no greeting",
                                   "unexpected greeting '%s'",
                                   "error %d finding address",
                                   "error %d connecting"};
static_assert(sizeof MissReasons / sizeof *MissReasons == ServiceConnectError + 1);

void describe_miss(const ServiceCheck& check, char (&reason)[sizeof CurrentReason])
{
    const char* format = MissReasons[check.outcome];
    if (check.outcome != ServiceWrongGreeting) {
        format_text(reason, sizeof reason, format, check.error);
        return;
    }
    // Made printable, and always an argument: the greeting is the server's text.
    char shown[ShownGreeting + 1];
    int n = 0;
    for (; n < ShownGreeting && n < check.greeting_size && check.greeting[n] != '\r' && check.greeting[n] != '\n'; ++n) {
        unsigned char c = static_cast<unsigned char>(check.greeting[n]);
        shown[n] = c < ' ' || c > '~' ? '?' : static_cast<char>(c);
    }
    shown[n] = '\0';
    format_text(reason, sizeof reason, format, shown);
}

// The errand's work: resolve, connect, read the greeting, say goodbye,
// close. Touches nothing but the check.
void check_service(void* data, HANDLE)
{
    ServiceCheck& check = *static_cast<ServiceCheck*>(data);
    Address address{};
    // A slow name server is waited for as a host's look-up is: the limit
    // starts once the address is known.
    if (!resolve(check, address)) {
        check.outcome = ServiceUnresolvable;
        return;
    }
    DWORD start = GetTickCount();
    SOCKET s = socket(reinterpret_cast<const sockaddr*>(address.bytes)->sa_family, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) {
        check.error = WSAGetLastError();
        check.outcome = ServiceConnectError;
        return;
    }
    check.outcome = talk(check, s, address, start);
    closesocket(s);
}

} // namespace

void tell_service_check(const HostInterface* host, int index, const char* name, const ServiceCheck& check)
{
    static const PollTexts texts = {Service, "Service %s is ON again.", "Service %s is dead."};
    int answered = check.outcome == ServiceAnswered;
    PollOutcome outcome;
    if (!record_slot_poll(Settings.ServiceNames, Settings.ServiceCount, ServiceState, ServiceReadings, index, name, answered, outcome))
        return;
    if (!answered) {
        // The daemon's own trouble counts as a failure too, as for a host.
        if (check.outcome == ServiceUnresolvable)
            host_bump_statistic(host, Failures);
        describe_miss(check, CurrentReason);
        host_log_format(host, 20, 15, "Service %s doesn't answer: %s.", name, CurrentReason);
    }
    tell_poll(host, texts, index, name, answered, outcome);
}

void check_services(const HostInterface* host)
{
    for (int i = 0;; ++i) {
        char name[ServiceNameSize];
        if (!copy_slot_name(Settings.ServiceNames, Settings.ServiceCount, i, name))
            break;
        ServiceCheck check{};
        // Only entries that parse are in the table.
        if (parse_service(name, check.target)) {
            if (run_errand(check_service, check) == ErrandStopped)
                break;
            tell_service_check(host, i, name, check);
        }
        if (!pause_after_item())
            break;
    }
}
