#include <gtest/gtest.h>

#include "plan_file.h"

namespace {

struct Fault {
    const char* text;
    const char* fault;
};

// Each bad plan names its first bad line, counted with comments and blanks.
const Fault Faults[] = {
    {"# a night\n\n2-4 host router", "line 3: a rule is CYCLES WHAT NAME ANSWER"},
    {"0 host a down", "line 1: cycles are N, N-M or N-, joined by commas"},
    {"4-2 host a down", "line 1: cycles are N, N-M or N-, joined by commas"},
    {"1-x host a down", "line 1: cycles are N, N-M or N-, joined by commas"},
    {"1 printer a down", "line 1: what is host, service or drive, not 'printer'"},
    {"1 host a sleepy", "line 1: a host or service is up or down"},
    {"1 service smtp://mx down", "line 1: a service is [SCHEME://]HOST:PORT, with its port"},
    {"1 service mx:0 down", "line 1: a service is [SCHEME://]HOST:PORT, with its port"},
    {"1 service smtp://[::1]:25 down", "line 1: a host is a name or an IPv4 address"},
    {"1 drive QQ free 5", "line 1: a drive is a letter, as D or D:"},
    {"1 drive Q free", "line 1: a drive is free MB or unreadable"},
    {"1 drive Q free -5", "line 1: a drive is free MB or unreadable"},
    {"1 host a up\n2 drive Q free 5 now", "line 2: 'now' after the answer"},
};

TEST(PlanFile, BadLinesAreNamed)
{
    for (const Fault& f : Faults) {
        Plan plan;
        EXPECT_EQ(parse_plan(f.text, &plan), f.fault) << f.text;
    }
}

const char Night[] =
    "# a night\r\n"
    "1- drive D: free 500\r\n"
    "3-4,7 drive d free 40   # low\r\n"
    "5- drive D:\\ unreadable\r\n"
    "2-3 host Router down\r\n"
    "2 host router up\r\n"
    "1 service smtp://router:25 down\r\n"
    "1 host 10.0.0.5 down\r\n"
    "1 host 127.0.0.9 down\r\n"
    "1 host zeta down\r\n";

struct Asked {
    PlanKind kind;
    uint32_t address;
    uint16_t port;
    char letter;
    long cycle;
    int answer;  // -1: no rule
    long free_mb;
};

// Later lines win where they overlap; outside its lines a thing has no rule.
const Asked Answers[] = {
    {PlanDrive, 0, 0, 'D', 1, PlanFree, 500},
    {PlanDrive, 0, 0, 'D', 3, PlanFree, 40},
    {PlanDrive, 0, 0, 'D', 7, PlanUnreadable, 0},
    {PlanDrive, 0, 0, 'D', 0x7ffffffe, PlanUnreadable, 0},
    {PlanHost, 0x7f000002, 0, 0, 1, -1, 0},
    {PlanHost, 0x7f000002, 0, 0, 2, PlanUp, 0},
    {PlanHost, 0x7f000002, 0, 0, 3, PlanDown, 0},
    {PlanHost, 0x7f000002, 0, 0, 4, -1, 0},
    {PlanService, 0x7f000002, 25, 0, 1, PlanDown, 0},
    {PlanService, 0x7f000002, 25, 0, 2, -1, 0},
    {PlanHost, 0x7f000003, 0, 0, 1, PlanDown, 0},
};

TEST(PlanFile, EachCycleHasTheAnswerOfItsLastLine)
{
    Plan plan;
    ASSERT_EQ(parse_plan(Night, &plan), "");
    EXPECT_EQ(plan.things.size(), 6u);
    for (const Asked& a : Answers) {
        long thing = plan_find(plan, a.kind, a.address, a.port, a.letter);
        ASSERT_GE(thing, 0) << a.address << " " << a.letter;
        const PlanRule* rule = plan_rule(plan, static_cast<size_t>(thing), a.cycle);
        EXPECT_EQ(rule ? static_cast<int>(rule->answer) : -1, a.answer) << a.address << a.letter << " " << a.cycle;
        if (rule && rule->answer == PlanFree) {
            EXPECT_EQ(rule->free_mb, a.free_mb);
        }
    }
    // Names in any case, and addresses off the machine, are given the loopback
    // addresses in order; a loopback address stays, and the next name is above it.
    EXPECT_EQ(plan_address(plan, "ROUTER"), 0x7f000002u);
    EXPECT_EQ(plan_address(plan, "10.0.0.5"), 0x7f000003u);
    EXPECT_EQ(plan_address(plan, "127.0.0.9"), 0x7f000009u);
    EXPECT_EQ(plan_address(plan, "zeta"), 0x7f00000au);
    EXPECT_EQ(plan_address(plan, "elsewhere"), 0u);
    EXPECT_EQ(plan_find(plan, PlanService, 0x7f000002, 26, 0), -1);
}

} // namespace
