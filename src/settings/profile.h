// The profile (INI) calls of korval.ini, shared by the reading and the
// writing of its sections. Private to the settings.
#pragma once

#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/text.h"
#include "settings/settings.h"

inline int read_number(const char* path, const char* section, const char* key, int fallback)
{
    return static_cast<int>(GetPrivateProfileIntA(section, key, fallback, path));
}

inline void read_text(const char* path, const char* section, const char* key, char (&value)[ListSize])
{
    GetPrivateProfileStringA(section, key, "", value, sizeof value, path);
}

inline void write_text(const char* path, const char* section, const char* key, const char* value)
{
    WritePrivateProfileStringA(section, key, value, path);
}

inline void write_number(const char* path, const char* section, const char* key, int value)
{
    char text[16];
    format_text(text, sizeof text, "%d", value);
    write_text(path, section, key, text);
}

// Decimal 1 .. 65535 filling the whole text.
inline int read_port(const char* text, uint16_t* port)
{
    char* end;
    unsigned long value = strtoul(text, &end, 10);
    if (*text < '0' || *text > '9' || *end != '\0' || value == 0 || value > 65535)
        return 0;
    *port = static_cast<uint16_t>(value);
    return 1;
}

// Reads the keys prefix1 .. prefixN into consecutive slots, each with the
// number of its key. Empty entries are skipped, and so are names too long
// for a slot: a cut name would test another host or drive.
template <int Slots, int Size>
int read_names(const char* path, const char* section, const char* prefix, int number, char (&names)[Slots][Size],
               uint8_t (&keys)[Slots])
{
    if (number > Slots)
        number = Slots;
    int count = 0;
    char key[32];
    char value[ListSize];
    for (int k = 1; k <= number; ++k) {
        format_text(key, sizeof key, "%s%d", prefix, k);
        read_text(path, section, key, value);
        if (value[0] == '\0' || strlen(value) >= Size)
            continue;
        copy_text(names[count], value);
        keys[count] = static_cast<uint8_t>(k);
        ++count;
    }
    return count;
}

template <int Slots, int Size>
void write_names(const char* path, const char* section, const char* prefix, const char (&names)[Slots][Size],
                 int count)
{
    char key[32];
    for (int k = 0; k < in_table(count, Slots); ++k) {
        format_text(key, sizeof key, "%s%d", prefix, k + 1);
        write_text(path, section, key, names[k]);
    }
}

// The summary's line of each note that is not empty, as a warning.
void log_notes(const HostInterface* host, const char (*notes)[ListSize], int count);

// A whole decimal number, sign allowed; 0 when the text is not one.
int read_whole_number(const char* text, long* value);
// A number from the added sections: absent (or empty) gives fallback,
// anything outside low .. high is corrected into it (fallback for what is
// no number) and the correction noted for the summary.
int read_bounded(const char* path, const char* section, const char* key, int fallback, int low, int high,
                 char (&correction)[ListSize]);
// "HH:MM" (or "H:MM") as minutes of the day; -1 when it is not a time.
int read_time_of_day(const char* text);

// The [Services] entries up to number: those that parse go to the record's
// table, the others to its skipped ones, which only the summary shows.
void read_services(const char* path, int number, SettingsRecord& next);
// The added sections ([Services] thresholds, [MailFlow], [Heartbeat]),
// each bad value corrected with one line for the summary.
void read_added(const char* path, int poll_time, AddedSettings& added);
// [Alerts], its corrections in its own lines; and its summary lines.
void read_alerts(const char* path, AlertSettings& alerts);
void log_alert_settings(const HostInterface* host, const AlertSettings& alerts);
