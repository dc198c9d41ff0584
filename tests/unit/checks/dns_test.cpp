// The resolver's parser against hostile answers, its queries, and the
// judgements of lists, reverse DNS and MX over answers from a table.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "checks/dns.h"
#include "checks/internet.h"
#include "platform/text.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint16_t Id = 0x1234;
const char* const Asked = "2.0.0.127.zen.test";

struct Message {
    Bytes b;
    Message& u16(int v) { b.push_back(static_cast<uint8_t>(v >> 8)); b.push_back(static_cast<uint8_t>(v)); return *this; }
    Message& raw(Bytes more) { b.insert(b.end(), more.begin(), more.end()); return *this; }
    Message& name(const std::string& dotted)
    {
        size_t at = 0;
        while (at < dotted.size()) {
            size_t dot = dotted.find('.', at);
            if (dot == std::string::npos)
                dot = dotted.size();
            b.push_back(static_cast<uint8_t>(dot - at));
            b.insert(b.end(), dotted.begin() + at, dotted.begin() + dot);
            at = dot + 1;
        }
        b.push_back(0);
        return *this;
    }
    Message& pointer(int offset) { return u16(0xC000 | offset); }
    // A record's type, class IN, TTL and data length.
    Message& record(int type, int length) { return u16(type).u16(1).u16(0).u16(60).u16(length); }
};

// An answer to (Id, Asked, A) with flags and ancount, its question in place.
Message reply(int flags = 0x8180, int answers = 1, uint16_t id = Id, const std::string& q = Asked, int type = DnsA)
{
    Message m;
    m.u16(id).u16(flags).u16(1).u16(answers).u16(0).u16(0).name(q).u16(type).u16(1);
    return m;
}

DnsAnswer parse(const Message& m, const char* name = Asked, int type = DnsA)
{
    DnsAnswer a;
    dns_parse(m.b.data(), static_cast<int>(m.b.size()), Id, name, type, a);
    return a;
}

TEST(DnsParser, HostileAndOrdinaryAnswers)
{
    const Message good = reply().pointer(12).record(DnsA, 4).raw({127, 0, 0, 2});
    Message nine = reply(0x8180, 9);
    for (int k = 0; k < 9; ++k)
        nine.pointer(12).record(DnsA, 4).raw({127, 0, 0, static_cast<uint8_t>(k + 2)});
    std::string long_name;
    for (int k = 0; k < 5; ++k)
        long_name += std::string(60, 'a') + ".";
    const struct {
        const char* what;
        Message m;
        int result;
        int addresses;
    } rows[] = {
        {"an answer through a pointer to the question", good, DnsAnswered, 1},
        {"a CNAME, then the address of its target",
         reply(0x8180, 2).pointer(12).record(DnsCname, 8).name("x.test").pointer(48).record(DnsA, 4)
             .raw({1, 2, 3, 4}), DnsAnswered, 1},
        {"another owner's address is not ours", reply().name("other.test").record(DnsA, 4).raw({127, 0, 0, 2}),
         DnsAnswered, 0},
        {"no data", reply(0x8180, 0), DnsAnswered, 0},
        {"nine addresses: the first eight kept", nine, DnsAnswered, DnsMaxAddresses},
        {"another name asked", reply(0x8180, 0, Id, "1.0.0.127.zen.test"), DnsWrongQuestion, 0},
        {"another type asked", reply(0x8180, 0, Id, Asked, DnsMx), DnsWrongQuestion, 0},
        {"no question", Message().u16(Id).u16(0x8180).u16(0).u16(0).u16(0).u16(0), DnsWrongQuestion, 0},
        {"no such name", reply(0x8183, 0), DnsNoName, 0},
        {"REFUSED", reply(0x8185, 0), DnsRefused, 0},
        {"NOTIMP", reply(0x8184, 0), DnsOtherError, 0},
        {"a query, not an answer", reply(0x0100, 0), DnsMalformed, 0},
        {"shorter than a header", Message().u16(Id).u16(0x8180), DnsMalformed, 0},
        {"two pointers to each other",
         reply().raw({1, 'a'}).pointer(40).raw({1, 'b'}).pointer(36).record(DnsA, 4).raw({127, 0, 0, 2}),
         DnsMalformed, 0},
        {"a pointer forward", reply().pointer(60).record(DnsA, 4).raw({127, 0, 0, 2}), DnsMalformed, 0},
        {"a pointer into the header", reply().pointer(2).record(DnsA, 4).raw({127, 0, 0, 2}), DnsMalformed, 0},
        {"data longer than the message", reply().pointer(12).record(DnsA, 40).raw({127, 0, 0, 2}), DnsMalformed, 0},
        {"an address of five bytes", reply().pointer(12).record(DnsA, 5).raw({127, 0, 0, 2, 9}), DnsMalformed, 0},
        {"more answers counted than sent", reply(0x8180, 60000).pointer(12).record(DnsA, 4).raw({127, 0, 0, 2}),
         DnsMalformed, 0},
        {"a control character in a label", reply().raw({2, 'a', '\n', 0}).record(DnsA, 4).raw({127, 0, 0, 2}),
         DnsMalformed, 0},
        {"an extended label type", reply().raw({0x41, 0}).record(DnsA, 4).raw({127, 0, 0, 2}), DnsMalformed, 0},
        {"a name over 253 characters", reply().name(long_name + "test").record(DnsA, 4).raw({127, 0, 0, 2}),
         DnsMalformed, 0},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        DnsAnswer a = parse(r.m);
        EXPECT_EQ(a.result, r.result);
        EXPECT_EQ(a.address_count, r.addresses);
    }
    DnsAnswer a = parse(good);
    EXPECT_EQ(a.addresses[0], 0x0200007Fu);
}

TEST(DnsParser, NamesOfPtrAndMxAnswers)
{
    // Kept by preference; the exchange names may point back into the message.
    Message mx = reply(0x8180, 3, Id, "example.test", DnsMx);
    mx.pointer(12).record(DnsMx, 7).u16(20).raw({2, 'm', 'b'}).pointer(12);
    mx.pointer(12).record(DnsMx, 7).u16(10).raw({2, 'm', 'a'}).pointer(12);
    mx.pointer(12).record(DnsMx, 4).u16(30).pointer(12);
    DnsAnswer a = parse(mx, "example.test", DnsMx);
    ASSERT_EQ(a.result, DnsAnswered);
    ASSERT_EQ(a.name_count, 3);
    EXPECT_STREQ(a.names[0], "ma.example.test");
    EXPECT_STREQ(a.names[1], "mb.example.test");
    EXPECT_STREQ(a.names[2], "example.test");

    // A name that runs past its own record is refused.
    const char* ptr = "10.2.0.192.in-addr.arpa";
    Message spill = reply(0x8180, 1, Id, ptr, DnsPtr);
    spill.pointer(12).record(DnsPtr, 3).name("mail.example.test");
    EXPECT_EQ(parse(spill, ptr, DnsPtr).result, DnsMalformed);
}

TEST(DnsQuery, OnlyWellFormedNamesAreAsked)
{
    uint8_t out[300];
    const struct {
        std::string name;
        int length; // 0: refused
    } rows[] = {
        {"2.0.0.127.zen.test", 12 + 20 + 4},
        {"a", 12 + 3 + 4},
        {"", 0},
        {"a..b", 0},
        {".a", 0},
        {"a.", 0},
        {std::string(64, 'a') + ".test", 0},
        {std::string(63, 'a') + ".test", 12 + 70 + 4},
        {std::string(254, 'a'), 0},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(dns_build_query(out, sizeof out, 0xBEEF, r.name.c_str(), DnsA), r.length);
    }
    ASSERT_EQ(dns_build_query(out, sizeof out, 0xBEEF, "ab.c", DnsMx), 12 + 6 + 4);
    EXPECT_EQ(Bytes(out, out + 22), (Bytes{0xBE, 0xEF, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 2, 'a', 'b', 1, 'c', 0, 0, 15, 0, 1}));
    EXPECT_EQ(dns_build_query(out, 20, 1, "2.0.0.127.zen.test", DnsA), 0);
}

DnsAnswer only(int result)
{
    DnsAnswer a{};
    a.result = result;
    return a;
}

// Answers by "name type"; any other question times out.
std::map<std::string, DnsAnswer> Table;
std::vector<std::string> AskedNames;

void from_table(void*, const char* name, int type, DnsAnswer& answer)
{
    std::string key = std::string(name) + " " + std::to_string(type);
    AskedNames.push_back(key);
    auto found = Table.find(key);
    answer = found != Table.end() ? found->second : only(DnsTimedOut);
}

DnsAnswer addresses(std::vector<uint32_t> list)
{
    DnsAnswer a = only(DnsAnswered);
    for (uint32_t x : list)
        a.addresses[a.address_count++] = x;
    return a;
}
DnsAnswer names(std::vector<std::string> list)
{
    DnsAnswer a = only(DnsAnswered);
    for (const auto& n : list)
        copy_text(a.names[a.name_count++], n.c_str());
    return a;
}
uint32_t ip(int a, int b, int c, int d)
{
    return static_cast<uint32_t>(a | b << 8 | c << 16 | d << 24);
}
const DnsAnswer NoName = only(DnsNoName);
const DnsAnswer ServFail = only(DnsServerFail);
const uint32_t Public = ip(192, 0, 2, 10);
const DnsAsker Asker = {from_table, nullptr};

TEST(Blocklists, TestEntriesFirstAndOnlyListingCodesList)
{
    const DnsAnswer code2 = addresses({ip(127, 0, 0, 2)});
    const struct {
        const char* list;
        DnsAnswer test2, test1, mine; // the answers for 127.0.0.2, 127.0.0.1 and the public address
        int verdict;
        const char* reason;
        int asked;
    } rows[] = {
        {"zen.spamhaus.org", code2, NoName, addresses({ip(127, 0, 0, 4), ip(127, 0, 0, 10)}), ListListed, "", 3},
        {"zen.spamhaus.org", code2, NoName, addresses({ip(127, 0, 0, 5)}), ListUnusable,
         "it answered 127.0.0.5, which is none of its listing codes", 3},
        {"zen.spamhaus.org", addresses({ip(127, 255, 255, 255)}), NoName, NoName, ListUnusable,
         "test entry 127.0.0.2: error code 127.255.255.255, too many queries from this resolver", 1},
        {"a.test", code2, NoName, addresses({ip(127, 0, 0, 2), ip(127, 255, 255, 253)}), ListUnusable,
         "error code 127.255.255.253, an error of the list", 3},
        {"a.test", code2, ServFail, NoName, ListUnusable, "test entry 127.0.0.1: server failure (SERVFAIL)", 2},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.list) + ": " + r.reason);
        AskedNames.clear();
        const std::string list = std::string(r.list) + " 1";
        Table = {{"2.0.0.127." + list, r.test2}, {"1.0.0.127." + list, r.test1}, {"10.2.0.192." + list, r.mine}};
        ListJudgement j;
        judge_list(Asker, r.list, Public, j);
        EXPECT_EQ(j.verdict, r.verdict);
        EXPECT_STREQ(j.reason, r.reason);
        EXPECT_EQ(static_cast<int>(AskedNames.size()), r.asked);
    }
    EXPECT_STREQ(listing_meaning("ZEN.spamhaus.org", ip(127, 0, 0, 4)), "XBL, an exploited or infected host");
    EXPECT_EQ(listing_meaning("bl.spamcop.net", ip(127, 0, 0, 3)), nullptr);
    EXPECT_EQ(listing_meaning("a.test", ip(127, 0, 0, 1)), nullptr);
}

TEST(ReverseAndMx, ForwardConfirmedAndAnyMxHost)
{
    const std::string ptr = "10.2.0.192.in-addr.arpa 12";
    const auto a = [](const char* name) { return std::string(name) + " 1"; };
    const auto mx = std::string("example.test 15");
    const struct {
        int mx; // 0: reverse DNS
        std::vector<std::pair<std::string, DnsAnswer>> answers;
        int verdict;
        const char* reason;
    } rows[] = {
        {0, {{ptr, names({})}}, CheckWrong, "192.0.2.10 has no PTR record"},
        {0, {{ptr, names({"gone.example.test"})}, {a("gone.example.test"), NoName}}, CheckWrong,
         "the PTR name of 192.0.2.10 is gone.example.test, which has no address"},
        {0, {{ptr, names({"x.test", "mail.example.test"})}, {a("x.test"), NoName},
             {a("mail.example.test"), addresses({ip(10, 0, 0, 1), Public})}}, CheckRight,
         "the PTR name of 192.0.2.10 is mail.example.test, which resolves back to it"},
        {0, {{ptr, ServFail}}, CheckUnknown, "the PTR query of 192.0.2.10: server failure (SERVFAIL)"},
        {0, {{ptr, names({"mail.example.test"})}}, CheckUnknown,
         "the look-up of mail.example.test, the PTR name of 192.0.2.10: timed out"},
        {1, {{mx, names({"mx1.test", "mx2.test"})}, {a("mx1.test"), NoName}, {a("mx2.test"), addresses({Public})}},
         CheckRight, "MX host mx2.test of example.test resolves to 192.0.2.10"},
        {1, {{mx, names({})}, {a("example.test"), addresses({Public})}}, CheckRight,
         "MX host example.test of example.test resolves to 192.0.2.10"},
        {1, {{mx, names({""})}}, CheckWrong, "no MX host of example.test resolves to 192.0.2.10 (MX: (none))"},
        {1, {{mx, NoName}}, CheckWrong, "example.test does not exist in the DNS"},
        {1, {{mx, names({"mx1.test"})}}, CheckUnknown, "the look-up of mx1.test, MX host of example.test: timed out"},
        {1, {}, CheckUnknown, "the MX query of example.test: timed out"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.reason);
        Table.clear();
        for (const auto& [key, answer] : r.answers)
            Table[key] = answer;
        char reason[CheckReasonSize] = "";
        int verdict = r.mx ? judge_mx(Asker, "example.test", Public, reason) : judge_reverse(Asker, Public, reason);
        EXPECT_EQ(verdict, r.verdict);
        EXPECT_STREQ(reason, r.reason);
    }
}

} // namespace
