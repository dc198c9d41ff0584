#include "measure.h"

#include <psapi.h>
#include <winternl.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "imports.h"
#include "timelapse.h"

namespace {

// The process's open handles: Wine answers GetProcessHandleCount with 0, so
// they are then counted in the system's handle list.
struct HandleEntry {
    PVOID object;
    ULONG_PTR process_id;
    ULONG_PTR handle;
    ULONG access;
    USHORT back_trace;
    USHORT type;
    ULONG attributes;
    ULONG reserved;
};
struct HandleList {
    ULONG_PTR count;
    ULONG_PTR reserved;
    HandleEntry entries[1];
};
constexpr ULONG SystemExtendedHandleInformation = 64;
alignas(8) unsigned char HandleBuffer[1 << 20];


// What the DLL can ask for memory with, and the one call that stops its
// thread by force. A statically linked operator new ends in malloc; one
// imported from msvcrt has its own entries.
enum Counter {
    CountHeapAlloc, CountHeapReAlloc, CountLocalAlloc, CountLocalReAlloc, CountGlobalAlloc,
    CountGlobalReAlloc, CountMalloc, CountCalloc, CountRealloc, CountNew, CountNewArray,
    CountTerminateThread, CounterCount
};
constexpr int AllocationCounters = CountTerminateThread;

const char* const CounterNames[CounterCount] = {
    "HeapAlloc", "HeapReAlloc", "LocalAlloc", "LocalReAlloc", "GlobalAlloc", "GlobalReAlloc",
    "malloc", "calloc", "realloc", "operator new", "operator new[]", "TerminateThread",
};

volatile LONG Counts[CounterCount];
void* Originals[CounterCount];

template <typename Fn>
Fn original(Counter c)
{
    InterlockedIncrement(&Counts[c]);
    return reinterpret_cast<Fn>(Originals[c]);
}

LPVOID WINAPI hook_HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes)
{
    return original<decltype(&HeapAlloc)>(CountHeapAlloc)(heap, flags, bytes);
}
LPVOID WINAPI hook_HeapReAlloc(HANDLE heap, DWORD flags, LPVOID block, SIZE_T bytes)
{
    return original<decltype(&HeapReAlloc)>(CountHeapReAlloc)(heap, flags, block, bytes);
}
HLOCAL WINAPI hook_LocalAlloc(UINT flags, SIZE_T bytes)
{
    return original<decltype(&LocalAlloc)>(CountLocalAlloc)(flags, bytes);
}
HLOCAL WINAPI hook_LocalReAlloc(HLOCAL block, SIZE_T bytes, UINT flags)
{
    return original<decltype(&LocalReAlloc)>(CountLocalReAlloc)(block, bytes, flags);
}
HGLOBAL WINAPI hook_GlobalAlloc(UINT flags, SIZE_T bytes)
{
    return original<decltype(&GlobalAlloc)>(CountGlobalAlloc)(flags, bytes);
}
HGLOBAL WINAPI hook_GlobalReAlloc(HGLOBAL block, SIZE_T bytes, UINT flags)
{
    return original<decltype(&GlobalReAlloc)>(CountGlobalReAlloc)(block, bytes, flags);
}
void* __cdecl hook_malloc(size_t bytes)
{
    return original<void*(__cdecl*)(size_t)>(CountMalloc)(bytes);
}
void* __cdecl hook_calloc(size_t count, size_t bytes)
{
    return original<void*(__cdecl*)(size_t, size_t)>(CountCalloc)(count, bytes);
}
void* __cdecl hook_realloc(void* block, size_t bytes)
{
    return original<void*(__cdecl*)(void*, size_t)>(CountRealloc)(block, bytes);
}
void* __cdecl hook_new(size_t bytes)
{
    return original<void*(__cdecl*)(size_t)>(CountNew)(bytes);
}
void* __cdecl hook_new_array(size_t bytes)
{
    return original<void*(__cdecl*)(size_t)>(CountNewArray)(bytes);
}
BOOL WINAPI hook_TerminateThread(HANDLE thread, DWORD exit_code)
{
    return original<decltype(&TerminateThread)>(CountTerminateThread)(thread, exit_code);
}

#define HOOK(dll, name, hook, counter) \
    {dll, name, reinterpret_cast<void*>(&hook), &Originals[counter]}
const ImportHook Hooks[] = {
    HOOK("kernel32.dll", "HeapAlloc", hook_HeapAlloc, CountHeapAlloc),
    HOOK("kernel32.dll", "HeapReAlloc", hook_HeapReAlloc, CountHeapReAlloc),
    HOOK("kernel32.dll", "LocalAlloc", hook_LocalAlloc, CountLocalAlloc),
    HOOK("kernel32.dll", "LocalReAlloc", hook_LocalReAlloc, CountLocalReAlloc),
    HOOK("kernel32.dll", "GlobalAlloc", hook_GlobalAlloc, CountGlobalAlloc),
    HOOK("kernel32.dll", "GlobalReAlloc", hook_GlobalReAlloc, CountGlobalReAlloc),
    HOOK("msvcrt.dll", "malloc", hook_malloc, CountMalloc),
    HOOK("msvcrt.dll", "calloc", hook_calloc, CountCalloc),
    HOOK("msvcrt.dll", "realloc", hook_realloc, CountRealloc),
    HOOK("msvcrt.dll", "??2@YAPAXI@Z", hook_new, CountNew),
    HOOK("msvcrt.dll", "??_U@YAPAXI@Z", hook_new_array, CountNewArray),
    HOOK("kernel32.dll", "TerminateThread", hook_TerminateThread, CountTerminateThread),
};
#undef HOOK

struct Figures {
    SIZE_T private_bytes;
    DWORD handles;
    LONG counts[CounterCount];
};

// Committed private memory, counted region by region: Wine leaves
// PrivateUsage of GetProcessMemoryInfo at 0.
SIZE_T private_bytes()
{
    PROCESS_MEMORY_COUNTERS_EX memory{};
    memory.cb = sizeof memory;
    if (GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory),
                             sizeof memory) &&
        memory.PrivateUsage != 0)
        return memory.PrivateUsage;
    SIZE_T total = 0;
    MEMORY_BASIC_INFORMATION region;
    for (char* at = nullptr; VirtualQuery(at, &region, sizeof region);) {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE)
            total += region.RegionSize;
        char* next = static_cast<char*>(region.BaseAddress) + region.RegionSize;
        if (next <= at)
            break;
        at = next;
    }
    return total;
}

Figures take_figures()
{
    Figures f{};
    f.private_bytes = private_bytes();
    f.handles = measure_handle_count();
    for (int c = 0; c < CounterCount; ++c)
        f.counts[c] = InterlockedCompareExchange(&Counts[c], 0, 0);
    return f;
}

double now_ms()
{
    static LARGE_INTEGER frequency;
    if (!frequency.QuadPart)
        QueryPerformanceFrequency(&frequency);
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

// One life's figures. Written on the daemon's thread during the life and
// read on the main thread after closedown. Fixed storage: the instrument
// must not grow the process it measures.
constexpr int MaxBusy = 1 << 14;
struct Life {
    LONG long_waits;
    volatile bool closing;     // a cycle cut short by the stop is not measured
    LONG counts_at_start[CounterCount];
    Figures first, last;
    double last_wait_end;      // 0 before the first long wait ends
    float busy_ms[MaxBusy];    // the first MaxBusy cycles between two long waits
    int busy_count;
    double busy_sum, busy_max;
    double closedown_start, closedown_ms;
    LONG terminations_before;
    bool terminated;
};
Life Current;

constexpr int MaxLives = 1000;
float ClosedownMs[MaxLives];
bool LeftByItself[MaxLives];
int Lives;

void long_wait_begins()
{
    if (Current.closing)
        return;
    double now = now_ms();
    if (Current.last_wait_end > 0) {
        double busy = now - Current.last_wait_end;
        if (Current.busy_count < MaxBusy)
            Current.busy_ms[Current.busy_count++] = static_cast<float>(busy);
        Current.busy_sum += busy;
        Current.busy_max = std::max(Current.busy_max, busy);
    }
    Current.last = take_figures();
    if (Current.long_waits++ == 0)
        Current.first = Current.last;
}

void long_wait_ends()
{
    Current.last_wait_end = now_ms();
}

double median(std::vector<float> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0;
}

// Allocations counted between two readings, with the calls that made them.
long allocations_between(const LONG (&before)[CounterCount], const LONG (&after)[CounterCount], std::string* kinds)
{
    long total = 0;
    for (int c = 0; c < AllocationCounters; ++c)
        if (long n = after[c] - before[c]) {
            total += n;
            *kinds += (kinds->empty() ? " by " : ", ") + std::string(CounterNames[c]) + " " + std::to_string(n);
        }
    return total;
}

void say(const std::string& text)
{
    printf("standin: measure: %s\n", text.c_str());
    fflush(stdout);
}

std::string format(const char* pattern, ...) __attribute__((format(gnu_printf, 1, 2)));
std::string format(const char* pattern, ...)
{
    char text[512];
    va_list args;
    va_start(args, pattern);
    vsnprintf(text, sizeof text, pattern, args);
    va_end(args);
    return text;
}

} // namespace

void measure_start()
{
    timelapse_watch(long_wait_begins, long_wait_ends);
}

int measure_patch(HMODULE module)
{
    return patch_imports(module, Hooks, sizeof Hooks / sizeof Hooks[0]);
}

void measure_life_begins()
{
    for (int c = 0; c < CounterCount; ++c)
        Current.counts_at_start[c] = InterlockedCompareExchange(&Counts[c], 0, 0);
    Current.long_waits = 0;
    Current.closing = false;
    Current.last_wait_end = 0;
    Current.busy_count = 0;
    Current.busy_sum = Current.busy_max = 0;
    Current.closedown_ms = 0;
    Current.terminated = false;
}

void measure_closedown_begins()
{
    Current.closing = true;
    Current.terminations_before = InterlockedCompareExchange(&Counts[CountTerminateThread], 0, 0);
    Current.closedown_start = now_ms();
}

void measure_closedown_ends()
{
    Current.closedown_ms = now_ms() - Current.closedown_start;
    Current.terminated = InterlockedCompareExchange(&Counts[CountTerminateThread], 0, 0) != Current.terminations_before;
    if (Lives < MaxLives) {
        ClosedownMs[Lives] = static_cast<float>(Current.closedown_ms);
        LeftByItself[Lives] = !Current.terminated;
        ++Lives;
    }
}

void measure_print_life()
{
    // Cycles between the first long wait and the last.
    long cycles = Current.long_waits > 0 ? Current.long_waits - 1 : 0;
    if (Current.busy_count > 0)
        say(format("cycle busy time over %d cycles: median %.2f ms, mean %.2f ms, max %.2f ms", Current.busy_count,
                   median(std::vector<float>(Current.busy_ms, Current.busy_ms + Current.busy_count)),
                   Current.busy_sum / Current.busy_count, Current.busy_max));
    if (Current.long_waits > 0) {
        std::string kinds;
        long allocations = allocations_between(Current.first.counts, Current.last.counts, &kinds);
        say(format("allocations by the DLL over %ld cycles: %ld, %.3f per cycle%s", cycles, allocations,
                   cycles ? static_cast<double>(allocations) / cycles : 0.0, kinds.c_str()));
        say(format("process at the first and the last long wait: private bytes %lu -> %lu, handles %lu -> %lu",
                   static_cast<unsigned long>(Current.first.private_bytes),
                   static_cast<unsigned long>(Current.last.private_bytes), Current.first.handles, Current.last.handles));
    }
    // The whole life holds startup's copy of the host record: the proof
    // that the counters see the DLL's calls.
    Figures now = take_figures();
    std::string kinds;
    long allocations = allocations_between(Current.counts_at_start, now.counts, &kinds);
    say(format("allocations by the DLL from startup to the end of closedown: %ld%s", allocations, kinds.c_str()));
    say(format("closedown %.1f ms, %s", Current.closedown_ms,
               Current.terminated ? "thread terminated" : "thread left by itself"));
}

void measure_print_closedowns()
{
    if (Lives == 0)
        return;
    int by_itself = static_cast<int>(std::count(LeftByItself, LeftByItself + Lives, true));
    say(format("closedown over %d stops: median %.1f ms, max %.1f ms, thread left by itself %d of %d", Lives,
               median(std::vector<float>(ClosedownMs, ClosedownMs + Lives)),
               static_cast<double>(*std::max_element(ClosedownMs, ClosedownMs + Lives)), by_itself, Lives));
}

DWORD measure_handle_count()
{
    DWORD count = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &count) && count != 0)
        return count;
    ULONG length = 0;
    if (NtQuerySystemInformation(static_cast<SYSTEM_INFORMATION_CLASS>(SystemExtendedHandleInformation),
                                 HandleBuffer, sizeof HandleBuffer, &length) != 0)
        return 0;
    const auto* list = reinterpret_cast<const HandleList*>(HandleBuffer);
    for (ULONG_PTR i = 0; i < list->count; ++i)
        count += list->entries[i].process_id == GetCurrentProcessId();
    return count;
}
