// The control thread: the daemon's one worker, which runs the poll cycles
// (every check in a fixed order, then what the end of a cycle tells) until
// closedown.
#pragma once

#include <windows.h>

// The thread routine; startup creates it with parameter 0.
DWORD WINAPI control_thread(LPVOID unused);
// The pause between cycles that the settings in force ask for.
DWORD poll_interval_ms();
