// The Internet checks' line in the heartbeat and in the digest.
#pragma once

#include "checks/internet.h"
#include "report/report.h"

// The line of the heartbeat (digest 0: the state now) or of the digest
// (the rounds since the last one); none while the checks are off.
void write_internet_line(Job job, const InternetFacts& f, int digest);
