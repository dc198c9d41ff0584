#include "cycle/pacing.h"

#include "platform/daemon_state.h"
#include "platform/platform.h"

namespace {

constexpr DWORD ItemPauseMs = 60;

} // namespace

void wait_unless_stopped(DWORD ms)
{
    Platform.WaitForSingleObject(StopEvent, ms);
}

int pause_after_item()
{
    if (StopRequested)
        return 0;
    wait_unless_stopped(ItemPauseMs);
    // A stop that cut the pause short ends the loop too: the next item could
    // be a ping that outlasts closedown's grace.
    return !StopRequested;
}
