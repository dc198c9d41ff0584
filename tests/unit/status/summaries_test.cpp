// When the heartbeat and the daily digest go out: the heartbeat after the
// first complete cycle and then each period, the digest once per calendar
// day at the first cycle at or after its time, neither after a cycle cut by
// a stop, and no second digest for a clock set back or wrong for a while:
// a new day needs another date and half a day gone on the monotonic clock.
#include <gtest/gtest.h>

#include "checks/mail_flow.h"
#include "monitor_fixture.h"
#include "platform/text.h"
#include "status/end_of_cycle.h"

namespace {

using Lines = std::vector<std::string>;

uint64_t NowMs;
SYSTEMTIME Local;
uint64_t fake_clock() { return NowMs; }
void fake_local_time(LPSYSTEMTIME time) { *time = Local; }

TEST_F(MonitorTest, HeartbeatEveryPeriodAndOneDigestPerCalendarDay)
{
    Platform.MonotonicMs = fake_clock;
    Platform.GetLocalTime = fake_local_time;
    copy_text(Settings.HostDomain, "example.test");
    build_recipients(Settings.Added.Heartbeat, "beat@watch.example.test");
    Settings.PollTime = 20;
    Settings.Added.HeartbeatMinutes = 60;
    Settings.Added.DigestMinute = 23 * 60 + 50;
    const std::string beat = "Subject: Korval heartbeat example.test: all well";
    const std::string digest = "Subject: Korval daily digest example.test: all well";
    const struct {
        int minute;                  // of the daemon's monotonic clock
        WORD year, day, hour, local; // local time: year, day of December, hour, minute
        bool stopped;                // the cycle was cut by a stop
        Lines mails;
    } cycles[] = {
        {0, 2026, 7, 23, 30, false, {beat}},             // the first complete cycle
        {20, 2026, 7, 23, 50, false, {digest}},          // at the digest's time
        {40, 2026, 8, 0, 10, false, {}},                 // past midnight, before the time
        {60, 2026, 8, 0, 30, false, {beat}},             // a period after the first
        {120, 2026, 8, 1, 30, true, {}},                 // due, but the cycle was cut
        {140, 2026, 8, 1, 50, false, {beat}},            // the next complete cycle
        {160, 2026, 8, 23, 55, false, {}},               // the clock put a day ahead: not half a day gone
        {180, 2026, 8, 23, 52, false, {}},               // set back: the same day
        {200, 2026, 9, 0, 5, false, {beat}},             // a period after the last one
        {1460, 2026, 8, 23, 50, false, {beat, digest}},  // the clock right again, a day after the first
        {1480, 2026, 8, 23, 59, false, {}},
        {1500, 2026, 7, 23, 55, false, {}},              // set back past midnight, before the last digest's day
        {2900, 2026, 9, 23, 50, false, {beat, digest}},
        {2920, 2027, 9, 23, 55, false, {}},              // a year ahead for one cycle
        {2940, 2026, 10, 0, 15, false, {}},
        {4340, 2026, 10, 23, 50, false, {beat, digest}}, // costs no digest
    };
    Local = SYSTEMTIME{2026, 12, 0, 7, 23, 0, 0, 0};
    NowMs = 1000;
    reset_summaries();
    for (const auto& c : cycles) {
        SCOPED_TRACE(c.minute);
        NowMs = 1000 + static_cast<uint64_t>(c.minute) * 60000;
        Local.wYear = c.year;
        Local.wDay = c.day;
        Local.wHour = c.hour;
        Local.wMinute = c.local;
        StopRequested = c.stopped;
        end_of_cycle(host());
        EXPECT_EQ(subjects(), c.mails);
    }
    StopRequested = 0;
    std::vector<HostJob> jobs = standin_jobs();
    ASSERT_EQ(jobs.size(), 11u);
    EXPECT_EQ(jobs[0].recipients, Lines{"beat@watch.example.test"});
    EXPECT_NE(jobs[0].text.find("\r\nFirst heartbeat since Korval started.\r\n"), std::string::npos);
    EXPECT_EQ(jobs[2].text.find("First heartbeat"), std::string::npos);
    EXPECT_EQ(jobs[1].recipients, Lines{"ops@example.test"});
    EXPECT_NE(jobs[1].text.find("\r\nSince Korval started at 2026-12-07 23:00: 2 poll cycles.\r\n"), std::string::npos)
        << jobs[1].text;
    EXPECT_NE(jobs[6].text.find("\r\nSince the last digest at 2026-12-07 23:50: 7 poll cycles.\r\n"), std::string::npos)
        << jobs[6].text;
}

// With the mail flow on, each digest counts that day's probes, and its
// round trips start afresh.
TEST_F(MonitorTest, DigestCountsEachDaysProbesAndRoundTrips)
{
    Platform.MonotonicMs = fake_clock;
    Platform.GetLocalTime = fake_local_time;
    copy_text(Settings.HostDomain, "example.test");
    Settings.Added.LostAfter = 10;
    Settings.Added.DigestMinute = 8 * 60;
    const struct {
        int minute;
        WORD day;
        uint32_t sent, lost;
        std::vector<uint64_t> trips; // ms
        std::string line;
    } days[] = {
        {60, 7, 1, 0, {200}, "Mail flow: 1 probe sent, 1 back, 0 lost; round trip median 0.200 s, worst 0.200 s."},
        {1500, 8, 3, 1, {900, 500}, "Mail flow: 3 probes sent, 2 back, 1 lost; round trip median 0.700 s, worst 0.900 s."},
        {2940, 9, 0, 0, {}, "Mail flow: 0 probes sent, 0 back, 0 lost."},
    };
    Local = SYSTEMTIME{2026, 12, 0, 7, 7, 0, 0, 0};
    NowMs = 1000;
    reset_summaries();
    uint32_t number = 0;
    for (const auto& d : days) {
        SCOPED_TRACE(d.minute);
        MailFlow.Sent += d.sent;
        MailFlow.Lost += d.lost;
        for (uint64_t trip : d.trips) {
            MailFlow.InFlight[MailFlow.Count++] = Probe{++number, 0};
            uint64_t round_trip;
            ASSERT_TRUE(take_probe_back(MailFlow, trip, number, &round_trip));
        }
        NowMs = 1000 + static_cast<uint64_t>(d.minute) * 60000;
        Local.wDay = d.day;
        Local.wHour = 8;
        end_of_cycle(host());
        std::vector<HostJob> jobs = standin_jobs();
        ASSERT_FALSE(jobs.empty());
        const std::string text = jobs.back().text;
        EXPECT_NE(text.find("\r\n" + d.line + "\r\n"), std::string::npos) << text;
    }
    EXPECT_EQ(standin_jobs().size(), 3u);
}

} // namespace
