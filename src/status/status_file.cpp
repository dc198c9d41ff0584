// Formatted from a copy of the daemon's state at the end of a poll cycle,
// written to a temporary twin and moved over the file in one step, so that a
// reader never sees half a file.
#include "status/status_file.h"

#include <windows.h>

#include <cstdarg>
#include <cstring>

#include "checks/hosts.h"
#include "checks/mail_flow.h"
#include "checks/memory.h"
#include "checks/modules.h"
#include "checks/services.h"
#include "cycle/control_thread.h"
#include "cycle/errand.h"
#include "platform/daemon_state.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "report/ledger.h"

namespace {

// Control thread only.
uint32_t CyclesDone;
int64_t StartSeconds; // the life's start, Unix time
// The path whose write failed and was logged; silent until one succeeds.
// Empty while writing works.
char FailingPath[StatusPathSize];

// A reader that holds the file (an exporter scraping it) makes the move
// fail for a moment: it is tried again a few times over about a second.
constexpr int MoveTries = 6;
constexpr DWORD MovePauseMs = 200;

// The text and the path go to the errand thread as one copy.
struct StatusWrite {
    char path[StatusPathSize];
    uint32_t life;
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

// A counter's help ends "since startup."; a flag's says when it is 1.
enum FamilyType { Gauge, Counter, Flag };

// Every family's name starts with "korval_": the formats write it, and the
// names in the code go without it.
void family(StatusText& t, const char* name, int type, const char* help)
{
    static const char* const Formats[] = {"# HELP korval_%s %s\n# TYPE korval_%s gauge\n",
                                          "# HELP korval_%s %s since startup.\n# TYPE korval_%s counter\n",
                                          "# HELP korval_%s 1 if %s, else 0.\n# TYPE korval_%s gauge\n"};
    add(t, Formats[type], name, help, name);
}

// A family of one sample without labels, when it is known.
void single(StatusText& t, const char* name, int type, const char* help, int64_t value, int known = 1)
{
    family(t, name, type, help);
    if (known)
        add(t, "korval_%s %I64d\n", name, value);
}

// One sample of a table entry: the slot (its number in korval.ini) keeps
// two entries of the same name apart, which the exporters would refuse as
// duplicates.
void slot_sample(StatusText& t, const char* name, int key, const char* label, const char* value, int64_t number)
{
    add(t, "korval_%s{slot=\"%d\",%s=\"", name, key, label);
    put_label_value(t, value);
    add(t, "\"} %I64d\n", number);
}

// A sample for each entry with a reading, of its answer or its misses in a
// row.
void poll_samples(StatusText& t, const char* name, const char* label, int count, const uint8_t* keys,
                  const PollReading* readings, int missed)
{
    for (int k = 0; k < count; ++k)
        if (readings[k].Name[0] != '\0')
            slot_sample(t, name, keys[k], label, readings[k].Name, missed ? readings[k].Missed : readings[k].Up);
}

// A sample for each service whose certificate was read, of its expiry or
// its level.
void cert_samples(StatusText& t, const char* name, const StatusSnapshot& s, int level)
{
    for (int k = 0; k < s.ServiceCount; ++k)
        if (s.Certs[k].Read)
            slot_sample(t, name, s.ServiceKeys[k], "service", s.Certs[k].Name,
                        level ? s.Certs[k].Level : s.Certs[k].Expiry);
}

// One sample per blocklist: listed for each that ever judged (held while it
// is unusable), usable for each that a round looked at.
void list_samples(StatusText& t, const InternetState& n, const char* name, const char* help, int usable)
{
    family(t, name, Flag, help);
    for (int k = 0; k < n.ListCount && k < MaxBlocklists; ++k) {
        const ListState& list = n.Lists[k];
        if (usable ? list.Seen : list.Judged) {
            add(t, "korval_%s{list=\"", name);
            put_label_value(t, list.Name);
            add(t, "\"} %d\n", usable ? list.Usable : list.Listed);
        }
    }
}

// Moves the written twin over the file; a reader holding the file is
// waited for a little. The life's end is looked at before every move: a
// write that outlived its life must not replace a later life's file.
DWORD move_into_place(const char* tmp, const char* path, HANDLE life_over)
{
    for (int tries = 1;; ++tries) {
        if (WaitForSingleObject(life_over, 0) == WAIT_OBJECT_0)
            return ERROR_CANCELLED;
        if (MoveFileExA(tmp, path, MOVEFILE_REPLACE_EXISTING))
            return 0;
        DWORD error = GetLastError();
        if ((error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) || tries == MoveTries)
            return error;
        WaitForSingleObject(life_over, MovePauseMs);
    }
}

// The errand: touches nothing but its own copy. The twin never outlives a
// failed write or move.
void write_file(void* data, HANDLE life_over)
{
    StatusWrite& w = *static_cast<StatusWrite*>(data);
    char tmp[StatusPathSize];
    status_tmp_path(tmp, w.path, w.life); // fits: the load made sure
    w.error = 0;
    HANDLE file = CreateFileA(tmp, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        w.error = GetLastError();
        return;
    }
    DWORD length = static_cast<DWORD>(strlen(w.text));
    DWORD written = 0;
    if (!Platform.WriteFile(file, w.text, length, &written))
        w.error = GetLastError();
    else if (written != length)
        w.error = ERROR_DISK_FULL;
    if (!CloseHandle(file) && w.error == 0)
        w.error = GetLastError();
    if (w.error == 0)
        w.error = move_into_place(tmp, w.path, life_over);
    if (w.error != 0)
        DeleteFileA(tmp);
}

// The readings of the entries now in the table, with whether each is dead;
// a slot whose entry was not yet checked shows none.
void take_readings(PollReading* to, const PollReading* readings, const char (*names)[HostNameSize], int count,
                   const HostStateEntry* states)
{
    for (int k = 0; k < count; ++k)
        if (strncmp(readings[k].Name, names[k], HostNameSize) == 0) {
            to[k] = readings[k];
            to[k].Dead = states[k].MissCount > 0 && states[k].MissCount > Settings.Retry;
        }
}

// One line when writing to a path starts to fail, one when it works again.
void tell_write(const HostInterface* host, const StatusWrite& w)
{
    int failing = strcmp(FailingPath, w.path) == 0;
    if (w.error != 0 && !failing) {
        host_log_format(host, 1, 15, "Error %lu writing status file %s", w.error, w.path);
        host_bump_statistic(host, Failures);
    } else if (w.error == 0 && failing) {
        host_log_format(host, 1, 25, "Status file %s written again.", w.path);
    }
    copy_text(FailingPath, w.error != 0 ? w.path : "");
}

} // namespace

int format_status(char* text, size_t size, const StatusSnapshot& s)
{
    StatusText t = {text, size, 1};
    text[0] = '\0';
    single(t, "poll_cycles_total", Counter, "Poll cycles completed", s.Cycles);
    single(t, "last_poll_end_seconds", Gauge, "Unix time at the end of the last poll cycle.", s.EndSeconds);
    single(t, "failures_total", Counter, "Errors counted in the Failures statistic", s.Failures);
    single(t, "poll_interval_seconds", Gauge, "Pause between poll cycles, as the settings in force ask.",
           s.PollSeconds);
    single(t, "start_time_seconds", Gauge, "Unix time when Korval started.", s.StartSeconds);
    const char* name = "build_info";
    family(t, name, Gauge, "Korval's version, as a label; the value is always 1.");
    add(t, "korval_%s{version=\"%s\"} 1\n", name, KorvalVersion);

    family(t, "host_up", Flag, "the host answered its last echo");
    poll_samples(t, "host_up", "host", s.HostCount, s.HostKeys, s.Hosts, 0);
    family(t, "host_missed_polls", Gauge, "Consecutive polls the host did not answer.");
    poll_samples(t, "host_missed_polls", "host", s.HostCount, s.HostKeys, s.Hosts, 1);

    // Bytes and seconds, as every exporter gives them; the checks read whole
    // megabytes.
    name = "memory_available_bytes";
    family(t, name, Gauge, "Available memory as the memory test read it.");
    if (s.MemoryRead)
        add(t, "korval_%s{kind=\"physical\"} %I64d\nkorval_%s{kind=\"paged\"} %I64d\n", name,
            static_cast<int64_t>(s.PhysicalMB) << 20, name, static_cast<int64_t>(s.PagedMB) << 20);

    family(t, "disk_free_bytes", Gauge, "Free space at the drive's last reading.");
    for (int k = 0; k < s.DriveCount && k < MaxDrives; ++k)
        if (s.Drives[k].Name[0] != '\0' && s.Drives[k].Status != DriveUnreadable)
            slot_sample(t, "disk_free_bytes", s.DriveKeys[k], "drive", s.Drives[k].Name,
                        static_cast<int64_t>(s.Drives[k].FreeMB) << 20);
    family(t, "disk_state", Gauge, "0 fine, 1 low, 2 critical, 3 unreadable.");
    for (int k = 0; k < s.DriveCount && k < MaxDrives; ++k)
        if (s.Drives[k].Name[0] != '\0')
            slot_sample(t, "disk_state", s.DriveKeys[k], "drive", s.Drives[k].Name, s.Drives[k].Status);

    name = "module_suspended";
    family(t, name, Gauge, "1 while Korval holds the module offline.");
    add(t, "korval_%s{module=\"MercuryS\"} %d\nkorval_%s{module=\"MercuryD\"} %d\n", name, s.ModulesOffline & 1,
        name, s.ModulesOffline >> 1 & 1);

    family(t, "service_up", Flag, "the service answered its last check");
    poll_samples(t, "service_up", "service", s.ServiceCount, s.ServiceKeys, s.Services, 0);
    if (s.TlsEntries) {
        family(t, "service_cert_expiry_seconds", Gauge, "Expiry of the service's TLS certificate, Unix time.");
        cert_samples(t, "service_cert_expiry_seconds", s, 0);
        family(t, "service_cert_state", Gauge, "0 fine, 1 warning, 2 critical, 3 not valid now.");
        cert_samples(t, "service_cert_state", s, 1);
    }

    if (s.FlowOn) {
        single(t, "mail_flow_up", Flag, "the last judgement of the mail flow was an answer", s.FlowUp, s.FlowJudged);
        name = "mail_flow_round_trip_seconds";
        family(t, name, Gauge, "Round trip of the last probe mail back.");
        if (s.FlowRoundTripKnown)
            add(t, "korval_%s %s\n", name, seconds_of(s.FlowRoundTripMs).text);
        single(t, "mail_flow_probes_in_flight", Gauge, "Probe mails sent and not yet back or lost.", s.FlowInFlight);
        single(t, "mail_flow_probes_lost_total", Counter, "Probe mails counted lost", s.FlowLost);
    }
    if (s.HeartbeatOn)
        single(t, "heartbeats_sent_total", Counter, "Heartbeat mails sent", s.HeartbeatsSent);
    if (s.InternetOn) {
        const InternetState& n = s.Internet;
        list_samples(t, n, "blocklist_listed", "the public address is listed on the blocklist", 0);
        list_samples(t, n, "blocklist_usable", "the blocklist could judge in the last round", 1);
        single(t, "reverse_dns_ok", Flag, "the public address's PTR name resolves back to it",
               n.Reverse, n.Reverse != CheckUnknown);
        single(t, "mx_ok", Flag, "an MX host of the mail domain resolves to the public address",
               n.Mx, n.Mx != CheckUnknown);
    }
    int maintenance;
    if (ledger_open(MailList, &maintenance)) {
        static const char* const Lists[2] = {"mail", "sms"};
        name = "notices_held";
        family(t, name, Gauge, "Reports a recipient list has not been told yet.");
        for (int list = 0; list < 2; ++list)
            add(t, "korval_%s{list=\"%s\"} %d\n", name, Lists[list], Ledger.Lists[list].HeldCount);
        name = "notices_sent_total";
        family(t, name, Counter, "Messages of the ledger sent to a recipient list");
        for (int list = 0; list < 2; ++list)
            add(t, "korval_%s{list=\"%s\"} %u\n", name, Lists[list], Ledger.Lists[list].Sent);
        single(t, "maintenance", Gauge, "1 while a maintenance window is open.", maintenance >= 0);
    }
    return t.whole;
}

void reset_status()
{
    lock_settings();
    memset(DriveReadings, 0, sizeof DriveReadings);
    memset(HostReadings, 0, sizeof HostReadings);
    memset(ServiceReadings, 0, sizeof ServiceReadings);
    memset(CertReadings, 0, sizeof CertReadings);
    MemoryFigures = MemoryReading{};
    unlock_settings();
    CyclesStarted = CyclesDone = 0;
    StartSeconds = Platform.UnixTime();
    FailingPath[0] = '\0';
    FailuresTallied = 0;
}

void take_status_snapshot(StatusSnapshot& s)
{
    s = StatusSnapshot{};
    s.PollSeconds = poll_interval_ms() / 1000;
    lock_settings();
    s.HostCount = in_table(Settings.HostCount, MaxHosts);
    memcpy(s.HostKeys, Settings.HostKeys, sizeof s.HostKeys);
    take_readings(s.Hosts, HostReadings, Settings.HostNames, s.HostCount, HostState);
    s.MemoryRead = MemoryFigures.Read;
    s.PhysicalMB = MemoryFigures.PhysicalMB;
    s.PagedMB = MemoryFigures.PagedMB;
    s.AvailableMB = MemoryFigures.AvailableMB;
    s.MemoryShort = MemoryFigures.Short;
    // A reading shows only while its slot still holds the drive read.
    s.DriveCount = Settings.FreeDisk != 0 ? in_table(Settings.DriveCount, MaxDrives) : 0;
    memcpy(s.DriveKeys, Settings.DriveKeys, sizeof s.DriveKeys);
    for (int k = 0; k < s.DriveCount; ++k)
        if (strncmp(DriveReadings[k].Name, Settings.DriveNames[k], DriveNameSize) == 0)
            s.Drives[k] = DriveReadings[k];
    s.ModulesOffline = ModulesTakenOffline;
    s.ServiceCount = in_table(Settings.Added.ServiceCount, MaxServices);
    memcpy(s.ServiceKeys, Settings.Added.ServiceKeys, sizeof s.ServiceKeys);
    take_readings(s.Services, ServiceReadings, Settings.Added.ServiceNames, s.ServiceCount, ServiceState);
    for (int k = 0; k < s.ServiceCount; ++k) {
        s.TlsEntries |= service_uses_tls(Settings.Added.ServiceNames[k]);
        if (const CertReading* r = cert_reading_of(Settings.Added.ServiceNames[k]))
            s.Certs[k] = *r;
    }
    s.TlsUnavailable = TlsUnavailable;
    s.FlowOn = Settings.Added.LostAfter > 0;
    s.FlowJudged = MailFlow.Judged;
    s.FlowUp = MailFlow.Up;
    s.FlowRoundTripKnown = MailFlow.RoundTripKnown;
    s.FlowRoundTripMs = MailFlow.RoundTripMs;
    s.FlowInFlight = MailFlow.Count;
    s.FlowLost = MailFlow.Lost;
    s.InternetOn = Settings.Added.Internet.PublicIP != 0;
    unlock_settings();
    s.Internet = Internet;
    s.Cycles = CyclesDone;
    s.EndSeconds = Platform.UnixTime();
    s.StartSeconds = StartSeconds;
    s.Failures = static_cast<uint32_t>(FailuresTallied);
}

void write_status_file(const HostInterface* host, const StatusSnapshot& s)
{
    lock_settings();
    copy_text(Pending.path, Settings.Added.StatusFile);
    unlock_settings();
    if (Pending.path[0] == '\0')
        return;
    Pending.life = LifeNumber;
    format_status(Pending.text, sizeof Pending.text, s);
    // A file on a share can block: the errand thread writes it, and a stop
    // leaves it there, neither success nor failure.
    if (run_errand(write_file, Pending) == ErrandDone)
        tell_write(host, Pending);
}

uint32_t count_completed_cycle()
{
    return ++CyclesDone;
}
