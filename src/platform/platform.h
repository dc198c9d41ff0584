// The seam between the daemon and the operating system.
//
// Every call whose answer a test must control goes through this one table.
// Each entry defaults to a thin wrapper that calls the Windows function at
// the moment it is called (never an address taken at load time), so that a
// patched import reaches it too. Production code never changes the table;
// a test overrides single entries and restores them.
#pragma once

#include <winsock.h>
#include <windows.h>
#include <ipexport.h>

#include <cstdint>

struct PlatformCalls {
    // ICMP echo and name resolution
    HANDLE(*IcmpCreateFile)();
    // Sends one echo that completes by signalling event (no APC routine).
    DWORD(*IcmpSendEcho)(HANDLE icmp, IPAddr address, LPVOID request_data, WORD request_size,
                         PIP_OPTION_INFORMATION options, LPVOID reply_buffer, DWORD reply_size,
                         DWORD timeout_ms);
    BOOL(*IcmpCloseHandle)(HANDLE icmp);
    unsigned long(*inet_addr)(const char* text);
    struct hostent* (*gethostbyname)(const char* name);
    int(*WSAGetLastError)();
    DWORD(*GetLastError)();
    int(*WSAStartup)(WORD version, LPWSADATA data);
    int(*WSACleanup)();

    // disk and memory
    BOOL(*GetDiskFreeSpaceA)(LPCSTR root, LPDWORD sectors_per_cluster, LPDWORD bytes_per_sector,
                             LPDWORD free_clusters, LPDWORD total_clusters);
    void(*GlobalMemoryStatus)(LPMEMORYSTATUS status);

    // Milliseconds of a monotonic 64-bit clock (the performance counter):
    // it neither wraps after 49 days nor moves with the wall clock.
    uint64_t(*MonotonicMs)();
    // The local wall-clock time, for the digest's time of day.
    void(*GetLocalTime)(LPSYSTEMTIME time);
    // Unix time in seconds from a clock good past 2038.
    int64_t(*UnixTime)();

    // threads, sleeps and waits
    void(*Sleep)(DWORD ms);
    DWORD(*WaitForSingleObject)(HANDLE handle, DWORD ms);
    // Waits until any one of the handles is signalled.
    DWORD(*WaitForMultipleObjects)(DWORD count, const HANDLE* handles, DWORD ms);
    HANDLE(*CreateThread)(LPTHREAD_START_ROUTINE routine, LPVOID parameter, LPDWORD thread_id);
    BOOL(*TerminateThread)(HANDLE thread, DWORD exit_code);

    // the status file's write, which a slow share can stall
    BOOL(*WriteFile)(HANDLE file, LPCVOID data, DWORD size, LPDWORD written);

    // memory for the private copy of the host record
    LPVOID(*HeapAlloc)(SIZE_T bytes);
    BOOL(*HeapFree)(LPVOID block);

    // user interface
    int(*MessageBoxA)(HWND owner, LPCSTR text, LPCSTR caption, UINT type);
};

extern PlatformCalls Platform;

// a / b, with a % b in remainder: the one 64-bit division helper of libgcc
// that the DLL links.
uint64_t divide(uint64_t a, uint64_t b, uint64_t& remainder);
// Fills bytes from the system's random source; 0 when it has none.
int random_bytes(void* bytes, unsigned long size);

// The table as it is at load time (DllMain copies it into Platform), for
// tests that restore single entries.
extern const PlatformCalls PlatformDefaults;
