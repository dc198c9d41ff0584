// [Internet] of korval.ini: the public address, the blocklists, the DNS
// server to ask and the minutes between rounds. Every name that will go
// into a query, a log line or the status file is checked here, once.
#include "settings/internet.h"

#include "platform/daemon_state.h"
#include "settings/profile.h"

namespace {

constexpr const char* Section = "Internet";
constexpr const char* DefaultLists = "zen.spamhaus.org, b.barracudacentral.org, bl.spamcop.net";

// Four decimal parts of 0 .. 255 and nothing else ("1" or hex forms that
// inet_addr takes are refused); end gets what follows when it may.
int read_ipv4(const char* text, uint32_t* address, const char** end)
{
    uint8_t parts[4];
    for (int k = 0; k < 4; ++k) {
        if (*text < '0' || *text > '9')
            return 0;
        int value = 0, digits = 0;
        for (; *text >= '0' && *text <= '9'; ++text)
            if (++digits > 3 || (value = value * 10 + (*text - '0')) > 255)
                return 0;
        parts[k] = static_cast<uint8_t>(value);
        if (k < 3 && *text++ != '.')
            return 0;
    }
    memcpy(address, parts, 4);
    if (end)
        *end = text;
    return end != nullptr || *text == '\0';
}

// A list's zone as a query can carry it: letters, digits, '-' and '_' in
// labels of 1 to 63, dotted, no dot at either end.
int dns_zone(const char* name)
{
    size_t length = strlen(name);
    if (length == 0 || length >= BlocklistNameSize || name[0] == '.' || name[length - 1] == '.')
        return 0;
    int label = 0;
    for (const char* c = name; *c; ++c) {
        if (*c == '.') {
            if (label == 0)
                return 0;
            label = 0;
        } else if ((*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') || (*c >= '0' && *c <= '9') || *c == '-' ||
                   *c == '_') {
            if (++label > 63)
                return 0;
        } else {
            return 0;
        }
    }
    return 1;
}

void read_lists(const char* path, InternetSettings& s)
{
    char value[600];
    GetPrivateProfileStringA(Section, "Blocklists", DefaultLists, value, sizeof value, path);
    char* next = value;
    while (next) {
        char* item = next;
        next = strchr(item, ',');
        if (next)
            *next++ = '\0';
        while (*item == ' ' || *item == '\t')
            ++item;
        char* end = item + strlen(item);
        while (end > item && (end[-1] == ' ' || end[-1] == '\t'))
            *--end = '\0';
        if (*item == '\0')
            continue;
        if (!dns_zone(item))
            note_line(s.Notes[1], Section, "Blocklists: '%s' is not a DNS zone: skipped.", item);
        else if (s.ListCount == MaxBlocklists)
            note_line(s.Notes[1], Section, "Blocklists: at most %d lists; '%s' skipped.", MaxBlocklists, item);
        else
            copy_text(s.Lists[s.ListCount++], item);
    }
}

void read_resolver(const char* path, InternetSettings& s)
{
    char value[100];
    GetPrivateProfileStringA(Section, "Resolver", "", value, sizeof value, path);
    if (value[0] == '\0')
        return;
    const char* rest;
    uint32_t address = 0;
    uint16_t port = 53;
    int good = read_ipv4(value, &address, &rest) && address != 0 &&
               (*rest == '\0' || (*rest == ':' && read_port(rest + 1, &port)));
    if (good) {
        s.Resolver = address;
        s.ResolverPort = port;
    } else {
        note_line(s.Notes[2], Section,
                  "Resolver=%s is not an IPv4 address (with :PORT): asking the system's DNS server.", value);
    }
}

} // namespace

void read_internet(const char* path, InternetSettings& s)
{
    s = InternetSettings{};
    char value[100];
    GetPrivateProfileStringA(Section, "PublicIP", "", value, sizeof value, path);
    if (value[0] == '\0') {
        // The section without its address is a mistake worth a line.
        char keys[16];
        if (GetPrivateProfileSectionA(Section, keys, sizeof keys, path) > 0)
            note_line(s.Notes[0], Section, "PublicIP= is missing: no Internet checks.");
        return;
    }
    if (!read_ipv4(value, &s.PublicIP, nullptr) || s.PublicIP == 0 || s.PublicIP == 0xFFFFFFFF) {
        s.PublicIP = 0;
        note_line(s.Notes[0], Section, "PublicIP=%s is not an IPv4 address: no Internet checks.", value);
        return;
    }
    read_lists(path, s);
    read_resolver(path, s);
}

void ipv4_text(char (&text)[16], uint32_t address)
{
    const uint8_t* b = reinterpret_cast<const uint8_t*>(&address);
    format_text(text, sizeof text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
}

void log_internet_settings(const HostInterface* host, const InternetSettings& s)
{
    if (s.PublicIP != 0) {
        char address[16], server[40];
        copy_text(server, "the system's DNS server");
        if (s.Resolver != 0) {
            ipv4_text(address, s.Resolver);
            format_text(server, sizeof server, "%s:%u", address, s.ResolverPort);
        }
        ipv4_text(address, s.PublicIP);
        host_log_format(host, 1, 20, "Checking how the Internet sees %s every %d minutes, asking %s.", address,
                        s.Minutes, server);
        char line[MaxBlocklists * (BlocklistNameSize + 2) + 16];
        copy_text(line, s.ListCount > 0 ? "Blocklists: " : "Blocklists: none.");
        for (int k = 0; k < s.ListCount && k < MaxBlocklists; ++k) {
            append_text(line, s.Lists[k]);
            append_text(line, k + 1 < s.ListCount ? ", " : ".");
        }
        host_log_format(host, 1, 20, "%s", line);
    }
    static_assert(InternetNoteSize == ListSize);
    log_notes(host, s.Notes, sizeof s.Notes / sizeof *s.Notes);
}
