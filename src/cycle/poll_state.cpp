#include "cycle/poll_state.h"

#include "cycle/unstable.h"
#include "platform/daemon_state.h"
#include "report/report.h"

uint32_t CyclesStarted;

void note_poll(PollReading& reading, const char* name, int answered)
{
    if (strncmp(reading.Name, name, sizeof reading.Name) != 0) {
        reading = PollReading{};
        copy_text(reading.Name, name);
    }
    reading.Up = answered != 0;
    reading.Cycle = CyclesStarted;
    reading.Missed = answered ? 0 : reading.Missed == UINT16_MAX ? UINT16_MAX : reading.Missed + 1;
}

int copy_slot_name_of(const char* names, int slots, int size, const int& count, int index, char* name)
{
    lock_settings();
    int configured = index >= 0 && index < count && index < slots;
    if (configured)
        copy_text(name, size, names + index * size);
    unlock_settings();
    return configured;
}

int record_slot_poll_of(const char* names, int slots, int size, const int& count, HostStateEntry* states,
                        PollReading* readings, int index, const char* name, int answered, PollOutcome& outcome)
{
    lock_settings();
    int same = index >= 0 && index < count && index < slots && strncmp(names + index * size, name, size) == 0;
    if (same) {
        outcome = record_poll(states[index], answered);
        note_poll(readings[index], name, answered);
    }
    unlock_settings();
    return same;
}

PollOutcome record_poll(HostStateEntry& state, int answered)
{
    PollOutcome outcome{};
    if (answered) {
        // Only a host that missed at least once can come back, also when a
        // negative Retry would call every host dead.
        outcome.recovered = state.MissCount > 0 && state.MissCount > Settings.Retry;
        state.MissCount = 0;
        state.DeadReportCounter = 0;
    } else {
        ++state.MissCount;
        outcome.dead = state.MissCount > Settings.Retry;
        outcome.report_dead = outcome.dead && repeat_due(state.DeadReportCounter);
    }
    outcome.unstable = judge_unstable(state, answered, outcome.dead || outcome.recovered, &outcome.misses,
                                      &outcome.polls);
    return outcome;
}

void tell_poll(const HostInterface* host, const PollTexts& texts, int index, const char* name, int answered,
               PollOutcome outcome)
{
    if (outcome.unstable != UnstableNone)
        tell_unstable(host, texts.kind, index, name, outcome.unstable, outcome.misses, outcome.polls);
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
