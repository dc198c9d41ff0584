// The daemon's settings record, the report recipients and the run-time
// states of the monitored hosts and drives, with the one lock that guards
// them all.
#pragma once

#include <cstddef>
#include <cstdint>

#include "settings/internet.h"

struct HostInterface;

constexpr int MaxHosts = 15;
constexpr int MaxDrives = 10;
constexpr int MaxRecipients = 5;
constexpr int MaxServices = 15;
constexpr int ServiceNameSize = 100;
constexpr int HostNameSize = 100;
constexpr int DriveNameSize = 10;
constexpr int AddressSize = 100;
constexpr int ListSize = 300;
// A path as Windows' file functions take it, terminator included.
constexpr int StatusPathSize = 260;
static_assert(InternetNoteSize == ListSize, "[Internet] notes are corrections too");

// The daemon's version, as korval.ini and the status file give it.
constexpr const char* KorvalVersion = "1.18";
// The local part of the daemon's address when none is set.
constexpr const char* DefaultFromAlias = "korval-daemon";

struct RecipientLists {
    char MailRecipients[MaxRecipients][AddressSize];
    int MailCount;
    char SmsRecipients[MaxRecipients][AddressSize];
    int SmsCount;
    char MailList[ListSize];
    char SmsList[ListSize];
};

// [Alerts]: what the ledger holds back, groups or adds. On once the
// section holds any key; every other value is off at 0.
constexpr int MaxWindows = 8;
// A span of local time: weekly (Weekday 0 Sunday .. 6), daily (7) or on one
// date (-1, Day since 1970-01-01). End at or before Start crosses midnight.
constexpr int EveryDay = 7;
constexpr int OnDate = -1;
struct TimeWindow {
    int Weekday;
    int32_t Day;
    int Start, End; // minutes of the day
};
struct AlertSettings {
    int On;
    int UnstableMisses, UnstablePolls; // K of the last N polls
    int DiskMargin;                    // MB
    int Group;
    int SmsPerHour;
    int QuietOn;
    TimeWindow Quiet;
    TimeWindow Windows[MaxWindows];
    int WindowCount;
    char Corrections[6][ListSize];
};

// The settings that the dialog does not show. An accepted dialog keeps them
// as memory holds them at that moment, and OK + Save leaves their keys in
// the file as written.
struct AddedSettings {
    // [Services]: each entry as written in korval.ini
    char ServiceNames[MaxServices][ServiceNameSize];
    int ServiceCount;
    uint8_t ServiceKeys[MaxServices]; // each entry's key number, as DriveKeys
    // Entries that could not be parsed, for the summary only (cut to fit)
    char SkippedServices[MaxServices][ServiceNameSize];
    int SkippedCount;
    // [Services] CertWarnDays and CertCriticalDays: the days before a TLS
    // entry's certificate expires at which it warns and turns critical,
    // each lowered for a short-lived certificate; 0 turns that level off.
    int CertWarnDays;
    int CertCriticalDays;
    // [General] StatusFile as a full path, a relative one taken from
    // korval.ini's folder; empty: no status file. Refused: the key was set,
    // but the path and its temporary twin did not fit whole.
    char StatusFile[StatusPathSize];
    int StatusFileRefused;
    // [MailFlow] LostAfter: minutes after which a probe that has not come
    // back is lost; 0: no probes.
    int LostAfter;
    // [Heartbeat]: where the heartbeat goes (none: no heartbeat), its period
    // in minutes as written (the poll time may lengthen it), and the minute
    // of the day of the digest, -1 for none.
    RecipientLists Heartbeat;
    int HeartbeatMinutes;
    int DigestMinute;
    // What a load corrected in these sections, one line each for the
    // summary (cut to fit); empty when nothing.
    char Corrections[5][ListSize];
    // [Internet]: blocklists, reverse DNS and MX of the public address.
    InternetSettings Internet;
    AlertSettings Alerts;
};

struct SettingsRecord {
    int PollTime;
    int Retry;
    int Suspend;
    int MemoryLimit;
    unsigned int EchoTimeout;
    char Mail[ListSize];
    char FromAlias[100];
    int FromExplicit;
    char HostDomain[100];
    char DaemonAddress[100 + 100]; // any FromAlias, '@' and any HostDomain, whole
    char IniPath[200 + sizeof("\\korval.ini")]; // any directory the 200-byte query returns
    int FreeDisk;
    int CriticalDisk;
    int SuspendMercS;
    int SuspendMercD;
    char DriveNames[MaxDrives][DriveNameSize];
    int DriveCount;
    char HostNames[MaxHosts][HostNameSize];
    int HostCount;
    // The number of each entry's key in korval.ini (Drive3, Host5), which
    // the status file shows: empty entries before it are skipped.
    uint8_t DriveKeys[MaxDrives];
    uint8_t HostKeys[MaxHosts];
    AddedSettings Added;
};

static_assert(sizeof SettingsRecord::DaemonAddress == sizeof SettingsRecord::FromAlias + sizeof SettingsRecord::HostDomain);

struct HostStateEntry {
    uint16_t MissCount;
    uint16_t DeadReportCounter;
    uint32_t History;         // the last polls, newest in bit 0, 1 a miss
    uint16_t UnstableCounter; // as DeadReportCounter, while unstable
    uint8_t Unstable;
};

struct DriveStateEntry {
    uint8_t Low;
    uint8_t ErrorCount;
    uint8_t Critical;
    int32_t ReportCounter;
};

extern SettingsRecord Settings;
extern RecipientLists Recipients;
extern HostStateEntry HostState[MaxHosts];
extern DriveStateEntry DriveState[MaxDrives];
// The service checks follow the host test's rules with counters of their own.
extern HostStateEntry ServiceState[MaxServices];
// The mail flow check's counts, as for one more host.
extern HostStateEntry MailFlowPoll;

// What a service entry names: smtp://, pop3://, imap://, their forms with
// TLS from the first byte (smtps://, pop3s://, imaps://) or after an
// upgrade (smtp+starttls:// and so on), or a bare HOST:PORT (Tcp, which
// only connects). Each is its row of ServiceKinds.
enum ServiceProtocol {
    Tcp,
    Smtp,
    Pop3,
    Imap,
    Smtps,
    Pop3s,
    Imaps,
    SmtpStarttls,
    Pop3Starttls,
    ImapStarttls,
    ServiceKindCount
};
// How an entry's service speaks TLS.
enum TlsStyle { NoTls, ImplicitTls, StartTls };
struct ServiceKind {
    const char* scheme;   // with "://"; empty for a bare HOST:PORT
    uint16_t port;        // default port, 0 when one must be given
    const char* greeting; // how the greeting line starts; empty: none read
    const char* goodbye;  // sent after the greeting
    int tls;              // a TlsStyle
};
extern const ServiceKind ServiceKinds[ServiceKindCount];

struct ServiceTarget {
    int protocol;                 // a ServiceProtocol, its row of ServiceKinds
    char host[ServiceNameSize];   // a name, a dotted address or an IPv6 literal without brackets
    int ipv6;                     // the host was written in brackets
    uint16_t port;
};
// Splits a [Services] entry; 0 when it cannot be parsed (no port, port 0 or
// above 65535, an unknown scheme, an empty or malformed host).
int parse_service(const char* entry, ServiceTarget& target);
// 1 when an entry parses and checks TLS (either style).
int service_uses_tls(const char* entry);

// Guards Settings, Recipients, HostState and DriveState. Held only to copy
// values to the stack or put new ones in place: never across a call into
// the host (log, statistics, jobs, modules, aliases), a ping, a disk or
// memory query, a wait or a message box. A thread stopped inside a host
// call then cannot leave it held.
void lock_settings();
void unlock_settings();

// The record as it stands when the library is loaded.
SettingsRecord settings_at_start();
// The library's load (and a test program's start): makes the lock and puts
// the record as a first load has it. Its unload deletes the lock, so that a
// mail server that loads and unloads the daemon again and again keeps no
// stale lock behind. The library has no run-time start-up code of its own
// to do either.
void settings_attach();
void settings_detach();

// Reads korval.ini into Settings (finding the file and the host's domain
// first); 1 when there is something to test, else 0 after logging
// "Nothing to test." and counting a failure.
int init_settings(const HostInterface* host);
// Reads korval.ini at ini_path, with domain as the host's domain, into a new
// record and puts it in place (with the recipients, the states it resets and,
// when there is something to test, the new DaemonAddress) under the lock in
// one step; nonzero when Mail and a host or a drive are configured.
int load_settings(const char* ini_path, const char* domain);
// Writes Settings to korval.ini at IniPath.
void save_settings();
// Writes the settings summary to the host's log.
void log_settings(const HostInterface* host);
// Rebuilds Recipients from Settings.Mail.
void parse_recipients();
// Cuts the next address off the front of list (modified in place) into
// out (out_size bytes, cut to fit); 0 when the list was empty.
int next_address(char* out, size_t out_size, char* list);

// Builds recipient lists from a Mail text without touching the shared
// state, so that a caller can prepare them before taking the lock.
void build_recipients(RecipientLists& lists, const char* mail);
// Sets record.DaemonAddress to FromAlias@HostDomain.
void form_daemon_address(SettingsRecord& record);
// The full path of a StatusFile value (a relative one is taken from the
// folder of ini_path) into path; 0 (path empty) when the path or its
// longest temporary twin would not fit whole.
int form_status_path(char (&path)[StatusPathSize], const char* value, const char* ini_path);
// The temporary twin of the status file that a life writes first and then
// moves over it, its own so that a write of an ended life never meets
// another's; 0 when it does not fit.
int status_tmp_path(char (&tmp)[StatusPathSize], const char* path, uint32_t life);
// The heartbeat's period: as set, but never shorter than the poll time.
inline int heartbeat_minutes(const SettingsRecord& s)
{
    return s.Added.HeartbeatMinutes > s.PollTime ? s.Added.HeartbeatMinutes : s.PollTime;
}
// Days since 1970-01-01 of a date of the Gregorian calendar.
int32_t civil_day(int year, int month, int day);
// The end (minutes of the day) of the window open at minute of day,
// -1 when it is not open.
int window_end(const TimeWindow& w, int32_t day, int minute);

// A count as far as its table reaches.
inline int in_table(int count, int slots)
{
    return count < 0 ? 0 : count > slots ? slots : count;
}
// A poll time corrected into 1 .. 1440 minutes: a load and the dialog both
// use it, since 0 would run poll cycles without a pause.
int poll_time_in_range(int minutes);
