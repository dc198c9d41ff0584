// [Internet]: how the world sees the mail server, asked of the DNS.
#pragma once

#include <cstdint>

struct HostInterface;

constexpr int MaxBlocklists = 8;
constexpr int BlocklistNameSize = 100;
constexpr int InternetNoteSize = 300;

struct InternetSettings {
    uint32_t PublicIP;       // network order; 0: no Internet checks
    char Lists[MaxBlocklists][BlocklistNameSize];
    int ListCount;
    uint32_t Resolver;       // network order; 0: the system's first DNS server
    uint16_t ResolverPort;
    int Minutes;             // between rounds, 15 .. 1440
    // What a load refused or corrected, one line each for the summary.
    char Notes[4][InternetNoteSize];
};

// Reads [Internet] of the file at path. Without the section every field is 0.
void read_internet(const char* path, InternetSettings& s);
// "a.b.c.d" of an address in network order.
void ipv4_text(char (&text)[16], uint32_t address);
// The summary's lines about it; none while the checks are off.
void log_internet_settings(const HostInterface* host, const InternetSettings& s);
