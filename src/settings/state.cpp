#include "settings/settings.h"

SettingsRecord settings_at_start()
{
    // Set in code: an initialised record would keep 3 KB of zeros in the DLL.
    SettingsRecord record{};
    record.PollTime = 5;
    record.Retry = 3;
    // Suspend stays 0: every load replaces 0 by 5.
    record.MemoryLimit = 20;
    record.EchoTimeout = 2000;
    record.Added.HeartbeatMinutes = 60;
    record.Added.DigestMinute = -1;
    record.Added.CertWarnDays = 21;
    record.Added.CertCriticalDays = 7;
    return record;
}

SettingsRecord Settings;
RecipientLists Recipients;
HostStateEntry HostState[MaxHosts];
DriveStateEntry DriveState[MaxDrives];
HostStateEntry ServiceState[MaxServices];
HostStateEntry MailFlowPoll;
