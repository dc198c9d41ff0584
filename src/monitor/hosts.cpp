// The host reachability test: one ICMP echo per host and cycle, and the
// per-host state machine that turns misses into dead and recovery reports.
#include "monitor/monitor.h"

#include <cstring>

#include "platform/daemon_state.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "report/report.h"
#include "settings/settings.h"

namespace {

// One echo reply record with an empty payload, plus the 8 bytes the ICMP
// library wants on top for an ICMP error message.
constexpr DWORD ReplySize = sizeof(ICMP_ECHO_REPLY) + 8;
static_assert(ReplySize == 36);

// Copies the name of host slot index, under the lock; 0 when the slot is
// not (or no longer) part of the table.
int copy_host_name(int index, char (&name)[HostNameSize])
{
    lock_settings();
    int configured = index >= 0 && index < Settings.HostCount && index < MaxHosts;
    if (configured)
        copy_text(name, Settings.HostNames[index]);
    unlock_settings();
    return configured;
}

// The IPv4 address of name, in network order, or INADDR_NONE after logging
// why there is none.
IPAddr resolve(const HostInterface* host, const char* name)
{
    IPAddr address = Platform.inet_addr(name);
    if (address != INADDR_NONE)
        return address;
    const hostent* entry = Platform.gethostbyname(name);
    if (entry && entry->h_addrtype == AF_INET && entry->h_length == sizeof address &&
        entry->h_addr_list && entry->h_addr_list[0]) {
        memcpy(&address, entry->h_addr_list[0], sizeof address);
        return address;
    }
    host_log_format(host, 10, 15, "Error %d finding address %s", Platform.WSAGetLastError(), name);
    host_bump_statistic(host, Failures);
    return INADDR_NONE;
}

// Applies one poll's answer to the state of host index. Called with the
// lock held; name is the name that was pinged.
void record_poll(const HostInterface* host, int index, const char* name, int answered)
{
    HostStateEntry& state = HostState[index];
    if (answered) {
        // Only a host that missed at least once can come back, also when a
        // negative Retry would call every host dead.
        if (state.MissCount > 0 && state.MissCount > Settings.Retry) {
            host_log_format(host, 20, 25, "Host %s is ON again.", name);
            send_report(Host, index, 0);
        }
        state.MissCount = 0;
        state.DeadReportCounter = 0;
        return;
    }
    host_log_format(host, 20, 15, "Host %s doesn't respond.", name);
    ++state.MissCount;
    if (state.MissCount > Settings.Retry) {
        host_log_format(host, 20, 15, "Host %s is dead.", name);
        if (state.DeadReportCounter++ == 0)
            send_report(Host, index, 1);
        if (state.DeadReportCounter >= Settings.Suspend)
            state.DeadReportCounter = 0;
    }
    host_bump_statistic(host, FailedHost);
}

} // namespace

int ping_host(int index)
{
    const HostInterface* host = HostInterfaceCopy;
    char name[HostNameSize];
    if (!copy_host_name(index, name))
        return 0;
    lock_settings();
    DWORD timeout = Settings.EchoTimeout;
    unlock_settings();

    IPAddr address = resolve(host, name);
    if (address == INADDR_NONE)
        return 0;

    HANDLE icmp = Platform.IcmpCreateFile();
    if (icmp == INVALID_HANDLE_VALUE) {
        host_log_format(host, 11, 15, "Error %d opening ICMP", static_cast<int>(Platform.GetLastError()));
        host_bump_statistic(host, Failures);
        return 0;
    }
    // Any stored reply counts as an answer, whatever its status.
    alignas(ICMP_ECHO_REPLY) unsigned char reply[ReplySize];
    DWORD replies = Platform.IcmpSendEcho(icmp, address, nullptr, 0, nullptr, reply, sizeof reply, timeout);
    if (replies == 0)
        host_log_format(host, 11, 20, "Error %d receiving ICMP echo", static_cast<int>(Platform.GetLastError()));
    if (!Platform.IcmpCloseHandle(icmp)) {
        host_log_format(host, 11, 15, "Error %d closing ICMP", static_cast<int>(Platform.GetLastError()));
        host_bump_statistic(host, Failures);
    }
    return replies > 0;
}

void poll_hosts(const HostInterface* host)
{
    for (int i = 0;; ++i) {
        char name[HostNameSize];
        if (!copy_host_name(i, name))
            break;
        int answered = ping_host(i);
        // A reload may have shrunk or rewritten the table during the ping:
        // the answer belongs only to the host that was pinged.
        lock_settings();
        if (i < Settings.HostCount && strncmp(Settings.HostNames[i], name, HostNameSize) == 0)
            record_poll(host, i, name, answered);
        unlock_settings();
        if (!pause_after_item())
            break;
    }
}
