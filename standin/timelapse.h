// Time-lapse: the stand-in patches the loaded daemon's imported waits so
// that its long sleep between poll cycles can be counted and shortened, its
// clocks so that they move on as if the sleep had lasted, and its
// TerminateThread so that forced stops of its thread are counted.
// The daemon itself never knows: only its import address table changes.
#pragma once

#include <windows.h>

// Waits this long or longer are the daemon's sleep between poll cycles.
constexpr DWORD LongWaitMs = 60000;

// Patches the module's KERNEL32 imports of Sleep, SleepEx and the
// WaitForSingleObject and WaitForMultipleObjects calls, and counts its
// TerminateThread calls. Every later wait of
// LongWaitMs or more (never INFINITE) is counted and, when lapse_ms is
// nonzero, shortened to lapse_ms. Returns how many of these entries were
// patched.
//
// With lapse_ms nonzero (or a clock set), the module's QueryPerformanceCounter,
// GetSystemTimeAsFileTime, GetSystemTime and GetLocalTime are patched too:
// they start at the real time, pass at the real pace, and skip ahead at the
// end of every long wait by what the lapse left out of it, so that the wait
// moves them on by as much as the daemon asked for (a wait ended early by
// its event, in proportion to the part of the lapse that passed). The skip
// is one for the process, shared by every thread and every load.
int timelapse_patch(HMODULE module, DWORD lapse_ms);

// How far the daemon's clocks are ahead of the real ones.
LONGLONG timelapse_clocks_ahead_ms();

// Sets the daemon's wall clock (not its performance counter) to the local
// time given, before the module is patched; 0 when no such time exists.
// Its C runtime's time() then follows too, and under a lapse the poll
// cycles begin exactly their wait apart: each lapsed wait also leaves out
// the time the cycle before it took, so that times of day fall where the
// poll interval puts them.
int timelapse_set_clock(const SYSTEMTIME& local);

// The daemon's wall clock in UTC, for the host's log and dates.
void timelapse_system_time(SYSTEMTIME* time);

// Long waits begun since the process started.
LONG timelapse_long_waits();
// Threads the daemon terminated since the process started.
LONG timelapse_forced_stops();

// Called on the daemon's thread as each long wait begins and as it ends
// (either may be null): the measurements hang on these.
void timelapse_watch(void (*begins)(), void (*ends)());
