// The errand thread. Each life of the daemon makes a block of its own (its
// data, its events) and its errand thread frees it as it leaves. An errand
// that a stop left running keeps its block until its call returns, so a
// later life in the same mapped image never shares anything with it, and
// any number of such errands never keep a new life from starting.
#include "cycle/errand.h"

#include <winsock.h>
#include <windows.h>

#include <cstring>
#include <initializer_list>

#include "platform/daemon_state.h"
#include "platform/platform.h"

namespace {

// The events are made by start_errands and closed by the errand thread as
// it leaves: after closedown has set end, nothing else touches the block.
struct ErrandBlock {
    HANDLE end;           // the life is over: leave once the call in hand is done
    HANDLE go;            // auto-reset: an errand is waiting
    HANDLE done;          // auto-reset: the errand in hand is done
    HMODULE module;       // the thread's own reference to this library
    HANDLE thread;
    ErrandWork work;
    int abandoned;        // a stop left the last errand running
    alignas(8) unsigned char data[ErrandSpace];
};

// How long closedown gives an idle errand thread to leave.
constexpr DWORD IdleLeaveMs = 1000;

// This life's block: set by startup, cleared by closedown, used by the
// control thread.
ErrandBlock* volatile Current;

void free_block(ErrandBlock* block)
{
    // Closing a handle that was not made only fails.
    for (HANDLE event : {block->end, block->go, block->done})
        CloseHandle(event);
    HeapFree(GetProcessHeap(), 0, block);
}

DWORD WINAPI errand_thread(LPVOID parameter)
{
    ErrandBlock& block = *static_cast<ErrandBlock*>(parameter);
    HMODULE module = block.module;
    // Sockets of its own: a look-up may outlast the life's sockets.
    WSADATA sockets;
    int started = WSAStartup(0x0101, &sockets) == 0;
    // The end comes first when both are there.
    const HANDLE waits[] = {block.end, block.go};
    for (;;) {
        DWORD woke = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
        if (woke == WAIT_OBJECT_0 + 1) {
            block.work(block.data, block.end);
            SetEvent(block.done);
        } else {
            break;
        }
    }
    if (started)
        WSACleanup();
    free_block(&block);
    FreeLibraryAndExitThread(module, 0);
}

// Waits for the errand in hand or the stop, and after a stop up to grace ms
// more for the errand; 1 when the errand is done.
int wait_for_errand(ErrandBlock& block, DWORD grace)
{
    const HANDLE waits[] = {StopEvent, block.done};
    for (;;) {
        DWORD woke = Platform.WaitForMultipleObjects(2, waits, INFINITE);
        // A stop comes first when both are there: the errand is then no answer.
        if (woke == WAIT_OBJECT_0 + 1)
            return 1;
        if (woke == WAIT_TIMEOUT)
            continue;
        if (woke == WAIT_OBJECT_0 && grace != 0 && Platform.WaitForSingleObject(block.done, grace) == WAIT_OBJECT_0)
            return 1;
        block.abandoned = 1;
        return 0;
    }
}

} // namespace

int start_errands()
{
    auto* block = static_cast<ErrandBlock*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(ErrandBlock)));
    if (block == nullptr)
        return 0;
    block->end = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    block->go = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    block->done = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE thread = nullptr;
    if (block->end && block->go && block->done &&
        GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCSTR>(&errand_thread),
                           &block->module)) {
        DWORD id;
        thread = Platform.CreateThread(errand_thread, block, &id);
        if (thread == nullptr)
            FreeLibrary(block->module);
    }
    if (thread == nullptr) {
        free_block(block);
        return 0;
    }
    block->thread = thread;
    Current = block;
    return 1;
}

void end_errands()
{
    ErrandBlock* block = Current;
    if (block == nullptr)
        return;
    Current = nullptr;
    // Taken first: once end is set, the block belongs to the thread, which
    // frees it as it leaves.
    HANDLE thread = block->thread;
    int busy = block->abandoned;
    SetEvent(block->end);
    // An idle thread leaves at once and is waited for, so that a life that
    // ended cleanly leaves no thread behind; a busy one is never waited for.
    if (!busy)
        WaitForSingleObject(thread, IdleLeaveMs);
    CloseHandle(thread);
}

int run_errand(ErrandWork work, void* data, size_t size, DWORD grace)
{
    ErrandBlock* block = Current;
    // Once a stop has come, an errand whose answer would be thrown away is
    // not handed over at all; only one given a grace may still answer.
    if (block == nullptr || (StopRequested && grace == 0))
        return ErrandStopped;
    // An errand that an earlier stop left running must end before the
    // block's data can be handed over again.
    if (block->abandoned && !wait_for_errand(*block, grace))
        return ErrandStopped;
    block->abandoned = 0;
    memcpy(block->data, data, size);
    block->work = work;
    SetEvent(block->go);
    if (!wait_for_errand(*block, grace))
        return ErrandStopped;
    memcpy(data, block->data, size);
    return ErrandDone;
}
