// The stand-in as a measuring instrument (--measure): what the daemon costs
// the mail server, counted from outside the DLL through its imports and its
// long waits, never by the daemon itself.
#pragma once

#include <windows.h>

// Hooks the long waits and starts counting. Called once, before any load.
void measure_start();
// Counts the module's allocations (heap, C library, local and global
// memory) and its TerminateThread calls. Returns the entries patched.
int measure_patch(HMODULE module);

// One life of the daemon: from before startup to after closedown. At every
// long wait the process's private bytes, handle count and the allocations
// so far are taken; the figures compare the first long wait with the last.
void measure_life_begins();
void measure_closedown_begins();
void measure_closedown_ends();
// Prints the life's figures: cycle busy time, allocations, process growth,
// closedown.
void measure_print_life();
// The process's open handles.
DWORD measure_handle_count();
// Prints the closedown figures over every life of the run.
void measure_print_closedowns();
