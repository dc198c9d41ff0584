// The control thread and the tests it runs in every poll cycle.
#pragma once

#include <windows.h>

#include <cstdint>
#include <cstring>

#include "monitor/status.h"
#include "platform/text.h"
#include "settings/settings.h"

struct HostInterface;

// The thread routine; startup creates it with parameter 0.
DWORD WINAPI control_thread(LPVOID unused);

// The pacing rule of the host and drive loops, applied after every item:
// 0 when a stop was requested (the loop ends at once, no pause), otherwise
// a pause of 60 ms that a stop cuts short; 1 to go on with the next item,
// 0 when the stop came during the pause.
int pause_after_item();

// A look-up or an echo cut short by a stop: neither an answer nor a miss.
constexpr int PingStopped = -1;

// One ICMP echo to the host in slot index of HostNames; 1 answered, 0 not,
// or PingStopped.
int ping_host(int index);
// The first IPv4 address of a host name, in network order; INADDR_NONE with
// *error set when it is not found. It blocks: errands only.
unsigned long look_up_name(const char* name, int* error);
// Copies the name in slot index of a host, drive or service table, under the
// settings lock; 0 when the slot is not (or no longer) part of the table.
template <int Slots, int Size>
int copy_slot_name(const char (&names)[Slots][Size], const int& count, int index, char (&name)[Size])
{
    lock_settings();
    int configured = index >= 0 && index < count && index < Slots;
    if (configured)
        copy_text(name, names[index]);
    unlock_settings();
    return configured;
}
inline int copy_host_name(int index, char (&name)[HostNameSize])
{
    return copy_slot_name(Settings.HostNames, Settings.HostCount, index, name);
}
// One pass over the host table with the per-host state machine.
void poll_hosts(const HostInterface* host);

// What one poll changed for a host or service, decided under the lock and
// then told to the host without it.
struct PollOutcome {
    bool recovered;    // answered after it had been declared dead
    bool dead;         // missed once more than Retry allows
    bool report_dead;  // and its turn in the repeat interval has come
};
// Applies one poll's answer to a host's or service's state, with Retry and
// Suspend. Called with the lock held; makes no host call.
PollOutcome record_poll(HostStateEntry& state, int answered);
// Applies the answer to states[index] and to the status file's reading
// under the lock when slot index still holds name: a reload may have shrunk
// or rewritten the table during the check, and the answer belongs only to
// what was checked. 0 when it does not.
template <int Slots, int Size>
int record_slot_poll(const char (&names)[Slots][Size], const int& count, HostStateEntry (&states)[Slots],
                     PollReading (&readings)[Slots], int index, const char* name, int answered, PollOutcome& outcome)
{
    lock_settings();
    int same = index >= 0 && index < count && index < Slots && strncmp(names[index], name, Size) == 0;
    if (same) {
        outcome = record_poll(states[index], answered);
        note_poll(readings[index], name, answered);
    }
    unlock_settings();
    return same;
}
// The texts of one kind of polled item (formats with the item's name).
struct PollTexts {
    int kind;             // the ReportKind of its reports
    const char* on_again; // logged at a recovery
    const char* dead;     // logged at every dead poll
};
// The lines, reports and count of one poll that record_poll decided, after
// the caller has logged the miss line of its own.
void tell_poll(const HostInterface* host, const PollTexts& texts, int index, const char* name, int answered,
               PollOutcome outcome);

// A service check, carried out on the errand thread on this copy of the
// entry; everything the control thread then tells comes from here.
enum ServiceOutcome {
    ServiceAnswered,
    ServiceRefused,
    ServiceTimedOut,
    ServiceNoGreeting,
    ServiceWrongGreeting,
    ServiceUnresolvable,
    ServiceConnectError,     // the socket could not be opened or connected
    ServiceNoStarttls,       // the upgrade was not offered or was refused
    ServicePlainText,        // plain text where TLS was expected
    ServiceHandshakeFailed,  // with SChannel's status in error
    ServiceHandshakeTimedOut,
};
constexpr int GreetingSize = 512;
constexpr int SubjectSize = 100;
// The server's certificate as a TLS check read it, whatever its trust.
struct CertificateInfo {
    int read;                   // the leaf certificate was read
    int64_t not_before;         // Unix seconds
    int64_t not_after;
    char subject[SubjectSize];  // as reports show it (common name, else the whole name), printable ASCII
    int trusted;                // a full chain to a trusted root, no partial chain
    int name_matches;           // the configured host name is among the certificate's names
};
struct ServiceCheck {
    ServiceTarget target;
    int outcome;                      // a ServiceOutcome
    int error;                        // the Windows Sockets error, or SChannel's for a failed handshake
    int greeting_size;
    char greeting[GreetingSize + 1];  // what arrived, terminated
    int lacks_tls13;                  // the system offers no TLS 1.3, which the server may want
    CertificateInfo certificate;      // from a completed handshake
};
// A certificate's level: fine, or within its warning or critical days, or
// expired (a miss of the service).
enum CertLevel { CertFine = 0, CertWarning = 1, CertCritical = 2, CertExpired = 3 };
// The level at now, with the thresholds lowered for a short-lived
// certificate: warning below the smaller of warn_days and a quarter of its
// lifetime, critical below the smaller of critical_days and a tenth; 0 days
// turn a level off.
int certificate_level(const CertificateInfo& c, int64_t now, int warn_days, int critical_days);
// Whole days from now to the certificate's expiry (negative once expired).
int32_t days_left(int64_t expiry, int64_t now);
// What the notices of a certificate ask for at this check.
enum CertNotice { NoNotice = -1, RenewedNotice = 0, WarningNotice = 1, CriticalNotice = 2 };
// Keeps the notices of the certificate read in a service's reading: one
// when the certificate enters each level, a reminder once a day while it
// is critical, and one renewed notice when a certificate with a later
// expiry brings the entry back to fine after a notice. Called with the lock
// held.
int certificate_notice(PollReading& r, const CertificateInfo& c, int level, uint64_t now_ms);
// Logs and reports the notice of slot index's certificate.
void tell_certificate(const HostInterface* host, int index, const char* name, const CertificateInfo& c, int notice,
                      int64_t now);
// "YYYY-MM-DD" of a Unix time, in UTC.
void format_day(char (&text)[11], int64_t seconds);

// Turns a finished check of slot index into its state, log lines, counts
// and reports.
void tell_service_check(const HostInterface* host, int index, const char* name, const ServiceCheck& check);
// One pass over the service table, after the disk test.
void check_services(const HostInterface* host);
// The mail flow check. Its table is shared by the control thread (sends,
// judges) and the daemon entry point (probes back), under the settings lock.
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
    uint32_t BackNumber;       // the last one back, 0 when none was in flight
    uint64_t RoundTripMs;      // of the last probe back that was in flight
    int RoundTripKnown;
    uint32_t Lost;             // probes counted lost in this life
    uint32_t Sent, BackTotal;  // probes sent and back in this life
    int Judged;                // a judgement was made in this life
    int Up;                    // the last judgement was an answer
    // Round trips since the last digest, for its median and worst.
    uint32_t Trips[MaxTrips];
    int TripCount;
};
extern MailFlowState MailFlow;
// The host test's counts for the mail flow, as for one more host.
extern HostStateEntry MailFlowPoll;

enum FlowVerdict { FlowNone, FlowAnswered, FlowMissed };
struct FlowJudgement {
    int verdict;     // a FlowVerdict
    uint32_t number; // the lost probe, or the one back (0: none was in flight)
    uint64_t ms;     // the lost probe's age, or the round trip of the one back
};
// Judges the flow at now: when the oldest probe in flight is older than
// lost_after minutes, it (and any other that old) is lost and the flow
// missed; else a probe back since the last judgement is an answer; else
// there is no judgement yet.
FlowJudgement judge_mail_flow(MailFlowState& flow, uint64_t now, int lost_after);
// A probe came back at now: takes the oldest in flight off the table, with
// its number and round trip; 0 when none was in flight (it still counts as
// the flow moving).
int take_probe_back(MailFlowState& flow, uint64_t now, uint32_t* number, uint64_t* round_trip);
// Judges the flow, with the host test's rules, then sends a probe unless
// MaxProbes are in flight. After the service checks.
void check_mail_flow(const HostInterface* host);

// Logs the memory figures and reports short memory.
void test_memory(const HostInterface* host);
// One pass over the drive table: free space, the per-drive state machine,
// its reports and module requests.
void test_disks(const HostInterface* host);

// Asks the host to set MercuryS and MercuryD (each as the settings select)
// online (1) or offline (0), announcing each request in the log when log is
// nonzero. 1 when no request was refused, else 0.
int set_modules_online(const HostInterface* host, int online, int log);
// The modules that the settings select: bit 0 MercuryS, bit 1 MercuryD.
inline int modules_selected_by(const SettingsRecord& s) { return (s.SuspendMercS ? 1 : 0) | (s.SuspendMercD ? 2 : 0); }
// The same for Settings as they are now, read under the lock.
int selected_modules();
// The same for the modules in mask, whatever the settings select; returns
// the mask of the modules whose request was refused.
int set_modules(const HostInterface* host, int mask, int online, int log);

// The modules that the daemon itself has taken offline (the host accepted
// the request) and not yet brought back: bit 0 MercuryS, bit 1 MercuryD.
// Guarded by the settings lock.
extern int ModulesTakenOffline;

// Short-memory cycles still to pass before the next memory report.
extern int32_t MemoryReportCountdown;
