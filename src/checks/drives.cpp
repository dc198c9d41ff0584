// Each step of a drive's state machine is decided under the settings lock
// and carried out after it.
#include "checks/drives.h"

#include <cstring>

#include "checks/modules.h"
#include "cycle/errand.h"
#include "cycle/pacing.h"
#include "cycle/poll_state.h"
#include "platform/daemon_state.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "report/report.h"
#include "settings/settings.h"

DriveReading DriveReadings[MaxDrives];

namespace {

enum ReadingLine { NoLine, CriticalLine, LowLine, OkLine };

// How long a drive query asked for after the stop may take: a drive that
// answers at all answers well within it, and closedown's grace is 500 ms.
constexpr DWORD StoppedQueryGraceMs = 100;

// What the test in progress has seen of the modules: a drive read critical
// or unreadable holds them offline, and a module asked online by a drive's
// own recovery is not asked again before the next test. Used only by the
// control thread.
struct ModuleWatch {
    int held;
    int asked_online;
};
ModuleWatch Watch;

// One free-space query, run as an errand: an unreachable network drive or an
// empty removable drive can keep it waiting for long.
struct DiskQuery {
    char path[DriveNameSize];
    DWORD sectors_per_cluster;
    DWORD bytes_per_sector;
    DWORD free_clusters;
    DWORD total_clusters;
    BOOL read;
};

void query_disk(void* data, HANDLE)
{
    DiskQuery& query = *static_cast<DiskQuery*>(data);
    query.read = Platform.GetDiskFreeSpaceA(query.path, &query.sectors_per_cluster, &query.bytes_per_sector,
                                            &query.free_clusters, &query.total_clusters);
}

// set_modules_online for the modules the settings select, keeping the watch.
int ask_modules(const HostInterface* host, int online, int log)
{
    int mask = selected_modules();
    if (online)
        Watch.asked_online |= mask;
    return set_modules(host, mask, online, log) == 0;
}

enum ModuleRequest { LeaveModules, ModulesOffline, ModulesOfflineQuiet, ModulesOnline };

// What one reading asks of the host.
struct ReadingSteps {
    ReadingLine line = NoLine;
    ModuleRequest modules = LeaveModules;
    int report = -1; // flag of the DiskSpace report; -1 for none
};

// Takes the lock and tells whether slot index still holds the drive that
// was queried: a reload may have dropped or renamed it meanwhile. The
// caller unlocks either way.
int lock_drive(int index, const char* name)
{
    lock_settings();
    return index < Settings.DriveCount && index < MaxDrives &&
           strncmp(Settings.DriveNames[index], name, DriveNameSize) == 0;
}

// Free megabytes in 64 bits: below 1 TiB the same figure as the 32-bit
// product, above it the true figure, held at the largest 32-bit value.
int32_t free_megabytes(DWORD sectors_per_cluster, DWORD bytes_per_sector, DWORD free_clusters)
{
    uint64_t units_per_cluster = uint64_t{sectors_per_cluster} * bytes_per_sector / 512;
    uint64_t units;
    if (__builtin_mul_overflow(units_per_cluster, uint64_t{free_clusters}, &units))
        return INT32_MAX;
    uint64_t megabytes = units / 2048;
    return megabytes > INT32_MAX ? INT32_MAX : static_cast<int32_t>(megabytes);
}

void request_modules(const HostInterface* host, ModuleRequest request)
{
    if (request != LeaveModules)
        ask_modules(host, request == ModulesOnline, request != ModulesOfflineQuiet);
}

// Notes the judgement of the drive name in slot index, with the lock held.
void note_drive_read(int index, const char* name, int32_t free)
{
    DriveReading& r = DriveReadings[index];
    copy_text(r.Name, name);
    r.FreeMB = free;
    // Back above FreeDisk is fine, also while the report of it waits for a
    // second reading.
    r.Status = DriveState[index].Critical ? DriveCritical : free < Settings.FreeDisk ? DriveLow : DriveFine;
    r.Cycle = CyclesStarted;
}

void note_drive_unreadable(int index, const char* name)
{
    copy_text(DriveReadings[index].Name, name);
    DriveReadings[index].Status = DriveUnreadable;
    DriveReadings[index].Cycle = CyclesStarted;
}

// The query failed: the drive is unreadable.
void drive_unreadable(const HostInterface* host, int index, const char* name)
{
    if (!lock_drive(index, name)) {
        unlock_settings();
        return;
    }
    DriveStateEntry& drive = DriveState[index];
    int report = drive.ErrorCount < 2;
    // From the third failure on the count spaces the reports. It starts
    // over past Suspend, and also instead of wrapping to 0, which would call
    // the drive readable and leave the modules offline at its recovery.
    if (!report && (drive.ErrorCount > Settings.Suspend || drive.ErrorCount == UINT8_MAX))
        drive.ErrorCount = 0;
    ++drive.ErrorCount;
    note_drive_unreadable(index, name);
    Watch.held = 1;
    unlock_settings();

    host_log_format(host, 20, 15, "Error getting free disk space on %s.", CurrentDrivePath);
    ask_modules(host, 0, 1);
    if (report)
        send_report(DiskAvailability, index, 1);
}

// Applies a successful reading to the drive's state. Called with the lock
// held.
ReadingSteps judge_reading(DriveStateEntry& drive, int32_t free)
{
    ReadingSteps steps;
    int32_t suspend = Settings.Suspend;
    // A low drive is back only past the margin, so one that hovers around
    // the line does not report low and back every cycle.
    int64_t line = int64_t{Settings.FreeDisk} + (drive.Low ? Settings.Added.Alerts.DiskMargin : 0);
    if (free < line) {
        if (free < Settings.CriticalDisk) {
            steps.line = CriticalLine;
            steps.modules = drive.Critical ? ModulesOfflineQuiet : ModulesOffline;
            drive.Critical = 1;
            Watch.held = 1;
        } else {
            steps.line = LowLine;
            if (drive.Critical)
                steps.modules = ModulesOnline;
            drive.Critical = 0;
        }
        drive.Low = 1;
        if (drive.ReportCounter == 0)
            steps.report = 1;
        int64_t next = int64_t{drive.ReportCounter} + 1;
        drive.ReportCounter = next >= suspend ? 0 : static_cast<int32_t>(next);
    } else if (drive.Low) {
        steps.line = OkLine;
        // A counter past Suspend marks the first reading back above; held
        // at the top of the range so that the largest Suspend still works.
        int32_t past = suspend < INT32_MAX ? suspend + 1 : INT32_MAX;
        if (drive.ReportCounter >= past) {
            steps.report = 0;
            drive.Low = 0;
            drive.ReportCounter = 0;
        } else {
            drive.ReportCounter = past;
        }
        if (drive.Critical)
            steps.modules = ModulesOnline;
        drive.Critical = 0;
    }
    return steps;
}

void carry_out(const HostInterface* host, int index, const ReadingSteps& steps, int32_t free)
{
    switch (steps.line) {
    case CriticalLine:
        host_log_format(host, 20, 15, "Critical disk space: only %dMB on %s", free, CurrentDrivePath);
        break;
    case LowLine:
        host_log_format(host, 20, 15, "Low disk space: only %dMB on %s", free, CurrentDrivePath);
        break;
    case OkLine:
        host_log_format(host, 20, 25, "OK disk space: %dMB on %s", free, CurrentDrivePath);
        break;
    case NoLine:
        return;
    }
    // Below FreeDisk the modules go first, back above it the report.
    if (steps.line != OkLine)
        request_modules(host, steps.modules);
    if (steps.report >= 0)
        send_report(DiskSpace, index, steps.report);
    if (steps.line == OkLine)
        request_modules(host, steps.modules);
    else
        host_bump_statistic(host, LowDiskSpace);
}

// The query succeeded with free megabytes.
void drive_read(const HostInterface* host, int index, const char* name, int32_t free)
{
    int current = lock_drive(index, name);
    int failed_before = current && DriveState[index].ErrorCount != 0;
    unlock_settings();
    if (!current)
        return;

    // Back after failures: only a successful request for the modules ends
    // the error state; otherwise the next reading tries again.
    int recovered = 0;
    if (failed_before) {
        host_log_format(host, 20, 15, "Disk %s recovered.", CurrentDrivePath);
        recovered = ask_modules(host, 1, 1);
        if (recovered)
            send_report(DiskAvailability, index, 0);
    }
    CurrentFreeMB = free;

    ReadingSteps steps;
    current = lock_drive(index, name);
    if (current) {
        if (recovered)
            DriveState[index].ErrorCount = 0;
        steps = judge_reading(DriveState[index], free);
        note_drive_read(index, name, free);
    }
    unlock_settings();
    if (current)
        carry_out(host, index, steps, free);
}

// Brings back the modules that the daemon took offline and no drive holds
// any longer: a reload may have zeroed or dropped the drive that took them,
// or deselected a module, and then no reading will ever ask for them. A
// module is held while a drive in the table is critical or unreadable, or
// was read so in this test (also before a reload), and the settings select
// it. A refused request is tried again at the next test.
void release_modules(const HostInterface* host)
{
    lock_settings();
    int holding = Watch.held;
    for (int i = 0; i < Settings.DriveCount && i < MaxDrives; ++i)
        holding |= DriveState[i].Critical || DriveState[i].ErrorCount;
    int held = holding ? modules_selected_by(Settings) : 0;
    int release = ModulesTakenOffline & ~held & ~Watch.asked_online;
    unlock_settings();
    if (release)
        set_modules(host, release, 1, 1);
}

} // namespace

void test_disks(const HostInterface* host)
{
    Watch = ModuleWatch{};
    lock_settings();
    int testing = Settings.FreeDisk != 0;
    unlock_settings();

    for (int i = 0; testing; ++i) {
        DiskQuery query{};
        if (!copy_slot_name(Settings.DriveNames, Settings.DriveCount, i, query.path))
            break;
        copy_text(CurrentDrivePath, query.path);
        // A stop during the query: neither a reading nor a failure, and
        // nothing is released. A stop that came before the drive loop still
        // lets its first drive be tested, unless that drive blocks.
        if (run_errand(query_disk, query, StopRequested ? StoppedQueryGraceMs : 0) == ErrandStopped)
            return;
        if (query.read)
            drive_read(host, i, query.path,
                       free_megabytes(query.sectors_per_cluster, query.bytes_per_sector, query.free_clusters));
        else
            drive_unreadable(host, i, query.path);
        if (!pause_after_item())
            return;
    }
    // A stop releases nothing, also when no drive was tested.
    if (!StopRequested)
        release_modules(host);
}
