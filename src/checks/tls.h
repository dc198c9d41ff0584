// The TLS side of a service check, on the errand thread only: the system's
// own TLS (SChannel through secur32, with crypt32 for the certificate),
// loaded when the first TLS entry is checked, over the check's connected
// non-blocking socket and within the check's limit.
#pragma once

#include <winsock.h>
#include <windows.h>

#include "checks/services.h"

struct TlsSession;

// One check's connection; services.cpp keeps its waits and sends.
struct ServiceLink {
    SOCKET socket;
    DWORD start;       // GetTickCount when the check's limit began
    DWORD limit;       // ms from start that the check may take
    HANDLE life_over;  // signalled once the answer is no longer wanted
    TlsSession* tls;   // set once the handshake is done: the talk is encrypted from then on
};
// Waits, within what is left of the limit, until the socket is readable
// (or, when writable, writable or failed); the select result, 0 as well
// once the life is over.
int wait_for(const ServiceLink& link, bool writable);
// Sends all of data as it is, within the limit; 1 when it went.
int send_all(const ServiceLink& link, const char* data, int size);

// The largest TLS record: its header, 16 KiB of data and what protection adds.
constexpr int TlsRecordSize = 5 + 16384 + 2048;

// Room for one check's TLS session, laid out by tls.cpp alone (SChannel's
// headers clash with the daemon's own names). It lives on the errand
// thread's stack, never in the errand's data, and starts zeroed.
struct TlsSession {
    alignas(8) unsigned char room[TlsRecordSize + 128];
};

// Loads the system's TLS; 0 with the library that failed in check.missing
// and Windows' error in check.error.
int tls_load(ServiceCheck& check);
// The handshake, naming check.target.host: ServiceAnswered with link.tls
// set and the certificate's facts in check.certificate, or the miss, with
// SChannel's status in check.error for a failed handshake.
int tls_start(TlsSession& tls, ServiceLink& link, ServiceCheck& check);
// Encrypts a short text and sends it; 1 when it went.
int tls_send(TlsSession& tls, const ServiceLink& link, const char* text);
// Up to size bytes of decrypted data as soon as some arrive within the
// limit; 0 when none came, the server closed or the data did not decrypt.
int tls_receive(TlsSession& tls, const ServiceLink& link, char* data, int size);
// A close_notify after a completed handshake, then SChannel's handles freed.
void tls_end(TlsSession& tls, const ServiceLink& link);
