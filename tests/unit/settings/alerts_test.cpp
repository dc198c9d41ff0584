#include <string>
#include <vector>

#include "settings/profile.h"
#include "settings_test_support.h"

namespace {

using Lines = std::vector<std::string>;

class AlertsTest : public SettingsTest {
protected:
    AlertSettings read(const std::string& section)
    {
        write_file("[General]\r\nPollTime=5\r\n" + section);
        AlertSettings a;
        read_alerts(dir.file("korval.ini").c_str(), a);
        return a;
    }
};

TEST_F(AlertsTest, EveryKeyIsOffByDefaultAndEachBadValueIsCorrectedWithOneLine)
{
    struct Case {
        const char* section;
        Lines summary;
    } cases[] = {
        {"", {}},
        {"[Alerts]\r\nGroup=0\r\n", {"1 20 Alerts on."}},
        {"[Alerts]\r\nUnstable=3/10\r\nDiskMargin=50\r\nGroup=1\r\nSmsPerHour=4\r\nSmsQuiet=23:00-07:00\r\n"
         "Maintenance=Sun 02:00-04:00, 2026-12-24 18:00-23:00\r\n",
         {"1 20 Alerts on, unstable at 3/10, disk margin 50 MB, grouped, 4 SMS an hour, SMS quiet 23:00-07:00, 2 "
          "maintenance windows."}},
        {"[Alerts]\r\nUnstable=12/10\r\n",
         {"1 20 Alerts on.", "1 15 [Alerts] Unstable=12/10 is not K/N with 1 <= K <= N <= 32: off."}},
        {"[Alerts]\r\nUnstable=3/40\r\n",
         {"1 20 Alerts on.", "1 15 [Alerts] Unstable=3/40 is not K/N with 1 <= K <= N <= 32: off."}},
        {"[Alerts]\r\nUnstable=three\r\n",
         {"1 20 Alerts on.", "1 15 [Alerts] Unstable=three is not K/N with 1 <= K <= N <= 32: off."}},
        {"[Alerts]\r\nDiskMargin=-5\r\n", {"1 20 Alerts on.", "1 15 [Alerts] DiskMargin=-5 corrected to 0."}},
        {"[Alerts]\r\nGroup=2\r\n", {"1 20 Alerts on, grouped.", "1 15 [Alerts] Group=2 corrected to 1."}},
        {"[Alerts]\r\nSmsPerHour=100\r\n",
         {"1 20 Alerts on, 60 SMS an hour.", "1 15 [Alerts] SmsPerHour=100 corrected to 60."}},
        {"[Alerts]\r\nSmsQuiet=23-7\r\n",
         {"1 20 Alerts on.", "1 15 [Alerts] SmsQuiet=23-7 is not HH:MM-HH:MM: no quiet hours."}},
        {"[Alerts]\r\nSmsQuiet=07:00-07:00\r\n",
         {"1 20 Alerts on.", "1 15 [Alerts] SmsQuiet=07:00-07:00 is not HH:MM-HH:MM: no quiet hours."}},
        {"[Alerts]\r\nMaintenance=Xyz 02:00-04:00,Mon 01:00-02:00\r\n",
         {"1 20 Alerts on, 1 maintenance window.",
          "1 15 [Alerts] Maintenance window 'Xyz 02:00-04:00' skipped: not a window."}},
        {"[Alerts]\r\nMaintenance=2026-13-01 01:00-02:00,2026-1-1 01:00-02:00\r\n",
         {"1 20 Alerts on.", "1 15 [Alerts] Maintenance window '2026-13-01 01:00-02:00' skipped: not a window."}},
        {"[Alerts]\r\nMaintenance=Sun 1:00-2:00,Mon 01:00-02:00,Tue 01:00-02:00,Wed 01:00-02:00,Thu 01:00-02:00,"
         "Fri 01:00-02:00,Sat 01:00-02:00,Sun 03:00-04:00,Mon 03:00-04:00\r\n",
         {"1 20 Alerts on, 8 maintenance windows.",
          "1 15 [Alerts] Maintenance window 'Mon 03:00-04:00' skipped: not a window."}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.section);
        standin_reset();
        AlertSettings a = read(c.section);
        log_alert_settings(host(), a);
        EXPECT_EQ(logged(), c.summary);
    }
}

TEST_F(AlertsTest, WindowsOpenOnTheirDaysAndAcrossMidnight)
{
    AlertSettings a = read("[Alerts]\r\nSmsQuiet=23:00-07:00\r\n"
                           "Maintenance=Sun 02:00-04:00, 2026-12-24 18:00-23:00, Sat 23:30-00:30\r\n");
    ASSERT_EQ(a.WindowCount, 3);
    int32_t thursday = civil_day(2026, 12, 24), saturday = civil_day(2026, 12, 26), sunday = saturday + 1;
    struct Case {
        const TimeWindow& w;
        int32_t day;
        int minute;
        int end;
    } cases[] = {
        {a.Quiet, thursday, 22 * 60 + 59, -1},
        {a.Quiet, thursday, 23 * 60, 7 * 60},
        {a.Quiet, thursday, 6 * 60 + 59, 7 * 60},
        {a.Quiet, thursday, 7 * 60, -1},
        {a.Windows[0], sunday, 2 * 60, 4 * 60},
        {a.Windows[0], sunday, 4 * 60, -1},
        {a.Windows[0], saturday, 3 * 60, -1},
        {a.Windows[1], thursday, 18 * 60, 23 * 60},
        {a.Windows[1], thursday + 7, 18 * 60, -1},
        {a.Windows[2], saturday, 23 * 60 + 45, 30},
        {a.Windows[2], sunday, 15, 30},
        {a.Windows[2], sunday, 23 * 60 + 45, -1},
        {a.Windows[2], saturday, 15, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.minute);
        EXPECT_EQ(window_end(c.w, c.day, c.minute), c.end);
    }
    EXPECT_EQ(civil_day(1970, 1, 1), 0);
    EXPECT_EQ(civil_day(2038, 1, 20), 24856);
}

} // namespace
