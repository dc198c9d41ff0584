// The control thread never calls the host while it holds the settings lock:
// a host call that blocks past closedown's grace would otherwise leave the
// lock held for good, and with it every later entry point.
#include <gtest/gtest.h>

#include "checks/drives.h"
#include "checks/hosts.h"
#include "checks/memory.h"
#include "monitor_fixture.h"
#include "platform/text.h"

namespace {

DWORD WINAPI take_and_leave(LPVOID)
{
    lock_settings();
    unlock_settings();
    return 0;
}

// Counts host calls, and those made while another thread could not take the
// settings lock within a second. Once one is found the rest are not probed,
// so that a failing run stays short.
struct LockProbe {
    int calls = 0;
    int under_lock = 0;

    void watch()
    {
        standin_watch_calls([this] {
            ++calls;
            if (under_lock)
                return;
            HANDLE taker = CreateThread(nullptr, 0, take_and_leave, nullptr, 0, nullptr);
            if (WaitForSingleObject(taker, 1000) != WAIT_OBJECT_0)
                ++under_lock;   // the taker ends when the holder lets go
            CloseHandle(taker);
        });
    }
};

HANDLE fake_create() { return reinterpret_cast<HANDLE>(0x4711); }
int next_answer;
DWORD fake_send(HANDLE, IPAddr, LPVOID, WORD, PIP_OPTION_INFORMATION, LPVOID, DWORD, DWORD) { return next_answer; }
BOOL fake_close(HANDLE) { return TRUE; }
void short_memory(LPMEMORYSTATUS status)
{
    *status = MEMORYSTATUS{};
    status->dwTotalPageFile = 1024u << 20;
    status->dwAvailPageFile = 10u << 20;
}

class LockDiscipline : public MonitorTest {
protected:
    LockProbe probe;

    void SetUp() override
    {
        MonitorTest::SetUp();
        Platform.IcmpCreateFile = fake_create;
        Platform.IcmpSendEcho = fake_send;
        Platform.IcmpCloseHandle = fake_close;
        Platform.GlobalMemoryStatus = short_memory;
        Settings.HostCount = 1;
        copy_text(Settings.HostNames[0], "127.0.0.1");
        Settings.Retry = 0;
        Settings.MemoryLimit = 100;
        copy_text(Recipients.SmsRecipients[0], "0170@sms.example.test");
        copy_text(Recipients.SmsList, "0170@sms.example.test");
        Recipients.SmsCount = 1;
    }
    void TearDown() override
    {
        standin_watch_calls(nullptr);
        MonitorTest::TearDown();
    }
};

TEST_F(LockDiscipline, ProbeSeesACallUnderTheLock)
{
    probe.watch();
    lock_settings();
    host_log_text(host(), 1, 20, "held");
    unlock_settings();
    EXPECT_EQ(probe.under_lock, 1);
}

TEST_F(LockDiscipline, NoHostCallWhileTheLockIsHeld)
{
    probe.watch();
    next_answer = 0;
    poll_hosts(host());      // dies: lines, dead report on both channels, count
    next_answer = 1;
    poll_hosts(host());      // answers again: line and recovery report
    test_memory(host());     // short: figures, warning line and memory report

    EXPECT_EQ(standin_jobs().size(), 6u);
    EXPECT_GT(probe.calls, 40);
    EXPECT_EQ(probe.under_lock, 0);
}

} // namespace
