// The host reachability check: one ICMP echo per host and cycle, judged by
// the shared up/down state machine into dead and recovery reports.
#pragma once

#include "cycle/poll_state.h"
#include "settings/settings.h"

struct HostInterface;

// A look-up or an echo cut short by a stop: neither an answer nor a miss.
constexpr int PingStopped = -1;

// One ICMP echo to the host in slot index of HostNames; 1 answered, 0 not,
// or PingStopped.
int ping_host(int index);
// The first IPv4 address of a host name, in network order; INADDR_NONE with
// *error set when it is not found. It blocks: errands only (the service
// check looks its names up with it too).
unsigned long look_up_name(const char* name, int* error);
// One pass over the host table with the per-host state machine.
void poll_hosts(const HostInterface* host);

// The last echo of each host, guarded by the settings lock: a reload zeroes
// the daemon's own counts, and the status file must still show what the
// last check found.
extern PollReading HostReadings[MaxHosts];
