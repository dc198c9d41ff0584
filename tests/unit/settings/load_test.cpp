#include <windows.h>

#include <cstring>
#include <string>

#include "settings_test_support.h"

namespace {

bool logged_line(const std::string& line)
{
    for (const auto& l : logged())
        if (l == line)
            return true;
    return false;
}

TEST_F(SettingsTest, NoFileLoadsStartValuesAndReportsNothingToTest)
{
    register_failures();
    EXPECT_EQ(init_settings(host()), 0);
    EXPECT_EQ(Settings.PollTime, 5);
    EXPECT_EQ(Settings.Retry, 3);
    EXPECT_EQ(Settings.Suspend, 5);
    EXPECT_EQ(Settings.MemoryLimit, 20);
    EXPECT_EQ(Settings.DriveCount, 0);
    EXPECT_EQ(Settings.FreeDisk, 0);
    EXPECT_STREQ(Settings.Mail, "");
    EXPECT_STREQ(Settings.FromAlias, "korval-daemon");
    EXPECT_STREQ(Settings.HostDomain, "example.test");
    EXPECT_STREQ(Settings.DaemonAddress, "");
    EXPECT_EQ(std::string(Settings.IniPath), dir.file("korval.ini"));
    EXPECT_EQ(logged(), std::vector<std::string>{"1 5 Nothing to test."});
    EXPECT_EQ(standin_statistic("Failures"), 1);
}

TEST_F(SettingsTest, GeneralAndDriveValuesAreCorrectedSilently)
{
    struct Case {
        const char* key;
        const char* value;
        int expected;
        int SettingsRecord::*field;
    } cases[] = {
        {"PollTime", "0", 1, &SettingsRecord::PollTime},
        {"PollTime", "-3", 1, &SettingsRecord::PollTime},
        {"PollTime", "5000", 1440, &SettingsRecord::PollTime},
        {"PollTime", "junk", 1, &SettingsRecord::PollTime},
        {"Retry", "0", 3, &SettingsRecord::Retry},
        {"Retry", "-2", -2, &SettingsRecord::Retry},
        {"Suspend", "0", 5, &SettingsRecord::Suspend},
        {"Suspend", "7", 7, &SettingsRecord::Suspend},
        {"MemoryLimit", "-1", 20, &SettingsRecord::MemoryLimit},
        {"MemoryLimit", "0", 0, &SettingsRecord::MemoryLimit},
    };
    for (const auto& c : cases) {
        Settings = settings_at_start();
        write_file(std::string("[General]\r\n") + c.key + "=" + c.value + "\r\n");
        init_settings(host());
        EXPECT_EQ(Settings.*c.field, c.expected) << c.key << "=" << c.value;
    }

    // Missing keys keep what memory holds, except PollTime.
    Settings.PollTime = 30;
    Settings.Retry = 9;
    Settings.MemoryLimit = 0;
    Settings.FreeDisk = 100;
    Settings.CriticalDisk = 40;
    Settings.SuspendMercD = 1;
    write_file("[Drives]\r\nNumber=1\r\nDrive1=D:\\\r\n");
    init_settings(host());
    EXPECT_EQ(Settings.PollTime, 5);
    EXPECT_EQ(Settings.Retry, 9);
    EXPECT_EQ(Settings.MemoryLimit, 0);
    EXPECT_EQ(Settings.FreeDisk, 100);
    EXPECT_EQ(Settings.CriticalDisk, 40);
    EXPECT_EQ(Settings.SuspendMercD, 1);

    write_file("[Drives]\r\nNumber=1\r\nDrive1=D:\\\r\nFreeDisk=100\r\nCriticalDisk=200\r\nSuspendMercS=7\r\n"
               "SuspendMercD=0\r\n");
    init_settings(host());
    EXPECT_EQ(Settings.CriticalDisk, 100);
    EXPECT_EQ(Settings.SuspendMercS, 1);
    EXPECT_EQ(Settings.SuspendMercD, 0);

    write_file("[Drives]\r\nNumber=1\r\nDrive1=D:\\\r\nFreeDisk=100\r\nCriticalDisk=50\r\nSuspendMercS=0\r\n"
               "SuspendMercD=0\r\n");
    init_settings(host());
    EXPECT_EQ(Settings.CriticalDisk, 0);

    // Drive keys without a Number are never read; no drive means no disk test.
    write_file("[Drives]\r\nDrive1=D:\\\r\nFreeDisk=100\r\nCriticalDisk=50\r\nSuspendMercS=1\r\n");
    init_settings(host());
    EXPECT_EQ(Settings.DriveCount, 0);
    EXPECT_EQ(Settings.FreeDisk, 0);
    EXPECT_EQ(Settings.CriticalDisk, 50);
}

// The added sections' values out of range, or no values at all: each is
// corrected, and the summary says how, in one line of its own.
TEST_F(SettingsTest, AddedValuesAreCorrectedWithTheirSummaryLine)
{
    const struct {
        const char* section;
        const char* key;
        const char* value;
        int expected;
        int AddedSettings::*field;
        const char* line; // the summary's correction, category 1 priority 15
    } cases[] = {
        {"MailFlow", "LostAfter", "-3", 0, &AddedSettings::LostAfter, "[MailFlow] LostAfter=-3 corrected to 0."},
        {"MailFlow", "LostAfter", "1441", 1440, &AddedSettings::LostAfter, "[MailFlow] LostAfter=1441 corrected to 1440."},
        {"Heartbeat", "Minutes", "2", 5, &AddedSettings::HeartbeatMinutes, "[Heartbeat] Minutes=2 corrected to 5."},
        {"Heartbeat", "Minutes", "99999", 1440, &AddedSettings::HeartbeatMinutes,
         "[Heartbeat] Minutes=99999 corrected to 1440."},
        {"Heartbeat", "Digest", "24:00", -1, &AddedSettings::DigestMinute, "[Heartbeat] Digest=24:00 is not HH:MM: no digest."},
        {"Heartbeat", "Digest", "7:60", -1, &AddedSettings::DigestMinute, "[Heartbeat] Digest=7:60 is not HH:MM: no digest."},
        {"Heartbeat", "Digest", "07:30x", -1, &AddedSettings::DigestMinute,
         "[Heartbeat] Digest=07:30x is not HH:MM: no digest."},
        {"Heartbeat", "Digest", "23:59", 23 * 60 + 59, &AddedSettings::DigestMinute, nullptr},
        {"Services", "CertWarnDays", "-1", 0, &AddedSettings::CertWarnDays, "[Services] CertWarnDays=-1 corrected to 0."},
        {"Services", "CertWarnDays", "4000", 3650, &AddedSettings::CertWarnDays,
         "[Services] CertWarnDays=4000 corrected to 3650."},
        {"Services", "CertCriticalDays", "many", 7, &AddedSettings::CertCriticalDays,
         "[Services] CertCriticalDays=many corrected to 7."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.key) + "=" + c.value);
        Settings = settings_at_start();
        // A heartbeat address, so that Minutes is read in earnest.
        std::string section = std::string("[") + c.section + "]\r\n";
        write_file("[General]\r\nMail=ops@example.test\r\n[Hosts]\r\nNumber=1\r\nHost1=127.0.0.1\r\n" + section +
                   c.key + "=" + c.value + "\r\n" + (section == "[Heartbeat]\r\n" ? "" : "[Heartbeat]\r\n") +
                   "Mail=beat@example.test\r\n");
        size_t before = logged().size();
        init_settings(host());
        EXPECT_EQ(Settings.Added.*c.field, c.expected);
        log_settings(host());
        std::vector<std::string> lines = logged(), corrections;
        lines.erase(lines.begin(), lines.begin() + before);
        for (const std::string& line : lines)
            if (line.rfind("1 15 [", 0) == 0)
                corrections.push_back(line.substr(5));
        EXPECT_EQ(corrections, c.line ? std::vector<std::string>{c.line} : std::vector<std::string>{});
    }
}

TEST_F(SettingsTest, TablesAreCompactedCappedAndSkipNamesTooLongForASlot)
{
    std::string host99(99, 'h'), host100(100, 'x');
    std::string file = "[General]\r\nMail=ops@example.test\r\n[Drives]\r\nNumber=12\r\nDrive1=C:\\\r\nDrive2=\r\n"
                       "Drive3=D:\\longname\r\nDrive4=E:\\123456\r\n";
    for (int k = 5; k <= 12; ++k)
        file += "Drive" + std::to_string(k) + "=" + std::string(1, char('A' + k)) + ":\\\r\n";
    file += "[Hosts]\r\nNumber=20\r\nHost1=" + host100 + "\r\nHost2=\r\nHost3=" + host99 + "\r\n";
    for (int k = 4; k <= 20; ++k)
        file += "Host" + std::to_string(k) + "=127.0.0." + std::to_string(k) + "\r\n";
    write_file(file);
    HostState[3].MissCount = 4;
    DriveState[2].ReportCounter = 7;

    EXPECT_EQ(init_settings(host()), 1);
    // Drive1, Drive4 (nine characters) and Drive5..Drive10; Drive11 and 12 are past the cap.
    ASSERT_EQ(Settings.DriveCount, 8);
    EXPECT_STREQ(Settings.DriveNames[0], "C:\\");
    EXPECT_STREQ(Settings.DriveNames[1], "E:\\123456");
    EXPECT_STREQ(Settings.DriveNames[2], "F:\\");
    EXPECT_STREQ(Settings.DriveNames[7], "K:\\");
    // Host3 (99 characters) and Host4..Host15.
    ASSERT_EQ(Settings.HostCount, 13);
    EXPECT_EQ(std::string(Settings.HostNames[0]), host99);
    EXPECT_STREQ(Settings.HostNames[1], "127.0.0.4");
    EXPECT_STREQ(Settings.HostNames[12], "127.0.0.15");
    EXPECT_EQ(HostState[3].MissCount, 0);
    EXPECT_EQ(DriveState[2].ReportCounter, 0);

    // Hosts Number 0 leaves the host states alone; a negative one reads no
    // entry but still starts the states afresh. Drive states always restart.
    write_file("[General]\r\nMail=ops@example.test\r\n[Drives]\r\nNumber=1\r\nDrive1=D:\\\r\n"
               "[Hosts]\r\nNumber=0\r\nHost1=127.0.0.1\r\n");
    HostState[3].MissCount = 4;
    DriveState[0].Low = 1;
    EXPECT_EQ(init_settings(host()), 1);
    EXPECT_EQ(Settings.HostCount, 0);
    EXPECT_EQ(HostState[3].MissCount, 4);
    EXPECT_EQ(DriveState[0].Low, 0);
    EXPECT_STREQ(Settings.DaemonAddress, "korval-daemon@example.test");

    write_file("[General]\r\nMail=ops@example.test\r\n[Drives]\r\nNumber=-1\r\nDrive1=D:\\\r\n"
               "[Hosts]\r\nNumber=-1\r\nHost1=127.0.0.1\r\n");
    EXPECT_EQ(init_settings(host()), 0);
    EXPECT_EQ(Settings.DriveCount, 0);
    EXPECT_EQ(Settings.HostCount, 0);
    EXPECT_EQ(HostState[3].MissCount, 0);
}

TEST_F(SettingsTest, EmptyMailKeepsOldMailButStoredHostsAndFromSurviveASave)
{
    copy_text(Settings.Mail, "old@example.test");
    parse_recipients();
    write_file("[General]\r\nMail=\r\nFrom=watcher\r\nRetry=4\r\n[Drives]\r\nNumber=1\r\nDrive1=D:\\\r\n"
               "[Hosts]\r\nNumber=3\r\nHost1=127.0.0.1\r\nHost2=127.0.0.2\r\nHost3=127.0.0.3\r\n");
    EXPECT_EQ(init_settings(host()), 0);
    EXPECT_TRUE(logged_line("1 5 Nothing to test."));
    EXPECT_EQ(Settings.Retry, 4);
    EXPECT_STREQ(Settings.Mail, "old@example.test");
    EXPECT_STREQ(Recipients.MailList, "old@example.test");
    EXPECT_EQ(Settings.HostCount, 3);
    EXPECT_STREQ(Settings.FromAlias, "watcher");

    // The user enters an address in the dialog and saves.
    copy_text(Settings.Mail, "ops@example.test");
    save_settings();
    EXPECT_EQ(read_ini("Hosts", "Number"), "3");
    EXPECT_EQ(read_ini("Hosts", "Host3"), "127.0.0.3");
    EXPECT_EQ(read_ini("General", "From"), "watcher");

    Settings = settings_at_start();
    EXPECT_EQ(init_settings(host()), 1);
    EXPECT_EQ(Settings.HostCount, 3);
    EXPECT_STREQ(Settings.DaemonAddress, "watcher@example.test");
}

TEST_F(SettingsTest, SaveThenLoadGivesTheSameSettings)
{
    init_settings(host());
    Settings.PollTime = 10;
    Settings.Retry = 2;
    Settings.Suspend = 4;
    Settings.MemoryLimit = 0;
    copy_text(Settings.Mail, "a@b;555:sms.example.test");
    Settings.FromExplicit = 0;
    copy_text(Settings.FromAlias, "korval-daemon");
    Settings.FreeDisk = 300;
    Settings.CriticalDisk = 100;
    Settings.SuspendMercS = 1;
    Settings.SuspendMercD = 0;
    const char* drives[] = {"C:\\", "D:\\", "E:\\", "F:\\"};
    for (int k = 0; k < 4; ++k)
        copy_text(Settings.DriveNames[k], drives[k]);
    Settings.DriveCount = 4;
    copy_text(Settings.HostNames[0], "127.0.0.1");
    copy_text(Settings.HostNames[1], "localhost");
    copy_text(Settings.HostNames[2], "127.0.0.3");
    Settings.HostCount = 3;
    save_settings();
    EXPECT_EQ(read_ini("General", "Version"), "1.18");
    EXPECT_EQ(read_ini("General", "From"), "");

    // Fewer drives and hosts than before.
    Settings.DriveCount = 2;
    Settings.HostCount = 1;
    save_settings();
    EXPECT_EQ(read_ini("Drives", "Drive4"), "F:\\");
    EXPECT_EQ(read_ini("Hosts", "Host2"), "<missing>");

    SettingsRecord saved = Settings;
    Settings = settings_at_start();
    Settings.FreeDisk = 1; // must not leak through
    EXPECT_EQ(init_settings(host()), 1);
    EXPECT_EQ(Settings.PollTime, saved.PollTime);
    EXPECT_EQ(Settings.Retry, saved.Retry);
    EXPECT_EQ(Settings.Suspend, saved.Suspend);
    EXPECT_EQ(Settings.MemoryLimit, saved.MemoryLimit);
    EXPECT_STREQ(Settings.Mail, saved.Mail);
    EXPECT_STREQ(Settings.FromAlias, "korval-daemon");
    EXPECT_EQ(Settings.FromExplicit, 0);
    EXPECT_EQ(Settings.FreeDisk, 300);
    EXPECT_EQ(Settings.CriticalDisk, 100);
    EXPECT_EQ(Settings.SuspendMercS, 1);
    EXPECT_EQ(Settings.SuspendMercD, 0);
    ASSERT_EQ(Settings.DriveCount, 2);
    EXPECT_STREQ(Settings.DriveNames[1], "D:\\");
    ASSERT_EQ(Settings.HostCount, 1);
    EXPECT_STREQ(Settings.HostNames[0], "127.0.0.1");
    EXPECT_EQ(Recipients.MailCount, 1);
    EXPECT_EQ(Recipients.SmsCount, 1);

    Settings.FromExplicit = 1;
    copy_text(Settings.FromAlias, "korval-daemon");
    save_settings();
    EXPECT_EQ(read_ini("General", "From"), "korval-daemon");
}

TEST_F(SettingsTest, DaemonAddressHoldsAnyAliasAndDomainWhole)
{
    const std::string mail = "[Drives]\r\nNumber=1\r\nDrive1=D:\\\r\n[General]\r\nMail=ops@example.test\r\n";
    // 87 + '@' + 12 = 100 characters.
    std::string from87(87, 'f');
    write_file(mail + "From=" + from87 + "\r\n");
    EXPECT_EQ(init_settings(host()), 1);
    EXPECT_EQ(std::string(Settings.DaemonAddress), from87 + "@example.test");

    // The longest alias and the longest domain: both cut to their fields,
    // the address holds them whole.
    HostOptions options;
    options.domain = std::string(120, 'd');
    standin_reset(options);
    write_file(mail + "From=" + std::string(150, 'z') + "\r\n");
    EXPECT_EQ(init_settings(host()), 1);
    EXPECT_EQ(std::string(Settings.FromAlias), std::string(99, 'z'));
    EXPECT_EQ(Settings.FromExplicit, 1);
    EXPECT_EQ(std::string(Settings.HostDomain), std::string(99, 'd'));
    EXPECT_EQ(std::string(Settings.DaemonAddress), std::string(99, 'z') + "@" + std::string(99, 'd'));

    // Nothing to test: the previous address stays.
    write_file("[General]\r\nMail=ops@example.test\r\nFrom=other\r\n");
    EXPECT_EQ(init_settings(host()), 0);
    EXPECT_STREQ(Settings.FromAlias, "other");
    EXPECT_EQ(std::string(Settings.DaemonAddress), std::string(99, 'z') + "@" + std::string(99, 'd'));
}

TEST_F(SettingsTest, LongWorkingDirectoryStillUsesItsOwnFile)
{
    // Grow a folder path to exactly 199 characters, then past 200.
    std::string path = dir.path + "\\";
    path += std::string(199 - path.size(), 'a');
    ASSERT_TRUE(CreateDirectoryA(path.c_str(), nullptr));
    std::string longer = path + "\\" + std::string(20, 'b');
    ASSERT_TRUE(CreateDirectoryA(longer.c_str(), nullptr));

    for (const std::string& folder : {path, longer}) {
        ASSERT_TRUE(SetCurrentDirectoryA(folder.c_str()));
        WritePrivateProfileStringA("General", "Retry", folder == path ? "11" : "12",
                                   (folder + "\\korval.ini").c_str());
        init_settings(host());
        EXPECT_EQ(Settings.Retry, folder == path ? 11 : 12);
        save_settings();
        EXPECT_EQ(read_ini("General", "Version"), "1.18");
    }
    EXPECT_EQ(std::string(Settings.IniPath), ".\\korval.ini");
    SetCurrentDirectoryA(path.c_str());
    init_settings(host());
    EXPECT_EQ(std::string(Settings.IniPath), path + "\\korval.ini");
    SetCurrentDirectoryA(dir.path.c_str());
}

} // namespace
