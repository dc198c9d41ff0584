// The configure entry point with the real dialog, driven from a helper
// thread; the templates come from the built korval.dll.
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "checks/drives.h"
#include "checks/modules.h"
#include "cycle/errand.h"
#include "dialog/dialog.h"
#include "dialog_driver.h"
#include "platform/daemon_state.h"
#include "settings/settings.h"
#include "test_support.h"

#include <functional>

HMODULE KorvalDll;  // the built DLL, source of the dialog resources

namespace {

const char* const Address = "korval-daemon@example.test";

const char BaseIni[] =
    "[General]\r\nPollTime=5\r\nRetry=3\r\nSuspend=4\r\nMemoryLimit=20\r\nMail=admin@example.test\r\n"
    "[Drives]\r\nNumber=2\r\nFreeDisk=500\r\nCriticalDisk=100\r\nSuspendMercS=1\r\nSuspendMercD=0\r\n"
    "Drive1=C:\\\r\nDrive2=D:\\\r\n"
    "[Hosts]\r\nNumber=3\r\nHost1=alpha\r\nHost2=beta\r\nHost3=gamma\r\n";

std::string file_bytes(const std::string& path)
{
    std::string bytes;
    if (FILE* f = fopen(path.c_str(), "rb")) {
        char buffer[4096];
        for (size_t n; (n = fread(buffer, 1, sizeof buffer, f)) > 0;)
            bytes.append(buffer, n);
        fclose(f);
    }
    return bytes;
}

// Every value of the record, for comparisons that show what differs.
std::string describe(const SettingsRecord& s)
{
    std::string out = std::to_string(s.PollTime) + " " + std::to_string(s.Retry) + " " + std::to_string(s.Suspend) +
                      " " + std::to_string(s.MemoryLimit) + " " + std::to_string(s.EchoTimeout) + " [" + s.Mail +
                      "] [" + s.FromAlias + "] " + std::to_string(s.FromExplicit) + " [" + s.HostDomain + "] [" +
                      s.DaemonAddress + "] [" + s.IniPath + "] " + std::to_string(s.FreeDisk) + " " +
                      std::to_string(s.CriticalDisk) + " " + std::to_string(s.SuspendMercS) + " " +
                      std::to_string(s.SuspendMercD) + " drives";
    for (int k = 0; k < s.DriveCount; ++k)
        out += std::string(" ") + s.DriveNames[k];
    out += " hosts";
    for (int k = 0; k < s.HostCount; ++k)
        out += std::string(" ") + s.HostNames[k];
    out += " services";
    for (int k = 0; k < s.Added.ServiceCount; ++k)
        out += std::string(" ") + s.Added.ServiceNames[k];
    return out;
}

std::vector<std::string> hosts_of(const SettingsRecord& s)
{
    return {s.HostNames, s.HostNames + s.HostCount};
}

class DialogTest : public HostTest {
protected:
    TempDir dir;
    DialogDriver ui;

    void SetUp() override
    {
        HostTest::SetUp();
        ModuleInstance = KorvalDll;
        FILE* f = fopen(dir.file("korval.ini").c_str(), "wb");
        fputs(BaseIni, f);
        fclose(f);
        standin_set_alias(Address, "Daemon:korval.dll");
    }

    void register_failures()
    {
        StatHandle module = host_register_module_statistics(host(), "HostStatus");
        Failures = host_register_statistic(host(), module, "Failures");
    }

    // The daemon as started: settings loaded, every state set to a mark.
    void run_resident()
    {
        ASSERT_EQ(init_settings(host()), 1);
        Resident = 1;
        for (int k = 0; k < MaxHosts; ++k)
            HostState[k] = {static_cast<uint16_t>(k + 1), static_cast<uint16_t>(k + 2), 0, 0, 0};
        for (int k = 0; k < MaxDrives; ++k)
            DriveState[k] = {1, static_cast<uint8_t>(k + 1), 1, k + 7};
    }

    short run(const std::function<void(DialogDriver&)>& script)
    {
        short result = configure_with(host(), script, ui);
        EXPECT_EQ(ui.failure, "");
        return result;
    }

    // Clicks OK and answers the boxes that follow, in order.
    std::vector<std::string> ok_with_answers(DialogDriver& d, std::vector<std::pair<const char*, int>> boxes)
    {
        std::vector<std::string> texts;
        d.click_later(IDOK);
        for (auto [caption, button] : boxes)
            texts.push_back(d.answer(caption, button, d.dialog));
        return texts;
    }

    int count(const std::string& line)
    {
        int n = 0;
        for (const std::string& l : logged())
            n += l == line;
        return n;
    }
};

TEST_F(DialogTest, RefusedVersionReturns0WithoutDialog)
{
    HostOptions old;
    old.version_major = 3;
    old.version_minor = 0;
    standin_reset(old);
    Platform.MessageBoxA = [](HWND, LPCSTR, LPCSTR, UINT) { return IDNO; };
    EXPECT_EQ(configure(host(), "x"), 0);
    EXPECT_EQ(logged(), std::vector<std::string>{});
    EXPECT_TRUE(dialogs_named(ConfigCaption).empty());
}

TEST_F(DialogTest, NoDialogResourceIsAFailureNotAnAcceptance)
{
    ModuleInstance = GetModuleHandleA(nullptr);
    register_failures();
    EXPECT_EQ(configure(host(), "x"), 1);
    EXPECT_EQ(count("1 5 KORVAL: Unable to open the configuration dialog."), 1);
    EXPECT_EQ(standin_statistic("Failures"), 1);
    for (const std::string& call : standin_trace())
        EXPECT_TRUE(call.rfind("alias_op", 0) != 0 && call.rfind("module_state", 0) != 0) << call;
}

TEST_F(DialogTest, CancelChangesNothingAndTouchesNeitherAliasNorModules)
{
    HostOptions options;
    options.owner_window =
        CreateWindowExA(0, "STATIC", "host", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    standin_reset(options);
    run_resident();
    std::string before = describe(Settings);
    EXPECT_EQ(run([&](DialogDriver& d) {
                  EXPECT_EQ(GetWindow(d.dialog, GW_OWNER), options.owner_window);
                  d.set(IDC_POLL_TIME, "77");
                  d.select(IDC_DRIVES, 0);
                  d.click(IDC_REMOVE_DRIVE);
                  d.finish(IDCANCEL);
              }),
              1);
    DestroyWindow(options.owner_window);
    EXPECT_EQ(describe(Settings), before);
    EXPECT_EQ(logged(), (std::vector<std::string>{"0 15 Config for dialog test", "1 20 Config canceled."}));
    for (const std::string& call : standin_trace())
        EXPECT_TRUE(call.rfind("alias_op", 0) != 0 && call.rfind("module_state", 0) != 0) << call;
}

TEST_F(DialogTest, OkWithoutChangesKeepsEveryStateAndWritesNoFile)
{
    run_resident();
    std::string before = describe(Settings);
    HostStateEntry hosts[MaxHosts];
    DriveStateEntry drives[MaxDrives];
    memcpy(hosts, HostState, sizeof hosts);
    memcpy(drives, DriveState, sizeof drives);
    std::string file = file_bytes(dir.file("korval.ini"));

    EXPECT_EQ(run([](DialogDriver& d) {
                  EXPECT_EQ(d.focused(), IDC_POLL_TIME);
                  EXPECT_EQ(d.text(IDC_POLL_TIME), "5");
                  EXPECT_EQ(d.text(IDC_ALIAS), "korval-daemon");
                  EXPECT_EQ(d.entries(IDC_HOSTS), (std::vector<std::string>{"alpha", "beta", "gamma"}));
                  d.finish(IDOK);
              }),
              1);
    EXPECT_EQ(memcmp(hosts, HostState, sizeof hosts), 0);
    EXPECT_EQ(memcmp(drives, DriveState, sizeof drives), 0);
    EXPECT_EQ(file_bytes(dir.file("korval.ini")), file);
    // The default alias, confirmed by OK, is now explicit; nothing else moved.
    EXPECT_EQ(Settings.FromExplicit, 1);
    Settings.FromExplicit = 0;
    EXPECT_EQ(describe(Settings), before);
    EXPECT_EQ(count("11 20 Using daemon address 'korval-daemon@example.test'"), 1);
    EXPECT_EQ(count("1 20 Polling 3 hosts:"), 1);
}

TEST_F(DialogTest, OkSaveWritesAFileThatReadsBackEqual)
{
    // The dialog does not show [Services]: OK keeps it and OK + Save leaves it.
    WritePrivateProfileStringA("Services", "Number", "1", dir.file("korval.ini").c_str());
    WritePrivateProfileStringA("Services", "Service1", "imap://127.0.0.1:1143", dir.file("korval.ini").c_str());
    EXPECT_EQ(run([](DialogDriver& d) {
                  d.set(IDC_POLL_TIME, "7");
                  d.set(IDC_ADDRESSES, "ops@example.test,5550100:sms.example.test");
                  d.set(IDC_ALIAS, "watch");
                  d.set(IDC_MEMORY_LIMIT, "0");
                  d.set(IDC_NEW_HOST, "delta");
                  d.click(IDC_ADD_HOST);
                  d.click(IDC_SUSPEND_MERCD);
                  d.finish(IDC_SAVE);
                  // A new alias: made after a question-free box with no owner.
                  EXPECT_EQ(d.answer(" Success", IDOK, nullptr), "Alias 'watch@example.test' created");
              }),
              1);
    SettingsRecord saved = Settings;
    EXPECT_EQ(saved.PollTime, 7);
    EXPECT_EQ(saved.MemoryLimit, 0);
    EXPECT_STREQ(saved.DaemonAddress, "watch@example.test");
    EXPECT_EQ(Recipients.SmsCount, 1);
    EXPECT_EQ(hosts_of(saved), (std::vector<std::string>{"alpha", "beta", "gamma", "delta"}));
    EXPECT_STREQ(saved.Added.ServiceNames[0], "imap://127.0.0.1:1143");
    EXPECT_EQ(standin_aliases()["watch@example.test"], "Daemon:korval.dll");

    reset_daemon_state();
    ASSERT_EQ(init_settings(host()), 1);
    EXPECT_EQ(describe(Settings), describe(saved));
}

TEST_F(DialogTest, ModuleQueriesMinus1AsksNothingMinus2IsLoggedAndCounted)
{
    HostOptions options;
    options.module_query_results = {{"MERCURYS", -1}, {"MERCURYD", -2}};
    standin_reset(options);
    standin_set_alias(Address, "Daemon:korval.dll");
    register_failures();
    run([](DialogDriver& d) { d.finish(IDOK); });
    EXPECT_EQ(count("1 5 KORVAL: Error getting MercuryD status (-2)."), 1);
    EXPECT_EQ(standin_statistic("Failures"), 1);
    for (const std::string& call : standin_trace())
        EXPECT_EQ(call.rfind("module_state MERCURYS 1", 0), std::string::npos) << call;

    // An offline module is brought online; a refused set is logged and counted.
    options.module_query_results = {{"MERCURYS", 0}, {"MERCURYD", 0}};
    options.module_set_results = {{"MERCURYD", -4}};
    standin_reset(options);
    standin_set_alias(Address, "Daemon:korval.dll");
    register_failures();
    run([](DialogDriver& d) { d.finish(IDOK); });
    EXPECT_EQ(standin_module_online("MERCURYS"), 1);
    EXPECT_EQ(count("1 5 KORVAL: Error setting MercuryD online (-4)."), 1);
    EXPECT_EQ(standin_statistic("Failures"), 1);
}

TEST_F(DialogTest, AddDriveTakesALetterAndRefusesTheRest)
{
    const struct {
        const char* typed;
        const char* added; // nullptr: refused
    } cases[] = {{"e", "E:\\"}, {"e:", "E:\\"}, {"E:\\", "E:\\"}, {" f ", "F:\\"},
                 {"1", nullptr}, {"EE", nullptr}, {"E:x", nullptr}, {"", nullptr}};
    run([&](DialogDriver& d) {
        for (const auto& c : cases) {
            std::vector<std::string> before = d.entries(IDC_DRIVES);
            d.set(IDC_NEW_DRIVE, c.typed);
            d.click_later(IDC_ADD_DRIVE);
            if (c.added == nullptr)
                EXPECT_EQ(d.answer(" Warning", IDOK, d.dialog), "Drive name invalid, ignored.") << c.typed;
            else
                before.push_back(c.added);
            EXPECT_TRUE(d.wait_until([&] { return d.entries(IDC_DRIVES) == before; })) << c.typed;
            EXPECT_EQ(d.text(IDC_NEW_DRIVE), "");
            EXPECT_EQ(d.focused(), IDC_NEW_DRIVE);
        }
        d.finish(IDCANCEL);
    });
}

TEST_F(DialogTest, AddHostTrimsAndRemoveHostLeavesItToBeAskedAbout)
{
    run_resident();
    run([&](DialogDriver& d) {
        d.set(IDC_NEW_HOST, "   ");
        d.click(IDC_ADD_HOST);
        EXPECT_EQ(d.entries(IDC_HOSTS).size(), 3u);
        d.set(IDC_NEW_HOST, "  host1 ");
        d.click(IDC_ADD_HOST);
        EXPECT_EQ(d.entries(IDC_HOSTS).back(), "host1");
        EXPECT_EQ(d.text(IDC_NEW_HOST), "");

        d.select(IDC_HOSTS, 3);
        d.click(IDC_REMOVE_HOST);
        EXPECT_EQ(d.text(IDC_NEW_HOST), "host1");
        d.select(IDC_HOSTS, -1);
        d.click(IDC_REMOVE_HOST); // nothing selected: nothing happens
        EXPECT_EQ(d.entries(IDC_HOSTS).size(), 3u);
        d.select(IDC_HOSTS, 2);
        d.click(IDC_REMOVE_HOST);
        EXPECT_EQ(d.text(IDC_NEW_HOST), "gamma");
        EXPECT_EQ(ok_with_answers(d, {{" Add Host not Empty", IDYES}}),
                  std::vector<std::string>{"Following text found in ADD HOST field:\r\n\r\n      'gamma'\r\n\r\n"
                                           "Add to the list of hosts ?"});
    });
    // The list is as it was, and so is every host's state.
    EXPECT_EQ(hosts_of(Settings), (std::vector<std::string>{"alpha", "beta", "gamma"}));
    EXPECT_EQ(HostState[2].MissCount, 3);

    run([&](DialogDriver& d) {
        d.select(IDC_HOSTS, 0);
        d.click(IDC_REMOVE_HOST);
        ok_with_answers(d, {{" Add Host not Empty", IDNO}});
    });
    EXPECT_EQ(hosts_of(Settings), (std::vector<std::string>{"beta", "gamma"}));
    EXPECT_EQ(HostState[0].MissCount, 0); // a changed place starts afresh
}

// Free megabytes by drive letter for the disk test; a drive not listed is
// unreadable.
std::map<char, DWORD> FreeMB;

BOOL fake_free_space(LPCSTR root, LPDWORD sectors, LPDWORD bytes, LPDWORD free, LPDWORD)
{
    auto drive = FreeMB.find(root[0]);
    *sectors = 8, *bytes = 512, *free = drive == FreeMB.end() ? 0 : drive->second * 256;
    return drive != FreeMB.end();
}

std::vector<int> drive_state(int k) // Low, ErrorCount, Critical, ReportCounter
{
    const DriveStateEntry& d = DriveState[k];
    return {d.Low, d.ErrorCount, d.Critical, d.ReportCounter};
}

TEST_F(DialogTest, ADriveMovedUpStartsAfreshAndOneLeftInPlaceKeepsItsState)
{
    ASSERT_EQ(init_settings(host()), 1);
    Resident = 1;
    HostInterfaceCopy = host();
    Platform.GetDiskFreeSpaceA = fake_free_space;
    // The disk queries run on an errand thread, as in a running daemon.
    struct Life {
        Life() { StopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr), start_errands(); }
        ~Life() { end_errands(), CloseHandle(StopEvent), StopEvent = nullptr; }
    } life;
    size_t seen = 0;
    auto disk_test = [&](std::map<char, DWORD> free) { // the subjects of its reports
        FreeMB = free;
        test_disks(host());
        std::vector<HostJob> jobs = standin_jobs();
        std::vector<std::string> subjects;
        for (; seen < jobs.size(); ++seen) {
            const std::string& text = jobs[seen].text;
            size_t at = text.find("Subject: ");
            subjects.push_back(text.substr(at, text.find("\r\n", at) - at));
        }
        return subjects;
    };
    using Subjects = std::vector<std::string>;
    const std::string LowD = "Subject: Low DiskSpace (D:\\) on Mercury";

    // Both low (C:\ critical), each reported once; then C:\ fails too, so
    // its slot holds a low count, an error count and the critical mark.
    EXPECT_EQ(disk_test({{'C', 50}, {'D', 200}}),
              (Subjects{"Subject: Low DiskSpace (C:\\) on Mercury", LowD}));
    EXPECT_EQ(disk_test({{'D', 200}}), Subjects{"Subject: Unavailable Disk (C:\\) on Mercury"});

    // C:\ removed: D:\ moves up into its slot and is newly low. The
    // critical mark stays with the slot, for the modules it took offline.
    run([](DialogDriver& d) {
        d.select(IDC_DRIVES, 0);
        d.click(IDC_REMOVE_DRIVE);
        d.set(IDC_NEW_DRIVE, "e");
        d.click(IDC_ADD_DRIVE);
        d.finish(IDOK);
    });
    EXPECT_EQ(drive_state(0), (std::vector<int>{0, 0, 1, 0}));
    EXPECT_EQ(disk_test({{'D', 200}, {'E', 200}}),
              (Subjects{LowD, "Subject: Low DiskSpace (E:\\) on Mercury"}));

    // Only the last removed: D:\ keeps its state and is not reported again.
    std::vector<int> kept = drive_state(0);
    run([](DialogDriver& d) {
        d.select(IDC_DRIVES, 1);
        d.click(IDC_REMOVE_DRIVE);
        d.finish(IDOK);
    });
    EXPECT_EQ(drive_state(0), kept);
    EXPECT_EQ(disk_test({{'D', 200}}), Subjects{});
}

TEST_F(DialogTest, FifteenHostsLeaveNoRoomSoThePendingHostIsNotAsked)
{
    run([&](DialogDriver& d) {
        for (int k = 4; k <= 15; ++k)
            d.add_entry(IDC_HOSTS, ("h" + std::to_string(k)).c_str());
        d.set(IDC_NEW_HOST, "one-too-many");
        d.finish(IDOK);
    });
    EXPECT_EQ(Settings.HostCount, 15);
    EXPECT_STREQ(Settings.HostNames[14], "h15");

    Resident = 1;
    run([&](DialogDriver& d) {
        d.add_entry(IDC_HOSTS, "h16");
        EXPECT_EQ(ok_with_answers(d, {{" Warning", IDOK}}),
                  std::vector<std::string>{"Number of hosts reduced to 15 (maximum)."});
    });
    EXPECT_EQ(Settings.HostCount, 15);
}

TEST_F(DialogTest, TwelveDrivesAreCutToTen)
{
    run([&](DialogDriver& d) {
        for (char letter = 'E'; letter <= 'N'; ++letter)
            d.add_entry(IDC_DRIVES, (std::string(1, letter) + ":\\").c_str());
        EXPECT_EQ(ok_with_answers(d, {{" Warning", IDOK}}),
                  std::vector<std::string>{"Number of drives reduced to 10 (maximum)."});
    });
    EXPECT_EQ(Settings.DriveCount, 10);
    EXPECT_STREQ(Settings.DriveNames[9], "L:\\");
}

TEST_F(DialogTest, CriticalAboveFreeIsLoweredWithAWarning)
{
    const char* const warning =
        "Critical disk space must be less or equal to free space to test.\r\nUsed free test value (50).";
    for (bool suspend : {true, false}) {
        run([&](DialogDriver& d) {
            d.set(IDC_FREE_DISK, "50");
            d.set(IDC_CRITICAL_DISK, "80");
            if (!suspend)
                d.click(IDC_SUSPEND_MERCS);
            EXPECT_EQ(ok_with_answers(d, {{" Warning", IDOK}}), std::vector<std::string>{warning});
        });
        EXPECT_EQ(Settings.FreeDisk, 50);
        EXPECT_EQ(Settings.CriticalDisk, suspend ? 50 : 0);
    }
}

TEST_F(DialogTest, NumberFieldsKeepTheirSettingUnlessANumberIsTyped)
{
    const struct {
        int id;
        const char* typed;
        int SettingsRecord::*field;
        int expected;
    } cases[] = {
        {IDC_POLL_TIME, "abc", &SettingsRecord::PollTime, 5},
        {IDC_POLL_TIME, "-3", &SettingsRecord::PollTime, 5},
        {IDC_POLL_TIME, "", &SettingsRecord::PollTime, 5},
        {IDC_POLL_TIME, "0", &SettingsRecord::PollTime, 1},  // no cycles without a pause
        {IDC_POLL_TIME, "5000", &SettingsRecord::PollTime, 1440},
        {IDC_POLL_TIME, "2147483648", &SettingsRecord::PollTime, 1440},
        {IDC_POLL_TIME, "4294967295", &SettingsRecord::PollTime, 1440},
        {IDC_RETRY, " 12 ", &SettingsRecord::Retry, 12},
        {IDC_SUSPEND, "4294967295", &SettingsRecord::Suspend, -1},
        {IDC_SUSPEND, "4294967296", &SettingsRecord::Suspend, 4},
        {IDC_MEMORY_LIMIT, "0", &SettingsRecord::MemoryLimit, 0},
        {IDC_MEMORY_LIMIT, "3000000000", &SettingsRecord::MemoryLimit, 20},
    };
    run([&](DialogDriver& d) { d.finish(IDCANCEL); }); // loads the file once
    Resident = 1;
    for (const auto& c : cases) {
        SettingsRecord before = Settings;
        run([&](DialogDriver& d) {
            d.set(c.id, c.typed);
            d.finish(IDOK);
        });
        EXPECT_EQ(Settings.*c.field, c.expected) << c.typed;
        Settings = before;
    }
}

TEST_F(DialogTest, EnterMovesTheFocusAddsOrDoesNothingByField)
{
    const struct {
        int from;
        int to;
    } moves[] = {{IDC_ADDRESSES, IDC_POLL_TIME}, {IDC_POLL_TIME, IDC_RETRY}, {IDC_RETRY, IDC_SUSPEND},
                 {IDC_SUSPEND, IDC_ALIAS},       {IDC_ALIAS, IDC_NEW_HOST},  {IDC_FREE_DISK, IDC_ADD_DRIVE},
                 {IDC_CRITICAL_DISK, IDC_CRITICAL_DISK}, {IDC_MEMORY_LIMIT, IDC_MEMORY_LIMIT},
                 {IDC_HOSTS, IDC_HOSTS}};
    run([&](DialogDriver& d) {
        for (const auto& m : moves) {
            d.focus(m.from);
            d.key(VK_RETURN);
            EXPECT_TRUE(d.wait_until([&] { return d.focused() == m.to; })) << m.from << " -> " << d.focused();
        }
        d.focus(IDC_NEW_HOST);
        d.set(IDC_NEW_HOST, "epsilon");
        d.key(VK_RETURN);
        EXPECT_TRUE(d.wait_until([&] { return d.entries(IDC_HOSTS).size() == 4; }));
        d.focus(IDC_NEW_DRIVE);
        d.set(IDC_NEW_DRIVE, "z");
        d.key(VK_RETURN);
        EXPECT_TRUE(d.wait_until([&] { return d.entries(IDC_DRIVES).size() == 3; }));
        EXPECT_TRUE(IsWindow(d.dialog));
        d.focus(IDOK);
        d.key(VK_RETURN);
    });
    EXPECT_EQ(Settings.HostCount, 4);
    EXPECT_STREQ(Settings.DriveNames[2], "Z:\\");
}

TEST_F(DialogTest, F1AndHelpOpenTheHelpPageWhichOnlyCloseEnds)
{
    run([&](DialogDriver& d) {
        d.press(VK_F1, d.dialog);
        HWND help = d.wait_window(HelpCaption);
        ASSERT_NE(help, nullptr);
        EXPECT_EQ(GetWindow(help, GW_OWNER), d.dialog);
        d.press(VK_F1, help);
        PostMessageA(GetDlgItem(help, IDOK), WM_KEYDOWN, VK_ESCAPE, 1);
        PostMessageA(help, WM_CLOSE, 0, 0);
        Sleep(300);
        EXPECT_EQ(dialogs_named(HelpCaption).size(), 1u);
        PostMessageA(GetDlgItem(help, IDOK), WM_KEYDOWN, VK_RETURN, 1);
        EXPECT_TRUE(d.wait_until([&] { return !IsWindow(help); }));

        d.click_later(IDC_SHOW_HELP);
        help = d.wait_window(HelpCaption);
        PostMessageA(GetDlgItem(help, IDOK), BM_CLICK, 0, 0);
        EXPECT_TRUE(d.wait_until([&] { return !IsWindow(help); }));
        d.finish(IDCANCEL);
    });
}

} // namespace

namespace {

// Not a check: scripts/screenshots sets KORVAL_SCREENSHOTS to a folder and
// photographs each dialog while this waits. Each dialog's screen rectangle
// goes to NAME.geom as WIDTHxHEIGHT+X+Y; NAME.done says the picture is taken.
class Screenshots : public DialogTest {
protected:
    std::string folder;

    void snap(DialogDriver& d, HWND window, const std::string& name)
    {
        RECT r;
        GetWindowRect(window, &r);
        if (FILE* f = fopen((folder + "\\" + name + ".geom").c_str(), "wb")) {
            fprintf(f, "%ldx%ld+%ld+%ld", r.right - r.left, r.bottom - r.top, r.left, r.top);
            fclose(f);
        }
        std::string done = folder + "\\" + name + ".done";
        if (!d.wait_until([&] { return GetFileAttributesA(done.c_str()) != INVALID_FILE_ATTRIBUTES; }))
            d.fail("no picture of " + name);
    }
};

TEST_F(Screenshots, BothDialogs)
{
    const char* where = getenv("KORVAL_SCREENSHOTS");
    if (where == nullptr)
        GTEST_SKIP() << "scripts/screenshots takes them";
    folder = where;
    run([&](DialogDriver& d) {
        snap(d, d.dialog, "config");
        d.click_later(IDC_SHOW_HELP);
        HWND help = d.wait_window(HelpCaption);
        snap(d, help, "help");
        PostMessageA(GetDlgItem(help, IDOK), BM_CLICK, 0, 0);
        d.wait_until([&] { return !IsWindow(help); });
        d.finish(IDCANCEL);
    });
}

} // namespace
