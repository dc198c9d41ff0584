#include "host/alias.h"

#include <windows.h>

#include <cstring>

#include "platform/platform.h"
#include "platform/text.h"
#include "settings/settings.h"

namespace {

// The target, the message and the host's answer each get 400 bytes.
constexpr size_t AliasTextSize = 400;

// A message box with no owner window, or the log line in silent mode.
void tell_failure(const HostInterface* host, int interactive, const char* text)
{
    if (interactive)
        Platform.MessageBoxA(nullptr, text, " Error", MB_OK | MB_ICONSTOP);
    else
        host_log_text(host, 0, 5, text);
}

} // namespace

void ensure_daemon_alias(const HostInterface* host, const char* address, const char* module, int interactive)
{
    // No settings have given the daemon an address yet: an alias for the
    // empty address would only litter the host's table.
    if (address[0] == '\0')
        return;
    char wanted[AliasTextSize];
    char message[AliasTextSize];
    char current[AliasTextSize];
    format_text(wanted, sizeof wanted, "Daemon:%s", module);

    current[0] = '\0';
    int exists = host_alias_op(host, AliasLookup, current, address);
    // The host may leave its answer unterminated: read no further than the buffer.
    current[sizeof current - 1] = '\0';
    if (strcmp(current, wanted) == 0)
        return;

    if (exists) {
        if (interactive) {
            // A long target is cut to the buffer, never written past it.
            format_text(message, sizeof message, "Alias already exist:\r\n\r\n%s:  %s\r\n\r\nReplace ?", address,
                        current);
            if (Platform.MessageBoxA(nullptr, message, " Alias already exist", MB_OKCANCEL | MB_ICONEXCLAMATION) !=
                IDOK)
                return;
        }
        if (!host_alias_op(host, AliasDelete, address, nullptr)) {
            tell_failure(host, interactive, "Unable to replace alias");
            return;
        }
    }

    if (host_alias_op(host, AliasAdd, address, wanted)) {
        if (interactive) {
            format_text(message, sizeof message, "Alias '%s' created", address);
            Platform.MessageBoxA(nullptr, message, " Success", MB_OK | MB_ICONINFORMATION);
        }
        return;
    }
    format_text(message, sizeof message, "Unable to create alias '%s'", address);
    tell_failure(host, interactive, message);
}

void ensure_own_alias(const HostInterface* host, int interactive)
{
    char address[sizeof Settings.DaemonAddress];
    lock_settings();
    copy_text(address, Settings.DaemonAddress);
    unlock_settings();
    ensure_daemon_alias(host, address, DaemonModuleName, interactive);
}
