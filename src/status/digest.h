// The daily digest: the figures of the time since the last digest (or the
// start), and once per calendar day at the set time one mail to the Mail
// recipients with what happened, only of what happened.
#pragma once

#include <windows.h>

#include <cstdint>

#include "checks/internet.h"
#include "report/report.h"
#include "settings/settings.h"
#include "status/status_file.h"

// One line of the digest about an entry that missed, or a drive that was
// not fine.
struct DigestItem {
    char Name[HostNameSize];
    uint32_t Misses;
    uint32_t DeadMinutes;
    int UpNow;
    int32_t LowestMB;      // drives: -1 never read
    int Worst;             // drives: the worst DriveStatus
};

// The certificate of a TLS entry as the digest shows it.
struct DigestCert {
    char Entry[ServiceNameSize];
    int32_t DaysLeft; // below 0: expired
};

// What the daily digest says of the time since the last one (or the start).
struct DigestFacts {
    char Domain[sizeof SettingsRecord::HostDomain];
    int SinceStart;
    SYSTEMTIME Since;      // local time when the time covered began
    uint32_t Cycles;
    int Events;
    int HostCount, ServiceCount, DriveCount;
    DigestItem Hosts[MaxHosts], Services[MaxServices], Drives[MaxDrives];
    int MemoryShort;
    int32_t LowestMB;
    uint32_t ModulesHeldMinutes;
    int Flow;              // the mail flow check was on
    uint32_t ProbesSent, ProbesBack, ProbesLost;
    int RoundTrips;        // round trips measured
    uint32_t MedianMs, WorstMs;
    int CertCount;
    DigestCert Certs[MaxServices];
    uint32_t Failures;
    InternetFacts Internet;
};

void write_digest_text(Job job, const void* facts, int channel);

// A new life starts a new day of figures, with no digest sent yet.
void reset_digest();
// Brings the day's figures up to the end of this cycle, at now (monotonic ms).
void add_cycle_to_day(const StatusSnapshot& s, uint64_t now);
// Sends the digest of the day when it is due (digest_minute: its minute of
// the day, -1 for none) and begins a new day of figures.
void send_digest_when_due(const StatusSnapshot& s, const ReportSnapshot& report, int digest_minute, uint64_t now);
