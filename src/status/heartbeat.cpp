#include "status/heartbeat.h"

#include "checks/certificates.h"
#include "checks/drives.h"
#include "platform/text.h"
#include "status/internet_line.h"
#include "report/ledger.h"

namespace {

// When the heartbeat went out. Control thread only.
struct Schedule {
    uint32_t Tried; // in this life
    uint32_t Sent;
    uint64_t LastMs;
};
Schedule Beats;

int count_bits(int mask)
{
    return (mask & 1) + (mask >> 1 & 1);
}

// The entries up; each with a reading that is down is a problem.
int count_up(const PollReading* readings, int count, int& problems)
{
    int up = 0;
    for (int k = 0; k < count; ++k) {
        up += readings[k].Up;
        problems += readings[k].Name[0] != '\0' && !readings[k].Up;
    }
    return up;
}

void send_heartbeat(const StatusSnapshot& s, const ReportChannel& to, const ReportSnapshot& report, int selected)
{
    HeartbeatFacts h{};
    copy_text(h.Domain, report.HostDomain);
    h.First = Beats.Tried++ == 0;
    h.Hosts = s.HostCount;
    h.HostsUp = count_up(s.Hosts, s.HostCount, h.Problems);
    h.Services = s.ServiceCount;
    h.ServicesUp = count_up(s.Services, s.ServiceCount, h.Problems);
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
        const CertReading& r = s.Certs[k];
        if (!r.Read)
            continue;
        h.Problems += r.Level == CertWarning || r.Level == CertCritical;
        if (r.Expiry < nearest) {
            nearest = r.Expiry;
            copy_text(h.CertEntry, r.Name);
        }
    }
    h.CertDays = days_left(nearest, s.EndSeconds);
    // TLS missing is one problem, however many entries it leaves unchecked.
    h.TlsUnavailable = s.TlsUnavailable;
    h.Problems += s.TlsUnavailable;
    h.Flow = !s.FlowOn ? -1 : !s.FlowJudged ? 0 : s.FlowUp ? 1 : 2;
    h.Problems += h.Flow == 2;
    internet_facts(h.Internet);
    h.Problems += h.Internet.Listed + (h.Internet.Reverse == CheckWrong) + (h.Internet.Mx == CheckWrong);
    h.Cycles = s.Cycles;
    h.Failures = s.Failures;
    Beats.Sent += send_mail(report, to, write_heartbeat_text, &h);
}

} // namespace

void write_heartbeat_text(Job job, const void* data, int)
{
    const HeartbeatFacts& h = *static_cast<const HeartbeatFacts*>(data);
    write_summary_head(job, "heartbeat", h.Domain, h.Problems, "problem");
    if (h.First)
        write_line(job, "First heartbeat since Korval started.");
    if (h.Hosts > 0)
        write_line(job, "Hosts: %d of %d up.", h.HostsUp, h.Hosts);
    if (h.Services > 0)
        write_line(job, "Services: %d of %d up.", h.ServicesUp, h.Services);
    if (h.Drives > 0)
        write_line(job, "Drives: %d fine, %d low, %d critical, %d unreadable.", h.DriveStates[0],
                        h.DriveStates[1], h.DriveStates[2], h.DriveStates[3]);
    if (h.MemoryRead)
        write_line(job, "Memory: %s%d MB available.", h.MemoryShort ? "only " : "", h.AvailableMB);
    if (h.ModulesSelected || h.ModulesHeld) {
        static const char* const held[] = {"none", "MercuryS", "MercuryD", "MercuryS, MercuryD"};
        write_line(job, "Modules held offline: %s.", held[h.ModulesHeld & 3]);
    }
    if (h.Flow >= 0) {
        static const char* const flow[] = {"not judged yet", "moving", "not moving"};
        write_line(job, "Mail flow: %s.", flow[h.Flow]);
    }
    if (h.CertEntry[0] != '\0')
        write_line(job, "Certificates: nearest expiry in %d day%s (%s).", h.CertDays, plural(h.CertDays),
                        h.CertEntry);
    if (h.TlsUnavailable)
        write_line(job, "TLS: unavailable on this system, TLS services not checked.");
    write_internet_line(job, h.Internet, 0);
    write_line(job, "Poll cycles since start: %u. Failures: %u.", h.Cycles, h.Failures);
    write_window_line(job);
}

void reset_heartbeat()
{
    Beats = Schedule{};
}

uint32_t send_heartbeat_when_due(const StatusSnapshot& s, const ReportSnapshot& report, const ReportChannel& to,
                                 uint64_t period, int selected, uint64_t now)
{
    if (Beats.Tried == 0 || now - Beats.LastMs >= period) {
        Beats.LastMs = now;
        send_heartbeat(s, to, report, selected);
    }
    return Beats.Sent;
}
