// The daemon's process-wide state, shared by the entry points, the control
// thread, the settings and the reports.
#pragma once

#include <windows.h>

#include <cstdint>

#include "platform/host_interface.h"

extern HINSTANCE ModuleInstance;
extern volatile LONG Resident;
extern volatile LONG StopRequested;
extern volatile DWORD ThreadId;
extern HANDLE ThreadHandle;
// Signalled by closedown, so that every wait of the control thread ends at once.
extern HANDLE StopEvent;
extern HostInterface* HostInterfaceCopy;
// Counts the lives of this mapped image (startup to closedown): what a life
// leaves on disk carries its number, so that an errand of an ended life never
// meets the files of a later one.
extern uint32_t LifeNumber;

// Statistics categories of the module "HostStatus"; 0 when not registered.
extern StatHandle Failures;
extern StatHandle FailedHost;
extern StatHandle LowDiskSpace;
extern StatHandle TotalTests;
// Bumps of a registered Failures since startup.
extern volatile LONG FailuresTallied;

// The drive under test and its free megabytes: set by the disk test, read
// by the disk reports.
extern char CurrentDrivePath[12];
extern int32_t CurrentFreeMB;

// What a service, mail flow or certificate report says of its event (why
// the service did not answer, which probe was lost, the certificate):
// set by the check, read by its reports.
extern char CurrentReason[200];
// The days left of the certificate in a certificate notice.
extern int32_t CurrentDaysLeft;
