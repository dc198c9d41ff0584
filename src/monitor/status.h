// The status file: the daemon's figures after every poll cycle, in the text
// format that the Prometheus exporters' text-file collectors (and a Zabbix
// agent) read, so that a central monitor needs no second agent pinging the
// same hosts.
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
};

// The last check of the host or service in one slot.
struct PollReading {
    char Name[HostNameSize]; // the entry it belongs to; empty: none yet
    int32_t Up;              // the last check answered
    uint16_t Missed;         // checks missed in a row, held at 65,535
};
static_assert(HostNameSize == ServiceNameSize);

// The last checks, guarded by the settings lock: a reload zeroes the
// daemon's own counts, and the file must still show what the last check
// found.
extern PollReading HostReadings[MaxHosts];
extern PollReading ServiceReadings[MaxServices];

// Notes one check of the entry name in a slot. Called with the lock held.
void note_poll(PollReading& reading, const char* name, int answered);

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
    int DriveCount; // 0 while the disk test is off
    uint8_t DriveKeys[MaxDrives];
    DriveReading Drives[MaxDrives];
    int ModulesOffline; // as ModulesTakenOffline
    int ServiceCount;
    uint8_t ServiceKeys[MaxServices];
    PollReading Services[MaxServices];
    // The mail flow check, while it is on.
    int FlowOn;
    int FlowJudged, FlowUp;
    int FlowRoundTripKnown;
    uint64_t FlowRoundTripMs;
    int FlowInFlight;
    uint32_t FlowLost;
};

// Room for the longest text: 15 hosts, 10 drives and 15 services with
// names of nothing but characters that take two bytes each.
constexpr size_t StatusTextSize = 16 * 1024;

// The file's text; 1 when it fitted whole.
int format_status(char* text, size_t size, const StatusSnapshot& s);

// A new life starts with no readings and no counts.
void reset_status();
// The memory test's figures.
void note_memory(int32_t physical, int32_t paged);
// The disk test's judgement of the drive name in slot index, with the
// settings lock held.
void note_drive_read(int index, const char* name, int32_t free);
void note_drive_unreadable(int index, const char* name);

// Writes the file at the end of a cycle that ran to its end.
void write_status_file(const HostInterface* host);
