// The up/down state machine that every polled entry shares (a host, a
// service, the mail flow): Retry misses in a row make it dead, Suspend
// spaces its dead reports, an answer after death is a recovery. Beside it,
// the last reading of each entry for what the end of a cycle tells.
#pragma once

#include <cstdint>
#include <cstring>

#include "platform/text.h"
#include "settings/settings.h"

struct HostInterface;

// Poll cycles begun in this life, counted by the control thread at the
// start of each; a reading of the current cycle carries its number.
extern uint32_t CyclesStarted;

// The last check of the host or service in one slot.
struct PollReading {
    char Name[HostNameSize]; // the entry it belongs to; empty: none yet
    int32_t Up;              // the last check answered
    uint16_t Missed;         // checks missed in a row, held at 65,535
    uint8_t Dead;            // declared dead (copied into a snapshot only)
    uint32_t Cycle;          // the cycle that checked it (CyclesStarted)
};
static_assert(HostNameSize == ServiceNameSize);

// Notes one check of the entry name in a slot. Called with the lock held.
void note_poll(PollReading& reading, const char* name, int answered);

// What one poll changed for an entry, decided under the lock and then told
// to the host without it.
struct PollOutcome {
    bool recovered;    // answered after it had been declared dead
    bool dead;         // missed once more than Retry allows
    bool report_dead;  // and its turn in the repeat interval has come
    int unstable;      // an UnstableStep, with the misses of the last polls
    int misses, polls;
};
// Applies one poll's answer to an entry's state, with Retry and Suspend.
// Called with the lock held; makes no host call.
PollOutcome record_poll(HostStateEntry& state, int answered);

// Copies the name in slot index of a host, drive or service table, under the
// settings lock; 0 when the slot is not (or no longer) part of the table.
// One function for every table: names holds slots of size bytes each.
int copy_slot_name_of(const char* names, int slots, int size, const int& count, int index, char* name);
template <int Slots, int Size>
inline int copy_slot_name(const char (&names)[Slots][Size], const int& count, int index, char (&name)[Size])
{
    return copy_slot_name_of(names[0], Slots, Size, count, index, name);
}

// Applies the answer to states[index] and to its reading under the lock
// when slot index still holds name: a reload may have shrunk or rewritten
// the table during the check, and the answer belongs only to what was
// checked. 0 when it does not.
int record_slot_poll_of(const char* names, int slots, int size, const int& count, HostStateEntry* states,
                        PollReading* readings, int index, const char* name, int answered, PollOutcome& outcome);
template <int Slots, int Size>
inline int record_slot_poll(const char (&names)[Slots][Size], const int& count, HostStateEntry (&states)[Slots],
                            PollReading (&readings)[Slots], int index, const char* name, int answered,
                            PollOutcome& outcome)
{
    return record_slot_poll_of(names[0], Slots, Size, count, states, readings, index, name, answered, outcome);
}

// The texts of one kind of polled entry (formats with the entry's name).
struct PollTexts {
    int kind;             // the ReportKind of its reports
    const char* on_again; // logged at a recovery
    const char* dead;     // logged at every dead poll
};
// The lines, reports and count of one poll that record_poll decided, after
// the caller has logged the miss line of its own.
void tell_poll(const HostInterface* host, const PollTexts& texts, int index, const char* name, int answered,
               PollOutcome outcome);
