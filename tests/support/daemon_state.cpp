#include "test_support.h"

#include <cstring>

#include "host/daemon.h"
#include "platform/daemon_state.h"
#include "monitor/monitor.h"
#include "settings/settings.h"

void reset_daemon_state()
{
    begin_fresh_life();
    memset(CurrentDrivePath, 0, sizeof CurrentDrivePath);
    CurrentFreeMB = 0;
    memset(CurrentReason, 0, sizeof CurrentReason);
    Resident = 0;
    ThreadId = 0;
    ThreadHandle = nullptr;
    StopEvent = nullptr;
    HostInterfaceCopy = nullptr;
    reset_status();
}
