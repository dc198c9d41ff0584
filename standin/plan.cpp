#include "plan.h"

#include <winsock.h>
#include <ipexport.h>

#include <cctype>
#include <deque>
#include <fstream>
#include <sstream>

#include "imports.h"
#include "note.h"
#include "plan_file.h"
#include "timelapse.h"

namespace {

Plan Active;
bool Loaded;
volatile LONG LifeBegan;  // the long waits counted when the life began

// A look-up's answer for a planned name: it lives as long as the process.
struct Entry {
    hostent entry;
    char* list[2];
    char* aliases[1];
    uint32_t address;  // network order
};
std::deque<Entry> Entries;

// What each thing answered last, so that the console shows each change once.
struct Told {
    long cycle = 0;
    const PlanRule* rule = nullptr;
};
std::deque<Told> LastTold;
CRITICAL_SECTION TellLock;

void* RealLookUp[2];
void* RealParse[2];
void* RealConnect[2];
void* RealEcho[2];
void* RealFreeSpace;

typedef hostent*(WINAPI* LookUpFn)(const char*);
typedef unsigned long(WINAPI* ParseFn)(const char*);
typedef int(WINAPI* ConnectFn)(SOCKET, const sockaddr*, int);
typedef DWORD(WINAPI* EchoFn)(HANDLE, IPAddr, LPVOID, WORD, PIP_OPTION_INFORMATION, LPVOID, DWORD, DWORD);
typedef BOOL(WINAPI* FreeSpaceFn)(LPCSTR, LPDWORD, LPDWORD, LPDWORD, LPDWORD);

long cycle()
{
    return timelapse_long_waits() - LifeBegan + 1;
}

// The rule for a thing in this cycle (null: it answers for real, or a host
// answers), noted on the console when it differs from the last one told.
const PlanRule* rule_now(long thing)
{
    if (thing < 0)
        return nullptr;
    long now = cycle();
    const PlanRule* rule = plan_rule(Active, static_cast<size_t>(thing), now);
    EnterCriticalSection(&TellLock);
    Told& told = LastTold[static_cast<size_t>(thing)];
    if (told.cycle == 0 || told.rule != rule) {
        static const char* const answers[] = {"up", "down", "free", "unreadable"};
        const PlanThing& t = Active.things[static_cast<size_t>(thing)];
        const char* what = t.kind == PlanHost ? "host" : t.kind == PlanService ? "service" : "drive";
        if (!rule)
            note("plan: cycle %ld: %s %s as it is", now, what, t.name.c_str());
        else if (rule->answer == PlanFree)
            note("plan: cycle %ld: %s %s free %ld MB", now, what, t.name.c_str(), rule->free_mb);
        else
            note("plan: cycle %ld: %s %s %s", now, what, t.name.c_str(), answers[rule->answer]);
    }
    told = {now, rule};
    LeaveCriticalSection(&TellLock);
    return rule;
}

hostent* look_up(int which, const char* name)
{
    for (Entry& e : Entries)
        if (name && _stricmp(e.entry.h_name, name) == 0)
            return &e.entry;
    return reinterpret_cast<LookUpFn>(RealLookUp[which])(name);
}
hostent* WINAPI look_up_wsock32(const char* name) { return look_up(0, name); }
hostent* WINAPI look_up_ws2_32(const char* name) { return look_up(1, name); }

// A planned address that is not a loopback one already becomes its own.
unsigned long parse(int which, const char* text)
{
    unsigned long address = reinterpret_cast<ParseFn>(RealParse[which])(text);
    uint32_t given = address != INADDR_NONE && text ? plan_address(Active, text) : 0;
    return given ? htonl(given) : address;
}
unsigned long WINAPI parse_wsock32(const char* text) { return parse(0, text); }
unsigned long WINAPI parse_ws2_32(const char* text) { return parse(1, text); }

int connect_to(int which, SOCKET socket, const sockaddr* address, int size)
{
    if (address && size >= static_cast<int>(sizeof(sockaddr_in)) && address->sa_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(address);
        const PlanRule* rule =
            rule_now(plan_find(Active, PlanService, ntohl(in->sin_addr.s_addr), ntohs(in->sin_port), 0));
        if (rule && rule->answer == PlanDown) {
            WSASetLastError(WSAECONNREFUSED);
            return SOCKET_ERROR;
        }
    }
    return reinterpret_cast<ConnectFn>(RealConnect[which])(socket, address, size);
}
int WINAPI connect_wsock32(SOCKET s, const sockaddr* a, int n) { return connect_to(0, s, a, n); }
int WINAPI connect_ws2_32(SOCKET s, const sockaddr* a, int n) { return connect_to(1, s, a, n); }

// A planned host answers or times out at once; the others are asked for real.
DWORD echo(int which, HANDLE icmp, IPAddr address, LPVOID data, WORD size, PIP_OPTION_INFORMATION options,
           LPVOID reply, DWORD reply_size, DWORD timeout)
{
    long thing = plan_find(Active, PlanHost, ntohl(address), 0, 0);
    if (thing < 0)
        return reinterpret_cast<EchoFn>(RealEcho[which])(icmp, address, data, size, options, reply, reply_size,
                                                          timeout);
    const PlanRule* rule = rule_now(thing);
    if (rule && rule->answer == PlanDown) {
        SetLastError(IP_REQ_TIMED_OUT);
        return 0;
    }
    if (!reply || reply_size < sizeof(ICMP_ECHO_REPLY)) {
        SetLastError(IP_BUF_TOO_SMALL);
        return 0;
    }
    ICMP_ECHO_REPLY answer{};
    answer.Address = address;
    answer.Status = IP_SUCCESS;
    memcpy(reply, &answer, sizeof answer);
    return 1;
}
DWORD WINAPI echo_iphlpapi(HANDLE i, IPAddr a, LPVOID d, WORD s, PIP_OPTION_INFORMATION o, LPVOID r, DWORD n,
                           DWORD t)
{
    return echo(0, i, a, d, s, o, r, n, t);
}
DWORD WINAPI echo_icmp(HANDLE i, IPAddr a, LPVOID d, WORD s, PIP_OPTION_INFORMATION o, LPVOID r, DWORD n, DWORD t)
{
    return echo(1, i, a, d, s, o, r, n, t);
}

// Planned free space comes in clusters of 4 KB, 256 to the megabyte.
BOOL WINAPI free_space(LPCSTR root, LPDWORD sectors, LPDWORD bytes, LPDWORD free_clusters, LPDWORD clusters)
{
    char letter = root ? static_cast<char>(toupper(static_cast<unsigned char>(root[0]))) : 0;
    const PlanRule* rule = rule_now(plan_find(Active, PlanDrive, 0, 0, letter));
    if (!rule)
        return reinterpret_cast<FreeSpaceFn>(RealFreeSpace)(root, sectors, bytes, free_clusters, clusters);
    if (rule->answer == PlanUnreadable) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    // Up to 2 TB of clusters fit in a DWORD; a plan's figure stays below.
    DWORD free = rule->free_mb < 0x800000 ? static_cast<DWORD>(rule->free_mb) * 256 : 0xffffffff;
    *sectors = 8;
    *bytes = 512;
    *free_clusters = free;
    *clusters = free > 0xffffffff / 2 ? 0xffffffff : free * 2 + 256;
    return TRUE;
}

// The daemon may take either library of each pair.
const ImportHook Hooks[] = {
    {"wsock32.dll", "gethostbyname", reinterpret_cast<void*>(&look_up_wsock32), &RealLookUp[0]},
    {"ws2_32.dll", "gethostbyname", reinterpret_cast<void*>(&look_up_ws2_32), &RealLookUp[1]},
    {"wsock32.dll", "inet_addr", reinterpret_cast<void*>(&parse_wsock32), &RealParse[0]},
    {"ws2_32.dll", "inet_addr", reinterpret_cast<void*>(&parse_ws2_32), &RealParse[1]},
    {"wsock32.dll", "connect", reinterpret_cast<void*>(&connect_wsock32), &RealConnect[0]},
    {"ws2_32.dll", "connect", reinterpret_cast<void*>(&connect_ws2_32), &RealConnect[1]},
    {"iphlpapi.dll", "IcmpSendEcho", reinterpret_cast<void*>(&echo_iphlpapi), &RealEcho[0]},
    {"icmp.dll", "IcmpSendEcho", reinterpret_cast<void*>(&echo_icmp), &RealEcho[1]},
    {"kernel32.dll", "GetDiskFreeSpaceA", reinterpret_cast<void*>(&free_space), &RealFreeSpace},
};

} // namespace

std::string plan_load(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return "cannot read the plan " + path;
    std::ostringstream text;
    text << file.rdbuf();
    std::string fault = parse_plan(text.str(), &Active);
    if (!fault.empty())
        return "plan " + path + ", " + fault;
    InitializeCriticalSection(&TellLock);
    LastTold.resize(Active.things.size());
    for (const PlanAddress& a : Active.addresses) {
        Entries.emplace_back();
        Entry& e = Entries.back();
        e.address = htonl(a.address);
        e.list[0] = reinterpret_cast<char*>(&e.address);
        e.entry = {const_cast<char*>(a.name.c_str()), e.aliases, AF_INET, sizeof e.address, e.list};
        struct in_addr shown;
        shown.s_addr = e.address;
        note("plan: host %s is %s", a.name.c_str(), inet_ntoa(shown));
    }
    Loaded = true;
    return "";
}

int plan_patch(HMODULE module)
{
    return Loaded ? patch_imports(module, Hooks, sizeof Hooks / sizeof Hooks[0]) : 0;
}

void plan_life_begins()
{
    InterlockedExchange(&LifeBegan, timelapse_long_waits());
}
