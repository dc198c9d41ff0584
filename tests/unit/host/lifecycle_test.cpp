#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "host/daemon.h"
#include "lifecycle_support.h"
#include "test_support.h"

namespace {

using Lines = std::vector<std::string>;

class Lifecycle : public HostTest {
protected:
    void SetUp() override
    {
        HostTest::SetUp();
        record_platform_calls();
    }
    void start_host(uint8_t major, uint8_t minor)
    {
        HostOptions options;
        options.version_major = major;
        options.version_minor = minor;
        standin_reset(options);
    }
};

const char* const RequiredText =
    "KORVAL Daemon requires Mercury 3.01\r\n"
    "             (current version is %s)\r\n"
    "             Load anyway ?";

std::string required_text(const char* current)
{
    char text[200];
    snprintf(text, sizeof text, RequiredText, current);
    return text;
}

Lines newer_host_warning(const char* current)
{
    return {"0 15 KORVAL Daemon is designed for MercuryAPI 3.01 - 4.198.",
            std::string("0 15 Current version is ") + current + ",",
            "0 15    you may encounter some compatibility problem."};
}

} // namespace

TEST_F(Lifecycle, VersionMatrix)
{
    struct Case {
        uint8_t major, minor;
        int answer;
        int accepted;
        const char* asked;  // current version in the question, or none
        const char* warned; // current version in the warning, or none
    } cases[] = {
        {2, 99, IDNO, 0, "2.99", nullptr},
        {2, 5, IDYES, 1, "2.05", nullptr},
        {3, 0, IDYES, 1, "3.00", nullptr},
        {3, 0, IDNO, 0, "3.00", nullptr},
        {3, 0, IDCANCEL, 0, "3.00", nullptr},
        {3, 1, IDNO, 1, nullptr, nullptr},
        {3, 5, IDNO, 1, nullptr, nullptr},
        {4, 198, IDNO, 1, nullptr, nullptr},
        {4, 199, IDNO, 1, nullptr, "4.199"},
        {5, 0, IDNO, 1, nullptr, "5.00"},
        {255, 255, IDNO, 1, nullptr, "255.255"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.major) + "." + std::to_string(c.minor));
        start_host(c.major, c.minor);
        record_platform_calls();
        Calls.box_answer = c.answer;

        EXPECT_EQ(check_host_version(host()), c.accepted);

        if (c.asked) {
            ASSERT_EQ(Calls.box_texts.size(), 1u);
            EXPECT_EQ(Calls.box_texts[0], required_text(c.asked));
            EXPECT_EQ(Calls.box_caption, " Daemon Error");
            EXPECT_EQ(Calls.box_type, static_cast<UINT>(MB_YESNO | MB_ICONSTOP));
            EXPECT_EQ(Calls.box_owner, nullptr);
        } else {
            EXPECT_TRUE(Calls.box_texts.empty());
        }
        EXPECT_EQ(logged(), c.warned ? newer_host_warning(c.warned) : Lines{});
    }
}

TEST_F(Lifecycle, DeclinedHostIsNotStarted)
{
    start_host(3, 0);
    EXPECT_EQ(startup(host()), 0);
    EXPECT_EQ(Resident, 0);
    EXPECT_EQ(Calls.box_texts.size(), 1u);
    EXPECT_TRUE(standin_trace().empty());
    EXPECT_EQ(Calls.wsa_version, 0);

    // Nothing was started, so nothing is shut down: the host's own sockets
    // keep their count.
    DWORD begun = now_ms();
    EXPECT_EQ(closedown(), 0);
    EXPECT_LT(now_ms() - begun, 1000u);
    EXPECT_EQ(Calls.wsa_cleanups, 0);
    EXPECT_EQ(Calls.terminations, 0);
    EXPECT_EQ(Calls.freed, nullptr);
}

TEST_F(Lifecycle, ShortRecordIsRefusedBeforeAnyCall)
{
    HostOptions options;
    options.record_size = 365;
    options.version_major = 2; // would ask, if the record were read at all
    standin_reset(options);
    EXPECT_EQ(startup(host()), 0);
    EXPECT_EQ(startup(nullptr), 0);
    EXPECT_EQ(Resident, 0);
    EXPECT_TRUE(Calls.box_texts.empty());
    EXPECT_TRUE(standin_trace().empty());
}

// Up to the socket start: the start line, the statistics in their order,
// then the socket error with its number in hex.
TEST_F(Lifecycle, SocketFailureEndsTheStartAfterTheStatistics)
{
    Calls.wsa_startup_result = WSASYSNOTREADY;
    EXPECT_EQ(startup(host()), 0);

    EXPECT_EQ(Resident, 1);
    EXPECT_EQ(Calls.wsa_version, 0x0101);
    EXPECT_EQ(logged(), (Lines{"10 5 Daemon KORVAL.DLL started.", "10 5 Error 276B opening WinSock"}));
    EXPECT_EQ(standin_trace(),
              (Lines{"log 10 5 Daemon KORVAL.DLL started.", "register HostStatus", "register HostStatus Failures",
                     "register HostStatus FailedHost", "register HostStatus LowDiskSpace",
                     "register HostStatus TotalTests", "log 10 5 Error 276B opening WinSock", "bump Failures"}));
    EXPECT_NE(Failures, 0);
    EXPECT_NE(FailedHost, 0);
    EXPECT_NE(LowDiskSpace, 0);
    EXPECT_NE(TotalTests, 0);
    EXPECT_EQ(standin_statistic("Failures"), 1);
    EXPECT_EQ(Calls.alloc_bytes, 0u);

    EXPECT_EQ(closedown(), 0);
    EXPECT_EQ(Calls.wsa_cleanups, 0);
}

TEST_F(Lifecycle, FailedModuleRegistrationLeavesEveryHandleZero)
{
    HostOptions options;
    options.refused_statistics = {"HostStatus"};
    standin_reset(options);
    Calls.wsa_startup_result = WSAVERNOTSUPPORTED;
    EXPECT_EQ(startup(host()), 0);

    EXPECT_EQ(logged(), (Lines{"10 5 Daemon KORVAL.DLL started.", "10 5 Unable to register module statistic",
                               "10 5 Error 276C opening WinSock"}));
    EXPECT_EQ(Failures, 0);
    EXPECT_EQ(FailedHost, 0);
    EXPECT_EQ(LowDiskSpace, 0);
    EXPECT_EQ(TotalTests, 0);
    // The failure is still bumped, through the zero handle.
    EXPECT_EQ(standin_zero_handle_bumps(), 1);
    EXPECT_EQ(closedown(), 0);
}

TEST_F(Lifecycle, FailedCategoryIsLoggedAndTheOthersRegistered)
{
    HostOptions options;
    options.refused_statistics = {"Failures", "LowDiskSpace"};
    standin_reset(options);
    Calls.wsa_startup_result = WSASYSNOTREADY;
    EXPECT_EQ(startup(host()), 0);

    EXPECT_EQ(logged(), (Lines{"10 5 Daemon KORVAL.DLL started.", "10 5 Unable to register Failure category",
                               "10 5 Unable to register LowDiskSpace category", "10 5 Error 276B opening WinSock"}));
    EXPECT_EQ(Failures, 0);
    EXPECT_NE(FailedHost, 0);
    EXPECT_EQ(LowDiskSpace, 0);
    EXPECT_NE(TotalTests, 0);
    EXPECT_EQ(closedown(), 0);
}

TEST_F(Lifecycle, FailedAllocationKeepsSocketsBalanced)
{
    Calls.alloc_fails = true;
    EXPECT_EQ(startup(host()), 0);
    EXPECT_EQ(Calls.alloc_bytes, host()->size + 16u);
    ASSERT_FALSE(logged().empty());
    EXPECT_EQ(logged().back(), "1 5 Unable to allocate memory for MI");
    EXPECT_EQ(standin_statistic("Failures"), 1);
    EXPECT_EQ(HostInterfaceCopy, nullptr);

    EXPECT_EQ(closedown(), 0);
    EXPECT_EQ(Calls.wsa_cleanups, 1);
    EXPECT_EQ(Calls.freed, nullptr);
}

// A size whose 16 spare bytes wrap around to a tiny block must not be
// allocated and then copied into.
TEST_F(Lifecycle, HugeRecordSizeIsAnAllocationFailure)
{
    host()->size = 0xFFFFFFF8u;
    EXPECT_EQ(startup(host()), 0);
    EXPECT_EQ(Calls.alloc_bytes, 0u);
    EXPECT_EQ(logged().back(), "1 5 Unable to allocate memory for MI");
    EXPECT_EQ(closedown(), 0);
}

// Starts that fail after the copy was made (nothing to test here) leave it
// for closedown; a later start neither copies into that block nor loses it.
TEST_F(Lifecycle, LaterStartsNeitherReuseNorLoseAnEarlierCopy)
{
    TempDir dir;
    EXPECT_EQ(startup(host()), 0);
    void* first = HostInterfaceCopy;
    ASSERT_NE(first, nullptr);

    uint32_t size = host()->size;
    host()->size = 0xFFFFFFF8u;
    EXPECT_EQ(startup(host()), 0);
    EXPECT_EQ(logged().back(), "1 5 Unable to allocate memory for MI");
    EXPECT_EQ(HostInterfaceCopy, first);
    EXPECT_EQ(Calls.freed, nullptr);

    host()->size = size;
    EXPECT_EQ(startup(host()), 0);
    void* second = HostInterfaceCopy;
    EXPECT_EQ(Calls.freed, first);
    EXPECT_NE(second, nullptr);

    EXPECT_EQ(closedown(), 0);
    EXPECT_EQ(Calls.freed, second);
    EXPECT_EQ(HostInterfaceCopy, nullptr);
}

namespace {

// A korval.ini with something to test that no cycle would have to wait for.
std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void write_small_ini()
{
    write_ini("General", "Mail", "admin@example.test");
    write_ini("Drives", "Number", "1");
    write_ini("Drives", "Drive1", "C:\\");
}

} // namespace

// The whole start, then a close-down while the thread is still in its start
// delay: it leaves by itself, nothing is terminated, and the host is not
// called any more once closedown has returned.
TEST_F(Lifecycle, StartsAndStopsCleanly)
{
    TempDir dir;
    write_small_ini();
    ASSERT_EQ(startup(host()), 1);

    Lines lines = logged();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines.front(), "10 5 Daemon KORVAL.DLL started.");
    EXPECT_EQ(lines.back(), "1 25 Korval thread created.");
    EXPECT_EQ(Resident, 1);
    EXPECT_NE(ThreadId, 0u);
    EXPECT_NE(StopEvent, nullptr);
    ASSERT_NE(HostInterfaceCopy, nullptr);
    EXPECT_NE(HostInterfaceCopy, host());
    EXPECT_EQ(Calls.alloc_bytes, host()->size + 16u);
    EXPECT_EQ(memcmp(HostInterfaceCopy, host(), host()->size), 0);

    close_down_and_expect_thread_gone(0, LeftByItselfMs);
    standin_seal();
    EXPECT_EQ(Calls.terminations, 0);
    EXPECT_EQ(Calls.wsa_cleanups, 1);
    EXPECT_EQ(standin_statistic("TotalTests"), 0);
    EXPECT_EQ(logged().back(), "1 25 Korval thread created.");
    Sleep(150);
    EXPECT_EQ(standin_late_calls(), 0);
}

TEST_F(Lifecycle, NothingToTestStartsNoThread)
{
    TempDir dir;
    EXPECT_EQ(startup(host()), 0);
    EXPECT_EQ(logged().back(), "1 5 Nothing to test.");
    EXPECT_EQ(ThreadHandle, nullptr);
    EXPECT_EQ(StopEvent, nullptr);
    EXPECT_EQ(closedown(), 0);
    EXPECT_EQ(Calls.wsa_cleanups, 1);
}

TEST_F(Lifecycle, ThreadCreationFailure)
{
    TempDir dir;
    write_small_ini();
    Calls.create_thread_fails = true;
    EXPECT_EQ(startup(host()), 0);
    EXPECT_EQ(logged().back(), "1 5 Unable to Create Control Thread");
    EXPECT_EQ(standin_statistic("Failures"), 1);
    EXPECT_EQ(ThreadHandle, nullptr);
    EXPECT_EQ(StopEvent, nullptr);
    EXPECT_EQ(closedown(), 0);
    EXPECT_EQ(Calls.terminations, 0);
    EXPECT_EQ(Calls.wsa_cleanups, 1);
}

// A second life in the same loaded image, with the mail flow on: it keeps
// no probe or count of the first, draws a token of its own, and writes its
// own status file.
TEST_F(Lifecycle, ASecondLifeStartsTheMailFlowAfresh)
{
    TempDir dir;
    write_small_ini();
    write_ini("General", "StatusFile", "korval.prom");
    write_ini("MailFlow", "LostAfter", "10");
    std::vector<std::string> senders;
    for (int life = 1; life <= 2; ++life) {
        SCOPED_TRACE(life);
        DeleteFileA(dir.file("korval.prom").c_str());
        ASSERT_EQ(startup(host()), 1);
        // Until the life's first cycle has sent its probe and written the file.
        std::string status;
        for (int wait = 0; wait < 500 && status.find("\nkorval_poll_cycles_total 1\n") == std::string::npos; ++wait) {
            Sleep(20);
            status = read_file(dir.file("korval.prom"));
        }
        closedown();
        senders.clear();
        for (const HostJob& job : standin_jobs())
            if (job.text.find("Subject: Korval mail flow probe ") != std::string::npos)
                senders.push_back(job.sender);
        ASSERT_EQ(senders.size(), static_cast<size_t>(life));
        EXPECT_EQ(senders.back().substr(senders.back().size() - 15), "-1@example.test");
        EXPECT_NE(status.find("\nkorval_mail_flow_probes_in_flight 1\n"), std::string::npos) << status;
    }
    EXPECT_NE(senders[0].substr(0, 30), senders[1].substr(0, 30));
}
