// The heartbeat and the daily digest: terse lines a watcher can key on, and
// one mail a day with the figures that matter, only of what happened.
#include "platform/text.h"
#include "report/report.h"

namespace {

const char* const DriveWords[] = {"fine", "low", "critical", "unreadable"};

void write_date_line(Job job)
{
    char date[HostTextSize];
    write_formatted(job, "\r\n\r\nTime: %s\r\n", report_date(date));
}

// A figure in milliseconds as seconds with three decimals.
void write_seconds(Job job, const char* format, uint32_t ms)
{
    write_formatted(job, format, ms / 1000, ms % 1000);
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
    if (h.Problems == 0)
        write_formatted(job, "Subject: Korval heartbeat %s: all well\r\nPriority: normal\r\n", h.Domain);
    else
        write_formatted(job, "Subject: Korval heartbeat %s: %d problem%s\r\nPriority: normal\r\n", h.Domain, h.Problems,
                        h.Problems == 1 ? "" : "s");
    write_date_line(job);
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
    if (d.Events == 0)
        write_formatted(job, "Subject: Korval daily digest %s: all well\r\nPriority: normal\r\n", d.Domain);
    else
        write_formatted(job, "Subject: Korval daily digest %s: %d event%s\r\nPriority: normal\r\n", d.Domain, d.Events,
                        d.Events == 1 ? "" : "s");
    write_date_line(job);
    const SYSTEMTIME& t = d.Since;
    write_formatted(job, "Since %s %04u-%02u-%02u %02u:%02u: %u poll cycles.\r\n",
                    d.SinceStart ? "Korval started at" : "the last digest at", t.wYear, t.wMonth, t.wDay, t.wHour,
                    t.wMinute, d.Cycles);
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
            write_seconds(job, "; round trip median %u.%03u s", d.MedianMs);
            write_seconds(job, ", worst %u.%03u s", d.WorstMs);
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
