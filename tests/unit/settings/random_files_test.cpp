// Generated files and Mail lines, hostile and huge, must always leave a
// record that every other part of the daemon can trust.
#include <cstring>
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
        std::string s(below(max_length + 1), ' ');
        for (char& c : s)
            c = below(8) == 0 ? char(1 + below(255)) : alphabet[below(sizeof alphabet - 1)];
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
                f += text(below(4) == 0 ? 900 : 40);
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
    for (int round = 0; round < 3000 && !HasFailure(); ++round) {
        SCOPED_TRACE(round);
        if (round % 250 == 0) {
            HostOptions options;
            options.domain = std::string(g.below(130), 'd');
            standin_reset(options);
        }
        write_file(g.file());
        std::string previous = Settings.DaemonAddress;
        init_settings(host());
        check_record(previous);

        // Mail lines straight from the dialog.
        copy_text(Settings.Mail, g.mail().c_str());
        parse_recipients();
        check_record(Settings.DaemonAddress);
    }
}

} // namespace
