#include <cstdint>

#include "platform/daemon_state.h"
#include "monitor/monitor.h"
#include "platform/platform.h"
#include "settings/settings.h"

namespace {

constexpr DWORD StartDelayMs = 100;
constexpr DWORD ItemPauseMs = 60;
constexpr DWORD MsPerMinute = 60000;

// Every wait of the thread ends early when closedown signals the stop event.
void wait_unless_stopped(DWORD ms)
{
    Platform.WaitForSingleObject(StopEvent, ms);
}

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
        poll_hosts(host);
        test_memory(host);
        test_disks(host);
        check_services(host);
        check_mail_flow(host);
        end_of_cycle(host);
        DWORD interval = poll_interval_ms();
        if (interval != 0)
            wait_unless_stopped(interval);
    }
    ThreadId = 0;
    return 0;
}

int pause_after_item()
{
    if (StopRequested)
        return 0;
    wait_unless_stopped(ItemPauseMs);
    // A stop that cut the pause short ends the loop too: the next item could
    // be a ping that outlasts closedown's grace.
    return !StopRequested;
}
