// The end of a poll cycle: the status file, the digest's figures, the
// heartbeat and the daily digest. They read what the checks left and never
// drive a check.
#include <cstring>

#include "monitor/monitor.h"
#include "platform/daemon_state.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "report/report.h"
#include "settings/settings.h"

namespace {

constexpr uint64_t MsPerMinute = 60000;

// The digest's figures of one host or service, or one drive, kept by name:
// a reread that keeps an entry keeps them, wherever it now stands.
struct EntryFigures {
    char Name[HostNameSize];
    uint32_t Misses;
    uint64_t DeadMs;
    int UpNow;
    int32_t LowestMB; // drives: -1 never read
    int Worst;        // drives: the worst DriveStatus
    uint32_t Seen;    // the last update that found the entry in its table
};

// Everything since the last digest (or the start). Control thread only.
struct DayFigures {
    SYSTEMTIME Since;
    int SinceStart;
    uint64_t LastMs; // the last update
    uint32_t Updates;
    EntryFigures Hosts[MaxHosts], Services[MaxServices], Drives[MaxDrives];
    int MemoryShort;
    int32_t LowestMB;
    uint64_t ModulesHeldMs;
    uint32_t SentAt, BackAt, LostAt, FailuresAt; // the counts when the day began
};
DayFigures Day;

// When the heartbeat and the digest went out. Control thread only.
struct Schedule {
    uint32_t HeartbeatsTried; // in this life
    uint32_t HeartbeatsSent;
    uint64_t LastHeartbeatMs;
    uint32_t LastDigestDay;   // year * 10000 + month * 100 + day; 0: none yet
};
Schedule Sent;

uint32_t day_number(const SYSTEMTIME& t)
{
    return t.wYear * 10000u + t.wMonth * 100u + t.wDay;
}

// A new day of figures from now on.
void begin_day(int since_start, const SYSTEMTIME& local, uint64_t now)
{
    lock_settings();
    uint32_t sent = MailFlow.Sent, back = MailFlow.BackTotal, lost = MailFlow.Lost;
    MailFlow.TripCount = 0;
    unlock_settings();
    Day = DayFigures{};
    Day.Since = local;
    Day.SinceStart = since_start;
    Day.LastMs = now;
    Day.LowestMB = INT32_MAX;
    Day.SentAt = sent;
    Day.BackAt = back;
    Day.LostAt = lost;
    Day.FailuresAt = static_cast<uint32_t>(FailuresTallied);
}

// The record of name in table: its own, else one whose entry has left the
// table (not seen in this update), made afresh.
template <int N>
EntryFigures& figures_of(EntryFigures (&table)[N], const char* name)
{
    EntryFigures* gone = &table[0];
    for (EntryFigures& f : table) {
        if (strncmp(f.Name, name, sizeof f.Name) == 0)
            return f;
        if (f.Seen != Day.Updates)
            gone = &f;
    }
    *gone = EntryFigures{};
    copy_text(gone->Name, name);
    gone->LowestMB = -1;
    return *gone;
}

// Marks the records of the entries in the table first, so that a new entry
// never takes the record of one that is still there.
template <int N, typename Reading>
void mark_seen(EntryFigures (&table)[N], const Reading* readings, int count)
{
    for (int k = 0; k < count; ++k)
        for (EntryFigures& f : table)
            if (readings[k].Name[0] != '\0' && strncmp(f.Name, readings[k].Name, sizeof readings[k].Name) == 0)
                f.Seen = Day.Updates;
}

template <int N>
void add_checks(EntryFigures (&table)[N], const PollReading* readings, int count, uint64_t interval)
{
    mark_seen(table, readings, count);
    for (int k = 0; k < count; ++k) {
        const PollReading& r = readings[k];
        if (r.Name[0] == '\0')
            continue;
        EntryFigures& f = figures_of(table, r.Name);
        f.Seen = Day.Updates;
        // Only a check of this cycle counts: a reading can be older.
        if (r.Cycle == CyclesStarted && !r.Up)
            ++f.Misses;
        if (r.Dead)
            f.DeadMs += interval;
        f.UpNow = r.Up;
    }
}

// Brings the day's figures up to the end of this cycle.
void add_cycle(const StatusSnapshot& s, uint64_t now)
{
    uint64_t interval = now - Day.LastMs;
    Day.LastMs = now;
    ++Day.Updates;
    add_checks(Day.Hosts, s.Hosts, s.HostCount, interval);
    add_checks(Day.Services, s.Services, s.ServiceCount, interval);
    mark_seen(Day.Drives, s.Drives, s.DriveCount);
    for (int k = 0; k < s.DriveCount; ++k) {
        const DriveReading& r = s.Drives[k];
        if (r.Name[0] == '\0' || r.Cycle != CyclesStarted)
            continue;
        EntryFigures& f = figures_of(Day.Drives, r.Name);
        f.Seen = Day.Updates;
        if (r.Status != DriveUnreadable && (f.LowestMB < 0 || r.FreeMB < f.LowestMB))
            f.LowestMB = r.FreeMB;
        if (r.Status > f.Worst)
            f.Worst = r.Status;
    }
    if (s.MemoryRead && s.MemoryShort) {
        Day.MemoryShort = 1;
        if (s.AvailableMB < Day.LowestMB)
            Day.LowestMB = s.AvailableMB;
    }
    if (s.ModulesOffline)
        Day.ModulesHeldMs += interval;
}

int count_bits(int mask)
{
    return (mask & 1) + (mask >> 1 & 1);
}

void send_heartbeat(const StatusSnapshot& s, const ReportChannel& to, const ReportSnapshot& report, int selected)
{
    HeartbeatFacts h{};
    copy_text(h.Domain, report.HostDomain);
    h.First = Sent.HeartbeatsTried++ == 0;
    h.Hosts = s.HostCount;
    for (int k = 0; k < s.HostCount; ++k) {
        h.HostsUp += s.Hosts[k].Up;
        h.Problems += s.Hosts[k].Name[0] != '\0' && !s.Hosts[k].Up;
    }
    h.Services = s.ServiceCount;
    for (int k = 0; k < s.ServiceCount; ++k) {
        h.ServicesUp += s.Services[k].Up;
        h.Problems += s.Services[k].Name[0] != '\0' && !s.Services[k].Up;
    }
    h.Drives = s.DriveCount;
    for (int k = 0; k < s.DriveCount; ++k)
        if (s.Drives[k].Name[0] != '\0') {
            ++h.DriveStates[s.Drives[k].Status & 3];
            h.Problems += s.Drives[k].Status != DriveFine;
        }
    h.MemoryRead = s.MemoryRead;
    h.MemoryShort = s.MemoryShort;
    h.AvailableMB = s.AvailableMB;
    h.Problems += s.MemoryRead && s.MemoryShort;
    h.ModulesSelected = selected;
    h.ModulesHeld = s.ModulesOffline;
    h.Problems += count_bits(s.ModulesOffline);
    // The certificate nearest to expiry; one within its warning or critical
    // days is a problem (an expired one is a service down already).
    int64_t nearest = INT64_MAX;
    for (int k = 0; k < s.ServiceCount; ++k) {
        const PollReading& r = s.Services[k];
        if (r.Name[0] == '\0' || !r.CertRead)
            continue;
        h.Problems += r.CertLevel == CertWarning || r.CertLevel == CertCritical;
        if (r.CertExpiry < nearest) {
            nearest = r.CertExpiry;
            copy_text(h.CertEntry, r.Name);
        }
    }
    h.CertDays = days_left(nearest, s.EndSeconds);
    h.Flow = !s.FlowOn ? -1 : !s.FlowJudged ? 0 : s.FlowUp ? 1 : 2;
    h.Problems += h.Flow == 2;
    h.Cycles = s.Cycles;
    h.Failures = s.Failures;
    Sent.HeartbeatsSent += send_mail(report, to, write_heartbeat_text, &h);
}

// The median and the worst of the round trips of the day.
void trip_figures(DigestFacts& d)
{
    static uint32_t trips[MaxTrips];
    lock_settings();
    int n = MailFlow.TripCount;
    memcpy(trips, MailFlow.Trips, n * sizeof trips[0]);
    unlock_settings();
    // Once a day, at most a day of probes: an insertion sort will do.
    for (int i = 1; i < n; ++i)
        for (int j = i; j > 0 && trips[j - 1] > trips[j]; --j) {
            uint32_t t = trips[j];
            trips[j] = trips[j - 1];
            trips[j - 1] = t;
        }
    d.RoundTrips = n;
    if (n > 0) {
        d.MedianMs = n % 2 ? trips[n / 2] : trips[n / 2 - 1] + (trips[n / 2] - trips[n / 2 - 1]) / 2;
        d.WorstMs = trips[n - 1];
    }
}

void list_misses(DigestItem* items, int& count, int& events, EntryFigures* table, int slots,
                 const PollReading* readings, int entries)
{
    for (int k = 0; k < entries; ++k)
        for (int f = 0; f < slots; ++f)
            if (readings[k].Name[0] != '\0' && table[f].Misses > 0 &&
                strncmp(table[f].Name, readings[k].Name, HostNameSize) == 0) {
                DigestItem& item = items[count++];
                copy_text(item.Name, table[f].Name);
                item.Misses = table[f].Misses;
                item.DeadMinutes = static_cast<uint32_t>(table[f].DeadMs / MsPerMinute);
                item.UpNow = table[f].UpNow;
                ++events;
                break;
            }
}

void send_digest(const StatusSnapshot& s, const ReportSnapshot& report)
{
    static DigestFacts d;
    d = DigestFacts{};
    copy_text(d.Domain, report.HostDomain);
    d.SinceStart = Day.SinceStart;
    d.Since = Day.Since;
    d.Cycles = Day.Updates;
    list_misses(d.Hosts, d.HostCount, d.Events, Day.Hosts, MaxHosts, s.Hosts, s.HostCount);
    list_misses(d.Services, d.ServiceCount, d.Events, Day.Services, MaxServices, s.Services, s.ServiceCount);
    for (int k = 0; k < s.DriveCount; ++k)
        for (const EntryFigures& f : Day.Drives)
            if (s.Drives[k].Name[0] != '\0' && f.Worst != DriveFine &&
                strncmp(f.Name, s.Drives[k].Name, DriveNameSize) == 0) {
                DigestItem& item = d.Drives[d.DriveCount++];
                copy_text(item.Name, f.Name);
                item.LowestMB = f.LowestMB;
                item.Worst = f.Worst;
                ++d.Events;
                break;
            }
    d.MemoryShort = Day.MemoryShort;
    d.LowestMB = Day.LowestMB;
    d.ModulesHeldMinutes = static_cast<uint32_t>(Day.ModulesHeldMs / MsPerMinute);
    d.Events += d.MemoryShort + (Day.ModulesHeldMs > 0);
    d.Flow = s.FlowOn;
    if (d.Flow) {
        lock_settings();
        d.ProbesSent = MailFlow.Sent - Day.SentAt;
        d.ProbesBack = MailFlow.BackTotal - Day.BackAt;
        d.ProbesLost = MailFlow.Lost - Day.LostAt;
        unlock_settings();
        trip_figures(d);
        d.Events += d.ProbesLost > 0;
    }
    for (int k = 0; k < s.ServiceCount; ++k) {
        const PollReading& r = s.Services[k];
        if (r.Name[0] == '\0' || !r.CertRead)
            continue;
        DigestCert& cert = d.Certs[d.CertCount++];
        copy_text(cert.Entry, r.Name);
        cert.DaysLeft = days_left(r.CertExpiry, s.EndSeconds);
        d.Events += r.CertLevel == CertWarning || r.CertLevel == CertCritical;
    }
    d.Failures = s.Failures - Day.FailuresAt;
    d.Events += d.Failures > 0;
    send_mail(report, report.mail, write_digest_text, &d);
}

} // namespace

void reset_summaries()
{
    Sent = Schedule{};
    SYSTEMTIME local;
    Platform.GetLocalTime(&local);
    begin_day(1, local, Platform.MonotonicMs());
}

void end_of_cycle(const HostInterface* host)
{
    if (StopRequested)
        return;
    count_completed_cycle();
    static StatusSnapshot s;
    take_status_snapshot(s);
    uint64_t now = Platform.MonotonicMs();
    add_cycle(s, now);

    ReportSnapshot report;
    take_mail_snapshot(report);
    ReportChannel beat;
    lock_settings();
    const RecipientLists& h = Settings.Added.Heartbeat;
    copy_channel(beat, MailChannel, h.MailCount, h.MailList, h.MailRecipients);
    // SMS forms are not needed, but taken: one text for every address.
    for (int k = 0; k < h.SmsCount && beat.count < MaxRecipients; ++k)
        copy_text(beat.recipients[beat.count++], h.SmsRecipients[k]);
    if (h.SmsCount > 0)
        format_text(beat.to_list, sizeof beat.to_list, "%s%s%s", h.MailList, h.MailCount ? "," : "", h.SmsList);
    uint64_t period = static_cast<uint64_t>(heartbeat_minutes(Settings)) * MsPerMinute;
    int digest_minute = Settings.Added.DigestMinute;
    int selected = modules_selected_by(Settings);
    unlock_settings();

    s.HeartbeatOn = beat.count > 0;
    if (s.HeartbeatOn && (Sent.HeartbeatsTried == 0 || now - Sent.LastHeartbeatMs >= period)) {
        Sent.LastHeartbeatMs = now;
        send_heartbeat(s, beat, report, selected);
    }
    s.HeartbeatsSent = Sent.HeartbeatsSent;
    write_status_file(host, s);

    // Once per calendar day, at the first cycle at or after its time: a
    // clock set back never brings a second one on the same day.
    SYSTEMTIME local;
    Platform.GetLocalTime(&local);
    uint32_t today = day_number(local);
    if (digest_minute >= 0 && local.wHour * 60 + local.wMinute >= digest_minute && today > Sent.LastDigestDay &&
        !StopRequested) {
        Sent.LastDigestDay = today;
        if (report.mail.count > 0)
            send_digest(s, report);
        begin_day(0, local, now);
    }
}
