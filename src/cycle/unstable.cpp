#include "cycle/unstable.h"

#include "platform/daemon_state.h"
#include "report/ledger.h"
#include "report/report.h"

int repeat_due(uint16_t& counter)
{
    int due = counter++ == 0;
    if (counter >= Settings.Suspend)
        counter = 0;
    return due;
}

int judge_unstable(HostStateEntry& state, int answered, int dead_or_back, int* misses, int* polls)
{
    state.History = state.History << 1 | (answered ? 0u : 1u);
    int k = Settings.Added.Alerts.UnstableMisses;
    int n = Settings.Added.Alerts.UnstablePolls;
    uint32_t window = n >= 32 ? ~0u : (1u << n) - 1;
    // Counted in place: the library's bit count costs more than the loop.
    int missed = 0;
    for (uint32_t bits = state.History & window; bits != 0; bits &= bits - 1)
        ++missed;
    *misses = missed;
    *polls = n;
    if (dead_or_back || k == 0) {
        // Back from dead starts a fresh history; a reload that turned the
        // count off ends an instability that was told.
        if (dead_or_back && answered)
            state.History = 0;
        int was = state.Unstable && !dead_or_back;
        state.Unstable = 0;
        state.UnstableCounter = 0;
        return was ? StableAgain : UnstableNone;
    }
    if (state.Unstable) {
        if ((state.History & window) == 0) {
            state.Unstable = 0;
            state.UnstableCounter = 0;
            return StableAgain;
        }
        return repeat_due(state.UnstableCounter) ? UnstableReport : UnstableNone;
    }
    if (*misses >= k && *misses > state.MissCount) {
        state.Unstable = 1;
        state.UnstableCounter = 0;
        repeat_due(state.UnstableCounter);
        return UnstableReport;
    }
    return UnstableNone;
}

void tell_unstable(const HostInterface* host, int kind, int index, const char* name, int step, int misses, int polls)
{
    const char* prefix = kind == Host ? "Host " : kind == Service ? "Service " : "Mail flow";
    if (step == UnstableReport)
        host_log_format(host, 20, 15, "%s%s is unstable: %d of the last %d polls missed.", prefix, name, misses, polls);
    else
        host_log_format(host, 20, 25, "%s%s is stable again.", prefix, name);
    ledger_unstable(kind, index, name, step == UnstableReport ? misses : 0, polls);
}
