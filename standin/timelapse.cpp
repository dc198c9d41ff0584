#include "timelapse.h"

#include <cstring>

namespace {

volatile LONG LongWaits;
volatile DWORD LapseMs;
volatile LONG ForcedStops;

// Counts a long wait and gives the time to wait instead.
DWORD lapse(DWORD ms)
{
    if (ms < LongWaitMs || ms == INFINITE)
        return ms;
    InterlockedIncrement(&LongWaits);
    return LapseMs ? LapseMs : ms;
}

void WINAPI hook_Sleep(DWORD ms) { Sleep(lapse(ms)); }
DWORD WINAPI hook_SleepEx(DWORD ms, BOOL alertable) { return SleepEx(lapse(ms), alertable); }
DWORD WINAPI hook_WaitForSingleObject(HANDLE handle, DWORD ms)
{
    return WaitForSingleObject(handle, lapse(ms));
}
DWORD WINAPI hook_WaitForSingleObjectEx(HANDLE handle, DWORD ms, BOOL alertable)
{
    return WaitForSingleObjectEx(handle, lapse(ms), alertable);
}
DWORD WINAPI hook_WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL all, DWORD ms)
{
    return WaitForMultipleObjects(count, handles, all, lapse(ms));
}
DWORD WINAPI hook_WaitForMultipleObjectsEx(DWORD count, const HANDLE* handles, BOOL all, DWORD ms,
                                           BOOL alertable)
{
    return WaitForMultipleObjectsEx(count, handles, all, lapse(ms), alertable);
}
// The daemon's only use of TerminateThread is closedown's last resort.
BOOL WINAPI hook_TerminateThread(HANDLE thread, DWORD exit_code)
{
    InterlockedIncrement(&ForcedStops);
    return TerminateThread(thread, exit_code);
}

struct Hook {
    const char* name;
    void* replacement;
};

const Hook Hooks[] = {
    {"Sleep", reinterpret_cast<void*>(&hook_Sleep)},
    {"SleepEx", reinterpret_cast<void*>(&hook_SleepEx)},
    {"WaitForSingleObject", reinterpret_cast<void*>(&hook_WaitForSingleObject)},
    {"WaitForSingleObjectEx", reinterpret_cast<void*>(&hook_WaitForSingleObjectEx)},
    {"WaitForMultipleObjects", reinterpret_cast<void*>(&hook_WaitForMultipleObjects)},
    {"WaitForMultipleObjectsEx", reinterpret_cast<void*>(&hook_WaitForMultipleObjectsEx)},
    {"TerminateThread", reinterpret_cast<void*>(&hook_TerminateThread)},
};

void* replacement_for(const char* name)
{
    for (const Hook& hook : Hooks)
        if (strcmp(hook.name, name) == 0)
            return hook.replacement;
    return nullptr;
}

bool put_entry(IMAGE_THUNK_DATA32* entry, void* replacement)
{
    DWORD old;
    if (!VirtualProtect(entry, sizeof *entry, PAGE_READWRITE, &old))
        return false;
    entry->u1.Function = reinterpret_cast<DWORD>(replacement);
    VirtualProtect(entry, sizeof *entry, old, &old);
    FlushInstructionCache(GetCurrentProcess(), entry, sizeof *entry);
    return true;
}

} // namespace

int timelapse_patch(HMODULE module, DWORD lapse_ms)
{
    LapseMs = lapse_ms;
    auto* base = reinterpret_cast<unsigned char*>(module);
    auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
    if (dos->e_magic != IMAGE_DOS_SIGNATURE)
        return 0;
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS32*>(base + dos->e_lfanew);
    if (nt->Signature != IMAGE_NT_SIGNATURE)
        return 0;
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (dir.VirtualAddress == 0)
        return 0;

    int patched = 0;
    for (auto* desc = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress); desc->Name;
         ++desc) {
        // The names come from the lookup table; the address table beside it
        // holds the bound addresses. Without a lookup table nothing is named.
        if (_stricmp(reinterpret_cast<const char*>(base + desc->Name), "kernel32.dll") != 0 ||
            !desc->OriginalFirstThunk)
            continue;
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA32*>(base + desc->OriginalFirstThunk);
        auto* entries = reinterpret_cast<IMAGE_THUNK_DATA32*>(base + desc->FirstThunk);
        for (; names->u1.AddressOfData; ++names, ++entries) {
            if (IMAGE_SNAP_BY_ORDINAL32(names->u1.Ordinal))
                continue;
            auto* by_name = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            void* replacement = replacement_for(reinterpret_cast<const char*>(by_name->Name));
            if (replacement && put_entry(entries, replacement))
                ++patched;
        }
    }
    return patched;
}

LONG timelapse_long_waits()
{
    return InterlockedCompareExchange(&LongWaits, 0, 0);
}

LONG timelapse_forced_stops()
{
    return InterlockedCompareExchange(&ForcedStops, 0, 0);
}
