#include "settings/settings.h"

#include <windows.h>

namespace {

CRITICAL_SECTION SettingsLock;

} // namespace

void settings_attach()
{
    InitializeCriticalSection(&SettingsLock);
    Settings = settings_at_start();
}

void settings_detach()
{
    DeleteCriticalSection(&SettingsLock);
}

void lock_settings()
{
    EnterCriticalSection(&SettingsLock);
}

void unlock_settings()
{
    LeaveCriticalSection(&SettingsLock);
}
