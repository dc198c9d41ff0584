#include "checks/modules.h"

#include "platform/daemon_state.h"
#include "settings/settings.h"

namespace {

struct HostModule {
    const char* name; // as module_state knows it
    const char* online_line;
    const char* offline_line;
    const char* error_format; // the request ("resume" or "shutdown") and the host's result
};

// These texts go to the host as formats. They stay in this table, out of
// reach of the compile-time format check, so each is written to match its
// call below: the announcements take no argument, the error line a text and
// a number.
const HostModule HostModules[] = {
    {"MERCURYS", "Setting MercuryS online.", "Shutting MercuryS down.", "KORVAL: MercuryS %s error (%d)."},
    {"MERCURYD", "Setting MercuryD online.", "Shutting MercuryD down.", "KORVAL: MercuryD %s error (%d)."},
};

} // namespace

int ModulesTakenOffline;

int selected_modules()
{
    lock_settings();
    int mask = modules_selected_by(Settings);
    unlock_settings();
    return mask;
}

int set_modules(const HostInterface* host, int mask, int online, int log)
{
    int refused = 0;
    for (int k = 0; k < 2; ++k) {
        int bit = 1 << k;
        if (!(mask & bit))
            continue;
        const HostModule& module = HostModules[k];
        if (log)
            host_log_format_call(host, 21, 15, online ? module.online_line : module.offline_line);
        // Sent whatever the module's state: the host is the one that knows it.
        int result = host_module_state(host, module.name, 1, online);
        if (result < 0) {
            host_log_format_call(host, 1, 5, module.error_format, online ? "resume" : "shutdown", result);
            host_bump_statistic(host, Failures);
            refused |= bit;
            continue;
        }
        lock_settings();
        ModulesTakenOffline = online ? ModulesTakenOffline & ~bit : ModulesTakenOffline | bit;
        unlock_settings();
    }
    return refused;
}

int set_modules_online(const HostInterface* host, int online, int log)
{
    return set_modules(host, selected_modules(), online, log) == 0;
}
