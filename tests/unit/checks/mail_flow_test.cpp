// The mail flow check over a timeline: probes sent each cycle, back in
// time, back late, lost, eight in flight, and the host-style dead and
// recovery reports.
#include <gtest/gtest.h>

#include "checks/mail_flow.h"
#include "host/daemon.h"
#include "monitor_fixture.h"
#include "platform/text.h"

namespace {

using Lines = std::vector<std::string>;

uint64_t Now;
uint64_t fake_clock() { return Now; }

TEST_F(MonitorTest, MailFlowProbesComeBackGetLostAndReportLikeAHost)
{
    Platform.MonotonicMs = fake_clock;
    Resident = 1;
    Settings.Added.LostAfter = 10;
    Settings.Retry = 1;
    Settings.Suspend = 2;
    copy_text(Settings.HostDomain, "example.test");
    const std::string from = "log 20 15 KORVAL: MailFrom: '<KORVAL-daemon@example.test>'";
    const std::string miss = "log 20 15 Mail flow doesn't move: ", sent = "report", failed = "bump FailedHost";
    enum Step { Cycle, Back };
    const struct {
        double minute;
        Step step;
        Lines lines;
        int in_flight;
    } timeline[] = {
        // a fresh life: back with none in flight, which counts as moving
        {0, Back, {from, "log 20 25 Mail flow probe back with none in flight."}, 0},
        {0, Cycle, {sent}, 1},
        {0.5, Back, {from, "log 20 25 Mail flow probe 1 back after 30.000 s."}, 0},
        // a queue that holds everything: eight in flight and no ninth
        {1, Cycle, {sent}, 1},
        {2, Cycle, {sent}, 2},
        {3, Cycle, {sent}, 3},
        {4, Cycle, {sent}, 4},
        {5, Cycle, {sent}, 5},
        {6, Cycle, {sent}, 6},
        {7, Cycle, {sent}, 7},
        {8, Cycle, {sent}, 8},
        {9, Cycle, {}, 8},
        // probe 2 is older than ten minutes: lost; probe 3, ten minutes old, not yet
        {12, Cycle, {miss + "probe 2 not back after 11 minutes.", failed, sent}, 8},
        {14, Cycle, {miss + "probe 3 not back after 12 minutes.", "log 20 15 Mail flow is dead.", sent, failed, sent},
         7},
        // the queue moves: the oldest in flight is taken off, late but back
        {14.5, Back, {from, "log 20 25 Mail flow probe 5 back after 630.000 s."}, 6},
        {15, Cycle, {"log 20 25 Mail flow is ON again.", sent, sent}, 7},
        // probe 6 was not taken off by probe 5's return
        {16, Cycle, {miss + "probe 6 not back after 11 minutes.", failed, sent}, 7},
    };
    for (const auto& t : timeline) {
        SCOPED_TRACE(t.minute);
        Now = 1000000 + static_cast<uint64_t>(t.minute * 60000);
        if (t.step == Cycle)
            check_mail_flow(host());
        else
            daemon(standin_delivered_job("<KORVAL-daemon@example.test>"), host());
        EXPECT_EQ(steps(), t.lines);
        EXPECT_EQ(MailFlow.Count, t.in_flight);
    }
    EXPECT_EQ(MailFlow.Lost, 4u);
    Lines reports;
    std::string texts;
    for (const HostJob& job : standin_jobs())
        if (job.text.find("Subject: Korval mail flow probe ") == std::string::npos)
            texts += job.text;
    for (const std::string& s : subjects())
        if (s.rfind("Subject: Korval mail flow probe ", 0) != 0)
            reports.push_back(s);
    EXPECT_EQ(reports, (Lines{"Subject: No Mail Flow on example.test", "Subject: Mail Flow on example.test: OK"}));
    for (const char* line : {"Mail does not move through example.test: probe 3 not back after 12 minutes.\r\n",
                             "Mail moves through example.test again: probe 5 back after 630.000 s.\r\n"})
        EXPECT_NE(texts.find(line), std::string::npos) << line;
}

} // namespace
