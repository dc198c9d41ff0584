#include <string>
#include <vector>

#include "settings_test_support.h"

namespace {

TEST(ServiceEntries, EveryFormParsesOrIsRefused)
{
    // Parsed as "protocol TLS-style host port"; empty: refused.
    const struct {
        const char* entry;
        std::string parsed;
    } cases[] = {
        {"smtp://mail.example.test", "1 0 mail.example.test 25"}, {"POP3://10.0.0.1", "2 0 10.0.0.1 110"},
        {"imap://127.0.0.1:1143", "3 0 127.0.0.1 1143"},          {"backup.example.test:5432", "0 0 backup.example.test 5432"},
        {"smtp://[::1]:2525", "1 0 ::1 2525"},                     {"[fe80::1]:65535", "0 0 fe80::1 65535"},
        {"smtps://mx.example.test", "4 1 mx.example.test 465"},   {"POP3S://mx.example.test", "5 1 mx.example.test 995"},
        {"imaps://mx.example.test", "6 1 mx.example.test 993"},   {"Smtp+StartTLS://mx.example.test", "7 2 mx.example.test 587"},
        {"pop3+starttls://mx.example.test", "8 2 mx.example.test 110"},
        {"imap+starttls://mx.example.test", "9 2 mx.example.test 143"},
        {"imaps://[::1]:1993", "6 1 ::1 1993"},                    {"smtp+starttls://mx.example.test:25", "7 2 mx.example.test 25"},
        {"backup.example.test", ""}, {"host:", ""},  {"host:0", ""},         {"host:65536", ""},   {"host:000080000", ""},
        {"host:25a", ""},            {"host:-1", ""}, {"http://host:80", ""}, {"smtp:/host:25", ""}, {"smtp://", ""},
        {"smtp://:25", ""},          {":25", ""},     {"smtp://[::1", ""},    {"smtp://[]:25", ""}, {"smtp://[::1]x", ""},
        {"a b:25", ""},              {"host/x:25", ""}, {"smtp+tls://host", ""}, {"smtps:/host", ""},   {"imaps://:993", ""},
    };
    for (const auto& c : cases) {
        ServiceTarget t;
        int parsed = parse_service(c.entry, t);
        EXPECT_EQ(parsed ? std::to_string(t.protocol) + " " + std::to_string(ServiceKinds[t.protocol].tls) + " " + t.host +
                               " " + std::to_string(t.port)
                         : "",
                  c.parsed)
            << c.entry;
    }
}

TEST_F(SettingsTest, ServicesAloneAreSomethingToTestAndBadEntriesOnlyShowInTheSummary)
{
    ServiceState[14] = {4, 1, 0, 0, 0};
    write_file("[General]\r\nMail=ops@example.test\r\n[Services]\r\nNumber=20\r\nService1=smtp://%s.example.test\r\n"
               "Service2=\r\nService3=ftp://x:21\r\nService4=127.0.0.1:25\r\n");
    EXPECT_EQ(init_settings(host()), 1);
    EXPECT_EQ(ServiceState[14].MissCount, 0);
    ASSERT_EQ(Settings.Added.ServiceCount, 2);
    EXPECT_STREQ(Settings.Added.ServiceNames[1], "127.0.0.1:25");
    log_settings(host());
    std::vector<std::string> lines = logged();
    EXPECT_EQ(std::vector<std::string>(lines.end() - 3, lines.end()),
              (std::vector<std::string>{"1 20 Checking service smtp://%s.example.test.", "1 20 Checking service 127.0.0.1:25.",
                                        "1 15 Skipping service ftp://x:21: it cannot be parsed."}));
}

} // namespace
