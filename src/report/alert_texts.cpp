// The ledger's own texts: the short line of one report, a group, a
// catch-up, unstable and stable again, memory back. An SMS is a subject and
// one line that fits a gateway's 160 characters.
#include <cstring>

#include "platform/text.h"
#include "report/ledger.h"
#include "report/report.h"

namespace {

// The subject line and the line of an SMS stay within this together.
constexpr size_t SmsLineSize = 121;

// What a line calls the entry of its slot.
void entry_title(char (&title)[HostNameSize + 8], const LedgerEntry& e)
{
    switch (e.Kind) {
    case MailFlowReport:
        copy_text(title, "mail flow");
        break;
    case Memory:
        copy_text(title, "memory");
        break;
    case CertificateReport:
        format_text(title, sizeof title, "cert %s", e.Name);
        break;
    default:
        copy_text(title, e.Name);
    }
}

const char* failing_word(const LedgerEntry& e, int level)
{
    if (level == LevelUnstable)
        return "unstable";
    switch (e.Kind) {
    case Memory:
    case DiskSpace:
        return "low";
    case DiskAvailability:
        return "unreadable";
    case CertificateReport:
        return "expiring";
    default:
        return "down";
    }
}

} // namespace

void ledger_line_text(char* text, size_t size, const LedgerLine& line)
{
    const LedgerEntry& e = Ledger.Entries[line.Slot];
    char title[HostNameSize + 8];
    entry_title(title, e);
    if (line.IsBlip)
        format_text(text, size, "%s %s %02d:%02d to %02d:%02d", title, failing_word(e, line.From), line.Start / 60,
                    line.Start % 60, line.End / 60, line.End % 60);
    else if (line.To == LevelUnstable)
        format_text(text, size, "%s unstable %d/%d", title, e.Misses, e.Polls);
    else if (line.To != LevelFine)
        format_text(text, size, "%s %s since %02d:%02d", title, failing_word(e, line.To), line.Start / 60,
                    line.Start % 60);
    else
        format_text(text, size, "%s %s", title, line.From == LevelUnstable ? "stable again" : "back");
}

void write_ledger_message(Job job, const LedgerMessage& m, int channel)
{
    const LedgerEntry& e = Ledger.Entries[m.Lines[0].Slot];
    const char* priority = m.Urgent ? "urgent" : "normal";
    int sms = channel != MailChannel;
    if (m.Type == SingleMessage) {
        // Unstable, stable again, memory back: the reports of their own.
        int to = m.Lines[0].To;
        if (to == LevelUnstable || m.Lines[0].From == LevelUnstable) {
            char title[HostNameSize + 8];
            entry_title(title, e);
            write_subject(job, 0, "%s %s", to ? "Unstable" : "Stable", title);
            if (sms)
                write_line(job, to ? "\r\n%s missed %d/%d polls." : "\r\n%s answered %d polls in a row.",
                                title, to ? e.Misses : e.Polls, e.Polls);
            else {
                write_time_line(job);
                write_line(job, to ? "'%s' missed %d of its last %d polls." : "'%s' answered its last %d polls.",
                                title, to ? e.Misses : e.Polls, e.Polls);
            }
        } else {
            // Laid out as the low memory report.
            write_subject(job, 0, "Memory %sOK", sms ? "" : "on Mercury ");
            write_line(job, "\r\n\r\n%dMB free from %dMB total on Mercury server.", e.A, e.B);
            char date[HostTextSize];
            write_line(job, "\r\nTime: %s", report_date(date));
        }
        return;
    }

    char subject[40];
    if (m.Type == GroupMessage)
        format_text(subject, sizeof subject, "%d reports", m.Count + m.More);
    else
        copy_text(subject, m.Window & HeldByMaintenance ? "after maintenance" : "after quiet hours");
    if (!sms) {
        char domain[sizeof SettingsRecord::HostDomain];
        lock_settings();
        copy_text(domain, Settings.HostDomain);
        unlock_settings();
        write_subject(job, m.Urgent, "Korval: %s on %s", subject, domain);
        write_time_line(job);
        char line[HostNameSize + 40];
        for (int k = 0; k < m.Count; ++k) {
            ledger_line_text(line, sizeof line, m.Lines[k]);
            write_line(job, "%s", line);
        }
        if (m.More > 0)
            write_line(job, "%d more came and went.", m.More);
        return;
    }

    write_line(job, "Subject: Korval %s\r\nPriority: %s\r\n", subject, priority);
    // Each line while it fits, keeping room for the count of the rest.
    char text[SmsLineSize] = "";
    int shown = 0;
    for (; shown < m.Count; ++shown) {
        char line[HostNameSize + 40];
        ledger_line_text(line, sizeof line, m.Lines[shown]);
        size_t room = sizeof text - 1 - (shown + 1 < m.Count || m.More > 0 ? 10 : 0);
        if (shown == 0) {
            // The first is named even when it must be cut.
            copy_text(text, room + 1, line);
            continue;
        }
        if (strlen(text) + 2 + strlen(line) > room)
            break;
        append_text(text, "; ");
        append_text(text, line);
    }
    int rest = m.Count - shown + m.More;
    if (rest > 0)
        append_format(text, sizeof text, " +%d more", rest);
    write_line(job, "%s", text);
}
