#include "platform/daemon_state.h"

HINSTANCE ModuleInstance;
volatile LONG Resident;
volatile LONG StopRequested;
volatile DWORD ThreadId;
HANDLE ThreadHandle;
HANDLE StopEvent;
HostInterface* HostInterfaceCopy;
uint32_t LifeNumber;

StatHandle Failures;
StatHandle FailedHost;
StatHandle LowDiskSpace;
StatHandle TotalTests;
volatile LONG FailuresTallied;

void tally_statistic(StatHandle category)
{
    // An unregistered Failures is 0, like every other failed registration.
    if (category != 0 && category == Failures)
        InterlockedIncrement(&FailuresTallied);
}

char CurrentDrivePath[12];
int32_t CurrentFreeMB;
char CurrentReason[200];
int32_t CurrentDaysLeft;
