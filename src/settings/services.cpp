// The [Services] entries: their schemes and how each is split.
#include <cstdlib>
#include <cstring>

#include "settings/profile.h"

// IMAP's upgrade takes the tag a1, so its goodbye takes the next.
const ServiceKind ServiceKinds[ServiceKindCount] = {
    {"", 0, "", "", NoTls},
    {"smtp://", 25, "220", "QUIT\r\n", NoTls},
    {"pop3://", 110, "+OK", "QUIT\r\n", NoTls},
    {"imap://", 143, "* OK", "a1 LOGOUT\r\n", NoTls},
    {"smtps://", 465, "220", "QUIT\r\n", ImplicitTls},
    {"pop3s://", 995, "+OK", "QUIT\r\n", ImplicitTls},
    {"imaps://", 993, "* OK", "a1 LOGOUT\r\n", ImplicitTls},
    {"smtp+starttls://", 587, "220", "QUIT\r\n", StartTls},
    {"pop3+starttls://", 110, "+OK", "QUIT\r\n", StartTls},
    {"imap+starttls://", 143, "* OK", "a2 LOGOUT\r\n", StartTls},
};

int parse_service(const char* entry, ServiceTarget& target)
{
    target = ServiceTarget{};
    for (int p = Smtp; p < ServiceKindCount; ++p) {
        size_t length = strlen(ServiceKinds[p].scheme);
        if (_strnicmp(entry, ServiceKinds[p].scheme, length) == 0) {
            target.protocol = p;
            entry += length;
            break;
        }
    }
    // The host ends at the port's colon, or at the bracket that closes an
    // IPv6 literal, which holds colons of its own.
    target.ipv6 = *entry == '[';
    const char* host = entry + target.ipv6;
    size_t length = strcspn(host, target.ipv6 ? "]" : ":");
    if (length == 0 || length >= sizeof target.host || (target.ipv6 && host[length] != ']'))
        return 0;
    memcpy(target.host, host, length);
    // No blank, slash or bracket: that also refuses an unknown scheme.
    if (strcspn(target.host, " \t/[") != length)
        return 0;
    const char* after = host + length + target.ipv6;
    if (*after == '\0') {
        target.port = ServiceKinds[target.protocol].port;
        return target.port != 0;
    }
    return *after == ':' && read_port(after + 1, &target.port);
}

int service_uses_tls(const char* entry)
{
    ServiceTarget target;
    return parse_service(entry, target) && ServiceKinds[target.protocol].tls != NoTls;
}

// Entries that parse go to ServiceNames as written, the others to
// SkippedServices, which only the summary shows.
void read_services(const char* path, int number, SettingsRecord& next)
{
    char entries[MaxServices][ServiceNameSize];
    uint8_t keys[MaxServices];
    int count = read_names(path, "Services", "Service", number, entries, keys);
    next.Added.ServiceCount = next.Added.SkippedCount = 0;
    ServiceTarget target;
    for (int k = 0; k < count; ++k) {
        if (parse_service(entries[k], target)) {
            next.Added.ServiceKeys[next.Added.ServiceCount] = keys[k];
            copy_text(next.Added.ServiceNames[next.Added.ServiceCount++], entries[k]);
        } else
            copy_text(next.Added.SkippedServices[next.Added.SkippedCount++], entries[k]);
    }
}
