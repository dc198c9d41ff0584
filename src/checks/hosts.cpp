// The host reachability check: one ICMP echo per host and cycle. The
// look-up of a name and the echo run as errands, so that a stop never has to
// kill the control thread inside the sockets or the ICMP library (their locks
// would stay held in the mail server's process). The echo is the plain
// synchronous one: Wine's asynchronous echo with an event writes into freed
// memory when it ends.
#include "checks/hosts.h"

#include <cstring>

#include "cycle/errand.h"
#include "cycle/pacing.h"
#include "platform/daemon_state.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "report/report.h"
#include "settings/settings.h"

namespace {

int copy_host_name(int index, char (&name)[HostNameSize])
{
    return copy_slot_name(Settings.HostNames, Settings.HostCount, index, name);
}

// One echo reply record with an empty payload, plus the 8 bytes the ICMP
// library wants on top for an ICMP error message.
constexpr DWORD ReplySize = sizeof(ICMP_ECHO_REPLY) + 8;
static_assert(ReplySize == 36);

// A look-up or one echo, run as an errand: the ICMP handle is opened, used
// and closed on the errand thread, so a stop never closes it under a running
// echo.
struct Errand {
    // look-up
    char name[HostNameSize];
    IPAddr address; // INADDR_NONE when not found
    int error;      // WSAGetLastError of the thread that looked it up
    // echo
    IPAddr target;
    DWORD timeout;
    int opened;
    DWORD open_error;
    alignas(ICMP_ECHO_REPLY) unsigned char reply[ReplySize];
    DWORD replies;
    DWORD echo_error;
    int closed;
    DWORD close_error;
};

void look_up(void* data, HANDLE)
{
    Errand& lookup = *static_cast<Errand*>(data);
    lookup.address = look_up_name(lookup.name, &lookup.error);
}

// One echo with its own handle; the error numbers are taken on this thread.
void send_echo(void* data, HANDLE)
{
    Errand& echo = *static_cast<Errand*>(data);
    HANDLE icmp = Platform.IcmpCreateFile();
    echo.opened = icmp != INVALID_HANDLE_VALUE;
    if (!echo.opened) {
        echo.open_error = Platform.GetLastError();
        return;
    }
    // Any stored reply counts as an answer, whatever its status.
    echo.replies = Platform.IcmpSendEcho(icmp, echo.target, nullptr, 0, nullptr, echo.reply, sizeof echo.reply,
                                         echo.timeout);
    if (echo.replies == 0)
        echo.echo_error = Platform.GetLastError();
    echo.closed = Platform.IcmpCloseHandle(icmp);
    if (!echo.closed)
        echo.close_error = Platform.GetLastError();
}

// The IPv4 address of name, in network order: 1 found, 0 not found (logged
// and counted), PingStopped.
int resolve(const HostInterface* host, const char* name, IPAddr* address)
{
    *address = Platform.inet_addr(name);
    if (*address != INADDR_NONE)
        return 1;
    Errand lookup{};
    copy_text(lookup.name, name);
    if (run_errand(look_up, lookup) == ErrandStopped)
        return PingStopped;
    *address = lookup.address;
    if (lookup.address != INADDR_NONE)
        return 1;
    host_log_format(host, 10, 15, "Error %d finding address %s", lookup.error, name);
    host_bump_statistic(host, Failures);
    return 0;
}

} // namespace

IPAddr look_up_name(const char* name, int* error)
{
    IPAddr address = INADDR_NONE;
    const hostent* entry = Platform.gethostbyname(name);
    *error = 0;
    if (entry && entry->h_addrtype == AF_INET && entry->h_length == sizeof address && entry->h_addr_list &&
        entry->h_addr_list[0])
        memcpy(&address, entry->h_addr_list[0], sizeof address);
    else
        *error = Platform.WSAGetLastError();
    return address;
}

int ping_host(int index)
{
    const HostInterface* host = HostInterfaceCopy;
    char name[HostNameSize];
    if (!copy_host_name(index, name))
        return 0;
    lock_settings();
    DWORD timeout = Settings.EchoTimeout;
    unlock_settings();

    IPAddr address;
    int found = resolve(host, name, &address);
    if (found != 1)
        return found;

    Errand echo{};
    echo.target = address;
    echo.timeout = timeout;
    if (run_errand(send_echo, echo) == ErrandStopped)
        return PingStopped;
    if (!echo.opened) {
        host_log_format(host, 11, 15, "Error %d opening ICMP", static_cast<int>(echo.open_error));
        host_bump_statistic(host, Failures);
        return 0;
    }
    if (echo.replies == 0)
        host_log_format(host, 11, 20, "Error %d receiving ICMP echo", static_cast<int>(echo.echo_error));
    if (!echo.closed) {
        host_log_format(host, 11, 15, "Error %d closing ICMP", static_cast<int>(echo.close_error));
        host_bump_statistic(host, Failures);
    }
    return echo.replies > 0;
}

PollReading HostReadings[MaxHosts];

void poll_hosts(const HostInterface* host)
{
    static const PollTexts texts = {Host, "Host %s is ON again.", "Host %s is dead."};
    for (int i = 0;; ++i) {
        char name[HostNameSize];
        if (!copy_host_name(i, name))
            break;
        int answered = ping_host(i);
        if (answered == PingStopped)
            break;
        PollOutcome outcome;
        if (record_slot_poll(Settings.HostNames, Settings.HostCount, HostState, HostReadings, i, name, answered, outcome)) {
            if (!answered)
                host_log_format(host, 20, 15, "Host %s doesn't respond.", name);
            tell_poll(host, texts, i, name, answered, outcome);
        }
        if (!pause_after_item())
            break;
    }
}
