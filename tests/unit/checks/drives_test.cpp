#include <gtest/gtest.h>

#include <deque>
#include <functional>

#include "checks/drives.h"
#include "checks/modules.h"
#include "monitor_fixture.h"
#include "platform/text.h"

namespace {

using Lines = std::vector<std::string>;
using State = std::vector<int>; // Low, ErrorCount, Critical, ReportCounter

struct Reading {
    BOOL ok;
    DWORD sectors_per_cluster, bytes_per_sector, free_clusters;
};
Reading mb(DWORD megabytes) { return {TRUE, 8, 512, megabytes * 256}; } // in 4 KiB clusters
const Reading Unreadable = {FALSE, 0, 0, 0};

std::deque<Reading> readings; // empty: the query fails
std::function<void()> during_query; // runs inside the query, as a reload would
Lines queried;

BOOL fake_free_space(LPCSTR root, LPDWORD sectors, LPDWORD bytes, LPDWORD free, LPDWORD)
{
    queried.push_back(root);
    if (during_query)
        during_query();
    Reading r = Unreadable;
    if (!readings.empty())
        r = readings.front(), readings.pop_front();
    *sectors = r.sectors_per_cluster, *bytes = r.bytes_per_sector, *free = r.free_clusters;
    return r.ok;
}

const std::string Bump = "bump LowDiskSpace", Report = "report";
const std::string ShutS = "log 21 15 Shutting MercuryS down.", SetS = "log 21 15 Setting MercuryS online.";
const std::string ShutD = "log 21 15 Shutting MercuryD down.", SetD = "log 21 15 Setting MercuryD online.";
const std::string OffS = "module_state MERCURYS 1 0", OnS = "module_state MERCURYS 1 1";
const std::string OffD = "module_state MERCURYD 1 0", OnD = "module_state MERCURYD 1 1";
const std::string Error = "log 20 15 Error getting free disk space on D:\\.";
const std::string Recovered = "log 20 15 Disk D:\\ recovered.";

std::string low(int free, const char* drive = "D:\\")
{
    return "log 20 15 Low disk space: only " + std::to_string(free) + "MB on " + drive;
}
std::string critical(int free, const char* drive = "D:\\")
{
    return "log 20 15 Critical disk space: only " + std::to_string(free) + "MB on " + drive;
}
std::string ok(int free) { return "log 20 25 OK disk space: " + std::to_string(free) + "MB on D:\\"; }

class DisksTest : public MonitorTest {
protected:
    void SetUp() override
    {
        MonitorTest::SetUp();
        readings.clear(), during_query = nullptr, queried.clear();
        Platform.GetDiskFreeSpaceA = fake_free_space;
        LowDiskSpace = host_register_statistic(host(), host_register_module_statistics(host(), "HostStatus"),
                                               "LowDiskSpace");
        Settings.FreeDisk = 100;
        Settings.CriticalDisk = 50;
        Settings.SuspendMercS = 1;
        set_drives({"D:\\"});
    }

    void set_drives(std::initializer_list<const char*> names)
    {
        Settings.DriveCount = 0;
        for (const char* name : names)
            copy_text(Settings.DriveNames[Settings.DriveCount++], name);
    }

    Lines cycle(std::initializer_list<Reading> script)
    {
        readings = script;
        test_disks(host());
        return steps();
    }

    // A fresh host whose set requests for MercuryS give result (0: accepted).
    void host_answering_mercurys(int result)
    {
        HostOptions options;
        if (result != 0)
            options.module_set_results["MERCURYS"] = result;
        standin_reset(options);
        HostInterfaceCopy = host();
        Failures = host_register_statistic(host(), host_register_module_statistics(host(), "HostStatus"), "Failures");
        steps();
    }

    static State state(int index = 0)
    {
        const DriveStateEntry& d = DriveState[index];
        return {d.Low, d.ErrorCount, d.Critical, d.ReportCounter};
    }
};

TEST_F(DisksTest, LowAndCriticalDriveOverTenCycles)
{
    struct Cycle { DWORD free; Lines lines; State state; };
    const Cycle cycles[] = {
        {200, {}, {0, 0, 0, 0}},
        {80, {low(80), Report, Bump}, {1, 0, 0, 1}},
        {70, {low(70), Bump}, {1, 0, 0, 2}},
        {40, {critical(40), ShutS, OffS, Bump}, {1, 0, 1, 3}},
        {30, {critical(30), OffS, Bump}, {1, 0, 1, 4}},
        {30, {critical(30), OffS, Bump}, {1, 0, 1, 0}},
        {30, {critical(30), OffS, Report, Bump}, {1, 0, 1, 1}},
        {120, {ok(120), SetS, OnS}, {1, 0, 0, 6}},
        {120, {ok(120), Report}, {0, 0, 0, 0}},
        {120, {}, {0, 0, 0, 0}},
    };
    int number = 0;
    for (const Cycle& c : cycles) {
        SCOPED_TRACE("cycle " + std::to_string(++number));
        EXPECT_EQ(cycle({mb(c.free)}), c.lines);
        EXPECT_EQ(state(), c.state);
    }
    EXPECT_EQ(count("LowDiskSpace"), 6);
    // Each report shows the figure of its own reading.
    std::vector<HostJob> jobs = standin_jobs();
    ASSERT_EQ(jobs.size(), 3u);
    EXPECT_NE(jobs[0].text.find("There is only 80 MB free on drive D:\\ .\r\n"), std::string::npos);
    EXPECT_NE(jobs[1].text.find("There is only 30 MB free on drive D:\\ .\r\n"), std::string::npos);
    EXPECT_NE(jobs[2].text.find("There is 120 MB free on drive D:\\ .\r\n"), std::string::npos);
}

// A drive that hovers around FreeDisk: without a margin it is low and back
// in turn; with DiskMargin it stays low until it is past the margin.
TEST_F(DisksTest, DiskMarginHoldsAHoveringDriveLow)
{
    struct Cycle { DWORD free; Lines without, with; };
    const Cycle cycles[] = {
        {90, {low(90), Report, Bump}, {low(90), Report, Bump}},
        {110, {ok(110)}, {low(110), Bump}},
        {110, {ok(110), Report}, {low(110), Bump}},
        {90, {low(90), Report, Bump}, {low(90), Bump}},
        {150, {ok(150)}, {ok(150)}},
        {150, {ok(150), Report}, {ok(150), Report}},
        {120, {}, {}},
    };
    for (int margin : {0, 50}) {
        SCOPED_TRACE(margin);
        memset(DriveState, 0, sizeof DriveState);
        Settings.Added.Alerts.DiskMargin = margin;
        int number = 0;
        for (const Cycle& c : cycles) {
            SCOPED_TRACE("cycle " + std::to_string(++number));
            EXPECT_EQ(cycle({mb(c.free)}), margin ? c.with : c.without);
        }
    }    Settings.Added.Alerts.DiskMargin = 0;
}

TEST_F(DisksTest, UnreadableDriveIsReportedAtFailuresOneTwoAndThenPastSuspend)
{
    struct Case { int suspend; std::vector<int> counts; }; // ErrorCount after each failure
    for (const Case& c : {Case{5, {1, 2, 3, 4, 5, 6, 1, 2}}, Case{1, {1, 2, 1, 2, 1, 2, 1, 2}}}) {
        SCOPED_TRACE("Suspend " + std::to_string(c.suspend));
        Settings.Suspend = c.suspend;
        subjects();
        int before = 0;
        for (int count : c.counts) {
            // Reported whenever the count was 0 or 1 before the failure.
            Lines expected = {Error, ShutS, OffS};
            if (before < 2)
                expected.push_back(Report);
            EXPECT_EQ(cycle({Unreadable}), expected);
            EXPECT_EQ(state(), (State{0, count, 0, 0}));
            before = count;
        }
        EXPECT_EQ(subjects()[0], "Subject: Unavailable Disk (D:\\) on Mercury");
        // Readable again: modules online, the available report, and the
        // reading judged as in any cycle.
        EXPECT_EQ(cycle({mb(80)}), (Lines{Recovered, SetS, OnS, Report, low(80), Report, Bump}));
        EXPECT_EQ(subjects(), (Lines{"Subject: Disk on Mercury available", "Subject: Low DiskSpace (D:\\) on Mercury"}));
        cycle({mb(200)});
        cycle({mb(200)});
    }
    // A count that would wrap to 0 (Suspend above 255) starts over at 1: the
    // drive still owes the modules its recovery.
    Settings.Suspend = 300;
    DriveState[0].ErrorCount = 255;
    EXPECT_EQ(cycle({Unreadable}), (Lines{Error, ShutS, OffS}));
    EXPECT_EQ(cycle({mb(200)}), (Lines{Recovered, SetS, OnS, Report}));
}

TEST_F(DisksTest, ThresholdsAreStrictlyBelowAndFreeDiskZeroQueriesNothing)
{
    EXPECT_EQ(cycle({mb(100)}), Lines{});
    EXPECT_EQ(cycle({mb(50)}), (Lines{low(50), Report, Bump}));
    EXPECT_EQ(cycle({mb(49)}), (Lines{critical(49), ShutS, OffS, Bump}));
    Settings.FreeDisk = 0;
    EXPECT_EQ(cycle({mb(10)}), Lines{});
    EXPECT_EQ(queried.size(), 3u);
}

TEST_F(DisksTest, EachDriveActsOnItsOwnCriticalFlag)
{
    set_drives({"C:\\", "D:\\"});
    Settings.SuspendMercD = 1;
    const std::string c_critical = critical(30, "C:\\");
    EXPECT_EQ(cycle({mb(30), mb(30)}), (Lines{c_critical, ShutS, OffS, ShutD, OffD, Report, Bump,
                                              critical(30), ShutS, OffS, ShutD, OffD, Report, Bump}));
    // C stays critical and sets them offline without a line; D leaves the
    // critical range and sets them online with its lines, once.
    EXPECT_EQ(cycle({mb(30), mb(70)}), (Lines{c_critical, OffS, OffD, Bump, low(70), SetS, OnS, SetD, OnD, Bump}));
    EXPECT_EQ(cycle({mb(30), mb(70)}), (Lines{c_critical, OffS, OffD, Bump, low(70), Bump}));
    EXPECT_EQ(state(0), (State{1, 0, 1, 3}));
    EXPECT_EQ(state(1), (State{1, 0, 0, 3}));
}

TEST_F(DisksTest, WithNeitherModuleSelectedNoRequestIsMade)
{
    Settings.SuspendMercS = 0;
    EXPECT_EQ(cycle({Unreadable}), (Lines{Error, Report}));
    EXPECT_EQ(cycle({mb(30)}), (Lines{Recovered, Report, critical(30), Report, Bump}));
    EXPECT_EQ(state(), (State{1, 0, 1, 1}));
}

TEST_F(DisksTest, RefusedModuleIsLoggedCountedAndKeepsTheDriveInError)
{
    host_answering_mercurys(-3);
    Settings.SuspendMercD = 1;
    const std::string refused = "log 1 5 KORVAL: MercuryS shutdown error (-3).";
    EXPECT_EQ(cycle({Unreadable}), (Lines{Error, ShutS, OffS, refused, "bump Failures", ShutD, OffD, Report}));
    // MercuryD comes back, but the refusal keeps the error state: no
    // available report, and the next reading tries again.
    Lines back = {Recovered, SetS, OnS, "log 1 5 KORVAL: MercuryS resume error (-3).", "bump Failures", SetD, OnD};
    EXPECT_EQ(cycle({mb(200)}), back);
    EXPECT_EQ(cycle({mb(200)}), back);
    EXPECT_EQ(count("Failures"), 3);
    // Without announcements the refusal is still logged.
    EXPECT_EQ(set_modules_online(host(), 0, 0), 0);
    EXPECT_EQ(steps(), (Lines{OffS, refused, "bump Failures", OffD}));
}

TEST_F(DisksTest, LargeDrivesReportTheirTrueFigureOrTheLargest)
{
    Settings.FreeDisk = INT32_MAX;
    struct Drive { Reading reading; int32_t megabytes; };
    const Drive drives[] = {
        {{TRUE, 8, 512, 1u << 28}, 1 << 20},      // 1 TiB in 4 KiB clusters
        {{TRUE, 8, 512, 1u << 29}, 1 << 21},      // 2 TiB
        {{TRUE, 128, 512, 1u << 28}, 1 << 24},    // 16 TiB in 64 KiB clusters
        {{TRUE, 1024, 512, 1u << 31}, 1 << 30},   // 1 PiB in 512 KiB clusters
        {{TRUE, 4096, 512, 1u << 31}, INT32_MAX}, // 4 PiB
        {{TRUE, ~0u, ~0u, ~0u}, INT32_MAX},       // beyond 64 bits
    };
    for (const Drive& d : drives) {
        SCOPED_TRACE(d.megabytes);
        EXPECT_EQ(cycle({d.reading})[0], d.megabytes == INT32_MAX ? ok(INT32_MAX) : low(d.megabytes));
        EXPECT_EQ(CurrentFreeMB, d.megabytes);
    }
}

TEST_F(DisksTest, ResultOfADriveRenamedOrDroppedDuringTheQueryIsDiscarded)
{
    set_drives({"D:\\", "E:\\"});
    during_query = [] { copy_text(Settings.DriveNames[0], "F:\\"); };
    EXPECT_EQ(cycle({Unreadable, mb(10)}), (Lines{critical(10, "E:\\"), ShutS, OffS, Report, Bump}));
    EXPECT_EQ(state(0), (State{0, 0, 0, 0}));
    // Dropped with the critical drive: nothing holds MercuryS any longer.
    during_query = [] { Settings.DriveCount = 0; };
    EXPECT_EQ(cycle({Unreadable}), (Lines{SetS, OnS}));
    EXPECT_EQ(queried, (Lines{"D:\\", "E:\\", "F:\\"}));
}

TEST_F(DisksTest, ModulesLeftOfflineByAReloadComeBackOnce)
{
    TempDir dir;
    const std::string ini = dir.file("korval.ini");
    auto reload = [&] { load_settings(ini.c_str(), "example.test"); };
    const char* const keys[][2] = {
        {"FreeDisk", "100"}, {"CriticalDisk", "50"}, {"SuspendMercS", "1"}, {"Number", "1"}, {"Drive1", "D:\\"}};
    for (const auto& key : keys)
        write_ini("Drives", key[0], key[1]);
    // Critical, reloaded, then fine before its next reading.
    cycle({mb(30)});
    reload();
    EXPECT_EQ(cycle({mb(200)}), (Lines{SetS, OnS}));
    EXPECT_EQ(cycle({mb(200)}), Lines{});
    // Critical again after the reload: the drive itself owes the request.
    cycle({mb(30)});
    reload();
    EXPECT_EQ(cycle({mb(30)}), (Lines{critical(30), ShutS, OffS, Report, Bump}));
    EXPECT_EQ(cycle({mb(200)}), (Lines{ok(200), SetS, OnS}));
    // Unreadable, and the reload drops every drive (FreeDisk becomes 0).
    cycle({Unreadable});
    write_ini("Drives", "Number", "0");
    reload();
    EXPECT_EQ(cycle({}), (Lines{SetS, OnS}));
    EXPECT_EQ(cycle({}), Lines{});
}

} // namespace

// The modules that the daemon took offline come back once no drive in the
// table holds them, whatever a reload did meanwhile, and never while one does.
TEST_F(DisksTest, ModulesComeBackOnlyWhenNoDriveHoldsThem)
{
    TempDir dir;
    const std::string ini = dir.file("korval.ini");
    auto reload = [&] { load_settings(ini.c_str(), "example.test"); };
    const char* const keys[][2] = {{"FreeDisk", "100"}, {"CriticalDisk", "50"}, {"SuspendMercS", "1"},
                                   {"SuspendMercD", "1"}, {"Number", "2"}, {"Drive1", "D:\\"}, {"Drive2", "E:\\"}};
    for (const auto& key : keys)
        write_ini("Drives", key[0], key[1]);
    reload();
    const Lines offline = {critical(30), ShutS, OffS, ShutD, OffD, Report, Bump};

    // A reload in the middle of the test, after D: was read critical.
    EXPECT_EQ(cycle({mb(30), mb(200)}), offline);
    during_query = [&] { if (queried.size() == 4) reload(); };
    EXPECT_EQ(cycle({mb(30), mb(200)}), (Lines{critical(30), OffS, OffD, Bump}));
    during_query = nullptr;

    // A reload that deselects MercuryD while D: stays critical: D goes back.
    write_ini("Drives", "SuspendMercD", "0");
    reload();
    EXPECT_EQ(cycle({mb(30), mb(200)}), (Lines{critical(30), ShutS, OffS, Report, Bump, SetD, OnD}));

    // The drive leaves the table while critical; the release is refused,
    // counted and tried again at the next test, until it is done.
    write_ini("Drives", "Number", "1");
    write_ini("Drives", "Drive1", "E:\\");
    reload();
    host_answering_mercurys(-3);
    const Lines refused = {SetS, OnS, "log 1 5 KORVAL: MercuryS resume error (-3).", "bump Failures"};
    EXPECT_EQ(cycle({mb(200)}), refused);
    EXPECT_EQ(cycle({mb(200)}), refused);
    host_answering_mercurys(0);
    EXPECT_EQ(cycle({mb(200)}), (Lines{SetS, OnS}));
    EXPECT_EQ(cycle({mb(200)}), Lines{});

    // A critical slot beyond the drive count (the dialog can leave one)
    // holds nothing, and a reload alone releases nothing.
    DriveState[3] = {1, 0, 1, 1};
    reload();
    EXPECT_EQ(cycle({mb(200)}), Lines{});
    DriveState[3] = {1, 0, 1, 1};
    ModulesTakenOffline = 1;
    EXPECT_EQ(cycle({mb(200)}), (Lines{SetS, OnS}));
}
