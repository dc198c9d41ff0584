// Generated files and Mail lines, hostile and huge, must always leave a
// record that every other part of the daemon can trust, and a summary that
// is exactly what its formats make of that record.
//
// KORVAL_SETTINGS_ROUNDS sets the number of files (default 3000; 100000 for
// the full run). With KORVAL_INI_DUMP set to a folder, the same generator
// writes KORVAL_INI_COUNT files (default 500) there for the real DLL instead.
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>

#include "settings_test_support.h"

namespace {

class Generator {
public:
    explicit Generator(unsigned seed) : rng(seed) {}

    int below(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); }

    std::string text(int max_length)
    {
        static const char alphabet[] = "abcXYZ019:@;,\" <>%\\.-_";
        static const char* const formats[] = {"%s", "%n", "%d%d%d", "%999999x", "%"};
        std::string s(below(max_length + 1), ' ');
        for (char& c : s)
            c = below(8) == 0 ? char(1 + below(255)) : alphabet[below(sizeof alphabet - 1)];
        if (!s.empty() && below(4) == 0)
            s.insert(below(static_cast<int>(s.size())), formats[below(5)]);
        return s;
    }

    std::string number()
    {
        static const char* const edges[] = {"0", "-1", "1", "1440", "1441", "5000", "2147483647", "-2147483648",
                                            "99999999999999", "-99999999999", "12abc", "", " 7", "0x10"};
        if (below(3) == 0)
            return std::to_string(below(400) - 100);
        return below(4) == 0 ? text(12) : edges[below(sizeof edges / sizeof edges[0])];
    }

    std::string mail()
    {
        std::string s;
        int items = below(10);
        for (int k = 0; k < items; ++k) {
            static const char* const seps[] = {",", ";", ", ", ",,", ""};
            switch (below(5)) {
            case 0: s += text(10) + "@" + text(20); break;
            case 1: s += std::to_string(below(100000)) + ":" + text(20); break;
            case 2: s += "\"" + text(15) + "\" <" + text(10) + "@x>"; break;
            case 3: s += std::string(below(250), 'm') + "@long.example"; break;
            default: s += text(40); break;
            }
            s += seps[below(5)];
        }
        return s;
    }

    std::string file()
    {
        static const char* const sections[] = {"General", "Drives", "Hosts", "general", "Other"};
        static const char* const keys[] = {"PollTime", "Retry", "Suspend", "MemoryLimit", "Mail", "From",
                                           "Number", "FreeDisk", "CriticalDisk", "SuspendMercS", "SuspendMercD"};
        std::string f;
        int lines = below(60);
        for (int k = 0; k < lines; ++k) {
            int kind = below(10);
            if (kind == 0) {
                f += std::string("[") + sections[below(5)] + "]";
            } else if (kind == 1) {
                f += text(below(4) == 0 ? 5000 : 40);
            } else {
                std::string key = kind < 5 ? keys[below(11)]
                                           : std::string(below(2) ? "Drive" : "Host") + std::to_string(below(22) - 1);
                std::string value;
                if (key == "Mail")
                    value = mail();
                else if (key == "From" || kind >= 5)
                    value = below(5) == 0 ? std::string(below(400), 'n') : text(below(3) == 0 ? 400 : 12);
                else
                    value = number();
                f += key + "=" + value;
            }
            f += below(10) == 0 ? "\n" : "\r\n";
        }
        return f;
    }

private:
    std::mt19937 rng;
};

template <size_t N>
bool terminated(const char (&field)[N])
{
    return memchr(field, '\0', N) != nullptr;
}

template <size_t N>
bool fits(const char (&field)[N])
{
    return terminated(field) && field[0] != '\0';
}

int env_count(const char* name, int fallback)
{
    const char* value = getenv(name);
    return value && atoi(value) > 0 ? atoi(value) : fallback;
}

// The summary as its formats make it of the record in memory, built here
// by plain concatenation.
std::vector<std::string> expected_summary()
{
    const SettingsRecord& s = Settings;
    const RecipientLists& r = Recipients;
    std::vector<std::string> lines;
    auto line = [&lines](int category, const std::string& text) {
        lines.push_back(std::to_string(category) + " 20 " + text);
    };
    line(11, "Using daemon address '" + std::string(s.DaemonAddress) + "'");
    line(1, "Polling every " + std::to_string(s.PollTime) + " minutes.");
    line(1, "Retry befor report: " + std::to_string(s.Retry) + ".");
    line(1, "Don't report deads " + std::to_string(s.Suspend) + " times.");
    if (s.MemoryLimit != 0)
        line(1, "Test for " + std::to_string(s.MemoryLimit) + " MB memory available.");
    if (r.MailCount > 0)
        line(1, "Send reports to Mail '" + std::string(r.MailList) + "'.");
    if (r.SmsCount > 0)
        line(1, "Send reports to SMS  '" + std::string(r.SmsList) + "'.");
    if (s.FreeDisk > 0) {
        std::string drives = "Test free space over " + std::to_string(s.FreeDisk) + " MB on ";
        for (int k = 0; k < s.DriveCount; ++k)
            drives += std::string(s.DriveNames[k]) + ";";
        line(1, drives);
        const char* modules = s.SuspendMercS ? (s.SuspendMercD ? "S/D" : "S") : (s.SuspendMercD ? "D" : "");
        if (s.CriticalDisk > 0)
            line(1, "  (Suspend Merc" + std::string(modules) + " for space < " + std::to_string(s.CriticalDisk) +
                        " MB)");
    } else {
        line(1, "Not testing for free disk space.");
    }
    line(1, "Polling " + std::to_string(s.HostCount) + " hosts:");
    for (int k = 0; k < s.HostCount; ++k)
        line(1, "    " + std::string(s.HostNames[k]));
    return lines;
}

void check_summary(const HostInterface* host)
{
    size_t before = logged().size();
    log_settings(host);
    std::vector<std::string> lines = logged();
    lines.erase(lines.begin(), lines.begin() + before);
    EXPECT_EQ(lines, expected_summary());
}

void check_record(const std::string& previous_address)
{
    const SettingsRecord& s = Settings;
    ASSERT_TRUE(terminated(s.Mail) && terminated(s.FromAlias) && terminated(s.HostDomain) &&
                terminated(s.DaemonAddress) && terminated(s.IniPath));
    EXPECT_TRUE(s.PollTime >= 1 && s.PollTime <= 1440) << s.PollTime;
    EXPECT_NE(s.Retry, 0);
    EXPECT_NE(s.Suspend, 0);
    EXPECT_GE(s.MemoryLimit, 0);
    EXPECT_EQ(s.EchoTimeout, 2000u);
    EXPECT_TRUE((s.SuspendMercS == 0 || s.SuspendMercS == 1) && (s.SuspendMercD == 0 || s.SuspendMercD == 1));
    if (!s.SuspendMercS && !s.SuspendMercD) {
        EXPECT_EQ(s.CriticalDisk, 0);
    }
    EXPECT_TRUE(s.FromExplicit == 0 || s.FromExplicit == 1);
    EXPECT_TRUE(s.FromAlias[0] != '\0');
    ASSERT_TRUE(s.DriveCount >= 0 && s.DriveCount <= MaxDrives);
    if (s.DriveCount == 0) {
        EXPECT_EQ(s.FreeDisk, 0);
    }
    for (int k = 0; k < s.DriveCount; ++k)
        EXPECT_TRUE(fits(s.DriveNames[k]));
    ASSERT_TRUE(s.HostCount >= 0 && s.HostCount <= MaxHosts);
    for (int k = 0; k < s.HostCount; ++k)
        EXPECT_TRUE(fits(s.HostNames[k]));

    const RecipientLists& r = Recipients;
    ASSERT_TRUE(r.MailCount >= 0 && r.SmsCount >= 0 && r.MailCount + r.SmsCount <= MaxRecipients);
    for (int k = 0; k < r.MailCount; ++k)
        EXPECT_TRUE(fits(r.MailRecipients[k]));
    for (int k = 0; k < r.SmsCount; ++k)
        EXPECT_TRUE(fits(r.SmsRecipients[k]));
    EXPECT_TRUE(terminated(r.MailList) && terminated(r.SmsList));

    std::string address = s.DaemonAddress;
    EXPECT_TRUE(address == previous_address || address == std::string(s.FromAlias) + "@" + s.HostDomain)
        << address;
}

TEST_F(SettingsTest, GeneratedFilesAlwaysLeaveASoundRecord)
{
    Generator g(20240611);
    int rounds = env_count("KORVAL_SETTINGS_ROUNDS", 3000);
    HostOptions options;
    for (int round = 0; round < rounds && !HasFailure(); ++round) {
        SCOPED_TRACE(round);
        if (round % 250 == 0) {
            options.domain = std::string(g.below(130), 'd');
            standin_reset(options);
        }
        write_file(g.file());
        std::string previous = Settings.DaemonAddress;
        init_settings(host());
        check_record(previous);
        check_summary(host());

        // Mail lines straight from the dialog.
        copy_text(Settings.Mail, g.mail().c_str());
        parse_recipients();
        check_record(Settings.DaemonAddress);
        check_summary(host());
        // The fake host keeps every line: start afresh now and then.
        if (round % 50 == 49)
            standin_reset(options);
    }
    printf("%d generated files read and summarised\n", rounds);
}

// Files for the real DLL, from the same generator.
TEST(GeneratedFiles, WrittenForTheDllWhenAsked)
{
    const char* folder = getenv("KORVAL_INI_DUMP");
    if (!folder)
        GTEST_SKIP() << "KORVAL_INI_DUMP not set";
    Generator g(20240612);
    int count = env_count("KORVAL_INI_COUNT", 500);
    for (int k = 0; k < count; ++k) {
        char name[32];
        snprintf(name, sizeof name, "\\%04d.ini", k + 1);
        std::ofstream(std::string(folder) + name, std::ios::binary) << g.file();
    }
}

} // namespace
