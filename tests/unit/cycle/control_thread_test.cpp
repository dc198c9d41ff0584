#include <gtest/gtest.h>

#include <cstring>
#include <mutex>

#include "checks/drives.h"
#include "checks/hosts.h"
#include "checks/memory.h"
#include "cycle/control_thread.h"
#include "cycle/errand.h"
#include "cycle/pacing.h"
#include "host/daemon.h"
#include "lifecycle_support.h"
#include "platform/text.h"
#include "settings/settings.h"
#include "test_support.h"

namespace {

struct Wait {
    HANDLE handle;
    DWORD ms;
};

std::mutex WaitsLock;
std::vector<Wait> Waits;
// Runs before a wait; returns 1 when it stood in for the wait itself.
int (*BeforeWait)(DWORD ms);

DWORD record_wait(HANDLE handle, DWORD ms)
{
    {
        std::lock_guard<std::mutex> guard(WaitsLock);
        Waits.push_back({handle, ms});
    }
    if (BeforeWait && BeforeWait(ms))
        return WAIT_TIMEOUT;
    return PlatformDefaults.WaitForSingleObject(handle, ms);
}

std::vector<DWORD> wait_lengths()
{
    std::lock_guard<std::mutex> guard(WaitsLock);
    std::vector<DWORD> lengths;
    for (const Wait& w : Waits)
        lengths.push_back(w.ms);
    return lengths;
}

bool all_waits_on(HANDLE handle)
{
    std::lock_guard<std::mutex> guard(WaitsLock);
    for (const Wait& w : Waits)
        if (w.handle != handle)
            return false;
    return true;
}

bool wait_for_waits(size_t count)
{
    for (int i = 0; i < 400; ++i) {
        if (wait_lengths().size() >= count)
            return true;
        Sleep(5);
    }
    return false;
}

HANDLE EnteredStartDelay;

int signal_start_delay(DWORD ms)
{
    if (ms == 100)
        SetEvent(EnteredStartDelay);
    return 0;
}

// A stop that lands while the start delay runs out on its own.
int stop_during_start_delay(DWORD ms)
{
    if (ms == 100)
        StopRequested = 1;
    return ms == 100;
}

// A thread that does not wake for the stop, as if stuck in a long call.
int ignore_stop_in_long_sleep(DWORD ms)
{
    if (ms < 60000)
        return 0;
    Sleep(20000);
    return 1;
}

int stop_during_pause(DWORD)
{
    StopRequested = 1;
    return 1;
}

// Hosts whose echo was sent, by address; the third echo stops the daemon
// the way closedown does, and every host answers.
std::vector<IPAddr> Pinged;

DWORD echo_stopping_at_third(HANDLE, IPAddr address, LPVOID, WORD, PIP_OPTION_INFORMATION, LPVOID, DWORD, DWORD)
{
    Pinged.push_back(address);
    if (Pinged.size() == 3) {
        StopRequested = 1;
        SetEvent(StopEvent);
    }
    return 1;
}

// Drives whose free space was asked for; each has 10 MB free.
std::vector<std::string> Queried;

BOOL low_disk(LPCSTR root, LPDWORD sectors, LPDWORD bytes, LPDWORD free, LPDWORD)
{
    Queried.push_back(root);
    *sectors = 8, *bytes = 512, *free = 10 * 256;
    return TRUE;
}

HANDLE fake_icmp_open() { return reinterpret_cast<HANDLE>(0x4711); }
BOOL fake_icmp_close(HANDLE) { return TRUE; }

bool logged_starting(const std::string& start)
{
    for (const std::string& line : logged())
        if (line.rfind(start, 0) == 0)
            return true;
    return false;
}

// The control thread on its own, set up as a successful start leaves it.
class ControlThread : public HostTest {
protected:
    void SetUp() override
    {
        HostTest::SetUp();
        record_platform_calls();
        Waits.clear();
        BeforeWait = nullptr;
        Platform.WaitForSingleObject = record_wait;
        StatHandle module = host_register_module_statistics(host(), "HostStatus");
        TotalTests = host_register_statistic(host(), module, "TotalTests");
        HostInterfaceCopy = static_cast<HostInterface*>(PlatformDefaults.HeapAlloc(host()->size + 16));
        memcpy(HostInterfaceCopy, host(), host()->size);
        StopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        EnteredStartDelay = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }

    void TearDown() override
    {
        if (ThreadHandle) {
            EXPECT_TRUE(stop_and_join());
        }
        if (StopEvent)
            CloseHandle(StopEvent);
        if (HostInterfaceCopy)
            PlatformDefaults.HeapFree(HostInterfaceCopy);
        CloseHandle(EnteredStartDelay);
        BeforeWait = nullptr;
        HostTest::TearDown();
    }

    void start()
    {
        StopRequested = 0;
        ResetEvent(StopEvent);
        ASSERT_TRUE(start_errands());
        ThreadHandle = PlatformDefaults.CreateThread(control_thread, nullptr, const_cast<DWORD*>(&ThreadId));
        ASSERT_NE(ThreadHandle, nullptr);
    }

    // Stops the thread the way closedown asks it to, without the fallback.
    bool stop_and_join()
    {
        StopRequested = 1;
        SetEvent(StopEvent);
        bool ended = WaitForSingleObject(ThreadHandle, 3000) == WAIT_OBJECT_0;
        end_errands();
        CloseHandle(ThreadHandle);
        ThreadHandle = nullptr;
        return ended;
    }
};

} // namespace

TEST_F(ControlThread, LongSleepFollowsPollTime)
{
    struct Case {
        int poll_time;
        DWORD ms;
    } cases[] = {
        {1, 60000},
        {1440, 86400000},
        {71582, 4294920000u},
        {71583, INFINITE - 1}, // would wrap around in 32 bits
        {-3, 60000},
    };
    long counted = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.poll_time);
        Waits.clear();
        Settings.PollTime = c.poll_time;
        start();
        ASSERT_TRUE(wait_for_waits(2));
        ASSERT_TRUE(stop_and_join());
        EXPECT_EQ(wait_lengths(), (std::vector<DWORD>{100, c.ms}));
        EXPECT_TRUE(all_waits_on(StopEvent));
        EXPECT_EQ(standin_statistic("TotalTests"), ++counted);
        EXPECT_EQ(ThreadId, 0u);
    }
}

// Nothing configured: every cycle still counts, and PollTime 0 runs them
// back to back, yet a stop still ends the thread by itself.
TEST_F(ControlThread, EmptyCyclesCountAndPollTimeZeroDoesNotSleep)
{
    Settings.PollTime = 0;
    ASSERT_EQ(Settings.HostCount, 0);
    ASSERT_EQ(Settings.DriveCount, 0);
    start();
    EXPECT_TRUE(standin_wait_statistic("TotalTests", 5, 3000));
    EXPECT_TRUE(stop_and_join());
    EXPECT_EQ(wait_lengths(), std::vector<DWORD>{100});
    EXPECT_EQ(ThreadId, 0u);
}

TEST_F(ControlThread, CloseDownDuringStartDelay)
{
    BeforeWait = signal_start_delay;
    start();
    ASSERT_EQ(WaitForSingleObject(EnteredStartDelay, 2000), WAIT_OBJECT_0);
    close_down_and_expect_thread_gone(0, LeftByItselfMs);
    EXPECT_EQ(Calls.terminations, 0);
    EXPECT_EQ(standin_statistic("TotalTests"), 0);
}

TEST_F(ControlThread, StopArrivingDuringStartDelayIsSeenAfterIt)
{
    BeforeWait = stop_during_start_delay;
    start();
    ASSERT_EQ(WaitForSingleObject(ThreadHandle, 2000), WAIT_OBJECT_0);
    EXPECT_EQ(ThreadId, 0u);
    EXPECT_EQ(standin_statistic("TotalTests"), 0);
}

TEST_F(ControlThread, CloseDownDuringLongSleep)
{
    Settings.PollTime = 5;
    start();
    ASSERT_TRUE(wait_for_waits(2));
    close_down_and_expect_thread_gone(0, LeftByItselfMs);
    EXPECT_EQ(Calls.terminations, 0);
    EXPECT_EQ(standin_statistic("TotalTests"), 1);
}

TEST_F(ControlThread, ThreadThatDoesNotLeaveIsTerminated)
{
    BeforeWait = ignore_stop_in_long_sleep;
    start();
    ASSERT_TRUE(wait_for_waits(2));
    close_down_and_expect_thread_gone(TerminatedMinMs, TerminatedMaxMs);
    EXPECT_EQ(Calls.terminations, 1);
}

TEST_F(ControlThread, PauseAfterItem)
{
    EXPECT_EQ(pause_after_item(), 1);
    EXPECT_EQ(wait_lengths(), std::vector<DWORD>{60});
    EXPECT_TRUE(all_waits_on(StopEvent));

    // A stop already asked for: no pause, the loop ends.
    Waits.clear();
    StopRequested = 1;
    EXPECT_EQ(pause_after_item(), 0);
    EXPECT_TRUE(wait_lengths().empty());

    // A stop during the pause ends the loop too, before another item.
    StopRequested = 0;
    BeforeWait = stop_during_pause;
    EXPECT_EQ(pause_after_item(), 0);
    EXPECT_EQ(wait_lengths(), std::vector<DWORD>{60});

    // The stop event cuts the pause short.
    StopRequested = 0;
    BeforeWait = nullptr;
    SetEvent(StopEvent);
    DWORD begun = now_ms();
    pause_after_item();
    EXPECT_LT(now_ms() - begun, 40u);
}

// A stop during the host loop: the ping in progress ends, no further host is
// pinged and there is no pause, yet the memory test still runs, the first
// drive is tested, and the thread leaves by itself from its long sleep.
TEST_F(ControlThread, StopDuringHostLoopEndsLoopButFinishesCycle)
{
    Settings.PollTime = 5;
    Settings.MemoryLimit = 0;
    const char* names[] = {"127.0.0.1", "127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5"};
    for (int i = 0; i < 5; ++i)
        copy_text(Settings.HostNames[i], names[i]);
    Settings.HostCount = 5;
    Settings.FreeDisk = 100;
    copy_text(Settings.DriveNames[0], "C:\\");
    copy_text(Settings.DriveNames[1], "D:\\");
    Settings.DriveCount = 2;
    Pinged.clear();
    Queried.clear();
    Platform.IcmpCreateFile = fake_icmp_open;
    Platform.IcmpSendEcho = echo_stopping_at_third;
    Platform.IcmpCloseHandle = fake_icmp_close;
    Platform.GetDiskFreeSpaceA = low_disk;

    start();
    ASSERT_EQ(WaitForSingleObject(ThreadHandle, 3000), WAIT_OBJECT_0);
    EXPECT_EQ(Pinged, (std::vector<IPAddr>{inet_addr("127.0.0.1"), inet_addr("127.0.0.2"), inet_addr("127.0.0.3")}));
    EXPECT_EQ(Queried, std::vector<std::string>{"C:\\"});
    EXPECT_TRUE(logged_starting("20 15 Low disk space: only 10MB on C:\\"));
    // After the stop, the end of the cut echo and the query are each waited
    // for within a short grace.
    EXPECT_EQ(wait_lengths(), (std::vector<DWORD>{100, 60, 60, 100, 100, 300000}));
    EXPECT_TRUE(logged_starting("20 25 Physical memory available is "));
    EXPECT_TRUE(logged_starting("20 25 Paged memory available is"));
    EXPECT_EQ(standin_statistic("TotalTests"), 1);
    EXPECT_EQ(ThreadId, 0u);
    EXPECT_EQ(Calls.terminations, 0);
}
