// MercuryS and MercuryD, which a critical or unreadable drive holds offline:
// the requests to the host, and what the daemon itself has taken offline.
#pragma once

#include "settings/settings.h"

struct HostInterface;

// Asks the host to set MercuryS and MercuryD (each as the settings select)
// online (1) or offline (0), announcing each request in the log when log is
// nonzero. 1 when no request was refused, else 0.
int set_modules_online(const HostInterface* host, int online, int log);
// The modules that the settings select: bit 0 MercuryS, bit 1 MercuryD.
inline int modules_selected_by(const SettingsRecord& s) { return (s.SuspendMercS ? 1 : 0) | (s.SuspendMercD ? 2 : 0); }
// The same for Settings as they are now, read under the lock.
int selected_modules();
// The same for the modules in mask, whatever the settings select; returns
// the mask of the modules whose request was refused.
int set_modules(const HostInterface* host, int mask, int online, int log);

// The modules that the daemon itself has taken offline (the host accepted
// the request) and not yet brought back: bit 0 MercuryS, bit 1 MercuryD.
// Guarded by the settings lock.
extern int ModulesTakenOffline;
