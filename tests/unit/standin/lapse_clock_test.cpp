// The stand-in's time-lapse arithmetic: how far a shortened long wait moves
// the daemon's clocks on.
#include <gtest/gtest.h>

#include "lapse_clock.h"

namespace {

constexpr int64_t Hz = 10000000;  // Wine's performance counter, and FILETIME

struct Case {
    const char* what;
    uint32_t wait_ms, lapse_ms;
    int64_t elapsed;
    int64_t per_second;
    bool ran_out;
    int64_t skip;
};

const Case Cases[] = {
    {"ran out on time", 60000, 500, 500 * Hz / 1000, Hz, true, 59500 * Hz / 1000},
    {"ran out late", 60000, 500, 700 * Hz / 1000, Hz, true, 59300 * Hz / 1000},
    {"stopped halfway", 60000, 500, 250 * Hz / 1000, Hz, false, 29750 * Hz / 1000},
    {"stopped at once", 60000, 500, 0, Hz, false, 0},
    {"stopped after the lapse", 60000, 500, 600 * Hz / 1000, Hz, false, 59400 * Hz / 1000},
    {"a day in ms", 86400000, 1, 1, 1000, true, 86399999},
    // A counter at 3 GHz and the longest wait below INFINITE: no overflow.
    {"fast counter, longest wait", 0xFFFFFFFE, 59999, 59999LL * 3000000, 3000000000LL, true,
     0xFFFFFFFELL * 3000000 - 59999LL * 3000000},
    {"fast counter, stopped at a third", 0xFFFFFFFE, 59999, 59999LL * 1000000, 3000000000LL, false,
     0xFFFFFFFELL * 1000000 - 59999LL * 1000000},
};

TEST(LapseClock, LongWaitMovesTheClocksAsFarAsAsked)
{
    for (const Case& c : Cases)
        EXPECT_EQ(lapse_skip(c.wait_ms, c.lapse_ms, c.elapsed, c.per_second, c.ran_out), c.skip) << c.what;
}

TEST(LapseClock, CounterTicksToFileTimeWithoutOverflow)
{
    // A thousand days of skips at 3 GHz, as 100 ns units.
    int64_t ticks = 1000LL * 86400 * 3000000000LL;
    EXPECT_EQ(scale_time(ticks, Hz, 3000000000LL), 1000LL * 86400 * Hz);
}

} // namespace
