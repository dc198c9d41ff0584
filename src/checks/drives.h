// The drive check: the free space of each drive every cycle, its own state
// machine of low, critical and unreadable, its reports, and the modules a
// critical or unreadable drive holds offline.
#pragma once

#include <cstdint>

#include "settings/settings.h"

struct HostInterface;

// One pass over the drive table: free space, the per-drive state machine,
// its reports and module requests.
void test_disks(const HostInterface* host);

// A drive's state as what the end of a cycle tells shows it.
enum DriveStatus { DriveFine = 0, DriveLow = 1, DriveCritical = 2, DriveUnreadable = 3 };

// The last judgement of the drive in one slot. A load zeroes DriveState,
// and the status file must still show what the last reading found.
struct DriveReading {
    char Name[DriveNameSize]; // the drive it belongs to; empty: none yet
    int32_t FreeMB;           // not shown while unreadable
    int32_t Status;
    uint32_t Cycle;           // the cycle that read it (CyclesStarted)
};
// Guarded by the settings lock.
extern DriveReading DriveReadings[MaxDrives];
