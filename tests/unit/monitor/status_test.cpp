#include <gtest/gtest.h>

#include <algorithm>

#include "monitor/status.h"
#include "monitor_fixture.h"
#include "platform/text.h"

namespace {

using Lines = std::vector<std::string>;

// A small table with hostile names, and full tables of the longest names, in
// which every character takes two bytes (escaped, or as UTF-8).
TEST(StatusText, EscapedLabelsEveryFamilyAndFullTablesFit)
{
    static char text[StatusTextSize];
    StatusSnapshot s{};
    s.HostCount = 1;
    copy_text(s.HostNames[0], "say \"a\\b\"\n\xE9");
    s.DriveCount = 2;
    s.Drives[0] = {"C:\\", 80, DriveLow};
    s.Drives[1] = {"Q:\\", 0, DriveUnreadable};
    ASSERT_EQ(format_status(text, sizeof text, s), 1);
    std::string small = text;
    for (const char* line : {"\nkorval_host_up{slot=\"1\",host=\"say \\\"a\\\\b\\\"\\n\xC3\xA9\"} 1\n",
                             "\nkorval_disk_free_megabytes{slot=\"1\",drive=\"C:\\\\\"} 80\n",
                             "\nkorval_disk_state{slot=\"2\",drive=\"Q:\\\\\"} 3\n",
                             "\n# HELP korval_service_up 1 if the service answered its last check, else 0.\n"
                             "# TYPE korval_service_up gauge\n"})
        EXPECT_NE(small.find(line), std::string::npos) << line;
    EXPECT_EQ(small.find("korval_disk_free_megabytes{slot=\"2\""), std::string::npos);

    s.HostCount = s.ServiceCount = MaxHosts;
    s.DriveCount = MaxDrives;
    s.MemoryRead = 1;
    for (int k = 0; k < MaxHosts; ++k) {
        memset(s.HostNames[k], k % 2 ? '"' : '\xFF', HostNameSize - 1);
        memset(s.ServiceNames[k], '\\', ServiceNameSize - 1);
        s.Hosts[k].MissCount = UINT16_MAX;
    }
    for (DriveReading& d : s.Drives)
        d = {"\"\"\"\"\"\"\"\"\"", INT32_MIN, DriveCritical};
    ASSERT_EQ(format_status(text, sizeof text, s), 1);
    // HELP and TYPE of 10 families, 3 counters, 2 lines per host and drive,
    // 2 memory and 2 module lines, 1 per service.
    std::string full = text;
    EXPECT_EQ(std::count(full.begin(), full.end(), '\n'), 20 + 3 + 2 * MaxHosts + 2 * MaxDrives + 4 + MaxServices);
    EXPECT_EQ(full.back(), '\n');
}

class StatusFileTest : public MonitorTest {
protected:
    TempDir dir;
};

TEST_F(StatusFileTest, AFailedWriteIsToldOnceAndItsRecoveryOnce)
{
    const std::string path = dir.file("out\\korval.prom");
    copy_text(Settings.StatusFile, path.c_str());
    // In the way of the move, a folder of the file's name: the .tmp must go.
    enum Setup { NoFolder, FolderInTheWay, Writable };
    const struct {
        Setup setup;
        Lines lines;
    } cases[] = {
        {NoFolder, {"log 1 15 Error 3 writing status file " + path, "bump Failures"}},
        {NoFolder, {}},
        {FolderInTheWay, {}},
        {Writable, {"log 1 25 Status file " + path + " written again."}},
        {Writable, {}},
    };
    for (const auto& c : cases) {
        if (c.setup == FolderInTheWay) {
            CreateDirectoryA(dir.file("out").c_str(), nullptr);
            CreateDirectoryA(path.c_str(), nullptr);
        }
        if (c.setup == Writable)
            RemoveDirectoryA(path.c_str());
        write_status_file(host());
        EXPECT_EQ(steps(), c.lines);
        EXPECT_EQ(count("Failures"), 1);
        EXPECT_EQ(GetFileAttributesA((path + ".tmp").c_str()), INVALID_FILE_ATTRIBUTES);
    }
    EXPECT_NE(GetFileAttributesA(path.c_str()), INVALID_FILE_ATTRIBUTES);
}

} // namespace
