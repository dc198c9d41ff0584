#include "lapse_clock.h"

int64_t scale_time(int64_t value, int64_t num, int64_t den)
{
    return value / den * num + value % den * num / den;
}

int64_t lapse_skip(uint32_t wait_ms, uint32_t lapse_ms, int64_t elapsed, int64_t per_second, bool ran_out)
{
    int64_t whole = scale_time(wait_ms, per_second, 1000);
    int64_t moved = ran_out || elapsed >= scale_time(lapse_ms, per_second, 1000)
                        ? whole
                        : scale_time(elapsed, wait_ms, lapse_ms);
    return moved > elapsed ? moved - elapsed : 0;
}
