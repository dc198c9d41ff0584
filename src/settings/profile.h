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
int read_port(const char* text, uint16_t* port);

// Reads the keys prefix1 .. prefixN into consecutive slots, each with the
// number of its key. Empty entries are skipped, and so are names too long
// for a slot: a cut name would test another host or drive. One function for
// every table: names holds slots of size bytes each.
int read_name_table(const char* path, const char* section, const char* prefix, int number, char* names, int slots,
                    int size, uint8_t* keys);
template <int Slots, int Size>
inline int read_names(const char* path, const char* section, const char* prefix, int number,
                      char (&names)[Slots][Size], uint8_t (&keys)[Slots])
{
    return read_name_table(path, section, prefix, number, names[0], Slots, Size, keys);
}

// Writes the keys prefix1 .. prefixN of the first count slots.
void write_name_table(const char* path, const char* section, const char* prefix, const char* names, int slots,
                      int size, int count);
template <int Slots, int Size>
inline void write_names(const char* path, const char* section, const char* prefix, const char (&names)[Slots][Size],
                        int count)
{
    write_name_table(path, section, prefix, names[0], Slots, Size, count);
}

// A note of section for the summary: "[section] " and the formatted text.
void note_line(char (&line)[ListSize], const char* section, const char* format, ...)
    __attribute__((format(ms_printf, 3, 4)));
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
