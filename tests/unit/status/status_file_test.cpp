#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <thread>

#include "checks/drives.h"
#include "checks/hosts.h"
#include "cycle/errand.h"
#include "monitor_fixture.h"
#include "platform/text.h"
#include "status/end_of_cycle.h"
#include "status/status_file.h"

namespace {

using Lines = std::vector<std::string>;

// A small table with hostile names, and full tables of the longest names, in
// which every character takes two bytes (escaped, or as UTF-8).
TEST(StatusText, EscapedLabelsEveryFamilyAndFullTablesFit)
{
    static char text[StatusTextSize];
    StatusSnapshot s{};
    s.HostCount = 1;
    s.HostKeys[0] = 1;
    copy_text(s.Hosts[0].Name, "say \"a\\b\"\n\xE9");
    s.Hosts[0].Up = 1;
    s.DriveCount = 2;
    s.DriveKeys[0] = 1;
    s.DriveKeys[1] = 2;
    s.Drives[0] = {"C:\\", 80, DriveLow, 0};
    s.Drives[1] = {"Q:\\", 0, DriveUnreadable, 0};
    s.EndSeconds = 7258118400; // in the year 2200
    s.StartSeconds = 7258000000;
    s.PollSeconds = 300;
    s.MemoryRead = 1;
    s.PhysicalMB = INT32_MAX;
    s.PagedMB = 3;
    ASSERT_EQ(format_status(text, sizeof text, s), 1);
    std::string small = text;
    for (const char* line : {"\nkorval_last_poll_end_seconds 7258118400\n",
                             "\nkorval_poll_interval_seconds 300\n",
                             "\nkorval_start_time_seconds 7258000000\n",
                             "\n# TYPE korval_build_info gauge\nkorval_build_info{version=\"1.18\"} 1\n",
                             // bytes, past 32 bits
                             "\nkorval_memory_available_bytes{kind=\"physical\"} 2251799812636672\n",
                             "\nkorval_memory_available_bytes{kind=\"paged\"} 3145728\n",
                             "\nkorval_host_up{slot=\"1\",host=\"say \\\"a\\\\b\\\"\\n\xC3\xA9\"} 1\n",
                             "\nkorval_disk_free_bytes{slot=\"1\",drive=\"C:\\\\\"} 83886080\n",
                             "\nkorval_disk_state{slot=\"2\",drive=\"Q:\\\\\"} 3\n",
                             "\n# HELP korval_service_up 1 if the service answered its last check, else 0.\n"
                             "# TYPE korval_service_up gauge\n"})
        EXPECT_NE(small.find(line), std::string::npos) << line;
    EXPECT_EQ(small.find("korval_disk_free_bytes{slot=\"2\""), std::string::npos);

    s.HostCount = s.ServiceCount = MaxHosts;
    s.DriveCount = MaxDrives;
    s.MemoryRead = 1;
    for (int k = 0; k < MaxHosts; ++k) {
        memset(s.Hosts[k].Name, k % 2 ? '"' : '\xFF', HostNameSize - 1);
        memset(s.Services[k].Name, '\\', ServiceNameSize - 1);
        memset(s.Certs[k].Name, '\\', ServiceNameSize - 1);
        s.Certs[k].Read = 1;
        s.Certs[k].Expiry = INT64_MIN;
        s.Hosts[k].Missed = UINT16_MAX;
        s.HostKeys[k] = s.ServiceKeys[k] = UINT8_MAX;
    }
    memset(s.DriveKeys, UINT8_MAX, sizeof s.DriveKeys);
    for (DriveReading& d : s.Drives)
        d = {"\"\"\"\"\"\"\"\"\"", INT32_MIN, DriveCritical, 0};
    s.TlsEntries = s.FlowOn = s.FlowJudged = s.FlowRoundTripKnown = s.HeartbeatOn = 1;
    s.FlowRoundTripMs = UINT64_MAX;
    s.EndSeconds = INT64_MIN;
    ASSERT_EQ(format_status(text, sizeof text, s), 1);
    // HELP and TYPE of 20 families, 6 single values, 2 lines per host and
    // drive, 2 memory and 2 module lines, 3 per service, 4 of the mail flow,
    // 1 heartbeat line.
    std::string full = text;
    EXPECT_EQ(std::count(full.begin(), full.end(), '\n'),
              40 + 6 + 2 * MaxHosts + 2 * MaxDrives + 4 + 3 * MaxServices + 4 + 1);
    EXPECT_EQ(full.back(), '\n');
}

class StatusFileTest : public MonitorTest {
protected:
    TempDir dir;
};

// The temporary twins left in a folder.
int twins_in(const std::string& folder)
{
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "\\*.tmp").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return 0;
    int n = 0;
    do
        ++n;
    while (FindNextFileA(search, &found));
    FindClose(search);
    return n;
}

std::string file_text(const std::string& path)
{
    std::string text;
    if (FILE* f = fopen(path.c_str(), "rb")) {
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, f)) > 0)
            text.append(buffer, n);
        fclose(f);
    }
    return text;
}

// A reader that holds the file as an exporter scraping it may, without
// delete sharing, and lets go after ms.
void hold_file(const std::string& path, DWORD ms)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    std::thread([file, ms] {
        Sleep(ms);
        CloseHandle(file);
    }).detach();
}

// A write that hangs on a slow share until released, while its life ends.
HANDLE Release;
BOOL stalled_write(HANDLE file, LPCVOID data, DWORD size, LPDWORD written)
{
    Platform.WriteFile = PlatformDefaults.WriteFile;
    SetEvent(StopEvent);
    WaitForSingleObject(Release, INFINITE);
    return PlatformDefaults.WriteFile(file, data, size, written);
}

TEST_F(StatusFileTest, AFailedWriteIsToldOnceAndItsRecoveryOnce)
{
    const std::string folder = dir.file("out"), path = folder + "\\korval.prom", other = dir.file("gone\\k.prom");
    copy_text(Settings.Added.StatusFile, path.c_str());
    enum Setup { NoFolder, FolderInTheWay, Writable, HeldBriefly, HeldLong, OtherPath, StalledAcrossALife };
    const struct {
        Setup setup;
        Lines lines;
    } cases[] = {
        {NoFolder, {"log 1 15 Error 3 writing status file " + path, "bump Failures"}},
        {NoFolder, {}},
        // A folder of the file's name in the way of the move.
        {FolderInTheWay, {}},
        {Writable, {"log 1 25 Status file " + path + " written again."}},
        {Writable, {}},
        // A reader is waited for a little; only one that outlasts the
        // tries is an error.
        {HeldBriefly, {}},
        {HeldLong, {"log 1 15 Error 5 writing status file " + path, "bump Failures"}},
        // A new path starts a new streak.
        {OtherPath, {"log 1 15 Error 3 writing status file " + other, "bump Failures"}},
        {Writable, {}},
        // The old life's write neither stops the new one's nor replaces it.
        {StalledAcrossALife, {}},
    };
    int failures = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.setup);
        copy_text(Settings.Added.StatusFile, (c.setup == OtherPath ? other : path).c_str());
        if (c.setup == FolderInTheWay) {
            CreateDirectoryA(folder.c_str(), nullptr);
            CreateDirectoryA(path.c_str(), nullptr);
        }
        if (c.setup == Writable)
            RemoveDirectoryA(path.c_str());
        if (c.setup == HeldBriefly || c.setup == HeldLong)
            hold_file(path, c.setup == HeldBriefly ? 400 : 2500);
        if (c.setup == StalledAcrossALife) {
            Release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
            Platform.WriteFile = stalled_write;
            end_of_cycle(host());
            // closedown, then a new life in the same image
            end_errands();
            ResetEvent(StopEvent);
            ++LifeNumber;
            ASSERT_TRUE(start_errands());
        }
        end_of_cycle(host());
        std::string written = file_text(path);
        if (c.setup == StalledAcrossALife) {
            SetEvent(Release);
            for (int wait = 0; wait < 30 && twins_in(folder) != 0; ++wait)
                Sleep(100);
            CloseHandle(Release);
        }
        if (c.setup == HeldLong)
            Sleep(2500);
        EXPECT_EQ(steps(), c.lines);
        failures += c.lines.size() == 2;
        EXPECT_EQ(count("Failures"), failures);
        EXPECT_EQ(twins_in(folder), 0);
        if (c.setup == Writable || c.setup == StalledAcrossALife) {
            EXPECT_EQ(file_text(path), written);
        }
    }
    // The stalled write was the tenth; the new life's the eleventh.
    EXPECT_NE(file_text(path).find("korval_poll_cycles_total 11\n"), std::string::npos);
}

// What the file shows of hosts and services: the last answer of the entry
// now in each slot, under its number in korval.ini, also after a reread
// that zeroed the daemon's own counts; a slot's new entry shows once checked.
TEST_F(StatusFileTest, EachEntryShowsItsLastAnswerUnderItsNumber)
{
    const std::string path = dir.file("k.prom");
    auto load = [&](const char* host2) {
        write_ini("General", "Mail", "ops@example.test");
        write_ini("General", "StatusFile", "k.prom");
        write_ini("Hosts", "Number", "3");
        write_ini("Hosts", "Host1", "");
        write_ini("Hosts", "Host2", host2);
        write_ini("Hosts", "Host3", "b");
        ASSERT_TRUE(load_settings(dir.file("korval.ini").c_str(), "example.test"));
    };
    auto poll = [](int index, const char* name, int answered) {
        PollOutcome outcome;
        record_slot_poll(Settings.HostNames, Settings.HostCount, HostState, HostReadings, index, name, answered,
                         outcome);
    };
    auto samples = [&] {
        end_of_cycle(host());
        Lines lines;
        std::string text = file_text(path);
        for (size_t at = text.find("\nkorval_host_"); at != std::string::npos; at = text.find("\nkorval_host_", at + 1))
            lines.push_back(text.substr(at + 1, text.find('\n', at + 1) - at - 1));
        return lines;
    };
    load("a");
    poll(0, "a", 1);
    poll(1, "b", 0);
    load("a"); // a reread between the host test and the end of the cycle
    EXPECT_EQ(samples(), (Lines{"korval_host_up{slot=\"2\",host=\"a\"} 1", "korval_host_up{slot=\"3\",host=\"b\"} 0",
                                "korval_host_missed_polls{slot=\"2\",host=\"a\"} 0",
                                "korval_host_missed_polls{slot=\"3\",host=\"b\"} 1"}));
    load("c");
    HostReadings[1].Missed = UINT16_MAX - 1;
    poll(1, "b", 0);
    poll(1, "b", 0);
    EXPECT_EQ(samples(), (Lines{"korval_host_up{slot=\"3\",host=\"b\"} 0",
                                "korval_host_missed_polls{slot=\"3\",host=\"b\"} 65535"}));
    poll(0, "c", 0);
    poll(1, "b", 1);
    EXPECT_EQ(samples(), (Lines{"korval_host_up{slot=\"2\",host=\"c\"} 0", "korval_host_up{slot=\"3\",host=\"b\"} 1",
                                "korval_host_missed_polls{slot=\"2\",host=\"c\"} 1",
                                "korval_host_missed_polls{slot=\"3\",host=\"b\"} 0"}));
}

} // namespace
