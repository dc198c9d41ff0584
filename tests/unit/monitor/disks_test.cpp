#include <gtest/gtest.h>

#include <deque>
#include <functional>

#include "monitor/monitor.h"
#include "monitor_fixture.h"
#include "platform/text.h"

namespace {

using Lines = std::vector<std::string>;

// One answer of the scripted free-space query.
struct Reading {
    BOOL ok;
    DWORD sectors_per_cluster, bytes_per_sector, free_clusters;
};
// Free megabytes in 4 KiB clusters; Unreadable fails the query.
Reading mb(DWORD megabytes) { return {TRUE, 8, 512, megabytes * 256}; }
const Reading Unreadable = {FALSE, 0, 0, 0};

struct DiskScript {
    std::deque<Reading> readings;
    std::function<void()> during; // runs inside the query, as a reload would
    Lines queried;
};
DiskScript disk;

BOOL fake_free_space(LPCSTR root, LPDWORD sectors, LPDWORD bytes, LPDWORD free, LPDWORD total)
{
    disk.queried.push_back(root);
    if (disk.during)
        disk.during();
    Reading r = disk.readings.empty() ? Unreadable : disk.readings.front();
    if (!disk.readings.empty())
        disk.readings.pop_front();
    *sectors = r.sectors_per_cluster, *bytes = r.bytes_per_sector, *free = r.free_clusters, *total = 0;
    return r.ok;
}

const std::string Bump = "bump LowDiskSpace";
const std::string ShutS = "log 21 15 Shutting MercuryS down.", SetS = "log 21 15 Setting MercuryS online.";
const std::string OffS = "module_state MERCURYS 1 0", OnS = "module_state MERCURYS 1 1";
const std::string ShutD = "log 21 15 Shutting MercuryD down.", SetD = "log 21 15 Setting MercuryD online.";
const std::string OffD = "module_state MERCURYD 1 0", OnD = "module_state MERCURYD 1 1";
const std::string LowReport = "report Subject: Low DiskSpace (D:\\) on Mercury";
const std::string Unavailable = "report Subject: Unavailable Disk (D:\\) on Mercury";
const std::string Available = "report Subject: Disk on Mercury available";

std::string low(int free) { return "log 20 15 Low disk space: only " + std::to_string(free) + "MB on D:\\"; }
std::string critical(int free) { return "log 20 15 Critical disk space: only " + std::to_string(free) + "MB on D:\\"; }
std::string ok(int free) { return "log 20 25 OK disk space: " + std::to_string(free) + "MB on D:\\"; }
const std::string Error = "log 20 15 Error getting free disk space on D:\\.";
const std::string Recovered = "log 20 15 Disk D:\\ recovered.";

class DisksTest : public MonitorTest {
protected:
    void SetUp() override
    {
        MonitorTest::SetUp();
        disk = DiskScript{};
        Platform.GetDiskFreeSpaceA = fake_free_space;
        register_statistics();
        Settings.FreeDisk = 100;
        Settings.CriticalDisk = 50;
        Settings.SuspendMercS = 1;
        set_drives({"D:\\"});
    }

    void register_statistics()
    {
        StatHandle module = host_register_module_statistics(host(), "HostStatus");
        Failures = host_register_statistic(host(), module, "Failures");
        LowDiskSpace = host_register_statistic(host(), module, "LowDiskSpace");
        seen = standin_trace().size();
        reports = 0;
    }

    // A fresh host that refuses set requests for one module.
    void refuse_module(const char* name, int result)
    {
        HostOptions options;
        options.module_set_results[name] = result;
        standin_reset(options);
        HostInterfaceCopy = host();
        register_statistics();
    }

    void set_drives(std::initializer_list<const char*> names)
    {
        Settings.DriveCount = 0;
        for (const char* name : names)
            copy_text(Settings.DriveNames[Settings.DriveCount++], name);
    }

    // One disk test with these readings, and what the host saw of it.
    Lines cycle(std::initializer_list<Reading> readings)
    {
        disk.readings = readings;
        test_disks(host());
        return since();
    }

    // The host's trace since the last call: log lines, module requests,
    // bumps, and each report as its subject line.
    Lines since()
    {
        std::vector<std::string> trace = standin_trace();
        std::vector<HostJob> jobs = standin_jobs();
        Lines out;
        for (; seen < trace.size(); ++seen) {
            const std::string& line = trace[seen];
            if (line.rfind("create_job", 0) == 0) {
                const std::string& text = jobs[reports].text;
                size_t at = text.find("Subject: ");
                out.push_back("report " + text.substr(at, text.find("\r\n", at) - at));
                ++reports;
            } else if (line.rfind("log ", 0) == 0 || line.rfind("bump ", 0) == 0 ||
                       line.rfind("module_state ", 0) == 0) {
                out.push_back(line);
            }
        }
        return out;
    }

    // (Low, ErrorCount, Critical, ReportCounter) of a drive.
    static std::vector<int> state(int index = 0)
    {
        const DriveStateEntry& d = DriveState[index];
        return {d.Low, d.ErrorCount, d.Critical, d.ReportCounter};
    }

    size_t seen = 0;
    size_t reports = 0;
};

TEST_F(DisksTest, LowAndCriticalDriveOverTenCycles)
{
    struct Cycle { DWORD free; Lines lines; std::vector<int> state; };
    const Cycle cycles[] = {
        {200, {}, {0, 0, 0, 0}},
        {80, {low(80), LowReport, Bump}, {1, 0, 0, 1}},
        {70, {low(70), Bump}, {1, 0, 0, 2}},
        {40, {critical(40), ShutS, OffS, Bump}, {1, 0, 1, 3}},
        {30, {critical(30), OffS, Bump}, {1, 0, 1, 4}},
        {30, {critical(30), OffS, Bump}, {1, 0, 1, 0}},
        {30, {critical(30), OffS, LowReport, Bump}, {1, 0, 1, 1}},
        {120, {ok(120), SetS, OnS}, {1, 0, 0, 6}},
        {120, {ok(120), LowReport}, {0, 0, 0, 0}},
        {120, {}, {0, 0, 0, 0}},
    };
    int number = 0;
    for (const Cycle& c : cycles) {
        SCOPED_TRACE("cycle " + std::to_string(++number));
        EXPECT_EQ(cycle({mb(c.free)}), c.lines);
        EXPECT_EQ(state(), c.state);
    }
    EXPECT_EQ(count("LowDiskSpace"), 6);
    EXPECT_EQ(standin_module_online("MERCURYS"), 1);
    // The low and the back-above report differ in the message line only.
    std::vector<HostJob> jobs = standin_jobs();
    ASSERT_EQ(jobs.size(), 3u);
    EXPECT_NE(jobs[0].text.find("There is only 80 MB free on drive D:\\ .\r\n"), std::string::npos);
    EXPECT_NE(jobs[1].text.find("There is only 30 MB free on drive D:\\ .\r\n"), std::string::npos);
    EXPECT_NE(jobs[2].text.find("There is 120 MB free on drive D:\\ .\r\n"), std::string::npos);
}

TEST_F(DisksTest, UnreadableDriveIsReportedAtFailuresOneTwoAndThenPastSuspend)
{
    struct Case { int suspend; std::vector<int> reported_at; std::vector<int> counts; };
    const Case cases[] = {
        {5, {1, 2, 8}, {1, 2, 3, 4, 5, 6, 1, 2}},
        {1, {1, 2, 4, 6, 8}, {1, 2, 1, 2, 1, 2, 1, 2}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("Suspend " + std::to_string(c.suspend));
        Settings.Suspend = c.suspend;
        for (int failure = 1; failure <= 8; ++failure) {
            SCOPED_TRACE("failure " + std::to_string(failure));
            Lines expected = {Error, ShutS, OffS};
            for (int at : c.reported_at)
                if (at == failure)
                    expected.push_back(Unavailable);
            EXPECT_EQ(cycle({Unreadable}), expected);
            EXPECT_EQ(state(), (std::vector<int>{0, c.counts[failure - 1], 0, 0}));
        }
        EXPECT_EQ(standin_module_online("MERCURYS"), 0);
        // Readable again: the modules come back, then the free space is
        // judged as in any cycle.
        EXPECT_EQ(cycle({mb(80)}), (Lines{Recovered, SetS, OnS, Available, low(80), LowReport, Bump}));
        EXPECT_EQ(DriveState[0].ErrorCount, 0);
        EXPECT_EQ(cycle({mb(200)}), Lines{ok(200)});
        EXPECT_EQ(cycle({mb(200)}), (Lines{ok(200), LowReport}));
    }
    // A count that would wrap to 0 (Suspend above 255) starts over at 1, so
    // the drive still owes its recovery.
    Settings.Suspend = 300;
    DriveState[0].ErrorCount = 255;
    EXPECT_EQ(cycle({Unreadable}), (Lines{Error, ShutS, OffS}));
    EXPECT_EQ(DriveState[0].ErrorCount, 1);
    EXPECT_EQ(cycle({mb(200)}), (Lines{Recovered, SetS, OnS, Available}));
}

TEST_F(DisksTest, ThresholdsAreStrictlyBelow)
{
    EXPECT_EQ(cycle({mb(100)}), Lines{});
    EXPECT_EQ(cycle({mb(50)}), (Lines{low(50), LowReport, Bump}));
    EXPECT_EQ(cycle({mb(49)}), (Lines{critical(49), ShutS, OffS, Bump}));
    // FreeDisk 0 turns the test off: no query at all.
    Settings.FreeDisk = 0;
    EXPECT_EQ(cycle({mb(10)}), Lines{});
    EXPECT_EQ(disk.queried.size(), 3u);
}

TEST_F(DisksTest, EachDriveActsOnItsOwnCriticalFlag)
{
    set_drives({"C:\\", "D:\\"});
    Settings.SuspendMercD = 1;
    Lines both_off = {ShutS, OffS, ShutD, OffD};
    Lines c_critical = {"log 20 15 Critical disk space: only 30MB on C:\\"};
    auto join = [](std::initializer_list<Lines> parts) {
        Lines all;
        for (const Lines& p : parts)
            all.insert(all.end(), p.begin(), p.end());
        return all;
    };
    EXPECT_EQ(cycle({mb(30), mb(30)}),
              join({c_critical, both_off, {"report Subject: Low DiskSpace (C:\\) on Mercury", Bump},
                    {critical(30)}, both_off, {LowReport, Bump}}));
    // C stays critical and sets the modules offline without a line; D
    // leaves the critical range and brings them back with its lines.
    Lines next = join({c_critical, {OffS, OffD, Bump}, {low(70), SetS, OnS, SetD, OnD, Bump}});
    EXPECT_EQ(cycle({mb(30), mb(70)}), next);
    EXPECT_EQ(cycle({mb(30), mb(70)}), join({c_critical, {OffS, OffD, Bump}, {low(70), Bump}}));
    EXPECT_EQ(state(0), (std::vector<int>{1, 0, 1, 3}));
    EXPECT_EQ(state(1), (std::vector<int>{1, 0, 0, 3}));
    EXPECT_EQ(disk.queried, (Lines{"C:\\", "D:\\", "C:\\", "D:\\", "C:\\", "D:\\"}));
}

TEST_F(DisksTest, WithNeitherModuleSelectedNoRequestIsMade)
{
    Settings.SuspendMercS = 0;
    EXPECT_EQ(set_modules_online(host(), 0, 1), 1);
    EXPECT_EQ(cycle({Unreadable}), (Lines{Error, Unavailable}));
    EXPECT_EQ(cycle({mb(30)}), (Lines{Recovered, Available, critical(30), LowReport, Bump}));
    EXPECT_EQ(state(), (std::vector<int>{1, 0, 1, 1}));
}

TEST_F(DisksTest, RefusedModuleIsLoggedCountedAndKeepsTheDriveInError)
{
    refuse_module("MERCURYS", -3);
    Settings.SuspendMercD = 1;
    const std::string refused_off = "log 1 5 KORVAL: MercuryS shutdown error (-3).";
    const std::string refused_on = "log 1 5 KORVAL: MercuryS resume error (-3).";
    EXPECT_EQ(cycle({Unreadable}), (Lines{Error, ShutS, OffS, refused_off, "bump Failures", ShutD, OffD, Unavailable}));
    EXPECT_EQ(standin_module_online("MERCURYD"), 0);
    // The request for MercuryD goes out and succeeds, but the refusal keeps
    // the error state: no available report, and the next reading tries again.
    Lines back = {Recovered, SetS, OnS, refused_on, "bump Failures", SetD, OnD};
    EXPECT_EQ(cycle({mb(200)}), back);
    EXPECT_EQ(DriveState[0].ErrorCount, 1);
    EXPECT_EQ(cycle({mb(200)}), back);
    EXPECT_EQ(standin_module_online("MERCURYD"), 1);
    EXPECT_EQ(standin_module_online("MERCURYS"), 1);
    EXPECT_EQ(count("Failures"), 3);
    // Without the announcements the refusal is still logged.
    EXPECT_EQ(set_modules_online(host(), 0, 0), 0);
    EXPECT_EQ(since(), (Lines{OffS, refused_off, "bump Failures", OffD}));
}

TEST_F(DisksTest, LargeDrivesReportTheirTrueFigureOrTheLargest)
{
    Settings.FreeDisk = INT32_MAX;
    Settings.CriticalDisk = 0;
    struct Drive { Reading reading; int32_t megabytes; };
    const Drive drives[] = {
        {{TRUE, 8, 512, 1u << 28}, 1 << 20},           // 1 TiB in 4 KiB clusters
        {{TRUE, 8, 512, 1u << 29}, 1 << 21},           // 2 TiB
        {{TRUE, 128, 512, 1u << 28}, 1 << 24},         // 16 TiB in 64 KiB clusters
        {{TRUE, 1024, 512, 1u << 31}, 1 << 30},        // 1 PiB in 512 KiB clusters
        {{TRUE, 4096, 512, 1u << 31}, INT32_MAX},      // 4 PiB
        {{TRUE, ~0u, ~0u, ~0u}, INT32_MAX},            // beyond 64 bits
        {{TRUE, 1, 256, 4096}, 0},                     // sectors below 512 bytes, as ever
    };
    for (const Drive& d : drives) {
        SCOPED_TRACE(d.megabytes);
        Lines lines = cycle({d.reading});
        EXPECT_EQ(CurrentFreeMB, d.megabytes);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines[0], d.megabytes == INT32_MAX ? ok(INT32_MAX) : low(d.megabytes));
    }
}

TEST_F(DisksTest, ResultOfADriveRenamedOrDroppedDuringTheQueryIsDiscarded)
{
    set_drives({"D:\\", "E:\\"});
    disk.during = [] { copy_text(Settings.DriveNames[0], "F:\\"); };
    EXPECT_EQ(cycle({Unreadable, mb(10)}), (Lines{"log 20 15 Critical disk space: only 10MB on E:\\", ShutS, OffS,
                                                   "report Subject: Low DiskSpace (E:\\) on Mercury", Bump}));
    EXPECT_EQ(state(0), (std::vector<int>{0, 0, 0, 0}));
    disk.during = [] { Settings.DriveCount = 0; };
    EXPECT_EQ(cycle({Unreadable}), Lines{});
    EXPECT_EQ(disk.queried, (Lines{"D:\\", "E:\\", "F:\\"}));
}

class DisksReloadTest : public DisksTest {
protected:
    TempDir dir;

    void SetUp() override
    {
        DisksTest::SetUp();
        copy_text(Settings.IniPath, dir.file("korval.ini").c_str());
        write_ini("General", "Mail", "ops@example.test");
        write_ini("Drives", "FreeDisk", "100");
        write_ini("Drives", "CriticalDisk", "50");
        write_ini("Drives", "SuspendMercS", "1");
        write_ini("Drives", "Number", "1");
        write_ini("Drives", "Drive1", "D:\\");
        load_settings();
    }
};

TEST_F(DisksReloadTest, ModulesLeftOfflineByAReloadComeBackOnce)
{
    // Critical, reloaded, then fine before its next reading.
    EXPECT_EQ(cycle({mb(30)}), (Lines{critical(30), ShutS, OffS, LowReport, Bump}));
    load_settings();
    EXPECT_EQ(cycle({mb(200)}), (Lines{SetS, OnS}));
    EXPECT_EQ(cycle({mb(200)}), Lines{});

    // Critical, reloaded, critical again: the drive itself owes the request.
    cycle({mb(30)});
    load_settings();
    EXPECT_EQ(cycle({mb(30)}), (Lines{critical(30), ShutS, OffS, LowReport, Bump}));
    EXPECT_EQ(cycle({mb(200)}), (Lines{ok(200), SetS, OnS}));

    // Unreadable, and the reload drops every drive (FreeDisk becomes 0).
    EXPECT_EQ(cycle({Unreadable}), (Lines{Error, ShutS, OffS, Unavailable}));
    write_ini("Drives", "Number", "0");
    load_settings();
    EXPECT_EQ(cycle({}), (Lines{SetS, OnS}));
    EXPECT_EQ(cycle({}), Lines{});
    EXPECT_EQ(standin_module_online("MERCURYS"), 1);
}

} // namespace
