// The ledger in the daemon: reports handed to it instead of sent, the
// flush at the end of each cycle, and what the status file, heartbeat and
// digest say of it. Control thread only.
#include <cstring>

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

void forget(int slot)
{
    Ledger.Entries[slot] = LedgerEntry{};
    for (ListLedger& l : Ledger.Lists) {
        l.Told[slot] = LevelFine;
        l.Unseen[slot] = -1;
    }
}

// An entry that a reload took out of its table is forgotten; one whose
// counts a reload zeroed ends its failure here, from its state now, since
// no recovery report will ever come for it.
void reconcile_poll(int slot, int configured, const HostStateEntry& state)
{
    const LedgerEntry& e = Ledger.Entries[slot];
    if (!configured)
        forget(slot);
    else if ((e.Level >= LevelFailing && state.MissCount == 0) || (e.Level == LevelUnstable && !state.Unstable))
        note(e, LevelFine);
}

void reconcile_drive(int slot, int configured, int failing)
{
    if (!configured)
        forget(slot);
    else if (Ledger.Entries[slot].Level != LevelFine && !failing)
        note(Ledger.Entries[slot], LevelFine);
}

void reconcile()
{
    static HostStateEntry hosts[MaxHosts], services[MaxServices];
    static DriveStateEntry drives[MaxDrives];
    lock_settings();
    memcpy(hosts, HostState, sizeof hosts);
    memcpy(services, ServiceState, sizeof services);
    memcpy(drives, DriveState, sizeof drives);
    HostStateEntry flow = MailFlowPoll;
    int host_count = Settings.HostCount, service_count = Settings.Added.ServiceCount;
    int drive_count = Settings.FreeDisk != 0 ? Settings.DriveCount : 0;
    int flow_on = Settings.Added.LostAfter > 0;
    unlock_settings();

    for (int k = 0; k < MaxHosts; ++k) {
        reconcile_poll(HostSlot + k, k < host_count, hosts[k]);
        reconcile_poll(ServiceSlot + k, k < service_count, services[k]);
        if (k >= service_count)
            forget(CertSlot + k);
    }
    reconcile_poll(FlowSlot, flow_on, flow);
    for (int k = 0; k < MaxDrives; ++k) {
        reconcile_drive(SpaceSlot + k, k < drive_count, drives[k].Low);
        reconcile_drive(ReadableSlot + k, k < drive_count, drives[k].ErrorCount);
    }
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
    reconcile();
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

int ledger_open(int list, int* end)
{
    LedgerClock c = clock_now();
    ledger_held_by(list, c.day, c.minute, end);
    return Ledger.Config.On;
}

void write_window_line(Job job)
{
    int end;
    if (!ledger_open(MailList, &end))
        return;
    if (end >= 0)
        write_line(job, "Maintenance until %02d:%02d: reports held.", end / 60, end % 60);
    else if (ledger_open(SmsList, &end), end >= 0)
        write_line(job, "SMS quiet hours until %02d:%02d: SMS held.", end / 60, end % 60);
}

void write_window_blips(Job job)
{
    char line[HostNameSize + 40];
    for (int k = 0; k < Ledger.WindowBlipCount; ++k) {
        const Blip& b = Ledger.WindowBlips[k];
        LedgerLine l{b.Slot, b.Level, LevelFine, 1, b.From, b.To};
        ledger_line_text(line, sizeof line, l);
        write_line(job, "Inside a window: %s.", line);
    }
    if (Ledger.WindowBlipsLost > 0)
        write_line(job, "Inside a window: %d more.", Ledger.WindowBlipsLost);
}

void ledger_digest_sent()
{
    Ledger.WindowBlipCount = 0;
    Ledger.WindowBlipsLost = 0;
}
