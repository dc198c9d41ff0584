#include <gtest/gtest.h>

#include "checks/services.h"
#include "monitor_fixture.h"
#include "platform/text.h"

namespace {

using Lines = std::vector<std::string>;

TEST_F(MonitorTest, ServiceMissesSayWhyDieRepeatTheirReportAndRecoverOnce)
{
    const std::string name = "smtp://%s%n.example.test";
    copy_text(Settings.Added.ServiceNames[0], name.c_str());
    Settings.Added.ServiceCount = 1;
    Settings.Retry = 1;
    Settings.Suspend = 2;
    const std::string miss = "log 20 15 Service " + name + " doesn't answer: ";
    const std::string dead = "log 20 15 Service " + name + " is dead.", bump = "bump FailedHost";
    const std::string greeting = "\x01HTTP/1.0 %n 400 Bad Request, a greeting that runs on past sixty characters\r\n";

    struct Poll { int outcome, error; std::string greeting; Lines lines; int miss, counter; };
    const Poll timeline[] = {
        {ServiceRefused, 10061, "", {miss + "connection refused.", bump}, 1, 0},
        {ServiceTimedOut, 0, "", {miss + "connection timed out.", dead, "report", bump}, 2, 1},
        {ServiceWrongGreeting, 0, greeting,
         {miss + "unexpected greeting '?HTTP/1.0 %n 400 Bad Request, a greeting that runs on past s'.", dead, bump}, 3, 0},
        {ServiceUnresolvable, 11001, "", {"bump Failures", miss + "error 11001 finding address.", dead, "report", bump}, 4, 1},
        {ServiceNoGreeting, 0, "", {miss + "no greeting.", dead, bump}, 5, 0},
        {ServiceAnswered, 0, "", {"log 20 25 Service " + name + " is ON again.", "report"}, 0, 0},
        {ServiceAnswered, 0, "", {}, 0, 0},
    };
    int number = 0;
    for (const Poll& p : timeline) {
        SCOPED_TRACE("check " + std::to_string(++number));
        ServiceCheck check{};
        check.outcome = p.outcome;
        check.error = p.error;
        check.greeting_size = static_cast<int>(p.greeting.size());
        copy_text(check.greeting, p.greeting.c_str());
        tell_service_check(host(), 0, name.c_str(), check);
        EXPECT_EQ(steps(), p.lines);
        EXPECT_EQ(ServiceState[0].MissCount, p.miss);
        EXPECT_EQ(ServiceState[0].DeadReportCounter, p.counter);
    }
    EXPECT_EQ(subjects(), (Lines{"Subject: No Service on " + name, "Subject: No Service on " + name,
                                 "Subject: Service " + name + ": OK"}));
    const std::string& text = standin_jobs()[1].text;
    EXPECT_NE(text.find("Specified service '" + name + "' does not answer: error 11001 finding address.\r\n"),
              std::string::npos) << text;
}

} // namespace
