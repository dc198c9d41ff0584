#include "platform/platform.h"

#include <icmpapi.h>

#include <ctime>

namespace {

HANDLE call_IcmpCreateFile() { return ::IcmpCreateFile(); }
DWORD call_IcmpSendEcho(HANDLE icmp, IPAddr address, LPVOID request_data, WORD request_size,
                        PIP_OPTION_INFORMATION options, LPVOID reply_buffer, DWORD reply_size,
                        DWORD timeout_ms)
{
    return ::IcmpSendEcho(icmp, address, request_data, request_size, options, reply_buffer,
                          reply_size, timeout_ms);
}
BOOL call_IcmpCloseHandle(HANDLE icmp) { return ::IcmpCloseHandle(icmp); }
unsigned long call_inet_addr(const char* text) { return ::inet_addr(text); }
struct hostent* call_gethostbyname(const char* name) { return ::gethostbyname(name); }
int call_WSAGetLastError() { return ::WSAGetLastError(); }
DWORD call_GetLastError() { return ::GetLastError(); }
int call_WSAStartup(WORD version, LPWSADATA data) { return ::WSAStartup(version, data); }
int call_WSACleanup() { return ::WSACleanup(); }

BOOL call_GetDiskFreeSpaceA(LPCSTR root, LPDWORD sectors_per_cluster, LPDWORD bytes_per_sector,
                            LPDWORD free_clusters, LPDWORD total_clusters)
{
    return ::GetDiskFreeSpaceA(root, sectors_per_cluster, bytes_per_sector, free_clusters,
                               total_clusters);
}
void call_GlobalMemoryStatus(LPMEMORYSTATUS status) { ::GlobalMemoryStatus(status); }

uint64_t call_MonotonicMs()
{
    LARGE_INTEGER count, frequency;
    ::QueryPerformanceCounter(&count);
    ::QueryPerformanceFrequency(&frequency);
    uint64_t ticks = static_cast<uint64_t>(count.QuadPart), hz = static_cast<uint64_t>(frequency.QuadPart);
    uint64_t rest;
    return divide(ticks, hz, rest) * 1000 + rest * 1000 / hz;
}

void call_GetLocalTime(LPSYSTEMTIME time) { ::GetLocalTime(time); }
int64_t call_UnixTime() { return _time64(nullptr); }

void call_Sleep(DWORD ms) { ::Sleep(ms); }
DWORD call_WaitForSingleObject(HANDLE handle, DWORD ms) { return ::WaitForSingleObject(handle, ms); }
DWORD call_WaitForMultipleObjects(DWORD count, const HANDLE* handles, DWORD ms)
{
    return ::WaitForMultipleObjects(count, handles, FALSE, ms);
}
HANDLE call_CreateThread(LPTHREAD_START_ROUTINE routine, LPVOID parameter, LPDWORD thread_id)
{
    return ::CreateThread(nullptr, 0, routine, parameter, 0, thread_id);
}
BOOL call_TerminateThread(HANDLE thread, DWORD exit_code) { return ::TerminateThread(thread, exit_code); }

BOOL call_WriteFile(HANDLE file, LPCVOID data, DWORD size, LPDWORD written)
{
    return ::WriteFile(file, data, size, written, nullptr);
}

LPVOID call_HeapAlloc(SIZE_T bytes) { return ::HeapAlloc(::GetProcessHeap(), 0, bytes); }
BOOL call_HeapFree(LPVOID block) { return ::HeapFree(::GetProcessHeap(), 0, block); }

int call_MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type)
{
    return ::MessageBoxA(owner, text, caption, type);
}

} // namespace

const PlatformCalls PlatformDefaults = {
    call_IcmpCreateFile,
    call_IcmpSendEcho,
    call_IcmpCloseHandle,
    call_inet_addr,
    call_gethostbyname,
    call_WSAGetLastError,
    call_GetLastError,
    call_WSAStartup,
    call_WSACleanup,
    call_GetDiskFreeSpaceA,
    call_GlobalMemoryStatus,
    call_MonotonicMs,
    call_GetLocalTime,
    call_UnixTime,
    call_Sleep,
    call_WaitForSingleObject,
    call_WaitForMultipleObjects,
    call_CreateThread,
    call_TerminateThread,
    call_WriteFile,
    call_HeapAlloc,
    call_HeapFree,
    call_MessageBoxA,
};

uint64_t divide(uint64_t a, uint64_t b, uint64_t& remainder)
{
    uint64_t quotient = a / b;
    // Hidden from the optimiser, which would otherwise fuse the division and
    // the remainder into libgcc's divmod helper: a second helper in the DLL.
    __asm__("" : "+g"(quotient));
    remainder = a - quotient * b;
    return quotient;
}

int random_bytes(void* bytes, unsigned long size)
{
    // RtlGenRandom: advapi32 exports it only by this name, and not on every
    // system, so it is looked up at run time, when first needed.
    typedef BOOLEAN(WINAPI * GenRandom)(PVOID, ULONG);
    static GenRandom generate;
    if (!generate) {
        HMODULE library = LoadLibraryA("advapi32.dll");
        if (library)
            generate = reinterpret_cast<GenRandom>(reinterpret_cast<void*>(GetProcAddress(library, "SystemFunction036")));
    }
    return generate && generate(bytes, size);
}

// Filled from PlatformDefaults as the DLL is loaded: a table written at
// load takes no room in the file.
PlatformCalls Platform;
