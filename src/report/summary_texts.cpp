// The heartbeat and the daily digest: terse lines a watcher can key on, and
// one mail a day with the figures that matter, only of what happened.
#include "platform/text.h"
#include "report/report.h"

namespace {

const char* const DriveWords[] = {"fine", "low", "critical", "unreadable"};

// The subject a watcher keys on, "all well" or how many of what, the
// priority and the time line.
void write_head(Job job, const char* what, const char* domain, int count, const char* noun)
{
    if (count == 0)
        write_formatted(job, "Subject: Korval %s %s: all well\r\nPriority: normal\r\n", what, domain);
    else
        write_formatted(job, "Subject: Korval %s %s: %d %s%s\r\nPriority: normal\r\n", what, domain, count, noun,
                        plural(count));
    char date[HostTextSize];
    write_formatted(job, "\r\n\r\nTime: %s\r\n", report_date(date));
}

// A host or service that missed.
void write_item(Job job, const char* kind, const DigestItem& item)
{
    write_formatted(job, "%s %s: %u miss%s, dead %u minute%s, %s now.\r\n", kind, item.Name, item.Misses,
                    item.Misses == 1 ? "" : "es", item.DeadMinutes, plural(item.DeadMinutes), item.UpNow ? "up" : "down");
}

} // namespace

void write_heartbeat_text(Job job, const void* data, int)
{
    const HeartbeatFacts& h = *static_cast<const HeartbeatFacts*>(data);
    write_head(job, "heartbeat", h.Domain, h.Problems, "problem");
    if (h.First)
        write_formatted(job, "First heartbeat since Korval started.\r\n");
    if (h.Hosts > 0)
        write_formatted(job, "Hosts: %d of %d up.\r\n", h.HostsUp, h.Hosts);
    if (h.Services > 0)
        write_formatted(job, "Services: %d of %d up.\r\n", h.ServicesUp, h.Services);
    if (h.Drives > 0)
        write_formatted(job, "Drives: %d fine, %d low, %d critical, %d unreadable.\r\n", h.DriveStates[0],
                        h.DriveStates[1], h.DriveStates[2], h.DriveStates[3]);
    if (h.MemoryRead)
        write_formatted(job, "Memory: %s%d MB available.\r\n", h.MemoryShort ? "only " : "", h.AvailableMB);
    if (h.ModulesSelected || h.ModulesHeld) {
        static const char* const held[] = {"none", "MercuryS", "MercuryD", "MercuryS, MercuryD"};
        write_formatted(job, "Modules held offline: %s.\r\n", held[h.ModulesHeld & 3]);
    }
    if (h.Flow >= 0) {
        static const char* const flow[] = {"not judged yet", "moving", "not moving"};
        write_formatted(job, "Mail flow: %s.\r\n", flow[h.Flow]);
    }
    if (h.CertEntry[0] != '\0')
        write_formatted(job, "Certificates: nearest expiry in %d day%s (%s).\r\n", h.CertDays, plural(h.CertDays),
                        h.CertEntry);
    write_formatted(job, "Poll cycles since start: %u. Failures: %u.\r\n", h.Cycles, h.Failures);
}

void write_digest_text(Job job, const void* data, int)
{
    const DigestFacts& d = *static_cast<const DigestFacts*>(data);
    write_head(job, "daily digest", d.Domain, d.Events, "event");
    const SYSTEMTIME& t = d.Since;
    write_formatted(job, "Since %s %04u-%02u-%02u %02u:%02u: %u poll cycle%s.\r\n",
                    d.SinceStart ? "Korval started at" : "the last digest at", t.wYear, t.wMonth, t.wDay, t.wHour,
                    t.wMinute, d.Cycles, plural(d.Cycles));
    if (d.Events == 0)
        write_formatted(job, "All well: every check passed and no failure was counted.\r\n");
    for (int k = 0; k < d.HostCount; ++k)
        write_item(job, "Host", d.Hosts[k]);
    for (int k = 0; k < d.ServiceCount; ++k)
        write_item(job, "Service", d.Services[k]);
    for (int k = 0; k < d.DriveCount; ++k) {
        const DigestItem& drive = d.Drives[k];
        if (drive.LowestMB < 0)
            write_formatted(job, "Drive %s: never readable.\r\n", drive.Name);
        else
            write_formatted(job, "Drive %s: lowest %d MB free, worst %s.\r\n", drive.Name, drive.LowestMB,
                            DriveWords[drive.Worst & 3]);
    }
    if (d.MemoryShort)
        write_formatted(job, "Memory: short, lowest %d MB available.\r\n", d.LowestMB);
    if (d.ModulesHeldMinutes > 0)
        write_formatted(job, "Modules held offline: %u minute%s.\r\n", d.ModulesHeldMinutes,
                        plural(d.ModulesHeldMinutes));
    if (d.Flow) {
        write_formatted(job, "Mail flow: %u probes sent, %u back, %u lost", d.ProbesSent, d.ProbesBack, d.ProbesLost);
        if (d.RoundTrips > 0) {
            write_formatted(job, "; round trip median %s s, worst %s s", seconds_of(d.MedianMs).text,
                            seconds_of(d.WorstMs).text);
        }
        write_formatted(job, ".\r\n");
    }
    for (int k = 0; k < d.CertCount; ++k)
        if (d.Certs[k].DaysLeft >= 0)
            write_formatted(job, "Certificate of %s: %d day%s left.\r\n", d.Certs[k].Entry, d.Certs[k].DaysLeft,
                            plural(d.Certs[k].DaysLeft));
        else
            write_formatted(job, "Certificate of %s: expired.\r\n", d.Certs[k].Entry);
    if (d.Failures > 0)
        write_formatted(job, "Failures: %u.\r\n", d.Failures);
}
