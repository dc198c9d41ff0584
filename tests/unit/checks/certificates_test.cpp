// The certificates of TLS service entries: the levels, scaled to each
// certificate's lifetime, and the notices of one entry over the life of two
// certificates.
#include <gtest/gtest.h>

#include "checks/certificates.h"
#include "checks/services.h"
#include "monitor_fixture.h"
#include "platform/text.h"

namespace {

using Lines = std::vector<std::string>;

constexpr int64_t Day = 86400;
constexpr int64_t Start = 1800000000; // 2027-01-15 08:00 UTC

TEST(Certificates, LevelsScaleWithTheLifetime)
{
    const struct {
        int lifetime;  // days
        double left;   // days
        int warn, critical;
        int level;
    } rows[] = {
        {47, 11.0, 21, 7, CertFine},   {47, 10.99, 21, 7, CertWarning}, {47, 4.0, 21, 7, CertWarning},
        {47, 3.99, 21, 7, CertCritical}, {90, 21.0, 21, 7, CertFine},   {90, 20.99, 21, 7, CertWarning},
        {90, 7.0, 21, 7, CertWarning}, {90, 6.99, 21, 7, CertCritical}, {200, 21.0, 21, 7, CertFine},
        {200, 6.99, 21, 7, CertCritical}, {398, 20.99, 21, 7, CertWarning}, {398, 0.01, 21, 7, CertCritical},
        {398, 0.0, 21, 7, CertNotValid}, {398, -3.0, 21, 7, CertNotValid},
        // not yet valid: its lifetime begins after now
        {90, 95.0, 21, 7, CertNotValid}, {90, 90.0, 21, 7, CertFine},
        // 0 turns a level off
        {90, 10.0, 0, 7, CertFine},    {90, 3.0, 21, 0, CertWarning},  {90, 3.0, 0, 0, CertFine},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::to_string(r.lifetime) + " days, " + std::to_string(r.left) + " left");
        CertificateInfo c{};
        c.not_after = Start + static_cast<int64_t>(r.left * Day);
        c.not_before = c.not_after - r.lifetime * Day;
        EXPECT_EQ(certificate_level(c, Start, r.warn, r.critical), r.level);
    }
}

int64_t Now;
uint64_t NowMs;
int64_t fake_unix_time() { return Now; }
uint64_t fake_monotonic() { return NowMs; }

// The test's clocks, count service entries, Retry 1 and the default days.
void use_test_clocks(int count)
{
    Platform.UnixTime = fake_unix_time;
    Platform.MonotonicMs = fake_monotonic;
    Settings.Added.ServiceCount = count;
    Settings.Retry = 1;
    Settings.Added.CertWarnDays = 21;
    Settings.Added.CertCriticalDays = 7;
}

TEST_F(MonitorTest, NoticesOnEnteringEachLevelAReminderADayAndOneWhenRenewed)
{
    use_test_clocks(1);
    const std::string name = "smtps://mail.example.test";
    copy_text(Settings.Added.ServiceNames[0], name.c_str());
    const std::string cert = "log 20 15 Certificate of " + name + " expires on ";
    // Certificate A lives 90 days from Start, B 90 days from day 86, C ran out.
    const struct {
        double day;
        char certificate;
        bool reread;
        Lines lines;
    } checks[] = {
        {60, 'A', false, {}},
        {70, 'A', false, {cert + "2027-04-15, in 20 days.", "report"}},
        {71, 'A', false, {}},
        {72, 'A', true, {}}, // a reread zeroes the service's counts, not its notices
        {84, 'A', false, {cert + "2027-04-15, in 6 days: critical.", "report"}},
        {84.5, 'A', false, {}},
        {85, 'A', false, {cert + "2027-04-15, in 5 days: critical.", "report"}},
        {86, 'B', false, {"log 20 25 Certificate of " + name + " renewed: it expires on 2027-07-10, in 90 days.",
                          "report"}},
        {87, 'C', false, {"log 20 15 Service " + name + " doesn't answer: certificate expired on 2027-04-10.",
                          "bump FailedHost"}},
        // The renewed certificate reaches its own warning days.
        {156, 'B', false, {cert + "2027-07-10, in 20 days.", "report"}},
        {157, 'D', false, {"log 20 15 Service " + name + " doesn't answer: certificate not valid before 2027-09-07.",
                           "bump FailedHost"}},
    };
    for (const auto& c : checks) {
        SCOPED_TRACE(c.day);
        Now = Start + static_cast<int64_t>(c.day * Day);
        NowMs = static_cast<uint64_t>(c.day * Day * 1000);
        if (c.reread)
            ServiceState[0] = HostStateEntry{};
        ServiceCheck check{};
        check.outcome = ServiceAnswered;
        CertificateInfo& info = check.certificate;
        info.read = 1;
        copy_text(info.subject, "mail.example.test");
        info.name_matches = 1;
        info.not_before = c.certificate == 'A'   ? Start
                          : c.certificate == 'B' ? Start + 86 * Day
                          : c.certificate == 'C' ? Start - 5 * Day
                                                 : Start + 235 * Day;
        info.not_after = info.not_before + 90 * Day;
        tell_service_check(host(), 0, name.c_str(), check);
        EXPECT_EQ(steps(), c.lines);
    }
    EXPECT_EQ(subjects(), (Lines{"Subject: Certificate of " + name + " expires in 20 days",
                                 "Subject: Certificate of " + name + " expires in 6 days",
                                 "Subject: Certificate of " + name + " expires in 5 days",
                                 "Subject: Certificate of " + name + " renewed",
                                 "Subject: Certificate of " + name + " expires in 20 days"}));
    const std::string& warning = standin_jobs()[0].text;
    EXPECT_NE(warning.find("\r\nThe certificate of '" + name +
                           "' for mail.example.test (not trusted) expires on 2027-04-15, in 20 days.\r\n"),
              std::string::npos)
        << warning;
}

// One name, two servers: an old certificate (A, 20 days left on day 70) and
// its renewal (N), the renewal first (the other order is the TLS
// integration test's). One notice per level, "renewed" once A has not been
// served for a day; a reread that moves the entry to another slot repeats
// nothing.
TEST_F(MonitorTest, TwoCertificatesInTurnGiveOneNoticeAndRenewedOnceTheOldIsGone)
{
    use_test_clocks(2);
    const std::string name = "smtps://pair.example.test";
    const std::string warning = "log 20 15 Certificate of " + name + " expires on 2027-04-15, in 20 days.";
    const std::string two = "log 20 15 Certificate of " + name +
                            ": 2 certificates served in the last 24 hours; the first to expire counts.";
    const std::string renewed = "log 20 25 Certificate of " + name + " renewed: it expires on 2027-06-19, in 83 days.";
    const struct {
        double day;
        char certificate;
        int slot;
        Lines lines;
    } rounds[] = {
        {69.9, 'N', 0, {}},
        {70.0, 'A', 0, {warning, two, "report"}},
        {70.2, 'N', 1, {}}, // moved by a reread
        {70.3, 'A', 1, {}},
        {71.2, 'N', 1, {}},
        {71.35, 'N', 1, {renewed, "report"}},
        {72.0, 'N', 1, {}},
        {74.0, 'N', 0, {}},
    };
    for (const auto& r : rounds) {
        SCOPED_TRACE(r.day);
        Now = Start + static_cast<int64_t>(r.day * Day);
        NowMs = static_cast<uint64_t>(r.day * Day * 1000);
        // The other slot holds another entry.
        copy_text(Settings.Added.ServiceNames[r.slot], name.c_str());
        copy_text(Settings.Added.ServiceNames[1 - r.slot], "smtps://other.example.test");
        ServiceCheck check{};
        check.outcome = ServiceAnswered;
        CertificateInfo& info = check.certificate;
        info.read = 1;
        info.trusted = info.name_matches = 1;
        copy_text(info.subject, "pair.example.test");
        info.not_before = r.certificate == 'A' ? Start : Start + 65 * Day;
        info.not_after = info.not_before + 90 * Day;
        tell_service_check(host(), r.slot, name.c_str(), check);
        EXPECT_EQ(steps(), r.lines);
    }
    std::string mails;
    for (const HostJob& job : standin_jobs())
        mails += job.text;
    EXPECT_NE(mails.find("for pair.example.test expires on 2027-04-15, in 20 days (the first to expire of 2 served in "
                         "the last 24 hours).\r\n"),
              std::string::npos)
        << mails;
}

} // namespace
