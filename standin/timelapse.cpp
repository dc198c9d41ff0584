#include "timelapse.h"

#include <atomic>

#include "imports.h"
#include "lapse_clock.h"

namespace {

volatile LONG LongWaits;
volatile DWORD LapseMs;
volatile LONG ForcedStops;
void (*WaitBegins)();
void (*WaitEnds)();

// What the lapsed waits left out, in ticks of the real performance counter:
// the daemon's clocks are the real ones this far ahead. It only grows, and
// a reading takes the real clock first, so no thread reads a clock earlier
// than one read before it.
std::atomic<LONGLONG> Skipped;
// No lock: closedown may terminate a thread in the middle of a reading.
static_assert(std::atomic<LONGLONG>::is_always_lock_free, "a clock hook must not take a lock");
LONGLONG Frequency = 1;

// Set by --clock: the wall clock's distance from the real one in 100 ns
// units, and the real counter as the last long wait ended, from which the
// next one is measured.
bool ClockSet;
LONGLONG WallOffset;
std::atomic<LONGLONG> PinnedFrom;

LONGLONG real_counter()
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

bool is_long(DWORD ms)
{
    return ms >= LongWaitMs && ms != INFINITE;
}

// A wait as the daemon asked for it (asked) and as it really runs (ms).
struct Wait {
    DWORD asked;
    DWORD ms;
    LONGLONG start;  // the real counter as a lapsed wait began
};

// Counts a long wait and, under a lapse, shortens it.
Wait begin(DWORD ms)
{
    Wait wait{ms, ms, 0};
    if (!is_long(ms))
        return wait;
    InterlockedIncrement(&LongWaits);
    if (WaitBegins)
        WaitBegins();
    if (LapseMs) {
        wait.ms = LapseMs;
        wait.start = real_counter();
    }
    return wait;
}

// After a long wait under a lapse the clocks skip what it left out; ran_out
// is false when something (the stop event) ended it early.
template <typename Result>
Result end(const Wait& wait, Result result, bool ran_out)
{
    if (!is_long(wait.asked))
        return result;
    if (LapseMs) {
        LONGLONG now = real_counter();
        LONGLONG from = ClockSet && ran_out ? PinnedFrom.load() : wait.start;
        Skipped += lapse_skip(wait.asked, LapseMs, now - from, Frequency, ran_out);
        PinnedFrom = now;
    }
    if (WaitEnds)
        WaitEnds();
    return result;
}

void WINAPI hook_Sleep(DWORD ms)
{
    Wait wait = begin(ms);
    Sleep(wait.ms);
    end(wait, 0, true);
}
DWORD WINAPI hook_SleepEx(DWORD ms, BOOL alertable)
{
    Wait wait = begin(ms);
    DWORD result = SleepEx(wait.ms, alertable);
    return end(wait, result, result == 0);
}
DWORD WINAPI hook_WaitForSingleObject(HANDLE handle, DWORD ms)
{
    Wait wait = begin(ms);
    DWORD result = WaitForSingleObject(handle, wait.ms);
    return end(wait, result, result == WAIT_TIMEOUT);
}
DWORD WINAPI hook_WaitForSingleObjectEx(HANDLE handle, DWORD ms, BOOL alertable)
{
    Wait wait = begin(ms);
    DWORD result = WaitForSingleObjectEx(handle, wait.ms, alertable);
    return end(wait, result, result == WAIT_TIMEOUT);
}
DWORD WINAPI hook_WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL all, DWORD ms)
{
    Wait wait = begin(ms);
    DWORD result = WaitForMultipleObjects(count, handles, all, wait.ms);
    return end(wait, result, result == WAIT_TIMEOUT);
}
DWORD WINAPI hook_WaitForMultipleObjectsEx(DWORD count, const HANDLE* handles, BOOL all, DWORD ms, BOOL alertable)
{
    Wait wait = begin(ms);
    DWORD result = WaitForMultipleObjectsEx(count, handles, all, wait.ms, alertable);
    return end(wait, result, result == WAIT_TIMEOUT);
}

// The daemon's clocks under a lapse: the real ones plus what was skipped.
BOOL WINAPI hook_QueryPerformanceCounter(LARGE_INTEGER* counter)
{
    BOOL done = QueryPerformanceCounter(counter);
    if (done)
        counter->QuadPart += Skipped;
    return done;
}

// The wall clock in every form moves with the counter: a daemon that dates
// from one and schedules by another must see the same day.
FILETIME lapsed_file_time()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER t{{now.dwLowDateTime, now.dwHighDateTime}};
    t.QuadPart += scale_time(Skipped, 10000000, Frequency) + WallOffset;
    return {t.LowPart, t.HighPart};
}
void WINAPI hook_GetSystemTimeAsFileTime(FILETIME* time)
{
    *time = lapsed_file_time();
}
void WINAPI hook_GetSystemTime(SYSTEMTIME* time)
{
    FILETIME now = lapsed_file_time();
    FileTimeToSystemTime(&now, time);
}
// The zone's rules for that day, so that a lapse across a change of summer
// time shows the local time of the day it reaches.
void WINAPI hook_GetLocalTime(SYSTEMTIME* time)
{
    SYSTEMTIME utc;
    hook_GetSystemTime(&utc);
    SystemTimeToTzSpecificLocalTime(nullptr, &utc, time);
}

// The C runtime's time() reads Windows' clock through its own imports,
// which the patch does not reach: the daemon's import of it is answered here.
__time64_t __cdecl hook_time64(__time64_t* result)
{
    FILETIME now = lapsed_file_time();
    ULARGE_INTEGER t{{now.dwLowDateTime, now.dwHighDateTime}};
    __time64_t seconds = static_cast<__time64_t>((t.QuadPart - 116444736000000000ULL) / 10000000);
    if (result)
        *result = seconds;
    return seconds;
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

const ImportHook ClockHooks[] = {
    {"kernel32.dll", "QueryPerformanceCounter", reinterpret_cast<void*>(&hook_QueryPerformanceCounter), nullptr},
    {"kernel32.dll", "GetSystemTimeAsFileTime", reinterpret_cast<void*>(&hook_GetSystemTimeAsFileTime), nullptr},
    {"kernel32.dll", "GetSystemTime", reinterpret_cast<void*>(&hook_GetSystemTime), nullptr},
    {"kernel32.dll", "GetLocalTime", reinterpret_cast<void*>(&hook_GetLocalTime), nullptr},
};

const ImportHook TimeHooks[] = {
    {"msvcrt.dll", "_time64", reinterpret_cast<void*>(&hook_time64), nullptr},
};

} // namespace

int timelapse_patch(HMODULE module, DWORD lapse_ms)
{
    LapseMs = lapse_ms;
    int patched = patch_imports(module, Hooks, sizeof Hooks / sizeof Hooks[0]);
    if (lapse_ms || ClockSet) {
        LARGE_INTEGER frequency;
        if (QueryPerformanceFrequency(&frequency))
            Frequency = frequency.QuadPart;
        patch_imports(module, ClockHooks, sizeof ClockHooks / sizeof ClockHooks[0]);
    }
    if (ClockSet)
        patch_imports(module, TimeHooks, sizeof TimeHooks / sizeof TimeHooks[0]);
    return patched;
}

LONGLONG timelapse_clocks_ahead_ms()
{
    return scale_time(Skipped, 1000, Frequency);
}

int timelapse_set_clock(const SYSTEMTIME& local)
{
    SYSTEMTIME utc;
    FILETIME wanted, now;
    if (!TzSpecificLocalTimeToSystemTime(nullptr, &local, &utc) || !SystemTimeToFileTime(&utc, &wanted))
        return 0;
    GetSystemTimeAsFileTime(&now);
    WallOffset = static_cast<LONGLONG>(ULARGE_INTEGER{{wanted.dwLowDateTime, wanted.dwHighDateTime}}.QuadPart -
                                       ULARGE_INTEGER{{now.dwLowDateTime, now.dwHighDateTime}}.QuadPart);
    PinnedFrom = real_counter();
    ClockSet = true;
    return 1;
}

void timelapse_system_time(SYSTEMTIME* time)
{
    hook_GetSystemTime(time);
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
