// The configure entry point: the dialog, then the alias, the summary and
// the modules back online.
#include "checks/modules.h"
#include "dialog/dialog.h"
#include "host/alias.h"
#include "host/daemon.h"
#include "platform/daemon_state.h"
#include "platform/text.h"
#include "settings/settings.h"

namespace {

struct Module {
    const char* name;
    const char* query_failed;
    const char* set_failed;
};

const Module Modules[] = {
    {"MERCURYS", "KORVAL: Error getting MercuryS status (%d).", "KORVAL: Error setting MercuryS online (%d)."},
    {"MERCURYD", "KORVAL: Error getting MercuryD status (%d).", "KORVAL: Error setting MercuryD online (%d)."},
};

// Whatever the drives say: a new configuration starts with both modules
// online. A query of -1 (no action) has bit 0 set and asks for nothing.
// Returns the mask of the modules now online (bit 0 MercuryS, bit 1 MercuryD).
int bring_modules_online(const HostInterface* host)
{
    int online = 0;
    for (int k = 0; k < 2; ++k) {
        const Module& m = Modules[k];
        int state = host_module_state(host, m.name, 0, 0);
        if (state < -1) {
            host_log_format(host, 1, 5, m.query_failed, state);
            host_bump_statistic(host, Failures);
        } else if ((state & 1) == 0) {
            int result = host_module_state(host, m.name, 1, 1);
            if (result < 0) {
                host_log_format(host, 1, 5, m.set_failed, result);
                host_bump_statistic(host, Failures);
            } else {
                online |= 1 << k;
            }
        } else {
            online |= 1 << k;
        }
    }
    return online;
}

} // namespace

extern "C" short __cdecl configure(HostInterface* host, const char* text)
{
    if (!host_record_usable(host) || !check_host_version(host))
        return 0;
    host_log_format(host, 0, 15, "Config for %s", text != nullptr ? text : "");
    if (!Resident)
        init_settings(host);

    HWND owner = reinterpret_cast<HWND>(const_cast<char*>(host_get_value(host, HostValueOwnerWindow)));
    INT_PTR result = DialogBoxParamA(ModuleInstance, "ConfigBox", owner, config_dialog_proc, 0);
    if (result == 0) {
        host_log_text(host, 1, 20, "Config canceled.");
        return 1;
    }
    if (result < 0) {
        // No dialog was shown: nothing was accepted, so nothing follows.
        host_log_text(host, 1, 5, "KORVAL: Unable to open the configuration dialog.");
        host_bump_statistic(host, Failures);
        return 1;
    }

    // The dialog has put its values, the default alias, the daemon address
    // and the recipients in place.
    ensure_own_alias(host, 1);
    log_settings(host);
    int online = bring_modules_online(host);
    // Those back online no longer wait for the disk test to release them.
    lock_settings();
    ModulesTakenOffline &= ~online;
    unlock_settings();
    return 1;
}
