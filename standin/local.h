// Local delivery: a mail that the daemon sends to an address the alias
// table hands to a daemon comes back into its daemon entry point, on a
// thread of the stand-in, as the mail server would deliver it: after a
// delay, never (a stalled queue), or not at all (lost).
#pragma once

#include <windows.h>

#include "host_core.h"

typedef short(__cdecl* DaemonFn)(Job, HostInterface*);

enum LocalMode { LocalDeliver, LocalHold, LocalDrop };

struct LocalOptions {
    LocalMode mode = LocalDeliver;
    DWORD delay_ms = 200;  // from the close of the job
    long hold_cycles = 0;  // delivered only once a life has completed this many cycles
};

// Takes the host's local mails from now on; each is noted on the console.
// Outside a life they are dropped.
void local_route(const LocalOptions& options);

// A life begins: its delivery thread calls daemon.
void local_open(DaemonFn daemon);
// Before closedown: the mails still waiting are dropped, a delivery under
// way runs to its end and the thread leaves, so that no delivery runs
// across closedown or the unload.
void local_close();
