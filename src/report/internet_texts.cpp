// The reports of the Internet checks.
#include "platform/text.h"
#include "report/report.h"

char CurrentTarget[HostNameSize];

void write_internet_text(Job job, int event, const char* target, const char* sentence, int channel)
{
    // By event: the full subject with its priority, then the short one.
    static const char* const Subjects[][2] = {
        {"Subject: Listed on %s\r\nPriority: urgent\r\n", "Subject: Listed %s\r\nPriority: urgent\r\n"},
        {"Subject: Still listed on %s\r\nPriority: urgent\r\n", "Subject: Listed %s\r\nPriority: urgent\r\n"},
        {"Subject: No longer listed on %s\r\nPriority: normal\r\n", "Subject: Delisted %s\r\nPriority: normal\r\n"},
        {"Subject: Reverse DNS of %s wrong\r\nPriority: urgent\r\n", "Subject: rDNS wrong %s\r\nPriority: urgent\r\n"},
        {"Subject: Reverse DNS of %s: OK\r\nPriority: normal\r\n", "Subject: rDNS OK %s\r\nPriority: normal\r\n"},
        {"Subject: MX of %s elsewhere\r\nPriority: urgent\r\n", "Subject: MX wrong %s\r\nPriority: urgent\r\n"},
        {"Subject: MX of %s: OK\r\nPriority: normal\r\n", "Subject: MX OK %s\r\nPriority: normal\r\n"},
    };
    static_assert(sizeof Subjects / sizeof *Subjects == MxRight + 1);
    write_formatted(job, Subjects[event >= 0 && event <= MxRight ? event : 0][channel != MailChannel], target);
    char date[HostTextSize];
    write_formatted(job, "\r\n\r\nTime: %s\r\n", report_date(date));
    write_formatted(job, "%s.\r\n", sentence);
}
