// The daemon's own address in the host's alias table.
#pragma once

#include "platform/host_interface.h"

// The module file name the alias directs mail to.
constexpr const char* DaemonModuleName = "korval.dll";

// Makes the host's alias for address point to "Daemon:<module>". Interactive
// (from the configuration dialog) asks before replacing a foreign target and
// shows every outcome in a message box; silent (after a mail to the daemon)
// replaces without asking and logs only failures. An empty address (no
// settings have formed one yet) is left out of the host's table.
void ensure_daemon_alias(const HostInterface* host, const char* address, const char* module, int interactive);

// The same for DaemonAddress as the settings hold it now.
void ensure_own_alias(const HostInterface* host, int interactive);
