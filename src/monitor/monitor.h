// The control thread and the tests it runs in every poll cycle.
#pragma once

#include <windows.h>

#include <cstdint>

#include "monitor/status.h"
#include "platform/text.h"
#include "settings/settings.h"

struct HostInterface;

// The thread routine; startup creates it with parameter 0.
DWORD WINAPI control_thread(LPVOID unused);

// The pacing rule of the host and drive loops, applied after every item:
// 0 when a stop was requested (the loop ends at once, no pause), otherwise
// a pause of 60 ms that a stop cuts short; 1 to go on with the next item,
// 0 when the stop came during the pause.
int pause_after_item();

// A look-up or an echo cut short by a stop: neither an answer nor a miss.
constexpr int PingStopped = -1;

// One ICMP echo to the host in slot index of HostNames; 1 answered, 0 not,
// or PingStopped.
int ping_host(int index);
// Copies the name in slot index of a host or drive table, under the
// settings lock; 0 when the slot is not (or no longer) part of the table.
template <int Slots, int Size>
int copy_slot_name(const char (&names)[Slots][Size], const int& count, int index, char (&name)[Size])
{
    lock_settings();
    int configured = index >= 0 && index < count && index < Slots;
    if (configured)
        copy_text(name, names[index]);
    unlock_settings();
    return configured;
}
inline int copy_host_name(int index, char (&name)[HostNameSize])
{
    return copy_slot_name(Settings.HostNames, Settings.HostCount, index, name);
}
// One pass over the host table with the per-host state machine.
void poll_hosts(const HostInterface* host);
// Logs the memory figures and reports short memory.
void test_memory(const HostInterface* host);
// One pass over the drive table: free space, the per-drive state machine,
// its reports and module requests.
void test_disks(const HostInterface* host);

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

// Short-memory cycles still to pass before the next memory report.
extern int32_t MemoryReportCountdown;
