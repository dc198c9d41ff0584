// Process-wide state of the loaded daemon and its exported entry points.
#pragma once

#include <windows.h>

#include "host/host_interface.h"

extern HINSTANCE ModuleInstance;
extern volatile LONG Resident;
extern volatile LONG StopRequested;
extern volatile DWORD ThreadId;
extern HANDLE ThreadHandle;
// Signalled by closedown, so that every wait of the control thread ends at once.
extern HANDLE StopEvent;
extern HostInterface* HostInterfaceCopy;

// Statistics categories of the module "HostStatus"; 0 when not registered.
extern StatHandle Failures;
extern StatHandle FailedHost;
extern StatHandle LowDiskSpace;
extern StatHandle TotalTests;

// Accepts the host's API version: 1 to go on, 0 when the user declined an
// older host. Newer hosts are accepted with a warning in the log.
int check_host_version(const HostInterface* host);

extern "C" {
short __cdecl startup(HostInterface* host);
short __cdecl closedown();
short __cdecl daemon(Job job, HostInterface* host);
short __cdecl configure(HostInterface* host, const char* text);
}
