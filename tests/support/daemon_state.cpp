#include "test_support.h"

#include <cstring>

#include "platform/daemon_state.h"
#include "monitor/monitor.h"
#include "settings/settings.h"

void reset_daemon_state()
{
    Settings = settings_at_start();
    Recipients = RecipientLists{};
    memset(HostState, 0, sizeof HostState);
    memset(ServiceState, 0, sizeof ServiceState);
    memset(DriveState, 0, sizeof DriveState);
    ModulesTakenOffline = 0;
    MemoryReportCountdown = 0;
    memset(CurrentDrivePath, 0, sizeof CurrentDrivePath);
    CurrentFreeMB = 0;
    memset(CurrentServiceReason, 0, sizeof CurrentServiceReason);
    Resident = 0;
    StopRequested = 0;
    ThreadId = 0;
    ThreadHandle = nullptr;
    StopEvent = nullptr;
    HostInterfaceCopy = nullptr;
    Failures = FailedHost = LowDiskSpace = TotalTests = 0;
    reset_status();
}
