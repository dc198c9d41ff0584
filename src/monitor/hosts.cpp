// The host reachability test: one ICMP echo per host and cycle, and the
// per-host state machine that turns misses into dead and recovery reports.
#include "monitor/monitor.h"

#include <cstring>

#include "platform/daemon_state.h"
#include "platform/text.h"
#include "report/report.h"
#include "settings/settings.h"

namespace {

// What one poll changed for a host, decided under the lock and then told
// to the host without it.
struct PollOutcome {
    bool recovered;    // answered after it had been declared dead
    bool dead;         // missed once more than Retry allows
    bool report_dead;  // and its turn in the repeat interval has come
};

// Applies one poll's answer to the state of host index. Called with the
// lock held; makes no host call.
PollOutcome record_poll(int index, int answered)
{
    HostStateEntry& state = HostState[index];
    PollOutcome outcome{};
    if (answered) {
        // Only a host that missed at least once can come back, also when a
        // negative Retry would call every host dead.
        outcome.recovered = state.MissCount > 0 && state.MissCount > Settings.Retry;
        state.MissCount = 0;
        state.DeadReportCounter = 0;
        return outcome;
    }
    ++state.MissCount;
    outcome.dead = state.MissCount > Settings.Retry;
    if (outcome.dead) {
        outcome.report_dead = state.DeadReportCounter++ == 0;
        if (state.DeadReportCounter >= Settings.Suspend)
            state.DeadReportCounter = 0;
    }
    return outcome;
}

// The log lines, report and count of one poll, in their order.
void tell_poll(const HostInterface* host, int index, const char* name, int answered, PollOutcome outcome)
{
    if (answered) {
        if (outcome.recovered) {
            host_log_format(host, 20, 25, "Host %s is ON again.", name);
            send_report(Host, index, 0);
        }
        return;
    }
    host_log_format(host, 20, 15, "Host %s doesn't respond.", name);
    if (outcome.dead) {
        host_log_format(host, 20, 15, "Host %s is dead.", name);
        if (outcome.report_dead)
            send_report(Host, index, 1);
    }
    host_bump_statistic(host, FailedHost);
}

} // namespace

void poll_hosts(const HostInterface* host)
{
    for (int i = 0;; ++i) {
        char name[HostNameSize];
        if (!copy_host_name(i, name))
            break;
        int answered = ping_host(i);
        if (answered == PingStopped)
            break;
        // A reload may have shrunk or rewritten the table during the ping:
        // the answer belongs only to the host that was pinged.
        lock_settings();
        bool same = i < Settings.HostCount && strncmp(Settings.HostNames[i], name, HostNameSize) == 0;
        PollOutcome outcome{};
        if (same)
            outcome = record_poll(i, answered);
        unlock_settings();
        if (same)
            tell_poll(host, i, name, answered, outcome);
        if (!pause_after_item())
            break;
    }
}
