// The service checks: a connection to each entry of [Services] and, for the
// mail protocols, their greeting (in TLS, or before and after an upgrade to
// it), judged by the shared up/down state machine.
#pragma once

#include <windows.h>

#include "checks/certificates.h"
#include "cycle/poll_state.h"
#include "settings/settings.h"

struct HostInterface;

// How a check ended.
enum ServiceOutcome {
    ServiceAnswered,
    ServiceRefused,
    ServiceTimedOut,
    ServiceNoGreeting,
    ServiceWrongGreeting,
    ServiceUnresolvable,
    ServiceConnectError,     // the socket could not be opened or connected
    ServiceNoStarttls,       // the upgrade was not offered or was refused
    ServicePlainText,        // plain text where TLS was expected
    ServiceHandshakeFailed,  // with SChannel's status in error
    ServiceHandshakeTimedOut,
    ServiceTlsMissing,       // the system's TLS cannot be loaded: no judgement
};
constexpr int GreetingSize = 512;
// A service check, carried out on the errand thread on this copy of the
// entry; everything the control thread then tells comes from here.
struct ServiceCheck {
    ServiceTarget target;
    int outcome;                      // a ServiceOutcome
    int error;                        // the Windows Sockets error, or SChannel's for a failed handshake
    int greeting_size;
    char greeting[GreetingSize + 1];  // what arrived, terminated
    int lacks_tls13;                  // the system offers no TLS 1.3, which the server may want
    const char* missing;              // the system library that TLS lacks (with error)
    CertificateInfo certificate;      // from a completed handshake
};

// The errand's work on a ServiceCheck: resolve, connect, read the greeting,
// upgrade to TLS where the entry says so, say goodbye, close. Touches
// nothing but the check.
void check_service(void* data, HANDLE life_over);

// Turns a finished check of slot index into its state, log lines, counts
// and reports.
void tell_service_check(const HostInterface* host, int index, const char* name, const ServiceCheck& check);
// One pass over the service table, after the disk test.
void check_services(const HostInterface* host);
// The system's TLS could not be loaded in this life (logged once, counted
// once); TLS entries are then not judged. Guarded by the settings lock.
extern int TlsUnavailable;

// The last check of each service, guarded by the settings lock.
extern PollReading ServiceReadings[MaxServices];
