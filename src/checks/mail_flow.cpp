#include "checks/mail_flow.h"

#include <cstdarg>
#include <cstring>

#include "cycle/errand.h"
#include "cycle/poll_state.h"
#include "platform/daemon_state.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "report/report.h"
#include "settings/settings.h"

MailFlowState MailFlow;

namespace {

constexpr uint64_t MsPerMinute = 60000;

void drop(MailFlowState& flow, int first, int count)
{
    memmove(flow.InFlight + first, flow.InFlight + first + count,
            (flow.Count - first - count) * sizeof flow.InFlight[0]);
    flow.Count -= count;
}

// The log line and the count of a probe that did not go out: 0.
int not_sent(const HostInterface* host, uint32_t number, const char* why, ...) __attribute__((format(ms_printf, 3, 4)));
int not_sent(const HostInterface* host, uint32_t number, const char* why, ...)
{
    char reason[sizeof ReportSnapshot::DaemonAddress + 40];
    va_list args;
    va_start(args, why);
    vformat_text(reason, sizeof reason, why, args);
    va_end(args);
    host_log_format(host, 1, 15, "Mail flow probe %u not sent: %s.", number, reason);
    host_bump_statistic(host, Failures);
    return 0;
}

// The probe mail. It is in the table before the host has it: the host may
// hand it back before close_job returns. 1 when it went out.
int send_probe(const HostInterface* host, uint32_t number)
{
    ReportSnapshot probe;
    char sender[sizeof probe.DaemonAddress + ProbeTokenSize + 12];
    lock_settings();
    copy_text(probe.DaemonAddress, Settings.DaemonAddress);
    copy_text(probe.HostDomain, Settings.HostDomain);
    int tokened = MailFlow.Token[0] != '\0';
    int named = tokened && format_probe_sender(sender, sizeof sender, probe.DaemonAddress, MailFlow.Token, number);
    unlock_settings();
    if (!named)
        return tokened ? not_sent(host, number, "the address %s has no domain", probe.DaemonAddress)
                       : not_sent(host, number, "the system gave no random token");
    // The sender says which probe of which life it is: the only part of
    // the mail that comes back to the daemon.
    Job job = host_create_job(host, sender);
    if (job == nullptr)
        return not_sent(host, number, "the host created no job");
    if (host_add_recipient(host, job, probe.DaemonAddress) <= 0) {
        not_sent(host, number, "the host refused %s", probe.DaemonAddress);
        host_close_job(host, job);
        return 0;
    }
    write_envelope(probe, job, probe.DaemonAddress);
    write_probe_text(job, number, probe.DaemonAddress);
    lock_settings();
    if (MailFlow.Count < MaxProbes)
        MailFlow.InFlight[MailFlow.Count++] = Probe{number, Platform.MonotonicMs()};
    ++MailFlow.Sent;
    unlock_settings();
    host_close_job(host, job);
    return 1;
}

} // namespace

FlowJudgement judge_mail_flow(MailFlowState& flow, uint64_t now, int lost_after)
{
    FlowJudgement j{};
    uint64_t limit = static_cast<uint64_t>(lost_after) * MsPerMinute;
    int lost = 0;
    while (lost < flow.Count && now - flow.InFlight[lost].SentMs > limit)
        ++lost;
    if (lost > 0) {
        j.verdict = FlowMissed;
        j.number = flow.InFlight[0].Number;
        j.ms = now - flow.InFlight[0].SentMs;
        flow.Lost += lost;
        drop(flow, 0, lost);
    } else if (flow.Back) {
        j.verdict = FlowAnswered;
        j.number = flow.BackNumber;
        j.ms = flow.RoundTripMs;
    }
    flow.Back = 0;
    return j;
}

int take_probe_back(MailFlowState& flow, uint64_t now, uint32_t number, uint64_t* round_trip)
{
    int i = 0;
    while (i < flow.Count && flow.InFlight[i].Number != number)
        ++i;
    if (i == flow.Count)
        return 0;
    flow.Back = 1;
    flow.BackNumber = number;
    ++flow.BackTotal;
    *round_trip = flow.RoundTripMs = now - flow.InFlight[i].SentMs;
    flow.RoundTripKnown = 1;
    if (flow.TripCount < MaxTrips)
        flow.Trips[flow.TripCount++] = *round_trip > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(*round_trip);
    drop(flow, i, 1);
    return 1;
}

namespace {

// One judgement with the host test's rules: counts, lines and reports.
void tell_flow(const HostInterface* host, int answered)
{
    static const PollTexts texts = {MailFlowReport, "Mail flow is ON again.", "Mail flow is dead."};
    lock_settings();
    PollOutcome outcome = record_poll(MailFlowPoll, answered);
    MailFlow.Judged = 1;
    MailFlow.Up = answered;
    unlock_settings();
    if (!answered)
        host_log_format(host, 20, 15, "Mail flow doesn't move: %s.", CurrentReason);
    tell_poll(host, texts, 0, "", answered, outcome);
}

} // namespace

void check_mail_flow(const HostInterface* host)
{
    lock_settings();
    int lost_after = Settings.Added.LostAfter;
    FlowJudgement j{};
    uint32_t number = 0;
    int tokened = MailFlow.Token[0] != '\0';
    if (lost_after == 0) {
        // Off: turned on again, the check finds no probe and no judgement of
        // an earlier setting; the counts of the life go on.
        MailFlow.Count = 0;
        MailFlow.Back = MailFlow.Judged = 0;
        MailFlowPoll = HostStateEntry{};
    } else {
        j = judge_mail_flow(MailFlow, Platform.MonotonicMs(), lost_after);
        if (MailFlow.Count < MaxProbes)
            number = ++MailFlow.NextNumber;
    }
    unlock_settings();
    if (lost_after == 0 || StopRequested)
        return;

    unsigned minutes = static_cast<unsigned>(j.ms / MsPerMinute);
    if (j.verdict == FlowMissed)
        format_text(CurrentReason, sizeof CurrentReason, "probe %u not back after %u minute%s", j.number, minutes,
                    plural(minutes));
    else
        format_text(CurrentReason, sizeof CurrentReason, "probe %u back after %s s", j.number, seconds_of(j.ms).text);
    if (j.verdict != FlowNone)
        tell_flow(host, j.verdict == FlowAnswered);

    // The life's token, drawn before its first probe; the system's random
    // source is called on the errand thread, as every call that may block.
    if (number != 0 && !tokened) {
        char token[ProbeTokenSize];
        if (run_errand(draw_probe_token, token) == ErrandStopped)
            return;
        lock_settings();
        copy_text(MailFlow.Token, token);
        unlock_settings();
    }

    // A probe that cannot go out is a miss of its own, unless this cycle
    // has missed already.
    if (number != 0 && !send_probe(host, number) && j.verdict != FlowMissed) {
        format_text(CurrentReason, sizeof CurrentReason, "probe %u could not be sent", number);
        tell_flow(host, 0);
    }
}
