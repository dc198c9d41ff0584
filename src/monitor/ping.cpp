// One host, once: its address and one ICMP echo. The look-up of a name runs
// on a thread of its own, and both waits end at once when closedown signals
// the stop event, so that a stop never has to kill the control thread inside
// the sockets or the ICMP library (their locks would stay held in the mail
// server's process).
#include "monitor/monitor.h"

#include <cstring>

#include "platform/daemon_state.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "settings/settings.h"

namespace {

// One echo reply record with an empty payload, plus the 8 bytes the ICMP
// library wants on top for an ICMP error message.
constexpr DWORD ReplySize = sizeof(ICMP_ECHO_REPLY) + 8;
static_assert(ReplySize == 36);

// The ICMP library times the echo out itself; the margin only keeps a
// library that never signals from holding the thread.
constexpr DWORD EchoWaitMarginMs = 1000;

// Not on the stack: an echo cut short by a stop may still be written here
// after the thread has moved on. Only the control thread sends echoes.
alignas(ICMP_ECHO_REPLY) unsigned char Reply[ReplySize];

struct Lookup {
    char name[HostNameSize];
    IPAddr address; // INADDR_NONE when not found
    int error;      // WSAGetLastError of the thread that looked it up
};

// The look-up in the hands of the resolver thread. Only the control thread
// starts look-ups, one at a time; one that a stop left running keeps the
// slot until its thread ends.
Lookup Shared;
volatile LONG SharedBusy;

void look_up(Lookup& lookup)
{
    const hostent* entry = Platform.gethostbyname(lookup.name);
    if (entry && entry->h_addrtype == AF_INET && entry->h_length == sizeof lookup.address &&
        entry->h_addr_list && entry->h_addr_list[0]) {
        memcpy(&lookup.address, entry->h_addr_list[0], sizeof lookup.address);
        lookup.error = 0;
        return;
    }
    lookup.address = INADDR_NONE;
    lookup.error = Platform.WSAGetLastError();
}

// Holds a reference to this library, taken for it by start_resolver, so that
// an unload after a stop waits until the look-up has ended.
DWORD WINAPI resolver(LPVOID module)
{
    look_up(Shared);
    InterlockedExchange(&SharedBusy, 0);
    FreeLibraryAndExitThread(static_cast<HMODULE>(module), 0);
}

HANDLE start_resolver()
{
    HMODULE module;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCSTR>(&resolver),
                            &module))
        return nullptr;
    DWORD id;
    HANDLE thread = Platform.CreateThread(resolver, module, &id);
    if (thread == nullptr)
        FreeLibrary(module);
    return thread;
}

// Looks name up; 0 when a stop came first.
int find_address(const char* name, Lookup& result)
{
    HANDLE thread = nullptr;
    if (InterlockedCompareExchange(&SharedBusy, 1, 0) == 0) {
        copy_text(Shared.name, name);
        thread = start_resolver();
        if (thread == nullptr)
            InterlockedExchange(&SharedBusy, 0);
    }
    if (thread == nullptr) {
        // No thread to be had: look it up here, as a stop then has to wait.
        copy_text(result.name, name);
        look_up(result);
        return 1;
    }
    const HANDLE waits[] = {thread, StopEvent};
    DWORD woke = Platform.WaitForMultipleObjects(2, waits, INFINITE);
    CloseHandle(thread);
    if (woke != WAIT_OBJECT_0)
        return 0;
    result = Shared;
    return 1;
}

// The IPv4 address of name, in network order: 1 found, 0 not found (logged
// and counted), PingStopped.
int resolve(const HostInterface* host, const char* name, IPAddr* address)
{
    *address = Platform.inet_addr(name);
    if (*address != INADDR_NONE)
        return 1;
    Lookup found;
    if (!find_address(name, found))
        return PingStopped;
    *address = found.address;
    if (found.address != INADDR_NONE)
        return 1;
    host_log_format(host, 10, 15, "Error %d finding address %s", found.error, name);
    host_bump_statistic(host, Failures);
    return 0;
}

// Sends the echo and waits for its end or a stop: the number of replies, or
// PingStopped. Without a reply, *error is the code to log.
int send_echo(HANDLE icmp, HANDLE done, IPAddr address, DWORD timeout, DWORD* error)
{
    DWORD replies = Platform.IcmpSendEcho2(icmp, done, address, nullptr, 0, nullptr, Reply, sizeof Reply, timeout);
    if (replies != 0)
        return replies;
    *error = Platform.GetLastError();
    if (*error != ERROR_IO_PENDING)
        return 0;
    const HANDLE waits[] = {done, StopEvent};
    DWORD woke = Platform.WaitForMultipleObjects(2, waits, timeout + EchoWaitMarginMs);
    if (woke == WAIT_OBJECT_0 + 1)
        return PingStopped;
    if (woke != WAIT_OBJECT_0) {
        *error = IP_REQ_TIMED_OUT;
        return 0;
    }
    // Any stored reply counts as an answer, whatever its status.
    replies = Platform.IcmpParseReplies(Reply, sizeof Reply);
    if (replies == 0)
        *error = Platform.GetLastError();
    return replies;
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

    IPAddr address;
    int found = resolve(host, name, &address);
    if (found != 1)
        return found;

    // The echo needs its own event to be waited for together with a stop.
    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE icmp = done ? Platform.IcmpCreateFile() : INVALID_HANDLE_VALUE;
    if (icmp == INVALID_HANDLE_VALUE) {
        host_log_format(host, 11, 15, "Error %d opening ICMP", static_cast<int>(Platform.GetLastError()));
        host_bump_statistic(host, Failures);
        if (done)
            CloseHandle(done);
        return 0;
    }
    DWORD error = 0;
    int replies = send_echo(icmp, done, address, timeout, &error);
    if (replies == 0)
        host_log_format(host, 11, 20, "Error %d receiving ICMP echo", static_cast<int>(error));
    // After a stop nothing more is said about this host.
    if (!Platform.IcmpCloseHandle(icmp) && replies != PingStopped) {
        host_log_format(host, 11, 15, "Error %d closing ICMP", static_cast<int>(Platform.GetLastError()));
        host_bump_statistic(host, Failures);
    }
    CloseHandle(done);
    return replies == PingStopped ? PingStopped : replies > 0;
}
