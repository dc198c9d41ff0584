#include "host/daemon.h"

#include <cstring>

#include "checks/mail_flow.h"
#include "checks/memory.h"
#include "checks/modules.h"
#include "cycle/control_thread.h"
#include "cycle/errand.h"
#include "host/alias.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "report/ledger.h"
#include "settings/settings.h"
#include "status/end_of_cycle.h"
#include "status/status_file.h"

namespace {

// Filled by the socket start-up, never read.
WSADATA SocketData;
// Set only when our own WSAStartup succeeded: an unmatched WSACleanup would
// take a start-up count away from the mail server's own sockets.
int SocketsStarted;

// The grace the control thread gets to leave by itself, and the settling
// time after it had to be stopped.
constexpr DWORD StopGraceMs = 500;
constexpr DWORD StopSettleMs = 100;
constexpr DWORD StartPauseMs = 100;

// The copy keeps 16 spare bytes after the record.
constexpr uint32_t CopySpareBytes = 16;

struct Category {
    const char* name;
    StatHandle* handle;
    const char* failure;
};

const Category Categories[] = {
    {"Failures", &Failures, "Unable to register Failure category"},
    {"FailedHost", &FailedHost, "Unable to register FailedHost category"},
    {"LowDiskSpace", &LowDiskSpace, "Unable to register LowDiskSpace category"},
    {"TotalTests", &TotalTests, "Unable to register TotalTests category"},
};

void register_statistics(const HostInterface* host)
{
    StatHandle module = host_register_module_statistics(host, "HostStatus");
    if (module == 0) {
        host_log_text(host, 10, 5, "Unable to register module statistic");
        return;
    }
    for (const Category& c : Categories) {
        *c.handle = host_register_statistic(host, module, c.name);
        if (*c.handle == 0)
            host_log_text(host, 10, 5, c.failure);
    }
}

// The stop event, the errand thread and the control thread; 0 when any of
// them could not be made.
int start_control_thread()
{
    StopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (StopEvent == nullptr)
        return 0;
    ++LifeNumber;
    if (start_errands()) {
        ThreadHandle = Platform.CreateThread(control_thread, nullptr, const_cast<DWORD*>(&ThreadId));
        if (ThreadHandle != nullptr)
            return 1;
        end_errands();
    }
    CloseHandle(StopEvent);
    StopEvent = nullptr;
    return 0;
}

// Logs the envelope sender of a mail delivered to the daemon and gives it
// in sender (empty when the host gives none).
void job_sender(const HostInterface* host, Job job, char (&sender)[ListSize])
{
    sender[0] = '\0';
    unsigned char info[JobInfoSize] = {};
    if (!host_get_job_info(host, job, info))
        return;
    const char* text;
    memcpy(&text, info + JobInfoSenderOffset, sizeof text);
    if (text == nullptr)
        return;
    host_log_format(host, 20, 15, "KORVAL: MailFrom: '%s'", text);
    copy_text(sender, text);
}

// The empty sender of a delivery failure notice. Such a notice answers one
// of our own reports and must not make the daemon reread.
int delivery_failure(const HostInterface* host, const char* sender)
{
    // Only the first '<' counts: "<x> <>" is an ordinary sender.
    const char* open = strchr(sender, '<');
    if (open == nullptr || open[1] != '>')
        return 0;
    host_log_text(host, 21, 15, "KORVAL: Delivery error encountered.");
    return 1;
}

// A mail from the daemon's own address while the mail flow check is on is
// one of its probes coming back (with or without angle brackets, in any
// case): it is logged with its round trip and rereads nothing.
int probe_back(const HostInterface* host, const char* sender)
{
    size_t length = strlen(sender);
    int bracketed = length >= 2 && sender[0] == '<' && sender[length - 1] == '>';
    uint32_t number = 0;
    uint64_t round_trip = 0;
    lock_settings();
    int own = Settings.Added.LostAfter > 0 && Settings.DaemonAddress[0] != '\0' &&
              strlen(Settings.DaemonAddress) == length - 2 * bracketed &&
              _strnicmp(sender + bracketed, Settings.DaemonAddress, length - 2 * bracketed) == 0;
    int in_flight = own && take_probe_back(MailFlow, Platform.MonotonicMs(), &number, &round_trip);
    unlock_settings();
    if (in_flight)
        host_log_format(host, 20, 25, "Mail flow probe %u back after %s s.", number, seconds_of(round_trip).text);
    else if (own)
        host_log_format(host, 20, 25, "Mail flow probe back with none in flight.");
    return own;
}

} // namespace

// A start after a completed closedown begins a fresh life, as a first load
// would: the image can still be mapped when the host loads it again, since
// an errand of the last life holds on to it until its call returns.
void begin_fresh_life()
{
    lock_settings();
    Settings = settings_at_start();
    Recipients = RecipientLists{};
    memset(HostState, 0, sizeof HostState);
    memset(DriveState, 0, sizeof DriveState);
    memset(ServiceState, 0, sizeof ServiceState);
    ModulesTakenOffline = 0;
    MailFlow = MailFlowState{};
    MailFlowPoll = HostStateEntry{};
    unlock_settings();
    CurrentDrivePath[0] = '\0';
    CurrentFreeMB = 0;
    CurrentReason[0] = '\0';
    CurrentDaysLeft = 0;
    MemoryReportCountdown = 0;
    Failures = FailedHost = LowDiskSpace = TotalTests = 0;
    StopRequested = 0;
}

int check_host_version(const HostInterface* host)
{
    int major = host->version_major;
    int minor = host->version_minor;
    if (major < 3 || (major == 3 && minor == 0)) {
        char text[200];
        format_text(text, sizeof text,
                    "KORVAL Daemon requires Mercury %d.%02d\r\n"
                    "             (current version is %d.%02d)\r\n"
                    "             Load anyway ?",
                    3, 1, major, minor);
        return Platform.MessageBoxA(nullptr, text, " Daemon Error", MB_YESNO | MB_ICONSTOP) == IDYES;
    }
    if (major == 3 || (major == 4 && minor <= 198))
        return 1;
    host_log_format(host, 0, 15, "KORVAL Daemon is designed for MercuryAPI %d.%02d - %d.%02d.", 3, 1, 4, 198);
    host_log_format(host, 0, 15, "Current version is %d.%02d,", major, minor);
    host_log_format(host, 0, 15, "   you may encounter some compatibility problem.");
    return 1;
}

extern "C" short __cdecl startup(HostInterface* host)
{
    if (!host_record_usable(host))
        return 0;
    // One life at a time: a second control thread would share the first
    // one's errands, and closedown could stop only one of them.
    if (ThreadHandle != nullptr) {
        host_log_text(host, 10, 15, "Daemon KORVAL.DLL is already running: startup ignored.");
        return 1;
    }
    if (!check_host_version(host))
        return 0;
    if (StopRequested)
        begin_fresh_life();
    Resident = 1;
    Platform.Sleep(StartPauseMs);
    host_log_text(host, 10, 5, "Daemon KORVAL.DLL started.");
    reset_status();
    reset_summaries();
    reset_ledger();
    register_statistics(host);

    int result = Platform.WSAStartup(0x0101, &SocketData);
    if (result != 0) {
        host_log_format(host, 10, 5, "Error %0X opening WinSock", result);
        host_bump_statistic(host, Failures);
        return 0;
    }
    SocketsStarted = 1;

    // A size so large that the spare bytes wrap around cannot be copied.
    // The new block stays local until it exists: a copy left by an earlier
    // start in this load must neither be taken for it nor be lost.
    uint32_t size = host->size;
    HostInterface* copy = nullptr;
    if (size <= UINT32_MAX - CopySpareBytes)
        copy = static_cast<HostInterface*>(Platform.HeapAlloc(size + CopySpareBytes));
    if (copy == nullptr) {
        host_log_text(host, 1, 5, "Unable to allocate memory for MI");
        host_bump_statistic(host, Failures);
        return 0;
    }
    // A copy left by an earlier start that failed goes: no thread calls
    // through it.
    if (HostInterfaceCopy != nullptr)
        Platform.HeapFree(HostInterfaceCopy);
    HostInterfaceCopy = copy;

    if (!init_settings(host))
        return 0;
    log_settings(host);
    // The probes of the mail flow check need the daemon's address to reach
    // the daemon.
    lock_settings();
    int probing = Settings.Added.LostAfter > 0;
    unlock_settings();
    if (probing)
        ensure_own_alias(host, 0);
    memcpy(HostInterfaceCopy, host, size);

    if (!start_control_thread()) {
        host_log_text(host, 1, 5, "Unable to Create Control Thread");
        host_bump_statistic(host, Failures);
        return 0;
    }
    host_log_text(host, 1, 25, "Korval thread created.");
    return 1;
}

extern "C" short __cdecl closedown()
{
    StopRequested = 1;
    if (StopEvent != nullptr)
        SetEvent(StopEvent);
    // Every wait of the thread ends at the stop event, and no blocking call
    // runs on it, so the grace is over as soon as the thread has left by
    // itself.
    if (ThreadHandle != nullptr && Platform.WaitForSingleObject(ThreadHandle, StopGraceMs) != WAIT_OBJECT_0) {
        if (ThreadId != 0) {
            Platform.TerminateThread(ThreadHandle, 0);
            ThreadId = 0;
            Platform.Sleep(StopSettleMs);
        } else {
            // It cleared ThreadId just at the mark: let it return, so that
            // no code of the library runs after closedown.
            Platform.WaitForSingleObject(ThreadHandle, INFINITE);
        }
    }
    end_errands();

    if (ThreadHandle != nullptr) {
        CloseHandle(ThreadHandle);
        ThreadHandle = nullptr;
    }
    if (StopEvent != nullptr) {
        CloseHandle(StopEvent);
        StopEvent = nullptr;
    }
    if (HostInterfaceCopy != nullptr) {
        Platform.HeapFree(HostInterfaceCopy);
        HostInterfaceCopy = nullptr;
    }
    if (SocketsStarted) {
        Platform.WSACleanup();
        SocketsStarted = 0;
    }
    return 0;
}

extern "C" short __cdecl daemon(Job job, HostInterface* host)
{
    if (!host_record_usable(host))
        return 0;
    if (!Resident) {
        host_log_text(host, 0, 5, "ERROR: KORVAL Daemon must run as resident");
        return 0;
    }
    char sender[ListSize];
    job_sender(host, job, sender);
    if (delivery_failure(host, sender) || probe_back(host, sender))
        return 0;

    host_log_format(host, 0, 5, "KORVAL reinit:");
    // A file with nothing to test is logged by init_settings; the alias and
    // the summary follow either way.
    init_settings(host);
    ensure_own_alias(host, 0);
    log_settings(host);
    return 0;
}
