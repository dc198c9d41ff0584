// The heartbeat: a terse mail to a watcher outside, after the first
// complete cycle of a life and then every period, whose subject a watcher
// keys on ("all well" or how many problems), so that the daemon's own
// silence is noticed.
#pragma once

#include <cstdint>

#include "checks/internet.h"
#include "report/report.h"
#include "settings/settings.h"
#include "status/status_file.h"

// What the heartbeat says: the state of every kind of check now. A count of
// -1 leaves its line out (the check is off).
struct HeartbeatFacts {
    char Domain[sizeof SettingsRecord::HostDomain];
    int First;             // the first heartbeat of this life
    int Problems;
    int Hosts, HostsUp;
    int Services, ServicesUp;
    int Drives;            // 0: the disk test is off
    int DriveStates[4];    // drives by DriveStatus
    int MemoryRead, MemoryShort;
    int32_t AvailableMB;
    int ModulesSelected;   // bit 0 MercuryS, bit 1 MercuryD
    int ModulesHeld;
    int Flow;              // -1 off, 0 not judged yet, 1 moving, 2 not moving
    int CertDays;          // days left of the certificate nearest to expiry
    char CertEntry[ServiceNameSize]; // empty: no certificate read
    int TlsUnavailable;    // the system's TLS could not be loaded
    uint32_t Cycles, Failures;
    InternetFacts Internet;
};

void write_heartbeat_text(Job job, const void* facts, int channel);

// A new life sends its first heartbeat after its first complete cycle.
void reset_heartbeat();
// Sends the heartbeat to the channel when it is due at now (monotonic ms):
// the first complete cycle of a life, then every period ms. selected: the
// modules the settings select. Returns the heartbeats sent in this life.
uint32_t send_heartbeat_when_due(const StatusSnapshot& s, const ReportSnapshot& report, const ReportChannel& to,
                                 uint64_t period, int selected, uint64_t now);
