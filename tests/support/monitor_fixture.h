// A fake host with the daemon's statistics registered, one report
// recipient, a stop event, and helpers to read what a test step added to the host's
// trace and outbox.
#pragma once

#include <string>
#include <vector>

#include "platform/daemon_state.h"
#include "settings/settings.h"
#include "test_support.h"

class MonitorTest : public HostTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // Trace lines since the last call: log lines as "log <cat> <prio> <text>",
    // statistics as "bump <name>", module requests as "module_state <name>
    // <op> <value>", every report as one "report" line.
    std::vector<std::string> steps();
    // Subject lines of the report mails since the last call.
    std::vector<std::string> subjects();
    // Count of a statistics category of the module.
    long count(const char* statistic) { return standin_statistic(statistic); }

private:
    size_t trace_seen = 0;
    size_t jobs_seen = 0;
};
