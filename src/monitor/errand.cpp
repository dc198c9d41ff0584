// The errand thread. Each life of the daemon takes one slot of a small
// table and keeps it until its errand thread has left. An errand that a stop
// left running holds on to its slot (its data, its events) until its call
// returns, so a later life in the same mapped image never shares anything
// with it.
#include "monitor/errand.h"

#include <winsock.h>
#include <windows.h>

#include <cstring>
#include <initializer_list>

#include "platform/daemon_state.h"
#include "platform/platform.h"

namespace {

// The events are made by start_errands and closed by the errand thread as
// it leaves: after closedown has set end, nothing else touches them.
struct ErrandSlot {
    volatile LONG in_use; // from start_errands until its thread has left
    HANDLE end;           // the life is over: leave once the call in hand is done
    HANDLE go;            // auto-reset: an errand is waiting
    HANDLE done;          // auto-reset: the errand in hand is done
    HMODULE module;       // the thread's own reference to this library
    HANDLE thread;
    ErrandWork work;
    int abandoned;        // a stop left the last errand running
    alignas(8) unsigned char data[ErrandSpace];
};

// Lives whose errands are still stuck in a call each keep a slot; a start
// that finds none free fails like a thread that cannot be created.
constexpr int SlotCount = 4;
ErrandSlot Slots[SlotCount];

// How long closedown gives an idle errand thread to leave.
constexpr DWORD IdleLeaveMs = 1000;

// This life's slot: set by startup, cleared by closedown, used by the
// control thread.
ErrandSlot* volatile Current;

DWORD WINAPI errand_thread(LPVOID parameter)
{
    ErrandSlot& slot = *static_cast<ErrandSlot*>(parameter);
    HMODULE module = slot.module;
    // Sockets of its own: a look-up may outlast the life's sockets.
    WSADATA sockets;
    int started = WSAStartup(0x0101, &sockets) == 0;
    // The end comes first when both are there.
    const HANDLE waits[] = {slot.end, slot.go};
    for (;;) {
        DWORD woke = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
        if (woke == WAIT_OBJECT_0 + 1) {
            slot.work(slot.data);
            SetEvent(slot.done);
        } else {
            break;
        }
    }
    if (started)
        WSACleanup();
    CloseHandle(slot.end);
    CloseHandle(slot.go);
    CloseHandle(slot.done);
    InterlockedExchange(&slot.in_use, 0);
    FreeLibraryAndExitThread(module, 0);
}

// Waits for the errand in hand or the stop, and after a stop up to grace ms
// more for the errand; 1 when the errand is done.
int wait_for_errand(ErrandSlot& slot, DWORD grace)
{
    const HANDLE waits[] = {StopEvent, slot.done};
    for (;;) {
        DWORD woke = Platform.WaitForMultipleObjects(2, waits, INFINITE);
        // A stop comes first when both are there: the errand is then no answer.
        if (woke == WAIT_OBJECT_0 + 1)
            return 1;
        if (woke == WAIT_TIMEOUT)
            continue;
        if (woke == WAIT_OBJECT_0 && grace != 0 && Platform.WaitForSingleObject(slot.done, grace) == WAIT_OBJECT_0)
            return 1;
        slot.abandoned = 1;
        return 0;
    }
}

} // namespace

int start_errands()
{
    // A second start while a life runs keeps that life's errand thread.
    if (Current != nullptr)
        return 1;
    ErrandSlot* slot = nullptr;
    for (ErrandSlot& s : Slots)
        if (InterlockedCompareExchange(&s.in_use, 1, 0) == 0) {
            slot = &s;
            break;
        }
    if (slot == nullptr)
        return 0;
    slot->end = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    slot->go = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    slot->done = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    slot->abandoned = 0;
    HANDLE thread = nullptr;
    if (slot->end && slot->go && slot->done &&
        GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCSTR>(&errand_thread),
                           &slot->module)) {
        DWORD id;
        thread = Platform.CreateThread(errand_thread, slot, &id);
        if (thread == nullptr)
            FreeLibrary(slot->module);
    }
    if (thread == nullptr) {
        // Closing a handle that was not made only fails.
        for (HANDLE event : {slot->end, slot->go, slot->done})
            CloseHandle(event);
        InterlockedExchange(&slot->in_use, 0);
        return 0;
    }
    slot->thread = thread;
    Current = slot;
    return 1;
}

void end_errands()
{
    ErrandSlot* slot = Current;
    if (slot == nullptr)
        return;
    Current = nullptr;
    // Taken first: once the thread has left, the slot is free for a new life.
    HANDLE thread = slot->thread;
    int busy = slot->abandoned;
    SetEvent(slot->end);
    // An idle thread leaves at once and is waited for, so that a life that
    // ended cleanly leaves no thread behind; a busy one is never waited for.
    if (!busy)
        WaitForSingleObject(thread, IdleLeaveMs);
    CloseHandle(thread);
}

int run_errand(ErrandWork work, void* data, size_t size, DWORD grace)
{
    ErrandSlot* slot = Current;
    if (slot == nullptr)
        return ErrandStopped;
    // An errand that an earlier stop left running must end before the
    // slot's data can be handed over again.
    if (slot->abandoned && !wait_for_errand(*slot, grace))
        return ErrandStopped;
    slot->abandoned = 0;
    memcpy(slot->data, data, size);
    slot->work = work;
    SetEvent(slot->go);
    if (!wait_for_errand(*slot, grace))
        return ErrandStopped;
    memcpy(data, slot->data, size);
    return ErrandDone;
}
