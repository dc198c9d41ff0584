// The host reachability test: one ICMP echo per host and cycle, and the
// per-host state machine that turns misses into dead and recovery reports.
#include "monitor/monitor.h"

#include <cstring>

#include "platform/daemon_state.h"
#include "platform/text.h"
#include "report/report.h"
#include "settings/settings.h"

int copy_host_name(int index, char (&name)[HostNameSize])
{
    lock_settings();
    int configured = index >= 0 && index < Settings.HostCount && index < MaxHosts;
    if (configured)
        copy_text(name, Settings.HostNames[index]);
    unlock_settings();
    return configured;
}

namespace {

// Applies one poll's answer to the state of host index. Called with the
// lock held; name is the name that was pinged.
void record_poll(const HostInterface* host, int index, const char* name, int answered)
{
    HostStateEntry& state = HostState[index];
    if (answered) {
        // Only a host that missed at least once can come back, also when a
        // negative Retry would call every host dead.
        if (state.MissCount > 0 && state.MissCount > Settings.Retry) {
            host_log_format(host, 20, 25, "Host %s is ON again.", name);
            send_report(Host, index, 0);
        }
        state.MissCount = 0;
        state.DeadReportCounter = 0;
        return;
    }
    host_log_format(host, 20, 15, "Host %s doesn't respond.", name);
    ++state.MissCount;
    if (state.MissCount > Settings.Retry) {
        host_log_format(host, 20, 15, "Host %s is dead.", name);
        if (state.DeadReportCounter++ == 0)
            send_report(Host, index, 1);
        if (state.DeadReportCounter >= Settings.Suspend)
            state.DeadReportCounter = 0;
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
        if (i < Settings.HostCount && strncmp(Settings.HostNames[i], name, HostNameSize) == 0)
            record_poll(host, i, name, answered);
        unlock_settings();
        if (!pause_after_item())
            break;
    }
}
