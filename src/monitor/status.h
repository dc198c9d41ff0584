// What leaves the daemon at the end of a poll cycle: the status file (the
// daemon's figures in the text format that the Prometheus exporters'
// text-file collectors and a Zabbix agent read, so that a central monitor
// needs no second agent pinging the same hosts), the heartbeat and the daily
// digest. All of it reads the state the checks left; none drives a check.
#pragma once

#include <cstddef>
#include <cstdint>

#include "settings/settings.h"

struct HostInterface;

// A drive's state as the file shows it.
enum DriveStatus { DriveFine = 0, DriveLow = 1, DriveCritical = 2, DriveUnreadable = 3 };

// The last judgement of the drive in one slot.
struct DriveReading {
    char Name[DriveNameSize]; // the drive it belongs to; empty: none yet
    int32_t FreeMB;           // not shown while unreadable
    int32_t Status;
    uint32_t Cycle;           // the cycle that read it (CyclesStarted)
};

// The last check of the host or service in one slot.
struct PollReading {
    char Name[HostNameSize]; // the entry it belongs to; empty: none yet
    int32_t Up;              // the last check answered
    uint16_t Missed;         // checks missed in a row, held at 65,535
    uint8_t Dead;            // declared dead (copied into a snapshot only)
    uint32_t Cycle;          // the cycle that checked it (CyclesStarted)
    // A service with TLS: its certificate at the last check that read one,
    // and the notices sent for it.
    uint8_t CertRead;
    int8_t CertLevel;        // a CertLevel
    int64_t CertExpiry;      // Unix seconds
    int64_t NoticedExpiry;   // the certificate that the notices below are about
    int8_t NoticeLevel;      // the highest notice sent for it: CertFine (none), CertWarning, CertCritical
    uint64_t RemindedMs;     // the last critical notice, on the monotonic clock
};
static_assert(HostNameSize == ServiceNameSize);

// The last checks, guarded by the settings lock: a reload zeroes the
// daemon's own counts, and the file must still show what the last check
// found.
extern PollReading HostReadings[MaxHosts];
extern PollReading ServiceReadings[MaxServices];

// Notes one check of the entry name in a slot. Called with the lock held.
void note_poll(PollReading& reading, const char* name, int answered);

// Poll cycles begun in this life, counted by the control thread at the
// start of each; a reading of the current cycle carries its number.
extern uint32_t CyclesStarted;

// Everything one file shows, copied at the end of a cycle. A reading whose
// name is empty is not shown: its slot holds an entry not yet checked.
struct StatusSnapshot {
    uint32_t Cycles;
    int64_t EndSeconds; // Unix time
    uint32_t Failures;
    int HostCount;
    uint8_t HostKeys[MaxHosts]; // the entries' numbers in korval.ini
    PollReading Hosts[MaxHosts];
    int MemoryRead;
    int32_t PhysicalMB;
    int32_t PagedMB;
    int32_t AvailableMB; // the figure judged against MemoryLimit
    int MemoryShort;
    int DriveCount; // 0 while the disk test is off
    uint8_t DriveKeys[MaxDrives];
    DriveReading Drives[MaxDrives];
    int ModulesOffline; // as ModulesTakenOffline
    int ServiceCount;
    uint8_t ServiceKeys[MaxServices];
    PollReading Services[MaxServices];
    int TlsEntries; // a service entry checks TLS: the certificate families show
    // The mail flow check, while it is on.
    int FlowOn;
    int FlowJudged, FlowUp;
    int FlowRoundTripKnown;
    uint64_t FlowRoundTripMs;
    int FlowInFlight;
    uint32_t FlowLost;
    // The heartbeat, while it is on.
    int HeartbeatOn;
    uint32_t HeartbeatsSent;
};

// Room for the longest text: 15 hosts, 10 drives and 15 services with their
// certificates, with names of nothing but characters that take two bytes
// each, and every other family.
constexpr size_t StatusTextSize = 28 * 1024;

// The file's text; 1 when it fitted whole.
int format_status(char* text, size_t size, const StatusSnapshot& s);

// A new life starts with no readings and no counts.
void reset_status();
// The memory test's figures: physical and paged available, and the one it
// judged, short or not.
void note_memory(int32_t physical, int32_t paged, int32_t available, int short_memory);
// The disk test's judgement of the drive name in slot index, with the
// settings lock held.
void note_drive_read(int index, const char* name, int32_t free);
void note_drive_unreadable(int index, const char* name);

// The state at the end of a cycle, copied under the lock: the readings of
// the entries now in the tables, and the counts.
void take_status_snapshot(StatusSnapshot& s);
// Counts a cycle that ran to its end; the number of such cycles in this life.
uint32_t count_completed_cycle();
// Writes the file of the snapshot, when a StatusFile is set.
void write_status_file(const HostInterface* host, const StatusSnapshot& s);

// A new life starts a new day of the digest's figures and sends its first
// heartbeat after its first cycle.
void reset_summaries();
// Everything that follows a cycle that ran to its end (none after a cycle
// cut by a stop): the status file, the digest's figures, the heartbeat and
// the digest when they are due.
void end_of_cycle(const HostInterface* host);
