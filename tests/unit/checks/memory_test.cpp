#include <gtest/gtest.h>

#include "checks/memory.h"
#include "monitor_fixture.h"

namespace {

using Lines = std::vector<std::string>;

constexpr SIZE_T MB = 1u << 20;
MEMORYSTATUS figures;

void fake_memory_status(LPMEMORYSTATUS status) { *status = figures; }

class MemoryTest : public MonitorTest {
protected:
    void SetUp() override
    {
        MonitorTest::SetUp();
        Platform.GlobalMemoryStatus = fake_memory_status;
        figures = MEMORYSTATUS{};
        figures.dwTotalPhys = 512 * MB;
        figures.dwAvailPhys = 100 * MB;
        figures.dwTotalPageFile = 1024 * MB;
    }

    Lines cycle(SIZE_T available_paged)
    {
        figures.dwAvailPageFile = available_paged;
        test_memory(host());
        return steps();
    }
};

const std::string Physical = "log 20 25 Physical memory available is 100 MB from 512 MB total.";

TEST_F(MemoryTest, ShortMemoryIsReportedFirstAndThenAfterSuspendShortCycles)
{
    struct Cycle { int available; bool warned; int countdown; bool reported; };
    const Cycle cycles[] = {
        {15, true, 5, true}, {14, true, 4, false}, {13, true, 3, false}, {30, false, 3, false},
        {12, true, 2, false}, {12, true, 1, false}, {11, true, 0, false}, {11, true, 5, true},
    };
    int number = 0;
    for (const Cycle& c : cycles) {
        SCOPED_TRACE("cycle " + std::to_string(++number));
        std::string figures_text = std::to_string(c.available) + " MB from 1024 MB total.";
        Lines expected = {Physical, "log 20 25 Paged memory available is" + figures_text};
        if (c.warned)
            expected.push_back("log 20 15 Available memory is only " + figures_text);
        if (c.reported)
            expected.push_back("report");
        EXPECT_EQ(cycle(c.available * MB + MB - 1), expected);
        EXPECT_EQ(MemoryReportCountdown, c.countdown);
    }
    std::vector<HostJob> jobs = standin_jobs();
    ASSERT_EQ(jobs.size(), 2u);
    EXPECT_NE(jobs[0].text.find("Subject: Low memory on Mercury\r\n"), std::string::npos);
    EXPECT_NE(jobs[0].text.find("Only 15MB free from 1024MB total"), std::string::npos);
    EXPECT_NE(jobs[1].text.find("Only 11MB free from 1024MB total"), std::string::npos);
}

TEST_F(MemoryTest, LimitZeroOnlyLogsTheFigures)
{
    Settings.MemoryLimit = 0;
    EXPECT_EQ(cycle(0), (Lines{Physical, "log 20 25 Paged memory available is0 MB from 1024 MB total."}));
    EXPECT_EQ(standin_jobs().size(), 0u);
}

TEST_F(MemoryTest, WithoutPageFileThePhysicalFiguresAreJudged)
{
    // Equal to the limit is enough.
    Settings.MemoryLimit = 100;
    figures.dwTotalPageFile = 0;
    EXPECT_EQ(cycle(0), (Lines{Physical, "log 20 25 Paged memory available is0 MB from 0 MB total."}));

    Settings.MemoryLimit = 101;
    EXPECT_EQ(cycle(0), (Lines{Physical, "log 20 25 Paged memory available is0 MB from 0 MB total.",
                               "log 20 15 Available memory is only 100 MB from 512 MB total.", "report"}));
    EXPECT_EQ(subjects(), Lines{"Subject: Low memory on Mercury"});

    // The largest figures the platform can give come out as 4095 MB.
    figures.dwTotalPhys = figures.dwAvailPhys = ~SIZE_T{0};
    EXPECT_EQ(cycle(0)[0], "log 20 25 Physical memory available is 4095 MB from 4095 MB total.");
}

TEST_F(MemoryTest, NegativeSuspendStillReportsEveryShortCycle)
{
    Settings.Suspend = -3;
    cycle(0);
    cycle(0);
    EXPECT_EQ(subjects().size(), 2u);
}

} // namespace
