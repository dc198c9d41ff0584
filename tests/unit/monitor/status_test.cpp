#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "monitor/status.h"
#include "platform/text.h"
#include "monitor_fixture.h"

namespace {

using Lines = std::vector<std::string>;

std::string text_of(const StatusSnapshot& s, int* whole = nullptr)
{
    static char text[StatusTextSize];
    int fitted = format_status(text, sizeof text, s);
    if (whole)
        *whole = fitted;
    return text;
}

TEST(StatusText, EveryFamilyWithEscapedLabels)
{
    StatusSnapshot s{};
    s.Cycles = 7;
    s.EndSeconds = 1765170000;
    s.Failures = 2;
    s.HostCount = 2;
    copy_text(s.HostNames[0], "say \"hi\"\\now\n");
    copy_text(s.HostNames[1], "caf\xE9");
    s.Hosts[1].MissCount = 4;
    s.MemoryRead = 1;
    s.PhysicalMB = 512;
    s.PagedMB = 0;
    s.DriveCount = 3;
    s.Drives[0] = {"C:\\", 80, DriveLow};
    s.Drives[1] = {"", 0, 0}; // not read under its present name
    s.Drives[2] = {"Q:\\", 5, DriveUnreadable};
    s.ModulesOffline = 2;
    EXPECT_EQ(text_of(s),
              "# HELP korval_poll_cycles_total Poll cycles completed since startup.\n"
              "# TYPE korval_poll_cycles_total counter\n"
              "korval_poll_cycles_total 7\n"
              "# HELP korval_last_poll_end_seconds Unix time at the end of the last poll cycle.\n"
              "# TYPE korval_last_poll_end_seconds gauge\n"
              "korval_last_poll_end_seconds 1765170000\n"
              "# HELP korval_failures_total Errors counted in the Failures statistic since startup.\n"
              "# TYPE korval_failures_total counter\n"
              "korval_failures_total 2\n"
              "# HELP korval_host_up 1 if the host answered its last echo, else 0.\n"
              "# TYPE korval_host_up gauge\n"
              "korval_host_up{slot=\"1\",host=\"say \\\"hi\\\"\\\\now\\n\"} 1\n"
              "korval_host_up{slot=\"2\",host=\"caf\xC3\xA9\"} 0\n"
              "# HELP korval_host_missed_polls Consecutive polls the host did not answer.\n"
              "# TYPE korval_host_missed_polls gauge\n"
              "korval_host_missed_polls{slot=\"1\",host=\"say \\\"hi\\\"\\\\now\\n\"} 0\n"
              "korval_host_missed_polls{slot=\"2\",host=\"caf\xC3\xA9\"} 4\n"
              "# HELP korval_memory_available_megabytes Available memory as the memory test read it.\n"
              "# TYPE korval_memory_available_megabytes gauge\n"
              "korval_memory_available_megabytes{kind=\"physical\"} 512\n"
              "korval_memory_available_megabytes{kind=\"paged\"} 0\n"
              "# HELP korval_disk_free_megabytes Free space at the drive's last reading.\n"
              "# TYPE korval_disk_free_megabytes gauge\n"
              "korval_disk_free_megabytes{slot=\"1\",drive=\"C:\\\\\"} 80\n"
              "# HELP korval_disk_state 0 fine, 1 low, 2 critical, 3 unreadable.\n"
              "# TYPE korval_disk_state gauge\n"
              "korval_disk_state{slot=\"1\",drive=\"C:\\\\\"} 1\n"
              "korval_disk_state{slot=\"3\",drive=\"Q:\\\\\"} 3\n"
              "# HELP korval_module_suspended 1 while Korval holds the module offline.\n"
              "# TYPE korval_module_suspended gauge\n"
              "korval_module_suspended{module=\"MercuryS\"} 0\n"
              "korval_module_suspended{module=\"MercuryD\"} 1\n"
              "# HELP korval_service_up 1 if the service answered its last check, else 0.\n"
              "# TYPE korval_service_up gauge\n");
}

TEST(StatusText, FullTablesOfTheLongestNamesFit)
{
    StatusSnapshot s{};
    s.Cycles = s.EndSeconds = s.Failures = UINT32_MAX;
    s.HostCount = MaxHosts;
    s.ServiceCount = MaxServices;
    s.DriveCount = MaxDrives;
    s.MemoryRead = 1;
    s.PhysicalMB = s.PagedMB = INT32_MIN;
    // Every character takes two bytes, escaped or as UTF-8.
    for (int k = 0; k < MaxHosts; ++k) {
        memset(s.HostNames[k], k % 2 ? '"' : '\xFF', HostNameSize - 1);
        memset(s.ServiceNames[k], '\\', ServiceNameSize - 1);
        s.Hosts[k].MissCount = s.Services[k].MissCount = UINT16_MAX;
    }
    for (DriveReading& d : s.Drives) {
        memset(d.Name, '"', DriveNameSize - 1);
        d.FreeMB = INT32_MIN;
        d.Status = DriveCritical;
    }
    int whole = 0;
    std::string text = text_of(s, &whole);
    EXPECT_EQ(whole, 1);
    EXPECT_EQ(text.back(), '\n');
    // 10 families of HELP and TYPE, 3 counters, 2 lines per host and drive,
    // 2 memory and 2 module lines, 1 per service.
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 20 + 3 + 2 * MaxHosts + 2 * MaxDrives + 4 + MaxServices);
}

class StatusFileTest : public MonitorTest {
protected:
    TempDir dir;
};

bool exists(const std::string& path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

TEST_F(StatusFileTest, AFailedWriteIsToldOnceAndItsRecoveryOnce)
{
    const std::string path = dir.file("out\\korval.prom");
    copy_text(Settings.StatusFile, path.c_str());
    const std::string failed = "log 1 15 Error 3 writing status file " + path;
    enum Setup { NoFolder, FolderInTheWay, Writable };
    struct Step {
        Setup setup;
        Lines lines;
        long failures;
    } cases[] = {
        {NoFolder, {failed, "bump Failures"}, 1},
        {NoFolder, {}, 1},
        // The move fails onto a folder of the file's name: the .tmp goes.
        {FolderInTheWay, {}, 1},
        {Writable, {"log 1 25 Status file " + path + " written again."}, 1},
        {Writable, {}, 1},
    };
    int number = 0;
    for (const Step& step : cases) {
        SCOPED_TRACE("step " + std::to_string(++number));
        if (step.setup == FolderInTheWay) {
            CreateDirectoryA(dir.file("out").c_str(), nullptr);
            CreateDirectoryA(path.c_str(), nullptr);
        }
        if (step.setup == Writable)
            RemoveDirectoryA(path.c_str());
        write_status_file(host());
        EXPECT_EQ(steps(), step.lines);
        EXPECT_EQ(count("Failures"), step.failures);
        EXPECT_FALSE(exists(path + ".tmp"));
        EXPECT_EQ(exists(path) && !(GetFileAttributesA(path.c_str()) & FILE_ATTRIBUTE_DIRECTORY),
                  step.setup == Writable);
    }
    FILE* f = fopen(path.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    char text[StatusTextSize] = {};
    fread(text, 1, sizeof text - 1, f);
    fclose(f);
    EXPECT_NE(strstr(text, "\nkorval_poll_cycles_total 5\n"), nullptr);
    EXPECT_NE(strstr(text, "\nkorval_failures_total 1\n"), nullptr);
}

} // namespace
