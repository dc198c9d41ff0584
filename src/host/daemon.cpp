#include "host/daemon.h"

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

extern "C" short __cdecl startup(HostInterface* host)
{
    if (!host_record_usable(host))
        return 0;
    return 0;
}

extern "C" short __cdecl closedown()
{
    return 0;
}

extern "C" short __cdecl daemon(Job, HostInterface* host)
{
    if (!host_record_usable(host))
        return 0;
    return 0;
}

extern "C" short __cdecl configure(HostInterface* host, const char*)
{
    if (!host_record_usable(host))
        return 0;
    return 0;
}
