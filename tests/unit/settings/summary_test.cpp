#include <string>
#include <vector>

#include "settings_test_support.h"

namespace {

using Lines = std::vector<std::string>;

TEST_F(SettingsTest, SummaryShowsEverySetting)
{
    copy_text(Settings.DaemonAddress, "korval-daemon@example.test");
    Settings.PollTime = 5;
    Settings.Retry = 3;
    Settings.Suspend = 5;
    Settings.MemoryLimit = 20;
    copy_text(Settings.Mail, "a@b;c@d;555:sms.example.test");
    parse_recipients();
    Settings.FreeDisk = 100;
    Settings.CriticalDisk = 50;
    Settings.SuspendMercS = Settings.SuspendMercD = 1;
    copy_text(Settings.DriveNames[0], "D:\\");
    copy_text(Settings.DriveNames[1], "E:\\");
    Settings.DriveCount = 2;
    copy_text(Settings.HostNames[0], "127.0.0.1");
    copy_text(Settings.HostNames[1], "%s%n.example");
    Settings.HostCount = 2;

    log_settings(host());
    EXPECT_EQ(logged(), (Lines{
                            "11 20 Using daemon address 'korval-daemon@example.test'",
                            "1 20 Polling every 5 minutes.",
                            "1 20 Retry befor report: 3.",
                            "1 20 Don't report deads 5 times.",
                            "1 20 Test for 20 MB memory available.",
                            "1 20 Send reports to Mail 'a@b,c@d'.",
                            "1 20 Send reports to SMS  '555@sms.example.test'.",
                            "1 20 Test free space over 100 MB on D:\\;E:\\;",
                            "1 20   (Suspend MercS/D for space < 50 MB)",
                            "1 20 Polling 2 hosts:",
                            "1 20     127.0.0.1",
                            "1 20     %s%n.example",
                        }));
}

TEST_F(SettingsTest, SummaryLeavesOutWhatIsNotTested)
{
    Settings.Suspend = 5;
    Settings.MemoryLimit = 0;
    Settings.FreeDisk = 0;
    Settings.CriticalDisk = 40; // not shown without the disk test
    Settings.SuspendMercS = 1;
    log_settings(host());
    EXPECT_EQ(logged(), (Lines{
                            "11 20 Using daemon address ''",
                            "1 20 Polling every 5 minutes.",
                            "1 20 Retry befor report: 3.",
                            "1 20 Don't report deads 5 times.",
                            "1 20 Not testing for free disk space.",
                            "1 20 Polling 0 hosts:",
                        }));
}

TEST_F(SettingsTest, DriveLineAndModuleTextAreShownAsTheyAre)
{
    struct Case {
        int s, d;
        const char* line;
    } cases[] = {
        {1, 0, "1 20   (Suspend MercS for space < 50 MB)"},
        {0, 1, "1 20   (Suspend MercD for space < 50 MB)"},
        {0, 0, "1 20   (Suspend Merc for space < 50 MB)"},
    };
    // Drive names from the file may hold anything, '%' included.
    copy_text(Settings.DriveNames[0], "%d%%%s");
    Settings.DriveCount = 1;
    Settings.FreeDisk = 7;
    Settings.CriticalDisk = 50;
    for (const auto& c : cases) {
        standin_reset();
        Settings.SuspendMercS = c.s;
        Settings.SuspendMercD = c.d;
        log_settings(host());
        Lines lines = logged();
        ASSERT_EQ(lines.size(), 8u);
        EXPECT_EQ(lines[5], "1 20 Test free space over 7 MB on %d%%%s;");
        EXPECT_EQ(lines[6], c.line);
    }
}

} // namespace
