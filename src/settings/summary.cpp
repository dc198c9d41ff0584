// The settings summary in the host's log, after every start, reread and
// accepted dialog.
#include "settings/settings.h"

#include "platform/daemon_state.h"
#include "platform/text.h"
#include "settings/profile.h"

namespace {

const char* suspended_modules(const SettingsRecord& s)
{
    if (s.SuspendMercS && s.SuspendMercD)
        return "S/D";
    if (s.SuspendMercS)
        return "S";
    if (s.SuspendMercD)
        return "D";
    return "";
}

} // namespace

void log_notes(const HostInterface* host, const char (*notes)[ListSize], int count)
{
    for (int k = 0; k < count; ++k)
        if (notes[k][0] != '\0')
            host_log_format(host, 1, 15, "%s", notes[k]);
}

void log_settings(const HostInterface* host)
{
    lock_settings();
    SettingsRecord s = Settings;
    RecipientLists r = Recipients;
    unlock_settings();

    host_log_format(host, 11, 20, "Using daemon address '%s'", s.DaemonAddress);
    host_log_format(host, 1, 20, "Polling every %d minutes.", s.PollTime);
    host_log_format(host, 1, 20, "Retry befor report: %d.", s.Retry);
    host_log_format(host, 1, 20, "Don't report deads %d times.", s.Suspend);
    if (s.MemoryLimit != 0)
        host_log_format(host, 1, 20, "Test for %d MB memory available.", s.MemoryLimit);
    if (r.MailCount > 0)
        host_log_format(host, 1, 20, "Send reports to Mail '%s'.", r.MailList);
    if (r.SmsCount > 0)
        host_log_format(host, 1, 20, "Send reports to SMS  '%s'.", r.SmsList);
    if (s.FreeDisk > 0) {
        char line[300];
        format_text(line, sizeof line, "Test free space over %d MB on ", s.FreeDisk);
        for (int k = 0; k < in_table(s.DriveCount, MaxDrives); ++k) {
            append_text(line, s.DriveNames[k]);
            append_text(line, ";");
        }
        // Drive names come from the file and may hold '%'.
        host_log_format(host, 1, 20, "%s", line);
        if (s.CriticalDisk > 0)
            host_log_format(host, 1, 20, "  (Suspend Merc%s for space < %d MB)", suspended_modules(s),
                            s.CriticalDisk);
    } else {
        host_log_format(host, 1, 20, "Not testing for free disk space.");
    }
    const AddedSettings& a = s.Added;
    if (a.StatusFile[0] != '\0')
        host_log_format(host, 1, 20, "Writing status to '%s'.", a.StatusFile);
    else if (a.StatusFileRefused)
        host_log_format(host, 1, 15, "Status file path too long: no status file.");
    host_log_format(host, 1, 20, "Polling %d hosts:", s.HostCount);
    for (int k = 0; k < in_table(s.HostCount, MaxHosts); ++k)
        host_log_format(host, 1, 20, "    %s", s.HostNames[k]);
    for (int k = 0; k < in_table(s.Added.ServiceCount, MaxServices); ++k)
        host_log_format(host, 1, 20, "Checking service %s.", s.Added.ServiceNames[k]);
    for (int k = 0; k < in_table(s.Added.SkippedCount, MaxServices); ++k)
        host_log_format(host, 1, 15, "Skipping service %s: it cannot be parsed.", s.Added.SkippedServices[k]);
    int tls = 0;
    for (int k = 0; k < in_table(s.Added.ServiceCount, MaxServices); ++k)
        tls |= service_uses_tls(s.Added.ServiceNames[k]);
    if (tls) {
        char warn[32], critical[32];
        format_text(warn, sizeof warn, a.CertWarnDays > 0 ? "warning below %d days" : "no warning", a.CertWarnDays);
        format_text(critical, sizeof critical, a.CertCriticalDays > 0 ? "critical below %d days" : "no critical level",
                    a.CertCriticalDays);
        host_log_format(host, 1, 20, "Certificates: %s, %s, sooner for a short-lived one.", warn, critical);
    }
    if (a.LostAfter > 0)
        host_log_format(host, 1, 20, "Probing mail flow: a probe is lost after %d minutes.", a.LostAfter);
    if (a.Heartbeat.MailCount + a.Heartbeat.SmsCount > 0) {
        char list[2 * ListSize];
        format_text(list, sizeof list, "%s%s%s", a.Heartbeat.MailList,
                    a.Heartbeat.MailCount && a.Heartbeat.SmsCount ? "," : "", a.Heartbeat.SmsList);
        host_log_format(host, 1, 20, "Heartbeat every %d minutes to '%s'.", heartbeat_minutes(s), list);
    }
    if (a.DigestMinute >= 0)
        host_log_format(host, 1, 20, "Daily digest at %02d:%02d to the Mail recipients.", a.DigestMinute / 60,
                        a.DigestMinute % 60);
    log_notes(host, a.Corrections, sizeof a.Corrections / sizeof *a.Corrections);
    log_internet_settings(host, a.Internet);
    log_alert_settings(host, a.Alerts);
}
