#include "settings/settings.h"

const SettingsRecord SettingsAtStart = {
    .PollTime = 5,
    .Retry = 3,
    .Suspend = 0,
    .MemoryLimit = 20,
    .EchoTimeout = 2000,
};

SettingsRecord Settings = SettingsAtStart;
RecipientLists Recipients;
HostStateEntry HostState[MaxHosts];
DriveStateEntry DriveState[MaxDrives];
