// [Alerts]: reading its keys, correcting bad values with one summary line
// each, and the spans of local time (quiet hours, maintenance windows).
#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "platform/daemon_state.h"
#include "platform/text.h"
#include "settings/profile.h"

int32_t civil_day(int year, int month, int day)
{
    year -= month <= 2;
    int era = (year >= 0 ? year : year - 399) / 400;
    int year_of_era = year - era * 400;
    int day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    int day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146097 + day_of_era - 719468;
}

namespace {

const char* const Weekdays[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};

// 1970-01-01 was a Thursday.
int weekday_of(int32_t day)
{
    int w = static_cast<int>((day + 4) % 7);
    return w < 0 ? w + 7 : w;
}

int window_starts_on(const TimeWindow& w, int32_t day)
{
    return w.Weekday == EveryDay || (w.Weekday == OnDate ? w.Day == day : w.Weekday == weekday_of(day));
}

// The number of count decimal digits at text; -1 when one is not a digit.
int digits(const char* text, int count)
{
    int value = 0;
    for (int k = 0; k < count; ++k) {
        if (text[k] < '0' || text[k] > '9')
            return -1;
        value = value * 10 + (text[k] - '0');
    }
    return value;
}

// "HH:MM-HH:MM" into the window's span; 0 when it is not one, or empty.
int read_span(const char* text, TimeWindow& w)
{
    const char* dash = strchr(text, '-');
    if (dash == nullptr || dash - text > 5)
        return 0;
    char start[6];
    copy_text(start, static_cast<size_t>(dash - text) + 1, text);
    w.Start = read_time_of_day(start);
    w.End = read_time_of_day(dash + 1);
    return w.Start >= 0 && w.End >= 0 && w.Start != w.End;
}

// "Sun 02:00-04:00" or "2026-12-24 18:00-23:00", spaces around allowed.
int read_window(char* text, TimeWindow& w)
{
    while (*text == ' ')
        ++text;
    size_t n = strlen(text);
    while (n > 0 && text[n - 1] == ' ')
        text[--n] = '\0';
    const char* space = strchr(text, ' ');
    if (space == nullptr)
        return 0;
    w.Weekday = OnDate;
    for (int k = 0; k < 7; ++k)
        if (space - text == 3 && strncmp(text, Weekdays[k], 3) == 0)
            w.Weekday = k;
    if (w.Weekday == OnDate) {
        if (space - text != 10 || text[4] != '-' || text[7] != '-')
            return 0;
        int year = digits(text, 4), month = digits(text + 5, 2), day = digits(text + 8, 2);
        if (year < 0 || month < 1 || month > 12 || day < 1 || day > 31)
            return 0;
        w.Day = civil_day(year, month, day);
    }
    return read_span(space + 1, w);
}

void read_maintenance(const char* path, AlertSettings& alerts)
{
    char value[ListSize];
    read_text(path, "Alerts", "Maintenance", value);
    char* rest = value;
    while (rest != nullptr && *rest != '\0') {
        char* comma = strchr(rest, ',');
        if (comma != nullptr)
            *comma = '\0';
        TimeWindow w{};
        if (alerts.WindowCount < MaxWindows && read_window(rest, w))
            alerts.Windows[alerts.WindowCount++] = w;
        else if (alerts.Corrections[5][0] == '\0')
            note_line(alerts.Corrections[5], "Alerts", "Maintenance window '%s' skipped: not a window.", rest);
        rest = comma != nullptr ? comma + 1 : nullptr;
    }
}

} // namespace

int window_end(const TimeWindow& w, int32_t day, int minute)
{
    int open = w.End > w.Start ? window_starts_on(w, day) && minute >= w.Start && minute < w.End
                               : (window_starts_on(w, day) && minute >= w.Start) ||
                                     (window_starts_on(w, day - 1) && minute < w.End);
    return open ? w.End : -1;
}

void read_alerts(const char* path, AlertSettings& alerts)
{
    alerts = AlertSettings{};
    char value[ListSize];
    // The key names of the section: any at all turns the ledger on.
    alerts.On = GetPrivateProfileStringA("Alerts", nullptr, "", value, sizeof value, path) > 0;
    if (!alerts.On)
        return;

    read_text(path, "Alerts", "Unstable", value);
    if (value[0] != '\0') {
        char* end;
        long k = strtol(value, &end, 10), n = *end == '/' ? strtol(end + 1, &end, 10) : 0;
        if (*end == '\0' && k >= 1 && k <= n && n <= 32) {
            alerts.UnstableMisses = static_cast<int>(k);
            alerts.UnstablePolls = static_cast<int>(n);
        } else {
            note_line(alerts.Corrections[0], "Alerts", "Unstable=%s is not K/N with 1 <= K <= N <= 32: off.", value);
        }
    }
    alerts.DiskMargin = read_bounded(path, "Alerts", "DiskMargin", 0, 0, 1000000, alerts.Corrections[1]);
    alerts.Group = read_bounded(path, "Alerts", "Group", 0, 0, 1, alerts.Corrections[2]);
    alerts.SmsPerHour = read_bounded(path, "Alerts", "SmsPerHour", 0, 0, 60, alerts.Corrections[3]);

    read_text(path, "Alerts", "SmsQuiet", value);
    if (value[0] != '\0') {
        alerts.Quiet.Weekday = EveryDay;
        alerts.QuietOn = read_span(value, alerts.Quiet);
        if (!alerts.QuietOn)
            note_line(alerts.Corrections[4], "Alerts", "SmsQuiet=%s is not HH:MM-HH:MM: no quiet hours.", value);
    }
    read_maintenance(path, alerts);
}

void log_alert_settings(const HostInterface* host, const AlertSettings& a)
{
    if (!a.On)
        return;
    char line[ListSize];
    copy_text(line, "Alerts on");
    if (a.UnstableMisses > 0)
        append_format(line, sizeof line, ", unstable at %d/%d", a.UnstableMisses, a.UnstablePolls);
    if (a.DiskMargin > 0)
        append_format(line, sizeof line, ", disk margin %d MB", a.DiskMargin);
    if (a.Group)
        append_text(line, ", grouped");
    if (a.SmsPerHour > 0)
        append_format(line, sizeof line, ", %d SMS an hour", a.SmsPerHour);
    if (a.QuietOn)
        append_format(line, sizeof line, ", SMS quiet %02d:%02d-%02d:%02d", a.Quiet.Start / 60, a.Quiet.Start % 60,
                      a.Quiet.End / 60, a.Quiet.End % 60);
    if (a.WindowCount > 0)
        append_format(line, sizeof line, ", %d maintenance window%s", a.WindowCount, plural(a.WindowCount));
    append_text(line, ".");
    host_log_format(host, 1, 20, "%s", line);
    log_notes(host, a.Corrections, sizeof a.Corrections / sizeof *a.Corrections);
}
