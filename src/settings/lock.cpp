#include "settings/settings.h"

#include <windows.h>

namespace {

// Made when the library (or a test program) is loaded and deleted when it is
// unloaded, so that a mail server that loads and unloads the daemon again
// and again keeps no stale lock behind.
struct SettingsLockLifetime {
    CRITICAL_SECTION section;
    SettingsLockLifetime() { InitializeCriticalSection(&section); }
    ~SettingsLockLifetime() { DeleteCriticalSection(&section); }
};

SettingsLockLifetime SettingsLock;

} // namespace

void lock_settings()
{
    EnterCriticalSection(&SettingsLock.section);
}

void unlock_settings()
{
    LeaveCriticalSection(&SettingsLock.section);
}
