#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <functional>

#include "checks/hosts.h"
#include "monitor_fixture.h"
#include "platform/text.h"

namespace {

using Lines = std::vector<std::string>;

// What the scripted ICMP layer was asked and is to answer.
constexpr int StopDuringEcho = -1;
struct EchoScript {
    std::deque<int> answers;          // 1 a reply, 0 a timeout, StopDuringEcho; empty: timeout
    std::function<void()> during;     // runs inside the echo, as a reload would
    int created = 0, sent = 0, closed = 0;
    bool create_fails = false, close_fails = false;
    DWORD thread = 0;                 // the thread that sent it
    IPAddr address = 0;
    LPVOID data = nullptr;
    WORD size = 0;
    PIP_OPTION_INFORMATION options = nullptr;
    DWORD reply_size = 0, timeout = 0;
    DWORD last_error = 11010;
};
EchoScript echo;

const HANDLE FakeIcmp = reinterpret_cast<HANDLE>(0x4711);

HANDLE fake_create() { ++echo.created; return echo.create_fails ? INVALID_HANDLE_VALUE : FakeIcmp; }

// Answers the echo as the ICMP library does, or stops the daemon the way
// closedown does while the echo is under way.
DWORD fake_send(HANDLE icmp, IPAddr address, LPVOID data, WORD size, PIP_OPTION_INFORMATION options, LPVOID reply,
                DWORD reply_size, DWORD timeout)
{
    EXPECT_EQ(icmp, FakeIcmp);
    ++echo.sent;
    echo.thread = GetCurrentThreadId();
    echo.address = address, echo.data = data, echo.size = size, echo.options = options;
    echo.reply_size = reply_size, echo.timeout = timeout;
    if (echo.during)
        echo.during();
    int answer = 0;
    if (!echo.answers.empty()) {
        answer = echo.answers.front();
        echo.answers.pop_front();
    }
    // The whole buffer is written, as the platform may; a reply that is not
    // a success still counts as one.
    memset(reply, 0, reply_size);
    static_cast<ICMP_ECHO_REPLY*>(reply)->Status = IP_DEST_HOST_UNREACHABLE;
    if (answer == StopDuringEcho) {
        StopRequested = 1;
        SetEvent(StopEvent);
    }
    echo.last_error = 11010;
    return answer > 0;
}

BOOL fake_close(HANDLE icmp)
{
    EXPECT_EQ(icmp, FakeIcmp);
    ++echo.closed;
    if (echo.close_fails)
        echo.last_error = 11010;
    return !echo.close_fails;
}

// Names that are not dotted addresses resolve to 127.0.0.9, except those
// beginning with "unknown", whose error is set on the thread that looks
// them up; names beginning with "slow" wait for SlowNameServer first.
DWORD LookupThread;
HANDLE SlowNameServer;

hostent* fake_gethostbyname(const char* name)
{
    static char address[4] = {127, 0, 0, 9};
    static char* list[2] = {address, nullptr};
    static hostent entry = {nullptr, nullptr, AF_INET, 4, list};
    LookupThread = GetCurrentThreadId();
    if (strncmp(name, "slow", 4) == 0)
        WaitForSingleObject(SlowNameServer, 10000);
    if (strncmp(name, "unknown", 7) != 0)
        return &entry;
    WSASetLastError(11001);
    return nullptr;
}

DWORD fake_last_error() { return echo.last_error; }

class HostsTest : public MonitorTest {
protected:
    void SetUp() override
    {
        MonitorTest::SetUp();
        echo = EchoScript{};
        Platform.IcmpCreateFile = fake_create;
        Platform.IcmpSendEcho = fake_send;
        Platform.IcmpCloseHandle = fake_close;
        Platform.gethostbyname = fake_gethostbyname;
        Platform.GetLastError = fake_last_error;
    }

    void set_hosts(std::initializer_list<const char*> names)
    {
        Settings.HostCount = 0;
        for (const char* name : names)
            copy_text(Settings.HostNames[Settings.HostCount++], name);
    }

    // One pass of the host test with these answers, one per host.
    Lines poll(std::initializer_list<int> answers)
    {
        echo.answers = answers;
        poll_hosts(host());
        return steps();
    }
};

const std::string NoEcho = "log 11 20 Error 11010 receiving ICMP echo";

TEST_F(HostsTest, DeadHostIsReportedRepeatedlyAndItsRecoveryOnce)
{
    set_hosts({"gw.example.test"});
    const std::string missed = "log 20 15 Host gw.example.test doesn't respond.";
    const std::string dead = "log 20 15 Host gw.example.test is dead.";
    const std::string bump = "bump FailedHost";
    const std::string dead_subject = "Subject: No Response on gw.example.test";

    struct Poll { int answer; int miss, counter; Lines lines; Lines subjects; };
    const Poll timeline[] = {
        {0, 1, 0, {NoEcho, missed, bump}, {}},
        {0, 2, 0, {NoEcho, missed, bump}, {}},
        {0, 3, 0, {NoEcho, missed, bump}, {}},
        {0, 4, 1, {NoEcho, missed, dead, "report", bump}, {dead_subject}},
        {0, 5, 2, {NoEcho, missed, dead, bump}, {}},
        {0, 6, 3, {NoEcho, missed, dead, bump}, {}},
        {0, 7, 4, {NoEcho, missed, dead, bump}, {}},
        {0, 8, 0, {NoEcho, missed, dead, bump}, {}},
        {0, 9, 1, {NoEcho, missed, dead, "report", bump}, {dead_subject}},
        {1, 0, 0, {"log 20 25 Host gw.example.test is ON again.", "report"}, {"Subject: Responding gw.example.test: OK"}},
        {1, 0, 0, {}, {}},
    };
    int number = 0;
    for (const Poll& p : timeline) {
        SCOPED_TRACE("poll " + std::to_string(++number));
        EXPECT_EQ(poll({p.answer}), p.lines);
        EXPECT_EQ(subjects(), p.subjects);
        EXPECT_EQ(HostState[0].MissCount, p.miss);
        EXPECT_EQ(HostState[0].DeadReportCounter, p.counter);
    }
    EXPECT_EQ(count("FailedHost"), 9);
    EXPECT_EQ(echo.closed, 11);
}

TEST_F(HostsTest, RetryZeroAndSuspendOneReportEveryDeadPoll)
{
    set_hosts({"127.0.0.2"});
    Settings.Retry = 0;
    Settings.Suspend = 1;
    for (int i = 0; i < 3; ++i) {
        Lines lines = poll({0});
        ASSERT_EQ(lines.size(), 5u);
        EXPECT_EQ(lines[2], "log 20 15 Host 127.0.0.2 is dead.");
        EXPECT_EQ(subjects(), Lines{"Subject: No Response on 127.0.0.2"});
    }
    // The settings are read at every comparison.
    Settings.Suspend = 2;
    poll({0});
    poll({0});
    EXPECT_EQ(subjects(), Lines{"Subject: No Response on 127.0.0.2"});
}

TEST_F(HostsTest, NegativeRetryDoesNotMakeAHealthyHostRecover)
{
    set_hosts({"127.0.0.2"});
    Settings.Retry = -1;
    EXPECT_EQ(poll({1}), Lines{});
    EXPECT_EQ(subjects(), Lines{});
    poll({0});
    EXPECT_EQ(poll({1}), (Lines{"log 20 25 Host 127.0.0.2 is ON again.", "report"}));
}

TEST_F(HostsTest, UnresolvableNameCountsAsFailureAndMiss)
{
    // The name is hostile text: it must reach the log as it is.
    set_hosts({"unknown%s%n.example.test"});
    EXPECT_EQ(poll({1}), (Lines{"log 10 15 Error 11001 finding address unknown%s%n.example.test",
                                "bump Failures",
                                "log 20 15 Host unknown%s%n.example.test doesn't respond.",
                                "bump FailedHost"}));
    EXPECT_EQ(echo.created, 0);
    EXPECT_EQ(count("Failures"), 1);
    EXPECT_EQ(count("FailedHost"), 1);
    // Looked up on a thread of its own, whose error number is the one logged.
    EXPECT_NE(LookupThread, GetCurrentThreadId());
}

TEST_F(HostsTest, EchoIsOneEmptyRequestWithRoomForTheReply)
{
    set_hosts({"gw.example.test"});
    echo.answers = {1};
    EXPECT_EQ(ping_host(0), 1);
    EXPECT_EQ(echo.sent, 1);
    EXPECT_NE(echo.thread, GetCurrentThreadId());
    EXPECT_EQ(echo.address, htonl(0x7f000009));
    EXPECT_EQ(echo.data, nullptr);
    EXPECT_EQ(echo.size, 0);
    EXPECT_EQ(echo.options, nullptr);
    EXPECT_GE(echo.reply_size, sizeof(ICMP_ECHO_REPLY) + 8);
    EXPECT_EQ(echo.timeout, 2000u);
    EXPECT_EQ(echo.closed, 1);
    EXPECT_EQ(steps(), Lines{});

    // Dotted names are used as they are, without a look-up.
    set_hosts({"127.1.2.3"});
    Platform.gethostbyname = [](const char*) -> hostent* { ADD_FAILURE(); return nullptr; };
    EXPECT_EQ(ping_host(0), 0);
    EXPECT_EQ(echo.address, htonl(0x7f010203));
    EXPECT_EQ(steps(), Lines{NoEcho});

    // A slot outside the table is not pinged.
    EXPECT_EQ(ping_host(1), 0);
    EXPECT_EQ(ping_host(-1), 0);
    EXPECT_EQ(echo.sent, 2);
}

TEST_F(HostsTest, IcmpHandleErrorsAreLoggedAndCounted)
{
    set_hosts({"127.0.0.2"});
    echo.create_fails = true;
    EXPECT_EQ(ping_host(0), 0);
    EXPECT_EQ(steps(), (Lines{"log 11 15 Error 11010 opening ICMP", "bump Failures"}));
    EXPECT_EQ(echo.sent, 0);

    echo.create_fails = false;
    echo.close_fails = true;
    echo.answers = {1};
    EXPECT_EQ(ping_host(0), 1);
    EXPECT_EQ(steps(), (Lines{"log 11 15 Error 11010 closing ICMP", "bump Failures"}));
    EXPECT_EQ(count("Failures"), 2);
}

TEST_F(HostsTest, ReloadThatZeroesADeadHostStartsItsCountOver)
{
    set_hosts({"127.0.0.2"});
    HostState[0] = {9, 3, 0, 0, 0};
    memset(HostState, 0, sizeof HostState);
    EXPECT_EQ(poll({1}), Lines{});
    for (int i = 0; i < 3; ++i)
        poll({0});
    EXPECT_EQ(subjects(), Lines{});
    EXPECT_EQ(poll({0}).size(), 5u);
    EXPECT_EQ(subjects(), Lines{"Subject: No Response on 127.0.0.2"});
}

TEST_F(HostsTest, AnswerOfAHostThatWasReplacedDuringThePingIsDropped)
{
    set_hosts({"127.0.0.2"});
    HostState[0].MissCount = 10;
    echo.during = [] { Settings.HostCount = 0; };
    EXPECT_EQ(poll({1}), Lines{});
    EXPECT_EQ(HostState[0].MissCount, 10);

    set_hosts({"127.0.0.2"});
    echo.during = [] { copy_text(Settings.HostNames[0], "127.0.0.3"); };
    EXPECT_EQ(poll({0}), Lines{NoEcho});
    EXPECT_EQ(HostState[0].MissCount, 10);
    EXPECT_EQ(count("FailedHost"), 0);
    EXPECT_EQ(subjects(), Lines{});
}

TEST_F(HostsTest, LoopRereadsTheTableAndStopsWhenAsked)
{
    Platform.WaitForSingleObject = [](HANDLE, DWORD) -> DWORD { return WAIT_TIMEOUT; };
    set_hosts({"127.0.0.2", "127.0.0.3", "127.0.0.4"});
    poll({1, 0, 1});
    EXPECT_EQ(echo.sent, 3);
    EXPECT_EQ(HostState[1].MissCount, 1);

    // Shrunk while the first host is pinged: that host still counts.
    echo.during = [] { Settings.HostCount = 1; echo.during = nullptr; };
    EXPECT_EQ(poll({0, 0, 0}), (Lines{NoEcho, "log 20 15 Host 127.0.0.2 doesn't respond.", "bump FailedHost"}));
    EXPECT_EQ(echo.sent, 4);

    // A stop during the second ping ends the loop after that host.
    Settings.HostCount = 3;
    echo.during = [] { if (echo.sent == 6) StopRequested = 1; };
    poll({1, 0, 0});
    EXPECT_EQ(echo.sent, 6);
    EXPECT_EQ(HostState[1].MissCount, 2);
    EXPECT_EQ(HostState[2].MissCount, 0);
}

// A stop during the echo or the look-up of a host that is failing: no
// answer and no miss. Nothing is logged, counted or reported, the state stays
// as it was, the loop ends, and every handle of the echo is closed.
TEST_F(HostsTest, StopDuringEchoOrLookUpIsNeitherAnswerNorMiss)
{
    SlowNameServer = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    const std::string first[] = {"127.0.0.2", "slow.example.test"};
    for (const std::string& name : first) {
        SCOPED_TRACE(name);
        StopRequested = 0;
        ResetEvent(StopEvent);
        echo = EchoScript{};
        set_hosts({name.c_str(), "127.0.0.3"});
        // Today's lines before the stop: the host has just died.
        HostState[0] = {3, 0, 0, 0, 0};
        EXPECT_EQ(poll({0, 1}), (Lines{NoEcho, "log 20 15 Host " + name + " doesn't respond.",
                                       "log 20 15 Host " + name + " is dead.", "report", "bump FailedHost"}));
        EXPECT_EQ(subjects(), Lines{"Subject: No Response on " + name});

        bool look_up = name == first[1];
        if (look_up) {
            // The name server does not answer; closedown comes meanwhile.
            ResetEvent(SlowNameServer);
            StopRequested = 1;
            SetEvent(StopEvent);
        }
        DWORD begun = GetTickCount();
        EXPECT_EQ(poll({StopDuringEcho, 1}), Lines{});
        EXPECT_LT(GetTickCount() - begun, 50u);
        EXPECT_EQ(subjects(), Lines{});
        EXPECT_EQ(HostState[0].MissCount, 4);
        EXPECT_EQ(HostState[0].DeadReportCounter, 1);
        EXPECT_EQ(HostState[1].MissCount, 0);
        EXPECT_EQ(echo.sent, look_up ? 2 : 3);
        // The errand thread closes the echo's handle after the stop.
        for (int waited = 0; echo.closed != echo.sent && waited < 1000; waited += 10)
            Sleep(10);
        EXPECT_EQ(echo.closed, echo.sent);
    }
    EXPECT_EQ(count("Failures"), 0);

    // The look-up left behind ends later without a word.
    SetEvent(SlowNameServer);
    Sleep(100);
    EXPECT_EQ(steps(), Lines{});
    CloseHandle(SlowNameServer);
}

// The control thread waits for the echo as long as the call takes, or for
// the stop, and for nothing else; the echo runs on the errand thread.
TEST_F(HostsTest, EchoRunsOnTheErrandThreadAndOnlyTheStopCutsItsWait)
{
    static std::vector<HANDLE> handles;
    static std::vector<DWORD> bounds;
    handles.clear();
    bounds.clear();
    Platform.WaitForMultipleObjects = [](DWORD count, const HANDLE* waits, DWORD ms) -> DWORD {
        handles.assign(waits, waits + count);
        bounds.push_back(ms);
        // A shortened wait (as a time-lapse makes it) is waited again.
        return bounds.size() == 1 ? WAIT_TIMEOUT : PlatformDefaults.WaitForMultipleObjects(count, waits, ms);
    };
    set_hosts({"127.0.0.2"});
    EXPECT_EQ(ping_host(0), 0);
    EXPECT_EQ(steps(), Lines{NoEcho});
    EXPECT_EQ(handles.size(), 2u);
    EXPECT_EQ(handles[0], StopEvent);
    EXPECT_EQ(bounds, (std::vector<DWORD>{INFINITE, INFINITE}));
    EXPECT_NE(echo.thread, GetCurrentThreadId());
    EXPECT_EQ(echo.closed, 1);
}

TEST_F(HostsTest, RealEchoToLoopbackIsAnswered)
{
    Platform = PlatformDefaults;
    WSADATA data;
    ASSERT_EQ(WSAStartup(MAKEWORD(1, 1), &data), 0);
    set_hosts({"127.0.0.1"});
    EXPECT_EQ(ping_host(0), 1);
    EXPECT_EQ(logged(), Lines{});
    WSACleanup();
}

} // namespace
