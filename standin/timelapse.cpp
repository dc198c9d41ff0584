#include "timelapse.h"

#include "imports.h"

namespace {

volatile LONG LongWaits;
volatile DWORD LapseMs;

// Counts a long wait and gives the time to wait instead.
DWORD lapse(DWORD ms)
{
    if (ms < LongWaitMs || ms == INFINITE)
        return ms;
    InterlockedIncrement(&LongWaits);
    return LapseMs ? LapseMs : ms;
}

void WINAPI hook_Sleep(DWORD ms) { Sleep(lapse(ms)); }
DWORD WINAPI hook_SleepEx(DWORD ms, BOOL alertable) { return SleepEx(lapse(ms), alertable); }
DWORD WINAPI hook_WaitForSingleObject(HANDLE handle, DWORD ms)
{
    return WaitForSingleObject(handle, lapse(ms));
}
DWORD WINAPI hook_WaitForSingleObjectEx(HANDLE handle, DWORD ms, BOOL alertable)
{
    return WaitForSingleObjectEx(handle, lapse(ms), alertable);
}

const ImportHook Hooks[] = {
    {"Sleep", reinterpret_cast<void*>(&hook_Sleep)},
    {"SleepEx", reinterpret_cast<void*>(&hook_SleepEx)},
    {"WaitForSingleObject", reinterpret_cast<void*>(&hook_WaitForSingleObject)},
    {"WaitForSingleObjectEx", reinterpret_cast<void*>(&hook_WaitForSingleObjectEx)},
};

} // namespace

int timelapse_patch(HMODULE module, DWORD lapse_ms)
{
    LapseMs = lapse_ms;
    return patch_imports(module, "kernel32.dll", Hooks, sizeof Hooks / sizeof Hooks[0]);
}

LONG timelapse_long_waits()
{
    return InterlockedCompareExchange(&LongWaits, 0, 0);
}
