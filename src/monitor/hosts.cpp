// The host reachability test: one ICMP echo per host and cycle, and the
// per-host state machine that turns misses into dead and recovery reports.
#include "monitor/monitor.h"

#include "platform/daemon_state.h"
#include "platform/text.h"
#include "report/report.h"
#include "settings/settings.h"

PollOutcome record_poll(HostStateEntry& state, int answered)
{
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

void tell_poll(const HostInterface* host, const PollTexts& texts, int index, const char* name, int answered,
               PollOutcome outcome)
{
    if (answered) {
        if (outcome.recovered) {
            host_log_format(host, 20, 25, texts.on_again, name);
            send_report(texts.kind, index, 0);
        }
        return;
    }
    if (outcome.dead) {
        host_log_format(host, 20, 15, texts.dead, name);
        if (outcome.report_dead)
            send_report(texts.kind, index, 1);
    }
    host_bump_statistic(host, FailedHost);
}

void poll_hosts(const HostInterface* host)
{
    static const PollTexts texts = {Host, "Host %s is ON again.", "Host %s is dead."};
    for (int i = 0;; ++i) {
        char name[HostNameSize];
        if (!copy_host_name(i, name))
            break;
        int answered = ping_host(i);
        if (answered == PingStopped)
            break;
        PollOutcome outcome;
        if (record_slot_poll(Settings.HostNames, Settings.HostCount, HostState, HostReadings, i, name, answered, outcome)) {
            if (!answered)
                host_log_format(host, 20, 15, "Host %s doesn't respond.", name);
            tell_poll(host, texts, i, name, answered, outcome);
        }
        if (!pause_after_item())
            break;
    }
}
