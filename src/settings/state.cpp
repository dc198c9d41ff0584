#include "settings/settings.h"

const SettingsRecord SettingsAtStart = {
    .PollTime = 5,
    .Retry = 3,
    .Suspend = 0, // every load replaces 0 by 5
    .MemoryLimit = 20,
    .EchoTimeout = 2000,
    .Mail = "",
    .FromAlias = "",
    .FromExplicit = 0,
    .HostDomain = "",
    .DaemonAddress = "",
    .IniPath = "",
    .FreeDisk = 0,
    .CriticalDisk = 0,
    .SuspendMercS = 0,
    .SuspendMercD = 0,
    .DriveNames = {},
    .DriveCount = 0,
    .HostNames = {},
    .HostCount = 0,
};

SettingsRecord Settings = SettingsAtStart;
RecipientLists Recipients;
HostStateEntry HostState[MaxHosts];
DriveStateEntry DriveState[MaxDrives];
int ModulesHeldOffline;
