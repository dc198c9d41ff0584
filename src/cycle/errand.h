// The errand thread: every call that can block inside the operating system
// (a name look-up, an ICMP echo, a disk query, a service connect, a file
// write) runs there, never on the control thread. One errand thread lives as
// long as a life of the daemon (startup to closedown). The control thread
// hands it one errand at a time and waits for its end or the stop, nothing
// else. A stop never waits for an errand: the errand thread finishes its
// call on its own copy of the data, touches nothing of the daemon's state,
// and leaves holding its own reference to the DLL and its own sockets.
#pragma once

#include <windows.h>

#include <cstddef>

// Work for the errand thread; data is the errand's own copy. life_over is
// signalled once the life that handed the errand over has ended: work that
// would leave something behind (a file) can see that its answer is no
// longer wanted.
typedef void (*ErrandWork)(void* data, HANDLE life_over);

// The most bytes an errand's data may take.
constexpr size_t ErrandSpace = 32 * 1024;

enum ErrandResult { ErrandStopped = 0, ErrandDone = 1 };

// Starts the errand thread of a new life (startup); 1 when it runs.
int start_errands();
// Tells this life's errand thread to leave (closedown): at once when it is
// idle, else as soon as its call returns.
void end_errands();
// Runs work on the errand thread with a copy of size bytes of data
// (size <= ErrandSpace, as the template below makes sure) and waits for its end or the stop, and after the
// stop up to grace ms more for its end. ErrandDone: the results are copied
// back into data. ErrandStopped: a stop came first (or no errand thread
// runs); data is as it was, and the call is neither an answer nor a miss.
// After a stop only an errand with a grace is still handed over.
int run_errand(ErrandWork work, void* data, size_t size, unsigned long grace = 0);

template <typename T>
int run_errand(ErrandWork work, T& data, unsigned long grace = 0)
{
    static_assert(sizeof(T) <= ErrandSpace, "errand data too large");
    return run_errand(work, &data, sizeof data, grace);
}
