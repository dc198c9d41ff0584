#include "settings/settings.h"

#include <windows.h>

namespace {

CRITICAL_SECTION SettingsLock;

// Ready before any entry point or test can run: static initialisation
// happens at library (or program) load.
const bool SettingsLockReady = (InitializeCriticalSection(&SettingsLock), true);

} // namespace

void lock_settings()
{
    EnterCriticalSection(&SettingsLock);
}

void unlock_settings()
{
    LeaveCriticalSection(&SettingsLock);
}
