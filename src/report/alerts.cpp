// The ledger in the daemon: reports handed to it instead of sent, the
// flush at the end of each cycle, and what the status file, heartbeat and
// digest say of it. Control thread only.
#include <cstring>

#include "checks/certificates.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "report/ledger.h"
#include "report/report.h"

namespace {

LedgerClock clock_now()
{
    SYSTEMTIME t;
    Platform.GetLocalTime(&t);
    return LedgerClock{t.wHour * 60 + t.wMinute, civil_day(t.wYear, t.wMonth, t.wDay), Platform.MonotonicMs()};
}

LedgerEntry* entry_of(int kind, int32_t index)
{
    int slot = ledger_slot(kind, index);
    return Ledger.Config.On && slot >= 0 ? &Ledger.Entries[slot] : nullptr;
}

void note(const LedgerEntry& e, int level)
{
    ledger_note(static_cast<int>(&e - Ledger.Entries), level, clock_now().minute);
}

void write_ledger_body(Job job, const void* data, int channel)
{
    write_ledger_message(job, *static_cast<const LedgerMessage*>(data), channel);
}

void send_ledger_message(const ReportSnapshot& report, const ReportChannel& channel, const LedgerMessage& m)
{
    const LedgerLine& line = m.Lines[0];
    const LedgerEntry& e = Ledger.Entries[line.Slot];
    int own_text = m.Type == SingleMessage && line.To != LevelUnstable && line.From != LevelUnstable &&
                   !(e.Kind == Memory && line.To == LevelFine);
    if (!own_text) {
        send_mail(report, channel, write_ledger_body, &m);
        return;
    }
    // The report's own mail, as the check would have sent it.
    ReportSnapshot r = report;
    copy_text(r.HostName, e.Name);
    copy_text(r.Reason, e.Reason);
    r.DaysLeft = e.DaysLeft;
    if (e.Kind == DiskSpace || e.Kind == DiskAvailability) {
        copy_text(CurrentDrivePath, e.Name);
        CurrentFreeMB = e.A;
    }
    send_channel_report(r, e.Kind, e.A, line.To == LevelFine ? 0 : e.B, channel);
}

} // namespace

int ledger_keep(const ReportSnapshot& report, int kind, int32_t a, int32_t b)
{
    LedgerEntry* e = entry_of(kind, a);
    if (e == nullptr)
        return 0;
    int drive = kind == DiskSpace || kind == DiskAvailability;
    e->Kind = static_cast<uint8_t>(kind);
    e->A = kind == DiskSpace ? CurrentFreeMB : a;
    e->B = b;
    e->DaysLeft = report.DaysLeft;
    copy_text(e->Name, drive ? CurrentDrivePath : report.HostName);
    copy_text(e->Reason, report.Reason);
    // A critical or unreadable drive (its modules go offline) must wake
    // someone whatever the hour.
    lock_settings();
    e->Urgent = drive && b && (kind == DiskAvailability || DriveState[a].Critical);
    unlock_settings();
    int level = kind == CertificateReport ? (b == CriticalNotice ? LevelCritical : b == RenewedNotice ? LevelFine : LevelFailing)
                : kind == Memory || b ? LevelFailing
                                      : LevelFine;
    note(*e, level);
    return 1;
}

void ledger_fine(int kind, int32_t a, int32_t b)
{
    LedgerEntry* e = entry_of(kind, 0);
    if (e == nullptr || e->Level == LevelFine)
        return;
    e->A = a;
    e->B = b;
    note(*e, LevelFine);
}

void ledger_unstable(int kind, int index, const char* name, int misses, int polls)
{
    LedgerEntry* e = entry_of(kind, index);
    if (e == nullptr)
        return;
    e->Kind = static_cast<uint8_t>(kind);
    copy_text(e->Name, name);
    e->Misses = static_cast<int16_t>(misses);
    e->Polls = static_cast<int16_t>(polls);
    note(*e, misses > 0 ? LevelUnstable : LevelFine);
}

void ledger_begin_cycle()
{
    lock_settings();
    Ledger.Config = Settings.Added.Alerts;
    unlock_settings();
    LedgerClock c = clock_now();
    for (int list = 0; list < 2; ++list)
        Ledger.HeldAtStart[list] = Ledger.Config.On ? ledger_held_by(list, c.day, c.minute) : 0;
}

void ledger_flush(const HostInterface*)
{
    if (!Ledger.Config.On || StopRequested)
        return;
    LedgerClock c = clock_now();
    ReportSnapshot report;
    take_mail_snapshot(report);
    static LedgerMessage m;
    for (int list = 0; list < 2; ++list) {
        const ReportChannel& channel = list == MailList ? report.mail : report.sms;
        if (channel.count == 0)
            continue;
        // A cycle that began inside a window is not a complete one after it.
        ledger_review(list, Ledger.HeldAtStart[list] | ledger_held_by(list, c.day, c.minute));
        while (ledger_next_message(list, c, m))
            send_ledger_message(report, channel, m);
        Ledger.Lists[list].HeldCount = ledger_pending(list);
    }
}

int append_ledger_status(char* text, size_t size)
{
    if (!Ledger.Config.On)
        return 1;
    static const char* const Lists[2] = {"mail", "sms"};
    int whole = append_text(text, size,
                "# HELP korval_notices_held Reports a recipient list has not been told yet.\n"
                "# TYPE korval_notices_held gauge\n");
    char line[96];
    for (int list = 0; list < 2; ++list) {
        format_text(line, sizeof line, "korval_notices_held{list=\"%s\"} %d\n", Lists[list],
                    Ledger.Lists[list].HeldCount);
        whole &= append_text(text, size, line);
    }
    whole &= append_text(text, size,
                "# HELP korval_notices_sent_total Messages of the ledger sent to a recipient list since startup.\n"
                "# TYPE korval_notices_sent_total counter\n");
    for (int list = 0; list < 2; ++list) {
        format_text(line, sizeof line, "korval_notices_sent_total{list=\"%s\"} %u\n", Lists[list],
                    Ledger.Lists[list].Sent);
        whole &= append_text(text, size, line);
    }
    LedgerClock c = clock_now();
    format_text(line, sizeof line,
                "# HELP korval_maintenance 1 while a maintenance window is open.\n"
                "# TYPE korval_maintenance gauge\nkorval_maintenance %d\n",
                ledger_held_by(MailList, c.day, c.minute) != 0);
    return whole & append_text(text, size, line);
}

void write_window_line(Job job)
{
    const AlertSettings& a = Ledger.Config;
    if (!a.On)
        return;
    LedgerClock c = clock_now();
    for (int k = 0; k < a.WindowCount && k < MaxWindows; ++k) {
        int end = window_end(a.Windows[k], c.day, c.minute);
        if (end >= 0) {
            write_formatted(job, "Maintenance until %02d:%02d: reports held.\r\n", end / 60, end % 60);
            return;
        }
    }
    int end = a.QuietOn ? window_end(a.Quiet, c.day, c.minute) : -1;
    if (end >= 0)
        write_formatted(job, "SMS quiet hours until %02d:%02d: SMS held.\r\n", end / 60, end % 60);
}

void write_window_blips(Job job)
{
    char line[HostNameSize + 40];
    for (int k = 0; k < Ledger.WindowBlipCount; ++k) {
        const Blip& b = Ledger.WindowBlips[k];
        LedgerLine l{b.Slot, b.Level, LevelFine, 1, b.From, b.To};
        ledger_line_text(line, sizeof line, l);
        write_formatted(job, "Inside a window: %s.\r\n", line);
    }
    if (Ledger.WindowBlipsLost > 0)
        write_formatted(job, "Inside a window: %d more.\r\n", Ledger.WindowBlipsLost);
}

void ledger_digest_sent()
{
    Ledger.WindowBlipCount = 0;
    Ledger.WindowBlipsLost = 0;
}
