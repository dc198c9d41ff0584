#include <string>
#include <vector>

#include "settings_test_support.h"

namespace {

TEST(ServiceEntries, EveryFormParsesOrIsRefused)
{
    // Parsed as "protocol host port"; empty: refused.
    const struct {
        const char* entry;
        std::string parsed;
    } cases[] = {
        {"smtp://mail.example.test", "1 mail.example.test 25"}, {"POP3://10.0.0.1", "2 10.0.0.1 110"},
        {"imap://127.0.0.1:1143", "3 127.0.0.1 1143"},          {"backup.example.test:5432", "0 backup.example.test 5432"},
        {"smtp://[::1]:2525", "1 ::1 2525"},                     {"[fe80::1]:65535", "0 fe80::1 65535"},
        {"backup.example.test", ""}, {"host:", ""},  {"host:0", ""},         {"host:65536", ""},   {"host:000080000", ""},
        {"host:25a", ""},            {"host:-1", ""}, {"http://host:80", ""}, {"smtp:/host:25", ""}, {"smtp://", ""},
        {"smtp://:25", ""},          {":25", ""},     {"smtp://[::1", ""},    {"smtp://[]:25", ""}, {"smtp://[::1]x", ""},
        {"a b:25", ""},              {"host/x:25", ""},
    };
    for (const auto& c : cases) {
        ServiceTarget t;
        int parsed = parse_service(c.entry, t);
        EXPECT_EQ(parsed ? std::to_string(t.protocol) + " " + t.host + " " + std::to_string(t.port) : "", c.parsed)
            << c.entry;
    }
}

TEST_F(SettingsTest, ServicesAloneAreSomethingToTestAndBadEntriesOnlyShowInTheSummary)
{
    ServiceState[14] = {4, 1};
    write_file("[General]\r\nMail=ops@example.test\r\n[Services]\r\nNumber=20\r\nService1=smtp://%s.example.test\r\n"
               "Service2=\r\nService3=ftp://x:21\r\nService4=127.0.0.1:25\r\n");
    EXPECT_EQ(init_settings(host()), 1);
    EXPECT_EQ(ServiceState[14].MissCount, 0);
    ASSERT_EQ(Settings.ServiceCount, 2);
    EXPECT_STREQ(Settings.ServiceNames[1], "127.0.0.1:25");
    log_settings(host());
    std::vector<std::string> lines = logged();
    EXPECT_EQ(std::vector<std::string>(lines.end() - 3, lines.end()),
              (std::vector<std::string>{"1 20 Checking service smtp://%s.example.test.", "1 20 Checking service 127.0.0.1:25.",
                                        "1 15 Skipping service ftp://x:21: it cannot be parsed."}));
}

} // namespace
