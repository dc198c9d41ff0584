#include "monitor_fixture.h"

#include "cycle/errand.h"
#include "platform/text.h"

void MonitorTest::SetUp()
{
    HostTest::SetUp();
    HostInterface* h = host();
    StatHandle module = host_register_module_statistics(h, "HostStatus");
    Failures = host_register_statistic(h, module, "Failures");
    FailedHost = host_register_statistic(h, module, "FailedHost");
    HostInterfaceCopy = h;
    StopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(start_errands());
    Settings.Retry = 3;
    Settings.Suspend = 5;
    copy_text(Settings.DaemonAddress, "korval-daemon@example.test");
    copy_text(Recipients.MailRecipients[0], "ops@example.test");
    copy_text(Recipients.MailList, "ops@example.test");
    Recipients.MailCount = 1;
    trace_seen = standin_trace().size();
}

void MonitorTest::TearDown()
{
    end_errands();
    CloseHandle(StopEvent);
    StopEvent = nullptr;
    HostTest::TearDown();
}

std::vector<std::string> MonitorTest::steps()
{
    std::vector<std::string> trace = standin_trace();
    std::vector<std::string> out;
    for (size_t i = trace_seen; i < trace.size(); ++i) {
        const std::string& line = trace[i];
        if (line.rfind("log ", 0) == 0 || line.rfind("bump ", 0) == 0 || line.rfind("module_state ", 0) == 0)
            out.push_back(line);
        else if (line.rfind("create_job", 0) == 0)
            out.push_back("report");
    }
    trace_seen = trace.size();
    return out;
}

std::vector<std::string> MonitorTest::subjects()
{
    std::vector<HostJob> jobs = standin_jobs();
    std::vector<std::string> out;
    for (size_t i = jobs_seen; i < jobs.size(); ++i) {
        const std::string& text = jobs[i].text;
        size_t at = text.find("Subject: ");
        out.push_back(at == std::string::npos ? "(no subject)" : text.substr(at, text.find("\r\n", at) - at));
    }
    jobs_seen = jobs.size();
    return out;
}
