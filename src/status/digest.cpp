#include "status/digest.h"

#include <cstring>

#include "checks/drives.h"
#include "checks/mail_flow.h"
#include "platform/daemon_state.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "status/internet_line.h"
#include "report/ledger.h"

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

// The day of the last digest: year * 10000 + month * 100 + day; 0: none yet;
// and when it went, on the monotonic clock. Control thread only.
uint32_t LastDigestDay;
uint64_t LastDigestMs;
// A new day needs another date and about half a day since the last digest:
// a wall clock set back or wrong for a while never brings a second one.
constexpr uint64_t DigestGapMs = 12 * 3600000ull;

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
    begin_internet_day();
}

// The record of name in the table of slots: its own, else one whose entry
// has left the table (not seen in this update), made afresh.
EntryFigures& figures_of(EntryFigures* table, int slots, const char* name)
{
    EntryFigures* gone = &table[0];
    for (EntryFigures* f = table; f < table + slots; ++f) {
        if (strncmp(f->Name, name, sizeof f->Name) == 0)
            return *f;
        if (f->Seen != Day.Updates)
            gone = f;
    }
    *gone = EntryFigures{};
    copy_text(gone->Name, name);
    gone->LowestMB = -1;
    return *gone;
}

// Marks the records of the entries in the table first, so that a new entry
// never takes the record of one that is still there.
// The readings' names are size bytes, stride bytes apart.
void mark_seen(EntryFigures* table, int slots, const char* names, size_t stride, size_t size, int count)
{
    for (int k = 0; k < count; ++k, names += stride)
        for (EntryFigures* f = table; f < table + slots; ++f)
            if (names[0] != '\0' && strncmp(f->Name, names, size) == 0)
                f->Seen = Day.Updates;
}

template <int N>
void add_checks(EntryFigures (&table)[N], const PollReading* readings, int count, uint64_t interval)
{
    mark_seen(table, N, readings->Name, sizeof *readings, sizeof readings->Name, count);
    for (int k = 0; k < count; ++k) {
        const PollReading& r = readings[k];
        if (r.Name[0] == '\0')
            continue;
        EntryFigures& f = figures_of(table, N, r.Name);
        f.Seen = Day.Updates;
        // Only a check of this cycle counts: a reading can be older.
        if (r.Cycle == CyclesStarted && !r.Up)
            ++f.Misses;
        if (r.Dead)
            f.DeadMs += interval;
        f.UpNow = r.Up;
    }
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
        const CertReading& r = s.Certs[k];
        if (!r.Read)
            continue;
        DigestCert& cert = d.Certs[d.CertCount++];
        copy_text(cert.Entry, r.Name);
        cert.DaysLeft = days_left(r.Expiry, s.EndSeconds);
        d.Events += r.Level == CertWarning || r.Level == CertCritical;
    }
    internet_facts(d.Internet);
    const InternetFacts& n = d.Internet;
    d.Events += (n.ListedRounds > 0) + (n.UnusableRounds > 0) + (n.ReverseWrongRounds > 0) + (n.MxWrongRounds > 0);
    d.Failures = s.Failures - Day.FailuresAt;
    d.Events += d.Failures > 0;
    d.Events += window_blip_count();
    send_mail(report, report.mail, write_digest_text, &d);
}

const char* const DriveWords[] = {"fine", "low", "critical", "unreadable"};

// A host or service that missed.
void write_item(Job job, const char* kind, const DigestItem& item)
{
    write_line(job, "%s %s: %u miss%s, dead %u minute%s, %s now.", kind, item.Name, item.Misses,
                    item.Misses == 1 ? "" : "es", item.DeadMinutes, plural(item.DeadMinutes), item.UpNow ? "up" : "down");
}

} // namespace

void add_cycle_to_day(const StatusSnapshot& s, uint64_t now)
{
    uint64_t interval = now - Day.LastMs;
    Day.LastMs = now;
    ++Day.Updates;
    add_checks(Day.Hosts, s.Hosts, s.HostCount, interval);
    add_checks(Day.Services, s.Services, s.ServiceCount, interval);
    mark_seen(Day.Drives, MaxDrives, s.Drives->Name, sizeof *s.Drives, sizeof s.Drives->Name, s.DriveCount);
    for (int k = 0; k < s.DriveCount; ++k) {
        const DriveReading& r = s.Drives[k];
        if (r.Name[0] == '\0' || r.Cycle != CyclesStarted)
            continue;
        EntryFigures& f = figures_of(Day.Drives, MaxDrives, r.Name);
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

void write_digest_text(Job job, const void* data, int)
{
    const DigestFacts& d = *static_cast<const DigestFacts*>(data);
    write_summary_head(job, "daily digest", d.Domain, d.Events, "event");
    const SYSTEMTIME& t = d.Since;
    write_line(job, "Since %s %04u-%02u-%02u %02u:%02u: %u poll cycle%s.",
                    d.SinceStart ? "Korval started at" : "the last digest at", t.wYear, t.wMonth, t.wDay, t.wHour,
                    t.wMinute, d.Cycles, plural(d.Cycles));
    if (d.Events == 0)
        write_line(job, "All well: every check passed and no failure was counted.");
    for (int k = 0; k < d.HostCount; ++k)
        write_item(job, "Host", d.Hosts[k]);
    for (int k = 0; k < d.ServiceCount; ++k)
        write_item(job, "Service", d.Services[k]);
    for (int k = 0; k < d.DriveCount; ++k) {
        const DigestItem& drive = d.Drives[k];
        if (drive.LowestMB < 0)
            write_line(job, "Drive %s: never readable.", drive.Name);
        else
            write_line(job, "Drive %s: lowest %d MB free, worst %s.", drive.Name, drive.LowestMB,
                            DriveWords[drive.Worst & 3]);
    }
    if (d.MemoryShort)
        write_line(job, "Memory: short, lowest %d MB available.", d.LowestMB);
    if (d.ModulesHeldMinutes > 0)
        write_line(job, "Modules held offline: %u minute%s.", d.ModulesHeldMinutes,
                        plural(d.ModulesHeldMinutes));
    if (d.Flow) {
        write_formatted(job, "Mail flow: %u probe%s sent, %u back, %u lost", d.ProbesSent, plural(d.ProbesSent),
                        d.ProbesBack, d.ProbesLost);
        if (d.RoundTrips > 0) {
            write_formatted(job, "; round trip median %s s, worst %s s", seconds_of(d.MedianMs).text,
                            seconds_of(d.WorstMs).text);
        }
        write_line(job, ".");
    }
    for (int k = 0; k < d.CertCount; ++k)
        if (d.Certs[k].DaysLeft >= 0)
            write_line(job, "Certificate of %s: %d day%s left.", d.Certs[k].Entry, d.Certs[k].DaysLeft,
                            plural(d.Certs[k].DaysLeft));
        else
            write_line(job, "Certificate of %s: expired.", d.Certs[k].Entry);
    write_internet_line(job, d.Internet, 1);
    if (d.Failures > 0)
        write_line(job, "Failures: %u.", d.Failures);
    write_window_blips(job);
}

void reset_digest()
{
    LastDigestDay = 0;
    LastDigestMs = 0;
    SYSTEMTIME local;
    Platform.GetLocalTime(&local);
    begin_day(1, local, Platform.MonotonicMs());
}

void send_digest_when_due(const StatusSnapshot& s, const ReportSnapshot& report, int digest_minute, uint64_t now)
{
    // Once per calendar day, at the first cycle at or after its time. The
    // date may change either way (a clock set back, or one that was wrong);
    // only with half a day gone on the monotonic clock is it a new day.
    SYSTEMTIME local;
    Platform.GetLocalTime(&local);
    uint32_t today = day_number(local);
    int new_day = LastDigestDay == 0 || (today != LastDigestDay && now - LastDigestMs >= DigestGapMs);
    if (digest_minute >= 0 && local.wHour * 60 + local.wMinute >= digest_minute && new_day && !StopRequested) {
        LastDigestDay = today;
        LastDigestMs = now;
        if (report.mail.count > 0)
            send_digest(s, report);
        begin_day(0, local, now);
        ledger_digest_sent();
    }
}
