#include "timelapse.h"

#include "imports.h"

namespace {

volatile LONG LongWaits;
volatile DWORD LapseMs;
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

const ImportHook Hooks[] = {
    {"kernel32.dll", "Sleep", reinterpret_cast<void*>(&hook_Sleep), nullptr},
    {"kernel32.dll", "SleepEx", reinterpret_cast<void*>(&hook_SleepEx), nullptr},
    {"kernel32.dll", "WaitForSingleObject", reinterpret_cast<void*>(&hook_WaitForSingleObject), nullptr},
    {"kernel32.dll", "WaitForSingleObjectEx", reinterpret_cast<void*>(&hook_WaitForSingleObjectEx), nullptr},
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

void timelapse_watch(void (*begins)(), void (*ends)())
{
    WaitBegins = begins;
    WaitEnds = ends;
}
