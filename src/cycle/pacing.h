// The pace of a poll cycle: its waits, and the pause between the items of a
// check's loop. Every wait ends at once when closedown signals the stop.
#pragma once

#include <windows.h>

// Waits ms, or less when a stop comes first.
void wait_unless_stopped(DWORD ms);

// The pacing rule of a check's item loop, applied after every item: 0 when
// a stop was requested (the loop ends at once, no pause), otherwise a pause
// of 60 ms that a stop cuts short; 1 to go on with the next item, 0 when
// the stop came during the pause.
int pause_after_item();
