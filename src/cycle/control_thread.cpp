#include "cycle/control_thread.h"

#include <cstdint>

#include "checks/drives.h"
#include "checks/hosts.h"
#include "checks/mail_flow.h"
#include "checks/memory.h"
#include "checks/services.h"
#include "cycle/pacing.h"
#include "cycle/poll_state.h"
#include "platform/daemon_state.h"
#include "report/ledger.h"
#include "settings/settings.h"
#include "status/end_of_cycle.h"

namespace {

constexpr DWORD StartDelayMs = 100;
constexpr DWORD MsPerMinute = 60000;

// The pause between cycles. PollTime can come from the dialog unchecked
// until the next load: a negative value waits one minute, and a huge one is
// held just below INFINITE rather than wrapping around.
DWORD poll_interval_ms()
{
    lock_settings();
    int minutes = Settings.PollTime;
    unlock_settings();
    if (minutes < 0)
        return MsPerMinute;
    uint64_t ms = static_cast<uint64_t>(minutes) * MsPerMinute;
    return ms < INFINITE ? static_cast<DWORD>(ms) : INFINITE - 1;
}

} // namespace

DWORD WINAPI control_thread(LPVOID)
{
    const HostInterface* host = HostInterfaceCopy;
    wait_unless_stopped(StartDelayMs);
    while (!StopRequested) {
        // Counted before the tests, so a cycle that hangs still shows.
        host_bump_statistic(host, TotalTests);
        ++CyclesStarted;
        ledger_begin_cycle();
        poll_hosts(host);
        test_memory(host);
        test_disks(host);
        check_services(host);
        check_mail_flow(host);
        ledger_flush(host);
        end_of_cycle(host);
        DWORD interval = poll_interval_ms();
        if (interval != 0)
            wait_unless_stopped(interval);
    }
    ThreadId = 0;
    return 0;
}
