// The arithmetic of the daemon's clocks under time-lapse: a long wait that
// the stand-in shortened moves the clocks on as far as the daemon asked to
// wait, in any unit of time with a given number of units per second.
#pragma once

#include <cstdint>

// value * num / den, without overflow while num * den and value / den * num
// fit in 63 bits (a clock frequency times 10,000,000, a count of days).
int64_t scale_time(int64_t value, int64_t num, int64_t den);

// How far the clocks must move beyond the elapsed time that a wait of
// wait_ms, shortened to lapse_ms, really took: to the whole wait when it
// ran out, in proportion when it ended early (the stop event), and never
// back.
int64_t lapse_skip(uint32_t wait_ms, uint32_t lapse_ms, int64_t elapsed, int64_t per_second, bool ran_out);
