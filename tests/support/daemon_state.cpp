#include "test_support.h"

#include <cstring>

#include "checks/mail_flow.h"
#include "checks/memory.h"
#include "checks/modules.h"
#include "host/daemon.h"
#include "platform/daemon_state.h"
#include "settings/settings.h"
#include "status/end_of_cycle.h"
#include "status/status_file.h"

namespace {

// What the library's load does, once for the whole test program.
const int Attached = (settings_attach(), 1);

} // namespace

void reset_daemon_state()
{
    begin_fresh_life();
    Resident = 0;
    ThreadId = 0;
    ThreadHandle = nullptr;
    StopEvent = nullptr;
    HostInterfaceCopy = nullptr;
    reset_status();
}
