// The status file: the daemon's figures at the end of each poll cycle, in
// the text format that the Prometheus exporters' text-file collectors and a
// Zabbix agent read, so that a central monitor needs no second agent pinging
// the same hosts. It reads the state the checks left and drives none.
#pragma once

#include <cstddef>
#include <cstdint>

#include "checks/certificates.h"
#include "checks/drives.h"
#include "checks/internet.h"
#include "cycle/poll_state.h"
#include "settings/settings.h"

struct HostInterface;

// Everything one file (and the heartbeat and digest) shows, copied at the
// end of a cycle. A reading whose name is empty is not shown: its slot holds
// an entry not yet checked.
struct StatusSnapshot {
    uint32_t Cycles;
    int64_t EndSeconds; // Unix time
    int64_t StartSeconds; // Unix time at the start of the life
    uint32_t PollSeconds; // the pause between cycles in force
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
    CertReading Certs[MaxServices]; // of the same entries; Read: a certificate was read
    int TlsEntries; // a service entry checks TLS: the certificate families show
    int TlsUnavailable; // as TlsUnavailable
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
    // The Internet checks, while they are on.
    int InternetOn;
    InternetState Internet;
};

// Room for the longest text: 15 hosts, 10 drives and 15 services with their
// certificates, with names of nothing but characters that take two bytes
// each, every other family and 8 blocklists.
constexpr size_t StatusTextSize = 31 * 1024;

// The file's text; 1 when it fitted whole.
int format_status(char* text, size_t size, const StatusSnapshot& s);

// A new life starts with no readings and no counts.
void reset_status();

// The state at the end of a cycle, copied under the lock: the readings of
// the entries now in the tables, and the counts.
void take_status_snapshot(StatusSnapshot& s);
// Counts a cycle that ran to its end; the number of such cycles in this life.
uint32_t count_completed_cycle();
// Writes the file of the snapshot, when a StatusFile is set.
void write_status_file(const HostInterface* host, const StatusSnapshot& s);
