// Time-lapse: the stand-in patches the loaded daemon's imported waits so
// that its long sleep between poll cycles can be counted and shortened, and
// its TerminateThread so that forced stops of its thread are counted.
// The daemon itself never knows: only its import address table changes.
#pragma once

#include <windows.h>

// Waits this long or longer are the daemon's sleep between poll cycles.
constexpr DWORD LongWaitMs = 60000;

// Patches the module's KERNEL32 imports of Sleep, SleepEx and the
// WaitForSingleObject and WaitForMultipleObjects calls, and counts its
// TerminateThread calls. Every later wait of
// LongWaitMs or more (never INFINITE) is counted and, when lapse_ms is
// nonzero, shortened to lapse_ms. Returns how many entries were patched.
int timelapse_patch(HMODULE module, DWORD lapse_ms);

// Long waits begun since the process started.
LONG timelapse_long_waits();
// Threads the daemon terminated since the process started.
LONG timelapse_forced_stops();

// Called on the daemon's thread as each long wait begins and as it ends
// (either may be null): the measurements hang on these.
void timelapse_watch(void (*begins)(), void (*ends)());
