// korval.ini and the settings record: reading and writing. Every profile and
// host call is made outside the lock; the lock is held only to copy whole
// records in or out.
#include "settings/profile.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "platform/daemon_state.h"
#include "platform/text.h"

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

int read_name_table(const char* path, const char* section, const char* prefix, int number, char* names, int slots,
                    int size, uint8_t* keys)
{
    if (number > slots)
        number = slots;
    int count = 0;
    char key[32];
    char value[ListSize];
    for (int k = 1; k <= number; ++k) {
        format_text(key, sizeof key, "%s%d", prefix, k);
        read_text(path, section, key, value);
        if (value[0] == '\0' || strlen(value) >= static_cast<size_t>(size))
            continue;
        copy_text(names + count * size, size, value);
        keys[count] = static_cast<uint8_t>(k);
        ++count;
    }
    return count;
}

void write_name_table(const char* path, const char* section, const char* prefix, const char* names, int slots,
                      int size, int count)
{
    char key[32];
    for (int k = 0; k < in_table(count, slots); ++k) {
        format_text(key, sizeof key, "%s%d", prefix, k + 1);
        write_text(path, section, key, names + k * size);
    }
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
    read_alerts(path, next.Added.Alerts);

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

    write_text(path, "General", "Version", KorvalVersion);
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

