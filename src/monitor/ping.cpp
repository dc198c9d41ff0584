// One host, once: its address and one ICMP echo. The look-up of a name and
// the echo run on a thread of their own, and the wait for them ends at once
// when closedown signals the stop event, so that a stop never has to kill the control thread inside
// the sockets or the ICMP library (their locks would stay held in the mail
// server's process). The echo is the plain synchronous one: Wine's
// asynchronous echo with an event writes into freed memory when it ends.
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
// library that never returns from holding the control thread.
constexpr DWORD EchoWaitMarginMs = 1000;

// A call that may block for seconds, run on a helper thread: a name look-up
// or one echo (the handle opened, used and closed there, so that a stop
// never closes it under a running echo).
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
typedef void (*ErrandWork)(Errand& errand);

// The errand in the hands of the helper thread. Only the control thread
// sends errands, one at a time; one that a stop left running keeps the slot
// (and its reply buffer) until its thread ends.
Errand Shared;
ErrandWork SharedWork;
volatile LONG SharedBusy;

enum { ErrandStopped = 0, ErrandDone = 1, ErrandTimedOut = 2 };

// Holds a reference to this library, taken for it by start_helper, so that
// an unload after a stop waits until the errand has ended.
DWORD WINAPI helper(LPVOID module)
{
    SharedWork(Shared);
    InterlockedExchange(&SharedBusy, 0);
    FreeLibraryAndExitThread(static_cast<HMODULE>(module), 0);
}

HANDLE start_helper()
{
    HMODULE module;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCSTR>(&helper), &module))
        return nullptr;
    DWORD id;
    HANDLE thread = Platform.CreateThread(helper, module, &id);
    if (thread == nullptr)
        FreeLibrary(module);
    return thread;
}

// Runs work on errand on a helper thread and waits for its end, a stop or
// the limit. Without a helper thread the work is done here, and a stop then
// has to wait for it.
int run_errand(ErrandWork work, Errand& errand, DWORD limit_ms)
{
    HANDLE thread = nullptr;
    if (InterlockedCompareExchange(&SharedBusy, 1, 0) == 0) {
        Shared = errand;
        SharedWork = work;
        thread = start_helper();
        if (thread == nullptr)
            InterlockedExchange(&SharedBusy, 0);
    }
    if (thread == nullptr) {
        work(errand);
        return ErrandDone;
    }
    // A stop comes first when both are there: the errand is then no answer.
    const HANDLE waits[] = {StopEvent, thread};
    DWORD woke = Platform.WaitForMultipleObjects(2, waits, limit_ms);
    CloseHandle(thread);
    if (woke == WAIT_OBJECT_0 + 1) {
        errand = Shared;
        return ErrandDone;
    }
    return woke == WAIT_OBJECT_0 ? ErrandStopped : ErrandTimedOut;
}

void look_up(Errand& lookup)
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

// One echo with its own handle; the error numbers are taken on this thread.
void send_echo(Errand& echo)
{
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
    if (run_errand(look_up, lookup, INFINITE) == ErrandStopped)
        return PingStopped;
    *address = lookup.address;
    if (lookup.address != INADDR_NONE)
        return 1;
    host_log_format(host, 10, 15, "Error %d finding address %s", lookup.error, name);
    host_bump_statistic(host, Failures);
    return 0;
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

    Errand echo{};
    echo.target = address;
    echo.timeout = timeout;
    int done = run_errand(send_echo, echo, timeout + EchoWaitMarginMs);
    if (done == ErrandStopped)
        return PingStopped;
    if (done == ErrandTimedOut) {
        // The helper still holds the handle and closes it when the library lets go.
        echo.opened = echo.closed = 1;
        echo.replies = 0;
        echo.echo_error = IP_REQ_TIMED_OUT;
    }
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
