#include "lifecycle_support.h"

#include <gtest/gtest.h>

#include "host/daemon.h"
#include "platform/platform.h"

PlatformRecord Calls;

namespace {

int record_box(HWND owner, LPCSTR text, LPCSTR caption, UINT type)
{
    Calls.box_owner = owner;
    Calls.box_texts.push_back(text);
    Calls.box_caption = caption;
    Calls.box_type = type;
    return Calls.box_answer;
}

int record_wsa_startup(WORD version, LPWSADATA data)
{
    Calls.wsa_version = version;
    return Calls.wsa_startup_result ? Calls.wsa_startup_result : PlatformDefaults.WSAStartup(version, data);
}

int record_wsa_cleanup()
{
    ++Calls.wsa_cleanups;
    return PlatformDefaults.WSACleanup();
}

LPVOID record_alloc(SIZE_T bytes)
{
    Calls.alloc_bytes = bytes;
    return Calls.alloc_fails ? nullptr : PlatformDefaults.HeapAlloc(bytes);
}

BOOL record_free(LPVOID block)
{
    Calls.freed = block;
    return PlatformDefaults.HeapFree(block);
}

HANDLE record_create_thread(LPTHREAD_START_ROUTINE routine, LPVOID parameter, LPDWORD thread_id)
{
    return Calls.create_thread_fails ? nullptr : PlatformDefaults.CreateThread(routine, parameter, thread_id);
}

BOOL record_terminate(HANDLE thread, DWORD exit_code)
{
    ++Calls.terminations;
    return PlatformDefaults.TerminateThread(thread, exit_code);
}

} // namespace

void record_platform_calls()
{
    Calls = PlatformRecord();
    Platform.MessageBoxA = record_box;
    Platform.WSAStartup = record_wsa_startup;
    Platform.WSACleanup = record_wsa_cleanup;
    Platform.HeapAlloc = record_alloc;
    Platform.HeapFree = record_free;
    Platform.CreateThread = record_create_thread;
    Platform.TerminateThread = record_terminate;
}

DWORD now_ms()
{
    return GetTickCount();
}

void close_down_and_expect_thread_gone(DWORD min_ms, DWORD max_ms)
{
    HANDLE thread;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), ThreadHandle, GetCurrentProcess(), &thread, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
    void* copy = HostInterfaceCopy;
    DWORD begun = now_ms();
    EXPECT_EQ(closedown(), 0);
    DWORD took = now_ms() - begun;
    EXPECT_GE(took, min_ms);
    EXPECT_LE(took, max_ms);
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0);
    CloseHandle(thread);
    EXPECT_EQ(ThreadId, 0u);
    EXPECT_EQ(ThreadHandle, nullptr);
    EXPECT_EQ(StopEvent, nullptr);
    EXPECT_EQ(HostInterfaceCopy, nullptr);
    EXPECT_EQ(Calls.freed, copy);
}
