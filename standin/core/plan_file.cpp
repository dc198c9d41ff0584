#include "plan_file.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace {

constexpr uint32_t Loopback = 0x7f000000;  // 127.0.0.0
constexpr uint32_t FirstGiven = Loopback + 2;
constexpr uint32_t LastGiven = Loopback + 254;

bool same_text(const std::string& a, const std::string& b)
{
    return a.size() == b.size() && _strnicmp(a.c_str(), b.c_str(), a.size()) == 0;
}

// A whole decimal number within [low, high].
bool number(const std::string& text, long low, long high, long* value)
{
    if (text.empty() || !isdigit(static_cast<unsigned char>(text[0])))
        return false;
    char* end;
    *value = strtol(text.c_str(), &end, 10);
    return *end == '\0' && *value >= low && *value <= high;
}

// A dotted IPv4 address of four decimal parts, host order.
bool dotted(const std::string& text, uint32_t* address)
{
    std::istringstream parts(text);
    std::string part;
    uint32_t value = 0;
    int count = 0;
    for (long n; std::getline(parts, part, '.'); ++count) {
        if (count == 4 || !number(part, 0, 255, &n))
            return false;
        value = value << 8 | static_cast<uint32_t>(n);
    }
    *address = value;
    return count == 4 && text.back() != '.';
}

bool cycles(const std::string& text, std::vector<PlanSpan>* spans)
{
    std::istringstream items(text);
    std::string item;
    while (std::getline(items, item, ',')) {
        size_t dash = item.find('-');
        PlanSpan span;
        if (!number(item.substr(0, dash), 1, PlanOpenEnd - 1, &span.first))
            return false;
        if (dash == std::string::npos)
            span.last = span.first;
        else if (dash + 1 == item.size())
            span.last = PlanOpenEnd;
        else if (!number(item.substr(dash + 1), span.first, PlanOpenEnd - 1, &span.last))
            return false;
        spans->push_back(span);
    }
    return !spans->empty() && text.back() != ',';
}

// The loopback address of a host name or address, given one when it has none.
bool address_of(Plan* plan, const std::string& name, uint32_t* address)
{
    for (const PlanAddress& known : plan->addresses)
        if (same_text(known.name, name)) {
            *address = known.address;
            return true;
        }
    if (!dotted(name, address) || (*address & 0xff000000) != Loopback) {
        *address = FirstGiven;
        for (const PlanAddress& known : plan->addresses)
            if (*address <= known.address && (known.address & 0xffffff00) == Loopback)
                *address = known.address + 1;
        if (*address > LastGiven)
            return false;
    }
    plan->addresses.push_back({name, *address});
    return true;
}

size_t thing_of(Plan* plan, const PlanThing& thing)
{
    long found = plan_find(*plan, thing.kind, thing.address, thing.port, thing.letter);
    if (found >= 0)
        return static_cast<size_t>(found);
    plan->things.push_back(thing);
    return plan->things.size() - 1;
}

// One rule from its words after the cycles; empty on success.
std::string rule(Plan* plan, const std::vector<std::string>& words, PlanRule* rule)
{
    if (words.size() < 4)
        return "a rule is CYCLES WHAT NAME ANSWER";
    const std::string &what = words[1], &name = words[2], &answer = words[3];
    size_t answer_words = 1;
    PlanThing thing{PlanHost, name, 0, 0, 0};
    if (what == "host" || what == "service") {
        std::string host = name;
        if (what == "service") {
            thing.kind = PlanService;
            size_t scheme = host.find("://");
            if (scheme != std::string::npos)
                host = host.substr(scheme + 3);
            size_t colon = host.rfind(':');
            long port;
            if (colon == std::string::npos || !number(host.substr(colon + 1), 1, 65535, &port))
                return "a service is [SCHEME://]HOST:PORT, with its port";
            thing.port = static_cast<uint16_t>(port);
            host = host.substr(0, colon);
        }
        if (host.empty() || host.find_first_of(":[]/") != std::string::npos)
            return "a host is a name or an IPv4 address";
        if (!address_of(plan, host, &thing.address))
            return "more hosts than loopback addresses to give them";
        if (answer != "up" && answer != "down")
            return "a host or service is up or down";
        rule->answer = answer == "up" ? PlanUp : PlanDown;
    } else if (what == "drive") {
        thing.kind = PlanDrive;
        thing.letter = static_cast<char>(toupper(static_cast<unsigned char>(name[0])));
        if (!isalpha(static_cast<unsigned char>(name[0])) || (name.size() > 1 && name.substr(1) != ":" &&
                                                             name.substr(1) != ":\\"))
            return "a drive is a letter, as D or D:";
        if (answer == "unreadable") {
            rule->answer = PlanUnreadable;
        } else if (answer == "free" && words.size() > 4 && number(words[4], 0, 2147483647, &rule->free_mb)) {
            rule->answer = PlanFree;
            answer_words = 2;
        } else {
            return "a drive is free MB or unreadable";
        }
    } else {
        return "what is host, service or drive, not '" + what + "'";
    }
    if (words.size() > 3 + answer_words)
        return "'" + words[3 + answer_words] + "' after the answer";
    rule->thing = thing_of(plan, thing);
    return "";
}

} // namespace

std::string parse_plan(const std::string& text, Plan* plan)
{
    *plan = Plan{};
    std::istringstream lines(text);
    std::string line;
    for (int number = 1; std::getline(lines, line); ++number) {
        line = line.substr(0, line.find('#'));
        std::istringstream split(line);
        std::vector<std::string> words;
        for (std::string word; split >> word;)
            words.push_back(word);
        if (words.empty())
            continue;
        PlanRule next{};
        std::string fault = cycles(words[0], &next.cycles) ? rule(plan, words, &next)
                                                           : "cycles are N, N-M or N-, joined by commas";
        if (!fault.empty())
            return "line " + std::to_string(number) + ": " + fault;
        plan->rules.push_back(next);
    }
    return "";
}

const PlanRule* plan_rule(const Plan& plan, size_t thing, long cycle)
{
    const PlanRule* found = nullptr;
    for (const PlanRule& rule : plan.rules)
        if (rule.thing == thing)
            for (const PlanSpan& span : rule.cycles)
                if (cycle >= span.first && cycle <= span.last)
                    found = &rule;
    return found;
}

uint32_t plan_address(const Plan& plan, const char* name)
{
    for (const PlanAddress& known : plan.addresses)
        if (same_text(known.name, name))
            return known.address;
    return 0;
}

long plan_find(const Plan& plan, PlanKind kind, uint32_t address, uint16_t port, char letter)
{
    for (size_t i = 0; i < plan.things.size(); ++i) {
        const PlanThing& t = plan.things[i];
        if (t.kind == kind && (kind == PlanDrive ? t.letter == letter : t.address == address && t.port == port))
            return static_cast<long>(i);
    }
    return -1;
}
