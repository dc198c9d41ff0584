// [Internet]: the address, the lists, the server asked and the minutes, as
// read from hostile files.
#include <string>
#include <vector>

#include "settings_test_support.h"

namespace {

std::string lists_of(const InternetSettings& s)
{
    std::string all;
    for (int k = 0; k < s.ListCount; ++k)
        all += (k ? "|" : "") + std::string(s.Lists[k]);
    return all;
}

std::string notes_of(const InternetSettings& s)
{
    std::string all;
    for (const char* note : s.Notes)
        if (note[0])
            all += (all.empty() ? "" : "|") + std::string(note);
    return all;
}

TEST_F(SettingsTest, InternetSectionIsCheckedAsItIsRead)
{
    const std::string defaults = "zen.spamhaus.org|b.barracudacentral.org|bl.spamcop.net";
    const struct {
        std::string section; // the lines of [Internet]
        const char* ip;      // "" when the checks are off
        std::string lists;
        const char* resolver;
        int minutes;
        std::string notes;
    } rows[] = {
        {"", "", "", "", 60, ""},
        {"PublicIP=192.0.2.10\r\n", "192.0.2.10", defaults, "", 60, ""},
        {"Minutes=30\r\n", "", "", "", 30, "[Internet] PublicIP= is missing: no Internet checks."},
        {"PublicIP=192.0.2\r\n", "", "", "", 60, "[Internet] PublicIP=192.0.2 is not an IPv4 address: no Internet checks."},
        {"PublicIP=0x1.2.3.4\r\n", "", "", "", 60, "[Internet] PublicIP=0x1.2.3.4 is not an IPv4 address: no Internet checks."},
        {"PublicIP=192.0.2.10 \r\n", "192.0.2.10", defaults, "", 60, ""},
        {"PublicIP=192.0.2.10\r\nBlocklists=\r\n", "192.0.2.10", "", "", 60, ""},
        {"PublicIP=192.0.2.10\r\nBlocklists= a.test ,,b-2.test_x,\r\n", "192.0.2.10", "a.test|b-2.test_x", "", 60, ""},
        {"PublicIP=192.0.2.10\r\nBlocklists=a.test,bad%s.test,.c.test,d..test,e.test.\r\n", "192.0.2.10", "a.test", "",
         60, "[Internet] Blocklists: 'e.test.' is not a DNS zone: skipped."},
        {"PublicIP=192.0.2.10\r\nBlocklists=" + std::string(64, 'a') + ".test\r\n", "192.0.2.10", "", "", 60,
         "[Internet] Blocklists: '" + std::string(64, 'a') + ".test' is not a DNS zone: skipped."},
        {"PublicIP=192.0.2.10\r\nBlocklists=a,b,c,d,e,f,g,h,i,j\r\n", "192.0.2.10", "a|b|c|d|e|f|g|h", "", 60,
         "[Internet] Blocklists: at most 8 lists; 'j' skipped."},
        {"PublicIP=192.0.2.10\r\nResolver=127.0.0.1\r\n", "192.0.2.10", defaults, "127.0.0.1:53", 60, ""},
        {"PublicIP=192.0.2.10\r\nResolver=127.0.0.1:0\r\n", "192.0.2.10", defaults, "", 60,
         "[Internet] Resolver=127.0.0.1:0 is not an IPv4 address (with :PORT): asking the system's DNS server."},
        {"PublicIP=192.0.2.10\r\nResolver=dns.example.test\r\n", "192.0.2.10", defaults, "", 60,
         "[Internet] Resolver=dns.example.test is not an IPv4 address (with :PORT): asking the system's DNS server."},
        {"PublicIP=192.0.2.10\r\nMinutes=5\r\n", "192.0.2.10", defaults, "", 15, "[Internet] Minutes=5 corrected to 15."},
        {"PublicIP=192.0.2.10\r\nMinutes=99999\r\n", "192.0.2.10", defaults, "", 1440,
         "[Internet] Minutes=99999 corrected to 1440."},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.section);
        Settings = settings_at_start();
        write_file("[General]\r\nMail=admin@example.test\r\n[Hosts]\r\nNumber=1\r\nHost1=127.0.0.1\r\n" +
                   (r.section.empty() ? "" : "[Internet]\r\n" + r.section));
        init_settings(host());
        const InternetSettings& s = Settings.Added.Internet;
        char text[16] = "";
        if (s.PublicIP)
            ipv4_text(text, s.PublicIP);
        EXPECT_STREQ(text, r.ip);
        EXPECT_EQ(lists_of(s), r.lists);
        std::string resolver;
        if (s.Resolver) {
            ipv4_text(text, s.Resolver);
            resolver = std::string(text) + ":" + std::to_string(s.ResolverPort);
        }
        EXPECT_EQ(resolver, r.resolver);
        EXPECT_EQ(s.Minutes, r.minutes);
        EXPECT_EQ(notes_of(s), r.notes);
    }
}

} // namespace
