// The Internet checks. A blocklist checker fails by crying wolf far more
// often than by missing a listing: a list answers a refused resolver with an
// error code, an expired list's domain answers for every address, a
// provider's resolver says "no such name" to everything. So a list is asked
// its RFC 5782 test entries first, and only one of its documented listing
// codes is a listing; anything else leaves the list unusable for the round,
// neither listed nor clean.
//
// This file judges the answers; internet.cpp runs the rounds and tells.
#include "checks/internet.h"

#include <cstring>

#include "platform/text.h"

namespace {

uint32_t ipv4(uint8_t a, uint8_t b, uint8_t c, uint8_t d)
{
    uint8_t bytes[4] = {a, b, c, d};
    uint32_t address;
    memcpy(&address, bytes, 4);
    return address;
}

// The listing codes of the default lists, from each list's own
// documentation (docs/internet.md says where).
const char* const CodedLists[] = {"zen.spamhaus.org", "b.barracudacentral.org", "bl.spamcop.net"};
struct ListingCode {
    uint8_t list; // in CodedLists
    uint8_t last; // 127.0.0.last
    const char* meaning;
};
const ListingCode Codes[] = {
    {0, 2, "SBL, a verified spam source or spam operation"},
    {0, 3, "CSS, a snowshoe spam source found by automation"},
    {0, 4, "XBL, an exploited or infected host"},
    {0, 9, "DROP, a hijacked or criminal network"},
    {0, 10, "PBL, an end-user range that the ISP says should not send mail directly"},
    {0, 11, "PBL, an end-user range that Spamhaus says should not send mail directly"},
    {0, 30, "BCL, a botnet controller"},
    {1, 2, "Barracuda Reputation Block List, a poor sender reputation"},
    {2, 2, "SpamCop Blocking List, a source of reported spam"},
};

// The error codes in 127.255.255.0/24 (Spamhaus's, which others follow).
const char* error_meaning(uint8_t last)
{
    static const char* const Errors[] = {"the list's name is mistyped", "an error of the list",
                                         "queries through a public or open resolver are refused",
                                         "too many queries from this resolver"};
    return Errors[last >= 252 && last != 253 ? last - 252 : 1];
}

void unusable(ListJudgement& j, const char* format, const char* a, const char* b = "")
{
    j.verdict = ListUnusable;
    format_text(j.reason, sizeof j.reason, format, a, b);
}

void ask_name(const DnsAsker& asker, char (&name)[DnsNameSize], uint32_t address, const char* zone, int type,
              DnsAnswer& answer)
{
    // "d.c.b.a" of a.b.c.d: the address with its bytes the other way round.
    char reversed[16];
    ipv4_text(reversed, __builtin_bswap32(address));
    format_text(name, sizeof name, "%s.%s", reversed, zone);
    asker.ask(asker.context, name, type, answer);
}

int has_address(const DnsAnswer& a, uint32_t address)
{
    for (int k = 0; k < a.address_count && k < DnsMaxAddresses; ++k)
        if (a.addresses[k] == address)
            return 1;
    return 0;
}

// A forward look-up of name for address: CheckRight when it has it,
// CheckWrong when it answers without it (found says what it has), else
// CheckUnknown (found says why).
int resolves_to(const DnsAsker& asker, const char* name, uint32_t address, char (&found)[CheckReasonSize])
{
    DnsAnswer a;
    asker.ask(asker.context, name, DnsA, a);
    if (a.result == DnsAnswered && has_address(a, address))
        return CheckRight;
    if (a.result == DnsNoName || (a.result == DnsAnswered && a.address_count == 0)) {
        copy_text(found, "has no address");
        return CheckWrong;
    }
    if (a.result != DnsAnswered) {
        copy_text(found, dns_result_text(a.result));
        return CheckUnknown;
    }
    char text[16];
    ipv4_text(text, a.addresses[0]);
    format_text(found, sizeof found, "resolves to %s%s, not to it", text, a.address_count > 1 ? " and others" : "");
    return CheckWrong;
}

// The first of the names in an answer that resolves to address
// (CheckRight); else CheckUnknown when one could not be looked up, else
// CheckWrong. at is the name that says so; found says why or what the name
// has. A null MX (an empty name) takes no mail.
int any_resolves(const DnsAsker& asker, const DnsAnswer& names, uint32_t address, int& at,
                 char (&found)[CheckReasonSize])
{
    int verdict = CheckWrong;
    at = 0;
    copy_text(found, "has no address");
    for (int k = 0; k < names.name_count && k < DnsMaxNames; ++k) {
        char said[CheckReasonSize] = "has no address";
        int v = names.names[k][0] ? resolves_to(asker, names.names[k], address, said) : CheckWrong;
        if (v == CheckRight || v == CheckUnknown || k == 0) {
            at = k;
            copy_text(found, said);
        }
        if (v == CheckRight)
            return v;
        if (v == CheckUnknown)
            verdict = v;
    }
    return verdict;
}

} // namespace

InternetState Internet;

const char* listing_meaning(const char* list, uint32_t code)
{
    const uint8_t* b = reinterpret_cast<const uint8_t*>(&code);
    if (b[0] != 127 || b[1] != 0 || b[2] != 0)
        return nullptr;
    int known = 0;
    for (const ListingCode& c : Codes)
        if (_stricmp(CodedLists[c.list], list) == 0) {
            known = 1;
            if (c.last == b[3])
                return c.meaning;
        }
    // A list without codes here lists with 127.0.0.2 and up, as RFC 5782
    // has it.
    return !known && b[3] >= 2 ? "a listing without a meaning documented here" : nullptr;
}

void judge_answer(const char* list, const DnsAnswer& a, ListJudgement& j)
{
    j = ListJudgement{};
    if (a.result == DnsNoName || (a.result == DnsAnswered && a.address_count == 0))
        return;
    if (a.result != DnsAnswered) {
        unusable(j, "%s", dns_result_text(a.result));
        return;
    }
    for (int k = 0; k < a.address_count && k < DnsMaxAddresses; ++k) {
        char text[16];
        ipv4_text(text, a.addresses[k]);
        const uint8_t* b = reinterpret_cast<const uint8_t*>(&a.addresses[k]);
        if (b[0] == 127 && b[1] == 255 && b[2] == 255) {
            unusable(j, "error code %s, %s", text, error_meaning(b[3]));
            return;
        }
        if (!listing_meaning(list, a.addresses[k])) {
            unusable(j, "it answered %s, which is none of its listing codes", text);
            return;
        }
    }
    j.verdict = ListListed;
    j.code = a.addresses[0];
}

void judge_list(const DnsAsker& asker, const char* list, uint32_t address, ListJudgement& j)
{
    static const struct {
        uint8_t last;       // the entry is 127.0.0.last
        int verdict;        // what a working list says of it
        const char* wrong;  // what it means when the list says the other
    } Tests[] = {
        {2, ListListed, "is not listed: the list answers nothing through this resolver"},
        {1, ListNotListed, "is listed: the list lists everything"},
    };
    char name[DnsNameSize];
    DnsAnswer a;
    for (const auto& test : Tests) {
        uint32_t entry = ipv4(127, 0, 0, test.last);
        ask_name(asker, name, entry, list, DnsA, a);
        judge_answer(list, a, j);
        if (j.verdict == test.verdict)
            continue;
        char why[ListReasonSize], text[16];
        copy_text(why, j.reason);
        ipv4_text(text, entry);
        if (j.verdict == ListUnusable)
            unusable(j, "test entry %s: %s", text, why);
        else
            unusable(j, "its test entry %s %s", text, test.wrong);
        return;
    }
    ask_name(asker, name, address, list, DnsA, a);
    judge_answer(list, a, j);
}

int judge_reverse(const DnsAsker& asker, uint32_t address, char (&reason)[CheckReasonSize])
{
    char ip[16], name[DnsNameSize];
    ipv4_text(ip, address);
    DnsAnswer ptr;
    ask_name(asker, name, address, "in-addr.arpa", DnsPtr, ptr);
    if (ptr.result == DnsNoName || (ptr.result == DnsAnswered && ptr.name_count == 0)) {
        format_text(reason, sizeof reason, "%s has no PTR record", ip);
        return CheckWrong;
    }
    if (ptr.result != DnsAnswered) {
        format_text(reason, sizeof reason, "the %s query of %s: %s", "PTR", ip, dns_result_text(ptr.result));
        return CheckUnknown;
    }
    int at;
    char found[CheckReasonSize];
    int verdict = any_resolves(asker, ptr, address, at, found);
    if (verdict == CheckUnknown)
        format_text(reason, sizeof reason, "the look-up of %s, %s of %s: %s", ptr.names[at], "the PTR name", ip, found);
    else
        format_text(reason, sizeof reason, "the PTR name of %s is %s, which %s", ip, ptr.names[at],
                    verdict == CheckRight ? "resolves back to it" : found);
    return verdict;
}

int judge_mx(const DnsAsker& asker, const char* domain, uint32_t address, char (&reason)[CheckReasonSize])
{
    char ip[16];
    ipv4_text(ip, address);
    DnsAnswer mx;
    asker.ask(asker.context, domain, DnsMx, mx);
    if (mx.result == DnsNoName) {
        format_text(reason, sizeof reason, "%s does not exist in the DNS", domain);
        return CheckWrong;
    }
    if (mx.result != DnsAnswered) {
        format_text(reason, sizeof reason, "the %s query of %s: %s", "MX", domain, dns_result_text(mx.result));
        return CheckUnknown;
    }
    // Without MX records the domain itself takes the mail (RFC 5321).
    if (mx.name_count == 0) {
        mx.name_count = 1;
        copy_text(mx.names[0], domain);
    }
    int at;
    char found[CheckReasonSize], hosts[CheckReasonSize] = "";
    int verdict = any_resolves(asker, mx, address, at, found);
    for (int k = 0; k < mx.name_count && k < DnsMaxNames; ++k)
        append_item(hosts, sizeof hosts, mx.names[k][0] ? mx.names[k] : "(none)");
    if (verdict == CheckRight)
        format_text(reason, sizeof reason, "MX host %s of %s resolves to %s", mx.names[at], domain, ip);
    else if (verdict == CheckUnknown)
        format_text(reason, sizeof reason, "the look-up of %s, %s of %s: %s", mx.names[at], "MX host", domain, found);
    else
        format_text(reason, sizeof reason, "no MX host of %s resolves to %s (MX: %s)", domain, ip, hosts);
    return verdict;
}
