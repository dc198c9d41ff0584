// When the heartbeat and the daily digest go out: the heartbeat after the
// first complete cycle and then each period, the digest once per calendar
// day at the first cycle at or after its time, neither after a cycle cut by
// a stop, and no second digest on a day that a clock set back repeats.
#include <gtest/gtest.h>

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
        int minute;            // of the daemon's monotonic clock
        WORD day, hour, local; // local time: day of December, hour, minute
        bool stopped;          // the cycle was cut by a stop
        Lines mails;
    } cycles[] = {
        {0, 7, 23, 30, false, {beat}},        // the first complete cycle
        {20, 7, 23, 50, false, {digest}},     // at the digest's time
        {40, 8, 0, 10, false, {}},            // past midnight, before the time
        {60, 8, 0, 30, false, {beat}},        // a period after the first
        {120, 8, 1, 30, true, {}},            // due, but the cycle was cut
        {140, 8, 1, 50, false, {beat}},       // the next complete cycle
        {160, 8, 23, 55, false, {digest}},    // the next day
        {180, 8, 23, 52, false, {}},          // the clock set back: the same day
        {200, 9, 0, 5, false, {beat}},        // a period after the last one
        {220, 8, 23, 59, false, {}},          // set back across midnight
        {240, 9, 23, 50, false, {digest}},
    };
    Local = SYSTEMTIME{2026, 12, 0, 7, 23, 0, 0, 0};
    NowMs = 1000;
    reset_summaries();
    for (const auto& c : cycles) {
        SCOPED_TRACE(c.minute);
        NowMs = 1000 + static_cast<uint64_t>(c.minute) * 60000;
        Local.wDay = c.day;
        Local.wHour = c.hour;
        Local.wMinute = c.local;
        StopRequested = c.stopped;
        end_of_cycle(host());
        EXPECT_EQ(subjects(), c.mails);
    }
    StopRequested = 0;
    std::vector<HostJob> jobs = standin_jobs();
    ASSERT_EQ(jobs.size(), 7u);
    EXPECT_EQ(jobs[0].recipients, Lines{"beat@watch.example.test"});
    EXPECT_NE(jobs[0].text.find("\r\nFirst heartbeat since Korval started.\r\n"), std::string::npos);
    EXPECT_EQ(jobs[2].text.find("First heartbeat"), std::string::npos);
    EXPECT_EQ(jobs[1].recipients, Lines{"ops@example.test"});
    EXPECT_NE(jobs[1].text.find("\r\nSince Korval started at 2026-12-07 23:00: 2 poll cycles.\r\n"), std::string::npos)
        << jobs[1].text;
    EXPECT_NE(jobs[4].text.find("\r\nSince the last digest at 2026-12-07 23:50: 4 poll cycles.\r\n"), std::string::npos)
        << jobs[4].text;
}

} // namespace
