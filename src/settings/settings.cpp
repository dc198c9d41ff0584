// korval.ini and the settings record: reading, writing and the summary in
// the host's log. Every profile and host call is made outside the lock;
// the lock is held only to copy whole records in or out.
#include "settings/settings.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "platform/daemon_state.h"
#include "platform/text.h"

namespace {

int read_number(const char* path, const char* section, const char* key, int fallback)
{
    return static_cast<int>(GetPrivateProfileIntA(section, key, fallback, path));
}

void read_text(const char* path, const char* section, const char* key, char (&value)[ListSize])
{
    GetPrivateProfileStringA(section, key, "", value, sizeof value, path);
}

void write_text(const char* path, const char* section, const char* key, const char* value)
{
    WritePrivateProfileStringA(section, key, value, path);
}

void write_number(const char* path, const char* section, const char* key, int value)
{
    char text[16];
    format_text(text, sizeof text, "%d", value);
    write_text(path, section, key, text);
}

// Reads the keys prefix1 .. prefixN into consecutive slots, each with the
// number of its key. Empty entries are skipped, and so are names too long
// for a slot: a cut name would test another host or drive.
template <int Slots, int Size>
int read_names(const char* path, const char* section, const char* prefix, int number, char (&names)[Slots][Size],
               uint8_t (&keys)[Slots])
{
    if (number > Slots)
        number = Slots;
    int count = 0;
    char key[32];
    char value[ListSize];
    for (int k = 1; k <= number; ++k) {
        format_text(key, sizeof key, "%s%d", prefix, k);
        read_text(path, section, key, value);
        if (value[0] == '\0' || strlen(value) >= Size)
            continue;
        copy_text(names[count], value);
        keys[count] = static_cast<uint8_t>(k);
        ++count;
    }
    return count;
}

template <int Slots, int Size>
void write_names(const char* path, const char* section, const char* prefix, const char (&names)[Slots][Size],
                 int count)
{
    char key[32];
    for (int k = 0; k < in_table(count, Slots); ++k) {
        format_text(key, sizeof key, "%s%d", prefix, k + 1);
        write_text(path, section, key, names[k]);
    }
}

// Decimal 1 .. 65535 filling the whole text.
int read_port(const char* text, uint16_t* port)
{
    char* end;
    unsigned long value = strtoul(text, &end, 10);
    if (*text < '0' || *text > '9' || *end != '\0' || value == 0 || value > 65535)
        return 0;
    *port = static_cast<uint16_t>(value);
    return 1;
}

// Entries that parse go to ServiceNames as written, the others to
// SkippedServices, which only the summary shows.
void read_services(const char* path, int number, SettingsRecord& next)
{
    char entries[MaxServices][ServiceNameSize];
    uint8_t keys[MaxServices];
    int count = read_names(path, "Services", "Service", number, entries, keys);
    next.Added.ServiceCount = next.Added.SkippedCount = 0;
    ServiceTarget target;
    for (int k = 0; k < count; ++k) {
        if (parse_service(entries[k], target)) {
            next.Added.ServiceKeys[next.Added.ServiceCount] = keys[k];
            copy_text(next.Added.ServiceNames[next.Added.ServiceCount++], entries[k]);
        } else
            copy_text(next.Added.SkippedServices[next.Added.SkippedCount++], entries[k]);
    }
}

// A whole decimal number, sign allowed; 0 when the text is not one.
int read_whole_number(const char* text, long* value)
{
    char* end;
    *value = strtol(text, &end, 10);
    return end != text && *end == '\0';
}

// A number from the added sections: absent (or empty) gives fallback,
// anything outside low .. high is corrected into it (fallback for what is
// no number) and the correction noted for the summary.
int read_bounded(const char* path, const char* section, const char* key, int fallback, int low, int high,
                 char (&correction)[ListSize])
{
    char value[ListSize];
    read_text(path, section, key, value);
    if (value[0] == '\0')
        return fallback;
    long number;
    int whole = read_whole_number(value, &number);
    int taken = !whole ? fallback : number < low ? low : number > high ? high : static_cast<int>(number);
    if (!whole || number != taken)
        format_text(correction, sizeof correction, "[%s] %s=%s corrected to %d.", section, key, value, taken);
    return taken;
}

// "HH:MM" (or "H:MM") as minutes of the day; -1 when it is not a time.
int read_time_of_day(const char* text)
{
    int hours = 0, digits = 0;
    for (; *text >= '0' && *text <= '9' && digits < 2; ++text, ++digits)
        hours = hours * 10 + (*text - '0');
    if (digits == 0 || *text != ':' || hours > 23)
        return -1;
    ++text;
    if (text[0] < '0' || text[0] > '5' || text[1] < '0' || text[1] > '9' || text[2] != '\0')
        return -1;
    return hours * 60 + (text[0] - '0') * 10 + (text[1] - '0');
}

// The certificate thresholds of [Services], [MailFlow] and [Heartbeat].
// Bad values never stop the daemon: they are corrected, each with one line
// of the summary that says how.
void read_added(const char* path, int poll_time, AddedSettings& added)
{
    for (char* line : added.Corrections)
        line[0] = '\0';
    added.CertWarnDays = read_bounded(path, "Services", "CertWarnDays", 21, 0, 3650, added.Corrections[3]);
    added.CertCriticalDays = read_bounded(path, "Services", "CertCriticalDays", 7, 0, 3650, added.Corrections[4]);
    // 0 is the off value, so a negative one turns the probes off too.
    added.LostAfter = read_bounded(path, "MailFlow", "LostAfter", 0, 0, 1440, added.Corrections[0]);

    char value[ListSize];
    read_text(path, "Heartbeat", "Mail", value);
    build_recipients(added.Heartbeat, value);
    added.HeartbeatMinutes = read_bounded(path, "Heartbeat", "Minutes", 60, 5, 1440, added.Corrections[1]);
    if (added.Corrections[1][0] == '\0' && added.HeartbeatMinutes < poll_time &&
        added.Heartbeat.MailCount + added.Heartbeat.SmsCount > 0)
        format_text(added.Corrections[1], sizeof added.Corrections[1],
                    "[Heartbeat] Minutes=%d is shorter than PollTime: every %d minutes.", added.HeartbeatMinutes,
                    poll_time);
    read_text(path, "Heartbeat", "Digest", value);
    added.DigestMinute = value[0] != '\0' ? read_time_of_day(value) : -1;
    if (value[0] != '\0' && added.DigestMinute < 0)
        format_text(added.Corrections[2], sizeof added.Corrections[2], "[Heartbeat] Digest=%s is not HH:MM: no digest.",
                    value);
}

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

// IMAP's upgrade takes the tag a1, so its goodbye takes the next.
const ServiceKind ServiceKinds[ServiceKindCount] = {
    {"", 0, "", "", NoTls},
    {"smtp://", 25, "220", "QUIT\r\n", NoTls},
    {"pop3://", 110, "+OK", "QUIT\r\n", NoTls},
    {"imap://", 143, "* OK", "a1 LOGOUT\r\n", NoTls},
    {"smtps://", 465, "220", "QUIT\r\n", ImplicitTls},
    {"pop3s://", 995, "+OK", "QUIT\r\n", ImplicitTls},
    {"imaps://", 993, "* OK", "a1 LOGOUT\r\n", ImplicitTls},
    {"smtp+starttls://", 587, "220", "QUIT\r\n", StartTls},
    {"pop3+starttls://", 110, "+OK", "QUIT\r\n", StartTls},
    {"imap+starttls://", 143, "* OK", "a2 LOGOUT\r\n", StartTls},
};

int parse_service(const char* entry, ServiceTarget& target)
{
    target = ServiceTarget{};
    for (int p = Smtp; p < ServiceKindCount; ++p) {
        size_t length = strlen(ServiceKinds[p].scheme);
        if (_strnicmp(entry, ServiceKinds[p].scheme, length) == 0) {
            target.protocol = p;
            entry += length;
            break;
        }
    }
    // The host ends at the port's colon, or at the bracket that closes an
    // IPv6 literal, which holds colons of its own.
    target.ipv6 = *entry == '[';
    const char* host = entry + target.ipv6;
    size_t length = strcspn(host, target.ipv6 ? "]" : ":");
    if (length == 0 || length >= sizeof target.host || (target.ipv6 && host[length] != ']'))
        return 0;
    memcpy(target.host, host, length);
    // No blank, slash or bracket: that also refuses an unknown scheme.
    if (strcspn(target.host, " \t/[") != length)
        return 0;
    const char* after = host + length + target.ipv6;
    if (*after == '\0') {
        target.port = ServiceKinds[target.protocol].port;
        return target.port != 0;
    }
    return *after == ':' && read_port(after + 1, &target.port);
}

int service_uses_tls(const char* entry)
{
    ServiceTarget target;
    return parse_service(entry, target) && ServiceKinds[target.protocol].tls != NoTls;
}

int poll_time_in_range(int minutes)
{
    return minutes < 1 ? 1 : minutes > 1440 ? 1440 : minutes;
}

void form_daemon_address(SettingsRecord& record)
{
    format_text(record.DaemonAddress, sizeof record.DaemonAddress, "%s@%s", record.FromAlias, record.HostDomain);
}

int status_tmp_path(char (&tmp)[StatusPathSize], const char* path, uint32_t life)
{
    return format_text(tmp, sizeof tmp, "%s.%u.tmp", path, life);
}

int form_status_path(char (&path)[StatusPathSize], const char* value, const char* ini_path)
{
    path[0] = '\0';
    if (value[0] == '\0')
        return 1;
    // "\\server\share\x", "\x", "C:\x" and "C:x" are taken as written.
    int relative = value[0] != '\\' && value[0] != '/' && value[1] != ':';
    const char* slash = strrchr(ini_path, '\\');
    int folder = relative && slash ? static_cast<int>(slash - ini_path + 1) : 0;
    char joined[StatusPathSize];
    char tmp[StatusPathSize];
    // The whole path that will be written, also where korval.ini's folder
    // was too long to be named, and its longest temporary twin must fit.
    // Never cut: a shorter path would write another file.
    if (format_text(joined, sizeof joined, "%.*s%s", folder, ini_path, value)) {
        DWORD length = GetFullPathNameA(joined, sizeof path, path, nullptr);
        if (length > 0 && length < sizeof path && status_tmp_path(tmp, path, UINT32_MAX))
            return 1;
    }
    path[0] = '\0';
    return 0;
}

int init_settings(const HostInterface* host)
{
    char directory[200];
    DWORD length = GetCurrentDirectoryA(sizeof directory, directory);
    char path[sizeof Settings.IniPath];
    if (length == 0 || length >= sizeof directory) {
        // A bare name would send the profile functions to the Windows
        // folder; a relative path keeps them in the working directory.
        copy_text(path, ".\\korval.ini");
    } else {
        format_text(path, sizeof path, "%s\\korval.ini", directory);
    }
    char domain[sizeof Settings.HostDomain];
    copy_text(domain, host_get_value(host, HostValueDomain));

    if (!load_settings(path, domain)) {
        host_log_text(host, 1, 5, "Nothing to test.");
        host_bump_statistic(host, Failures);
        return 0;
    }
    return 1;
}

int load_settings(const char* ini_path, const char* domain)
{
    // Keys missing from the file keep the values in memory, so the new
    // record starts as a copy of the current one. It is completed here and
    // put in place in one step: the control thread sees the old record or
    // the new one, never a mix.
    lock_settings();
    SettingsRecord next = Settings;
    unlock_settings();
    copy_text(next.IniPath, ini_path);
    copy_text(next.HostDomain, domain);
    const char* path = next.IniPath;

    next.PollTime = poll_time_in_range(read_number(path, "General", "PollTime", 5));
    next.Retry = read_number(path, "General", "Retry", next.Retry);
    if (next.Retry == 0)
        next.Retry = 3;
    next.Suspend = read_number(path, "General", "Suspend", next.Suspend);
    if (next.Suspend == 0)
        next.Suspend = 5;
    next.MemoryLimit = read_number(path, "General", "MemoryLimit", next.MemoryLimit);
    if (next.MemoryLimit < 0)
        next.MemoryLimit = 20;

    next.FreeDisk = read_number(path, "Drives", "FreeDisk", next.FreeDisk);
    next.CriticalDisk = read_number(path, "Drives", "CriticalDisk", next.CriticalDisk);
    if (next.CriticalDisk > next.FreeDisk)
        next.CriticalDisk = next.FreeDisk;
    next.SuspendMercS = read_number(path, "Drives", "SuspendMercS", next.SuspendMercS ? 1 : 0) != 0;
    next.SuspendMercD = read_number(path, "Drives", "SuspendMercD", next.SuspendMercD ? 1 : 0) != 0;
    if (!next.SuspendMercS && !next.SuspendMercD)
        next.CriticalDisk = 0;
    int drives = read_number(path, "Drives", "Number", 0);
    next.DriveCount = read_names(path, "Drives", "Drive", drives, next.DriveNames, next.DriveKeys);
    if (next.DriveCount == 0)
        next.FreeDisk = 0;

    char value[ListSize];
    read_text(path, "General", "StatusFile", value);
    next.Added.StatusFileRefused = !form_status_path(next.Added.StatusFile, value, path);
    read_added(path, next.PollTime, next.Added);

    RecipientLists lists{};
    read_text(path, "General", "Mail", value);
    int mail_read = value[0] != '\0';
    if (mail_read) {
        copy_text(next.Mail, value);
        build_recipients(lists, next.Mail);
    }

    // From and the hosts are read even without Mail: the dialog saves what
    // memory holds, and would otherwise replace them in the file.
    read_text(path, "General", "From", value);
    next.FromExplicit = value[0] != '\0';
    copy_text(next.FromAlias, next.FromExplicit ? value : DefaultFromAlias);
    int hosts = read_number(path, "Hosts", "Number", 0);
    next.HostCount = read_names(path, "Hosts", "Host", hosts, next.HostNames, next.HostKeys);
    int services = read_number(path, "Services", "Number", 0);
    read_services(path, services, next);
    // Only a load with something to test gives the daemon a new address.
    int found = mail_read && (next.HostCount > 0 || next.DriveCount > 0 || next.Added.ServiceCount > 0);
    if (found)
        form_daemon_address(next);

    lock_settings();
    Settings = next;
    if (mail_read)
        Recipients = lists;
    memset(DriveState, 0, sizeof DriveState);
    if (hosts != 0)
        memset(HostState, 0, sizeof HostState);
    if (services != 0)
        memset(ServiceState, 0, sizeof ServiceState);
    unlock_settings();

    return found;
}

void save_settings()
{
    lock_settings();
    SettingsRecord s = Settings;
    unlock_settings();
    const char* path = s.IniPath;

    write_text(path, "General", "Version", "1.18");
    write_number(path, "General", "PollTime", s.PollTime);
    write_number(path, "General", "Retry", s.Retry);
    write_number(path, "General", "Suspend", s.Suspend);
    write_number(path, "General", "MemoryLimit", s.MemoryLimit);
    write_text(path, "General", "Mail", s.Mail);
    write_text(path, "General", "From", s.FromExplicit ? s.FromAlias : "");

    WritePrivateProfileStringA("Hosts", nullptr, nullptr, path);

    write_number(path, "Drives", "Number", in_table(s.DriveCount, MaxDrives));
    write_number(path, "Drives", "FreeDisk", s.FreeDisk);
    write_number(path, "Drives", "CriticalDisk", s.CriticalDisk);
    write_text(path, "Drives", "SuspendMercS", s.SuspendMercS ? "1" : "0");
    write_text(path, "Drives", "SuspendMercD", s.SuspendMercD ? "1" : "0");
    write_names(path, "Drives", "Drive", s.DriveNames, s.DriveCount);

    write_number(path, "Hosts", "Number", in_table(s.HostCount, MaxHosts));
    write_names(path, "Hosts", "Host", s.HostNames, s.HostCount);
    // [Services] is not the dialog's: it stays in the file as written.
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
    for (const char* line : a.Corrections)
        if (line[0] != '\0')
            host_log_format(host, 1, 15, "%s", line);
}
