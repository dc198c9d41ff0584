#include "platform/daemon_state.h"

HINSTANCE ModuleInstance;
volatile LONG Resident;
volatile LONG StopRequested;
volatile DWORD ThreadId;
HANDLE ThreadHandle;
HANDLE StopEvent;
HostInterface* HostInterfaceCopy;

StatHandle Failures;
StatHandle FailedHost;
StatHandle LowDiskSpace;
StatHandle TotalTests;

char CurrentDrivePath[12];
int32_t CurrentFreeMB;
char CurrentServiceReason[100];
