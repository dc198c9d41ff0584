// Who a mail flow probe says it is. The envelope sender is the only part of
// a delivered mail that the daemon can read, so a probe carries its identity
// there: the daemon's local part, a token drawn once per life from the
// system's random source, and the probe's number, at the daemon's domain.
// An outsider who forges the daemon's address cannot guess the token.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

// 64 random bits as 16 lower-case hex digits, terminated.
constexpr int ProbeTokenSize = 17;

// An errand: fills data (a char[ProbeTokenSize]) with a fresh token, or
// leaves it empty when the system gives no random bytes.
void draw_probe_token(void* data, HANDLE life_over);

// "LOCAL-TOKEN-NUMBER@DOMAIN" for daemon_address "LOCAL@DOMAIN"; 0 when the
// address has no domain or the sender does not fit.
int format_probe_sender(char* sender, size_t size, const char* daemon_address, const char* token, uint32_t number);

enum ProbeSender {
    NotAProbe,         // any other sender, the daemon's plain address among them
    ProbeOfThisLife,   // carries this life's token; number set
    ProbeOfAnotherLife // the form of a probe, with a token that is not this life's
};
// What an envelope sender is (with or without angle brackets, in any letter
// case), for the daemon's address and this life's token (empty: none yet).
int read_probe_sender(const char* sender, const char* daemon_address, const char* token, uint32_t* number);
