// How the world sees the mail server: its public address on DNS blocklists,
// its reverse DNS and its domain's MX, asked in a round every [Internet]
// Minutes after the other checks of a cycle.
#pragma once

#include <cstdint>

#include "checks/dns.h"
#include "settings/settings.h"

struct HostInterface;

// Asks one question; the round's asker goes to the DNS server, a test's
// answers from a table.
struct DnsAsker {
    void (*ask)(void* context, const char* name, int type, DnsAnswer& answer);
    void* context;
};

// What a list says of an address: a listing is one of the list's listing
// codes; anything else it could say is no judgement at all.
enum ListVerdict { ListNotListed = 0, ListListed = 1, ListUnusable = 2 };
constexpr int ListReasonSize = 160;
struct ListJudgement {
    int verdict;               // a ListVerdict
    uint32_t code;             // of a listing, network order
    char reason[ListReasonSize]; // an unusable list: why
};
// What the listing code of a list means; nullptr when the list does not
// list with it.
const char* listing_meaning(const char* list, uint32_t code);
// One answer of list about an address.
void judge_answer(const char* list, const DnsAnswer& answer, ListJudgement& j);
// A list's round: its test entries first (127.0.0.2 listed, 127.0.0.1 not),
// then address.
void judge_list(const DnsAsker& asker, const char* list, uint32_t address, ListJudgement& j);

// Whether the reverse DNS or the MX are right.
enum CheckVerdict { CheckUnknown = -1, CheckWrong = 0, CheckRight = 1 };
constexpr int CheckReasonSize = 240;
// The PTR name of address must resolve back to address.
int judge_reverse(const DnsAsker& asker, uint32_t address, char (&reason)[CheckReasonSize]);
// One MX host of domain (the domain itself without MX) must resolve to
// address.
int judge_mx(const DnsAsker& asker, const char* domain, uint32_t address, char (&reason)[CheckReasonSize]);

// What the daemon knows of one list, kept by name. Control thread only.
struct ListState {
    char Name[BlocklistNameSize];
    int Seen;                  // a round looked at it
    int Judged;                // a round could judge with it
    int Usable;                // the last round could judge with it
    int Listed;                // its last judgement, held while it is unusable
    char Reason[ListReasonSize]; // why it was last unusable
    uint64_t RemindedMs;       // the last report of the listing (monotonic)
    uint32_t ListedRounds, UnusableRounds; // since the digest
};
struct InternetState {
    uint32_t Address;          // the PublicIP these states are about
    uint32_t Rounds;           // in this life
    uint64_t LastRoundMs;
    int ListCount;
    ListState Lists[MaxBlocklists];
    int Reverse, Mx;           // a CheckVerdict of the last round that knew
    char ReverseNote[CheckReasonSize], MxNote[CheckReasonSize]; // the last line logged
    uint32_t DayRounds, ReverseWrongRounds, MxWrongRounds;
};
extern InternetState Internet;

// The Internet checks now and since the last digest.
struct InternetFacts {
    int On;
    int Lists, Listed, Unusable;       // now
    int Reverse, Mx;                   // now: a CheckVerdict
    uint32_t Rounds;                   // since the digest
    uint32_t ListedRounds, UnusableRounds, ReverseWrongRounds, MxWrongRounds;
    char ListedNames[ListSize], UnusableNames[ListSize]; // lists listed or unusable since the digest
};

// A new life knows nothing yet.
void reset_internet();
// A round when one is due; after the other checks of a cycle.
void check_internet(const HostInterface* host);
// The state now and since the digest, for the heartbeat and the digest.
void internet_facts(InternetFacts& facts);
// The digest went out: its counts start again.
void begin_internet_day();
