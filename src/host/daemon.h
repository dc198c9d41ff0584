// The daemon's exported entry points (configure lives with its dialog) and
// what they share with the configuration dialog.
#pragma once

#include "platform/daemon_state.h"

// Accepts the host's API version: 1 to go on, 0 when the user declined an
// older host. Newer hosts are accepted with a warning in the log.
int check_host_version(const HostInterface* host);

// Puts the run-time state back as a first load has it: a start after a
// completed closedown begins a fresh life with it.
void begin_fresh_life();

extern "C" {
short __cdecl startup(HostInterface* host);
short __cdecl closedown();
short __cdecl daemon(Job job, HostInterface* host);
}
