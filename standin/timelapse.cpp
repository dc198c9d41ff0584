#include "timelapse.h"

#include "imports.h"

namespace {

volatile LONG LongWaits;
volatile DWORD LapseMs;
volatile LONG ForcedStops;
void (*WaitBegins)();
void (*WaitEnds)();

bool is_long(DWORD ms)
{
    return ms >= LongWaitMs && ms != INFINITE;
}

// Counts a long wait and gives the time to wait instead.
DWORD lapse(DWORD ms)
{
    if (!is_long(ms))
        return ms;
    InterlockedIncrement(&LongWaits);
    if (WaitBegins)
        WaitBegins();
    return LapseMs ? LapseMs : ms;
}

template <typename Result>
Result lapsed(DWORD ms, Result result)
{
    if (is_long(ms) && WaitEnds)
        WaitEnds();
    return result;
}

void WINAPI hook_Sleep(DWORD ms)
{
    Sleep(lapse(ms));
    lapsed(ms, 0);
}
DWORD WINAPI hook_SleepEx(DWORD ms, BOOL alertable)
{
    return lapsed(ms, SleepEx(lapse(ms), alertable));
}
DWORD WINAPI hook_WaitForSingleObject(HANDLE handle, DWORD ms)
{
    return lapsed(ms, WaitForSingleObject(handle, lapse(ms)));
}
DWORD WINAPI hook_WaitForSingleObjectEx(HANDLE handle, DWORD ms, BOOL alertable)
{
    return lapsed(ms, WaitForSingleObjectEx(handle, lapse(ms), alertable));
}

DWORD WINAPI hook_WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL all, DWORD ms)
{
    return lapsed(ms, WaitForMultipleObjects(count, handles, all, lapse(ms)));
}
DWORD WINAPI hook_WaitForMultipleObjectsEx(DWORD count, const HANDLE* handles, BOOL all, DWORD ms, BOOL alertable)
{
    return lapsed(ms, WaitForMultipleObjectsEx(count, handles, all, lapse(ms), alertable));
}

// The daemon's only use of TerminateThread is closedown's last resort.
BOOL WINAPI hook_TerminateThread(HANDLE thread, DWORD exit_code)
{
    InterlockedIncrement(&ForcedStops);
    return TerminateThread(thread, exit_code);
}

const ImportHook Hooks[] = {
    {"kernel32.dll", "Sleep", reinterpret_cast<void*>(&hook_Sleep), nullptr},
    {"kernel32.dll", "SleepEx", reinterpret_cast<void*>(&hook_SleepEx), nullptr},
    {"kernel32.dll", "WaitForSingleObject", reinterpret_cast<void*>(&hook_WaitForSingleObject), nullptr},
    {"kernel32.dll", "WaitForSingleObjectEx", reinterpret_cast<void*>(&hook_WaitForSingleObjectEx), nullptr},
    {"kernel32.dll", "WaitForMultipleObjects", reinterpret_cast<void*>(&hook_WaitForMultipleObjects), nullptr},
    {"kernel32.dll", "WaitForMultipleObjectsEx", reinterpret_cast<void*>(&hook_WaitForMultipleObjectsEx), nullptr},
    {"kernel32.dll", "TerminateThread", reinterpret_cast<void*>(&hook_TerminateThread), nullptr},
};

} // namespace

int timelapse_patch(HMODULE module, DWORD lapse_ms)
{
    LapseMs = lapse_ms;
    return patch_imports(module, Hooks, sizeof Hooks / sizeof Hooks[0]);
}

LONG timelapse_long_waits()
{
    return InterlockedCompareExchange(&LongWaits, 0, 0);
}

LONG timelapse_forced_stops()
{
    return InterlockedCompareExchange(&ForcedStops, 0, 0);
}

void timelapse_watch(void (*begins)(), void (*ends)())
{
    WaitBegins = begins;
    WaitEnds = ends;
}
