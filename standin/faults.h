// Faults of Windows itself, as the daemon meets them: the stand-in patches
// the loaded daemon's imports so that its name look-ups or its ICMP handles
// fail, with the error numbers below.
#pragma once

#include <windows.h>

// gethostbyname fails with this code (WSAHOST_NOT_FOUND).
constexpr DWORD ResolveFailureCode = 11001;
// IcmpCreateFile fails with this code (ERROR_ACCESS_DENIED).
constexpr DWORD IcmpFailureCode = 5;

// Returns how many import entries were patched (0 when the module imports
// none of the calls asked for).
int faults_patch(HMODULE module, bool fail_resolve, bool fail_icmp);
