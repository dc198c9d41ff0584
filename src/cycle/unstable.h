// Intermittent failures: each host, service and the mail flow keeps its
// last polls as bits, and one that misses K of its last N polls, not all
// in the run of misses going on now and without being dead, is unstable.
#pragma once

#include <cstdint>

#include "settings/settings.h"

struct HostInterface;

enum UnstableStep { UnstableNone, UnstableReport, StableAgain };

// Counts a repeat interval of Suspend polls: 1 when its report is due now.
// Called with the lock held.
int repeat_due(uint16_t& counter);
// Adds a poll to state's history and tells what it asks for (an
// UnstableStep), with the misses among the last polls; dead_or_back
// (dead now, or back from dead) ends any instability without a word.
// Called with the lock held.
int judge_unstable(HostStateEntry& state, int answered, int dead_or_back, int* misses, int* polls);
// The log line and the ledger's note of a step of slot index of kind.
void tell_unstable(const HostInterface* host, int kind, int index, const char* name, int step, int misses, int polls);
