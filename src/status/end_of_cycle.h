// What follows a poll cycle that ran to its end: the status file, the
// digest's figures, the heartbeat and the digest when they are due. They
// read the state the checks left and never drive a check.
#pragma once

struct HostInterface;

// A new life starts a new day of the digest's figures and sends its first
// heartbeat after its first cycle.
void reset_summaries();
// Everything that follows a cycle that ran to its end (none after a cycle
// cut by a stop).
void end_of_cycle(const HostInterface* host);
