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

// The sender of probe number of this life, as a mail server may hand it
// back: in angle brackets, in other letter case.
std::string probe_sender(uint32_t number)
{
    return "<KORVAL-daemon-" + std::string(MailFlow.Token) + "-" + std::to_string(number) + "@EXAMPLE.test>";
}

enum Step { Cycle, Back };
// Steps of a timeline: a cycle, or a mail back with this life's probe
// number (0: from another life), and the
// lines and probes in flight expected after it.
struct FlowStep {
    double minute;
    Step step;
    int probe;
    std::vector<std::string> lines;
    int in_flight;
};

class MailFlowTest : public MonitorTest {
protected:
    // The check on, probes lost after ten minutes, the clock the test's.
    void start(int retry, int suspend)
    {
        Platform.MonotonicMs = fake_clock;
        Resident = 1;
        Settings.Added.LostAfter = 10;
        Settings.Retry = retry;
        Settings.Suspend = suspend;
        copy_text(Settings.HostDomain, "example.test");
    }
    void run_timeline(const std::vector<FlowStep>& timeline);

    const std::string miss = "log 20 15 Mail flow doesn't move: ", sent = "report", failed = "bump FailedHost";
};

void MailFlowTest::run_timeline(const std::vector<FlowStep>& timeline)
{
    for (const auto& t : timeline) {
        SCOPED_TRACE(t.minute);
        Now = 1000000 + static_cast<uint64_t>(t.minute * 60000);
        if (t.step == Cycle) {
            check_mail_flow(host());
        } else {
            std::string sender =
                t.probe > 0 ? probe_sender(t.probe) : "korval-daemon-0000000000000000-1@example.test";
            daemon(standin_delivered_job(sender), host());
            Lines lines = steps();
            ASSERT_FALSE(lines.empty());
            EXPECT_EQ(lines[0], "log 20 15 KORVAL: MailFrom: '" + sender + "'");
            lines.erase(lines.begin());
            EXPECT_EQ(lines, t.lines);
            EXPECT_EQ(MailFlow.Count, t.in_flight);
            continue;
        }
        EXPECT_EQ(steps(), t.lines);
        EXPECT_EQ(MailFlow.Count, t.in_flight);
    }
}

TEST_F(MailFlowTest, MailFlowProbesComeBackGetLostAndReportLikeAHost)
{
    start(1, 2);
    // The first line of a mail back is checked on its own: its sender.
    const std::vector<FlowStep> timeline = {
        // another life's probe: logged, no credit
        {0, Back, 0, {"log 20 25 Mail flow probe back with none in flight."}, 0},
        {0, Cycle, 0, {sent}, 1},
        {0.5, Back, 1, {"log 20 25 Mail flow probe 1 back after 30.000 s."}, 0},
        // a queue that holds everything: eight in flight and no ninth
        {1, Cycle, 0, {sent}, 1},
        {2, Cycle, 0, {sent}, 2},
        {3, Cycle, 0, {sent}, 3},
        {4, Cycle, 0, {sent}, 4},
        {5, Cycle, 0, {sent}, 5},
        {6, Cycle, 0, {sent}, 6},
        {7, Cycle, 0, {sent}, 7},
        {8, Cycle, 0, {sent}, 8},
        {9, Cycle, 0, {}, 8},
        // probe 2 is older than ten minutes: lost; probe 3, ten minutes old, not yet
        {12, Cycle, 0, {miss + "probe 2 not back after 11 minutes.", failed, sent}, 8},
        {14, Cycle, 0, {miss + "probe 3 not back after 12 minutes.", "log 20 15 Mail flow is dead.", sent, failed, sent},
         7},
        // a probe counted lost comes back: late, it credits nothing
        {14.2, Back, 3, {"log 20 25 Mail flow probe 3 back late: it was counted lost."}, 7},
        // a younger probe back takes only itself off: probe 5 stays, and is lost
        {14.5, Back, 6, {"log 20 25 Mail flow probe 6 back after 570.000 s."}, 6},
        {15, Cycle, 0, {miss + "probe 5 not back after 11 minutes.", "log 20 15 Mail flow is dead.", failed, sent}, 6},
        // the queue moves
        {15.25, Back, 7, {"log 20 25 Mail flow probe 7 back after 555.000 s."}, 5},
        {16, Cycle, 0, {"log 20 25 Mail flow is ON again.", sent, sent}, 6},
    };
    run_timeline(timeline);
    EXPECT_EQ(MailFlow.Lost, 4u);
    EXPECT_EQ(MailFlow.BackTotal, 3u);
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
                             "Mail moves through example.test again: probe 7 back after 555.000 s.\r\n"})
        EXPECT_NE(texts.find(line), std::string::npos) << line;
}

// A probe back and a loss in one cycle leave no answer behind for a quiet
// cycle; a cycle that loses a probe and cannot send the next misses once.
TEST_F(MailFlowTest, MailFlowJudgesEachCycleOnce)
{
    start(0, 100);
    const std::string dead = "log 20 15 Mail flow is dead.";
    const std::vector<FlowStep> timeline = {
        {0, Cycle, 0, {sent}, 1},
        {5, Cycle, 0, {sent}, 2},
        // probe 2 back while probe 1 is overdue: the loss is the judgement
        {10.5, Back, 2, {"log 20 25 Mail flow probe 2 back after 330.000 s."}, 1},
        {11, Cycle, 0, {miss + "probe 1 not back after 11 minutes.", dead, sent, failed, sent}, 1},
        // the queue is stuck: a quiet cycle is no answer
        {12, Cycle, 0, {sent}, 2},
        {13, Cycle, 0, {sent}, 3},
    };
    run_timeline(timeline);
    // Probe 4 is lost at the cycle whose own probe cannot go out: one miss.
    copy_text(Settings.DaemonAddress, "korval-daemon");
    run_timeline({{22.5, Cycle, 0,
                          {miss + "probe 3 not back after 11 minutes.", dead, failed,
                           "log 1 15 Mail flow probe 6 not sent: the address korval-daemon has no domain.",
                           "bump Failures"},
                          1}});
}
} // namespace
