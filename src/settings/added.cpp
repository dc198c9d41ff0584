// The added sections of korval.ini: bad values never stop the daemon, they
// are corrected, each with one line of the summary that says how.
#include <cstdarg>
#include <cstdlib>

#include "settings/profile.h"

int read_whole_number(const char* text, long* value)
{
    char* end;
    *value = strtol(text, &end, 10);
    return end != text && *end == '\0';
}

int read_port(const char* text, uint16_t* port)
{
    char* end;
    unsigned long value = strtoul(text, &end, 10);
    if (*text < '0' || *text > '9' || *end != '\0' || value == 0 || value > 65535)
        return 0;
    *port = static_cast<uint16_t>(value);
    return 1;
}

void note_line(char (&line)[ListSize], const char* section, const char* format, ...)
{
    format_text(line, sizeof line, "[%s] ", section);
    size_t used = strlen(line);
    va_list args;
    va_start(args, format);
    vformat_text(line + used, sizeof line - used, format, args);
    va_end(args);
}

int read_bounded(const char* path, const char* section, const char* key, int fallback, int low, int high,
                 char (&correction)[ListSize])
{
    char value[ListSize];
    read_text(path, section, key, value);
    if (value[0] == '\0')
        return fallback;
    long number;
    int whole = read_whole_number(value, &number);
    int taken = !whole ? fallback : number < low ? low : number > high ? high : static_cast<int>(number);
    if (!whole || number != taken)
        format_text(correction, sizeof correction, "[%s] %s=%s corrected to %d.", section, key, value, taken);
    return taken;
}

int read_time_of_day(const char* text)
{
    int hours = 0, digits = 0;
    for (; *text >= '0' && *text <= '9' && digits < 2; ++text, ++digits)
        hours = hours * 10 + (*text - '0');
    if (digits == 0 || *text != ':' || hours > 23)
        return -1;
    ++text;
    if (text[0] < '0' || text[0] > '5' || text[1] < '0' || text[1] > '9' || text[2] != '\0')
        return -1;
    return hours * 60 + (text[0] - '0') * 10 + (text[1] - '0');
}

void read_added(const char* path, int poll_time, AddedSettings& added)
{
    for (char* line : added.Corrections)
        line[0] = '\0';
    added.CertWarnDays = read_bounded(path, "Services", "CertWarnDays", 21, 0, 3650, added.Corrections[3]);
    added.CertCriticalDays = read_bounded(path, "Services", "CertCriticalDays", 7, 0, 3650, added.Corrections[4]);
    // 0 is the off value, so a negative one turns the probes off too.
    added.LostAfter = read_bounded(path, "MailFlow", "LostAfter", 0, 0, 1440, added.Corrections[0]);

    char value[ListSize];
    read_text(path, "Heartbeat", "Mail", value);
    build_recipients(added.Heartbeat, value);
    added.HeartbeatMinutes = read_bounded(path, "Heartbeat", "Minutes", 60, 5, 1440, added.Corrections[1]);
    if (added.Corrections[1][0] == '\0' && added.HeartbeatMinutes < poll_time &&
        added.Heartbeat.MailCount + added.Heartbeat.SmsCount > 0)
        note_line(added.Corrections[1], "Heartbeat", "Minutes=%d is shorter than PollTime: every %d minutes.",
                  added.HeartbeatMinutes, poll_time);
    read_text(path, "Heartbeat", "Digest", value);
    added.DigestMinute = value[0] != '\0' ? read_time_of_day(value) : -1;
    if (value[0] != '\0' && added.DigestMinute < 0)
        note_line(added.Corrections[2], "Heartbeat", "Digest=%s is not HH:MM: no digest.", value);
    read_internet(path, added.Internet);
    added.Internet.Minutes = read_bounded(path, "Internet", "Minutes", 60, 15, 1440, added.Internet.Notes[3]);
}
