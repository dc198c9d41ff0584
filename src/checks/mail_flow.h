// The mail flow check: every cycle a probe mail from the daemon's own
// address to itself, which the mail server hands back to the daemon's entry
// point. A probe that does not come back within LostAfter minutes means the
// queue has stopped moving, even while every port still greets. Its table is
// shared by the control thread (sends, judges) and the daemon entry point
// (probes back), under the settings lock.
#pragma once

#include <cstdint>

#include "checks/probe_sender.h"
#include "settings/settings.h"

struct HostInterface;

constexpr int MaxProbes = 8;
// A day of probes at the shortest poll time.
constexpr int MaxTrips = 1440;
struct Probe {
    uint32_t Number;
    uint64_t SentMs; // Platform.MonotonicMs when it was handed to the host
};
struct MailFlowState {
    Probe InFlight[MaxProbes]; // oldest first
    int Count;
    uint32_t NextNumber;       // the last probe's number; they count from 1
    int Back;                  // a probe came back since the last judgement
    uint32_t BackNumber;       // the last one back
    uint64_t RoundTripMs;      // of the last probe back that was in flight
    int RoundTripKnown;
    uint32_t Lost;             // probes counted lost in this life
    uint32_t Sent, BackTotal;  // probes sent and back in this life
    int Judged;                // a judgement was made in this life
    char Token[ProbeTokenSize]; // in every probe's sender; empty until the first probe
    int Up;                    // the last judgement was an answer
    // Round trips since the last digest, for its median and worst.
    uint32_t Trips[MaxTrips];
    int TripCount;
};
extern MailFlowState MailFlow;

enum FlowVerdict { FlowNone, FlowAnswered, FlowMissed };
struct FlowJudgement {
    int verdict;     // a FlowVerdict
    uint32_t number; // the lost probe, or the one back
    uint64_t ms;     // the lost probe's age, or the round trip of the one back
};
// Judges the flow at now: when the oldest probe in flight is older than
// lost_after minutes, it (and any other that old) is lost and the flow
// missed; else a probe back since the last judgement is an answer; else
// there is no judgement yet.
FlowJudgement judge_mail_flow(MailFlowState& flow, uint64_t now, int lost_after);
// Probe number came back at now: takes it off the table, with its round
// trip; 0 when it was not in flight (back after it was counted lost), which
// credits nothing.
int take_probe_back(MailFlowState& flow, uint64_t now, uint32_t number, uint64_t* round_trip);
// Judges the flow, with the host test's rules, then sends a probe unless
// MaxProbes are in flight. After the service checks.
void check_mail_flow(const HostInterface* host);
