// Faults of Windows itself, as the daemon meets them: the stand-in patches
// the loaded daemon's imports so that its name look-ups or its ICMP handles
// fail, with the error numbers below, or so that a look-up or one drive's
// free-space query keeps the daemon waiting.
#pragma once

#include <windows.h>

// gethostbyname fails with this code (WSAHOST_NOT_FOUND).
constexpr DWORD ResolveFailureCode = 11001;
// IcmpCreateFile fails with this code (ERROR_ACCESS_DENIED).
constexpr DWORD IcmpFailureCode = 5;

struct Faults {
    bool fail_resolve = false;
    bool fail_icmp = false;
    DWORD slow_resolve_ms = 0; // every look-up takes this long first
    char slow_drive = 0;       // the query of this drive letter ...
    DWORD slow_drive_ms = 0;   // ... takes this long first
};

// Returns how many import entries were patched (0 when the module imports
// none of the calls asked for).
int faults_patch(HMODULE module, const Faults& faults);
