// The status file: formatted from a copy of the daemon's state at the end of
// a poll cycle, written to PATH.tmp and moved over PATH in one step, so that
// a reader never sees half a file.
#include "monitor/status.h"

#include <windows.h>

#include <cstdarg>
#include <cstring>
#include <ctime>

#include "monitor/errand.h"
#include "monitor/monitor.h"
#include "platform/daemon_state.h"
#include "platform/text.h"

namespace {

// The readings the daemon's own state does not keep: a load zeroes
// DriveState, and the memory test keeps no figures. Guarded by the settings
// lock.
DriveReading DriveReadings[MaxDrives];
int MemoryRead;
int32_t PhysicalMB;
int32_t PagedMB;

// Control thread only.
uint32_t CyclesDone;
int WriteFailing; // a failed write was logged; silent until one succeeds

// The text and the path go to the errand thread as one copy.
struct StatusWrite {
    char path[StatusPathSize];
    DWORD error; // 0 when the file was written
    char text[StatusTextSize];
};
StatusWrite Pending;

// A cursor in the text buffer; whole drops to 0 at the first cut.
struct StatusText {
    char* at;
    size_t left;
    int whole;
};

void advance(StatusText& t, int whole)
{
    size_t n = strlen(t.at);
    t.at += n;
    t.left -= n;
    t.whole &= whole;
}

void put(StatusText& t, const char* text)
{
    advance(t, copy_text(t.at, t.left, text));
}

void add(StatusText& t, const char* format, ...) __attribute__((format(ms_printf, 2, 3)));
void add(StatusText& t, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    advance(t, vformat_text(t.at, t.left, format, args));
    va_end(args);
}

// A label value escaped as the format wants it. Names from korval.ini are
// 8-bit text; the format is UTF-8, so a byte above 127 is taken as Latin-1
// rather than making the exporter refuse the whole file.
void put_label_value(StatusText& t, const char* value)
{
    for (const unsigned char* c = reinterpret_cast<const unsigned char*>(value); *c; ++c) {
        char piece[3] = {static_cast<char>(*c)};
        if (*c == '\\' || *c == '"' || *c == '\n') {
            piece[0] = '\\';
            piece[1] = *c == '\n' ? 'n' : static_cast<char>(*c);
        } else if (*c >= 0x80) {
            piece[0] = static_cast<char>(0xC0 | *c >> 6);
            piece[1] = static_cast<char>(0x80 | (*c & 0x3F));
        }
        put(t, piece);
    }
}

void family(StatusText& t, const char* name, const char* type, const char* help)
{
    add(t, "# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
}

// One sample of a table entry: the slot (from 1) keeps two entries of the
// same name apart, which the exporters would refuse as duplicates.
void slot_sample(StatusText& t, const char* name, int index, const char* label, const char* value, long number)
{
    add(t, "%s{slot=\"%d\",%s=\"", name, index + 1, label);
    put_label_value(t, value);
    add(t, "\"} %ld\n", number);
}

template <int Slots, int Size>
void up_samples(StatusText& t, const char* name, const char* label, int count, const char (&names)[Slots][Size],
                const HostStateEntry (&states)[Slots])
{
    for (int k = 0; k < count && k < Slots; ++k)
        slot_sample(t, name, k, label, names[k], states[k].MissCount == 0);
}

// msvcrt's clock: a 64-bit division of FILETIME ticks would link in a
// library routine of some 400 bytes.
uint32_t unix_time_now()
{
    return static_cast<uint32_t>(_time32(nullptr));
}

// The errand: touches nothing but its own copy. The ".tmp" never outlives a
// failed write or move.
void write_file(void* data)
{
    StatusWrite& w = *static_cast<StatusWrite*>(data);
    char tmp[StatusPathSize];
    status_tmp_path(tmp, w.path); // fits: the load made sure
    w.error = 0;
    HANDLE file = CreateFileA(tmp, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        w.error = GetLastError();
        return;
    }
    DWORD length = static_cast<DWORD>(strlen(w.text));
    DWORD written = 0;
    if (!WriteFile(file, w.text, length, &written, nullptr))
        w.error = GetLastError();
    else if (written != length)
        w.error = ERROR_DISK_FULL;
    if (!CloseHandle(file) && w.error == 0)
        w.error = GetLastError();
    if (w.error == 0 && !MoveFileExA(tmp, w.path, MOVEFILE_REPLACE_EXISTING))
        w.error = GetLastError();
    if (w.error != 0)
        DeleteFileA(tmp);
}

// One line when writing starts to fail, one when it works again.
void tell_write(const HostInterface* host, const StatusWrite& w)
{
    if (w.error != 0 && !WriteFailing) {
        host_log_format(host, 1, 15, "Error %lu writing status file %s", w.error, w.path);
        host_bump_statistic(host, Failures);
    } else if (w.error == 0 && WriteFailing) {
        host_log_format(host, 1, 25, "Status file %s written again.", w.path);
    }
    WriteFailing = w.error != 0;
}

} // namespace

int format_status(char* text, size_t size, const StatusSnapshot& s)
{
    StatusText t = {text, size, 1};
    text[0] = '\0';
    family(t, "korval_poll_cycles_total", "counter", "Poll cycles completed since startup.");
    add(t, "korval_poll_cycles_total %u\n", s.Cycles);
    family(t, "korval_last_poll_end_seconds", "gauge", "Unix time at the end of the last poll cycle.");
    add(t, "korval_last_poll_end_seconds %u\n", s.EndSeconds);
    family(t, "korval_failures_total", "counter", "Errors counted in the Failures statistic since startup.");
    add(t, "korval_failures_total %u\n", s.Failures);

    family(t, "korval_host_up", "gauge", "1 if the host answered its last echo, else 0.");
    up_samples(t, "korval_host_up", "host", s.HostCount, s.HostNames, s.Hosts);
    family(t, "korval_host_missed_polls", "gauge", "Consecutive polls the host did not answer.");
    for (int k = 0; k < s.HostCount && k < MaxHosts; ++k)
        slot_sample(t, "korval_host_missed_polls", k, "host", s.HostNames[k], s.Hosts[k].MissCount);

    family(t, "korval_memory_available_megabytes", "gauge", "Available memory as the memory test read it.");
    if (s.MemoryRead)
        add(t, "korval_memory_available_megabytes{kind=\"physical\"} %d\n"
               "korval_memory_available_megabytes{kind=\"paged\"} %d\n",
            s.PhysicalMB, s.PagedMB);

    family(t, "korval_disk_free_megabytes", "gauge", "Free space at the drive's last reading.");
    for (int k = 0; k < s.DriveCount && k < MaxDrives; ++k)
        if (s.Drives[k].Name[0] != '\0' && s.Drives[k].Status != DriveUnreadable)
            slot_sample(t, "korval_disk_free_megabytes", k, "drive", s.Drives[k].Name, s.Drives[k].FreeMB);
    family(t, "korval_disk_state", "gauge", "0 fine, 1 low, 2 critical, 3 unreadable.");
    for (int k = 0; k < s.DriveCount && k < MaxDrives; ++k)
        if (s.Drives[k].Name[0] != '\0')
            slot_sample(t, "korval_disk_state", k, "drive", s.Drives[k].Name, s.Drives[k].Status);

    family(t, "korval_module_suspended", "gauge", "1 while Korval holds the module offline.");
    add(t, "korval_module_suspended{module=\"MercuryS\"} %d\nkorval_module_suspended{module=\"MercuryD\"} %d\n",
        s.ModulesOffline & 1, s.ModulesOffline >> 1 & 1);

    family(t, "korval_service_up", "gauge", "1 if the service answered its last check, else 0.");
    up_samples(t, "korval_service_up", "service", s.ServiceCount, s.ServiceNames, s.Services);
    return t.whole;
}

void reset_status()
{
    lock_settings();
    memset(DriveReadings, 0, sizeof DriveReadings);
    MemoryRead = 0;
    unlock_settings();
    CyclesDone = 0;
    WriteFailing = 0;
    FailuresTallied = 0;
}

void note_memory(int32_t physical, int32_t paged)
{
    lock_settings();
    MemoryRead = 1;
    PhysicalMB = physical;
    PagedMB = paged;
    unlock_settings();
}

void note_drive_read(int index, const char* name, int32_t free)
{
    DriveReading& r = DriveReadings[index];
    copy_text(r.Name, name);
    r.FreeMB = free;
    // Back above FreeDisk is fine, also while the report of it waits for a
    // second reading.
    r.Status = DriveState[index].Critical ? DriveCritical : free < Settings.FreeDisk ? DriveLow : DriveFine;
}

void note_drive_unreadable(int index, const char* name)
{
    copy_text(DriveReadings[index].Name, name);
    DriveReadings[index].Status = DriveUnreadable;
}

void write_status_file(const HostInterface* host)
{
    // A cycle cut by a stop has not run to its end.
    if (StopRequested)
        return;
    ++CyclesDone;

    StatusSnapshot s{};
    lock_settings();
    copy_text(Pending.path, Settings.StatusFile);
    s.HostCount = Settings.HostCount;
    memcpy(s.HostNames, Settings.HostNames, sizeof s.HostNames);
    memcpy(s.Hosts, HostState, sizeof s.Hosts);
    s.MemoryRead = MemoryRead;
    s.PhysicalMB = PhysicalMB;
    s.PagedMB = PagedMB;
    // A reading shows only while its slot still holds the drive read.
    s.DriveCount = Settings.FreeDisk != 0 ? Settings.DriveCount : 0;
    for (int k = 0; k < s.DriveCount && k < MaxDrives; ++k)
        if (strncmp(DriveReadings[k].Name, Settings.DriveNames[k], DriveNameSize) == 0)
            s.Drives[k] = DriveReadings[k];
    s.ModulesOffline = ModulesTakenOffline;
    s.ServiceCount = Settings.ServiceCount;
    memcpy(s.ServiceNames, Settings.ServiceNames, sizeof s.ServiceNames);
    memcpy(s.Services, ServiceState, sizeof s.Services);
    unlock_settings();
    if (Pending.path[0] == '\0')
        return;

    s.Cycles = CyclesDone;
    s.EndSeconds = unix_time_now();
    s.Failures = static_cast<uint32_t>(FailuresTallied);
    format_status(Pending.text, sizeof Pending.text, s);
    // A file on a share can block: the errand thread writes it, and a stop
    // leaves it there, neither success nor failure.
    if (run_errand(write_file, Pending) == ErrandDone)
        tell_write(host, Pending);
}
