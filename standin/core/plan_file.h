// A plan: what each host, service and drive answers the daemon, poll cycle
// by poll cycle, so that a night can be replayed in seconds. One line a
// rule, "CYCLES WHAT NAME ANSWER":
//
//   3-7 host router.lan down
//   4,6 service smtp://127.0.0.1:2525 down
//   5- drive D: free 40
//   9 drive D: unreadable
//
// CYCLES is N, N-M or N- (to the end), or a list of these joined by commas.
// Where lines overlap, the later one wins; outside every line of its own a
// host answers, a service is connected for real and a drive is queried for
// real. Every host, and the host of every service, that is not a loopback
// address already is given one of its own, 127.0.0.2 onwards in the order of
// the file, so that nothing planned ever leaves the machine.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum PlanKind { PlanHost, PlanService, PlanDrive };
enum PlanAnswer { PlanUp, PlanDown, PlanFree, PlanUnreadable };

struct PlanSpan {
    long first, last;  // cycles, counted from 1; last is PlanOpenEnd for "N-"
};
constexpr long PlanOpenEnd = 0x7fffffff;

// A host, a service (address and port) or a drive of the plan.
struct PlanThing {
    PlanKind kind;
    std::string name;   // as the plan writes it
    uint32_t address;   // host and service: the loopback address, host order
    uint16_t port;      // service
    char letter;        // drive, upper case
};

struct PlanRule {
    std::vector<PlanSpan> cycles;
    size_t thing;
    PlanAnswer answer;
    long free_mb;  // PlanFree
};

// A host name or address and the loopback address it is given.
struct PlanAddress {
    std::string name;
    uint32_t address;  // host order
};

struct Plan {
    std::vector<PlanThing> things;
    std::vector<PlanRule> rules;
    std::vector<PlanAddress> addresses;
};

// Reads a plan from its text; empty on success, else the first fault with
// its line number.
std::string parse_plan(const std::string& text, Plan* plan);

// The rule that decides what thing answers in cycle, or null when none does.
const PlanRule* plan_rule(const Plan& plan, size_t thing, long cycle);

// The loopback address given to a host name or address (case does not
// matter for names); 0 when the plan names no such host.
uint32_t plan_address(const Plan& plan, const char* name);

// The thing of the plan at a loopback address (and port, for a service) or
// for a drive letter; -1 when there is none.
long plan_find(const Plan& plan, PlanKind kind, uint32_t address, uint16_t port, char letter);
