// The reports of the Internet checks.
#include "platform/text.h"
#include "report/report.h"

char CurrentTarget[HostNameSize];

void write_internet_text(Job job, int event, const char* target, const char* sentence, int channel)
{
    // By event: the full subject, then the short one.
    static const char* const Subjects[][2] = {
        {"Listed on %s", "Listed %s"},
        {"Still listed on %s", "Listed %s"},
        {"No longer listed on %s", "Delisted %s"},
        {"Reverse DNS of %s wrong", "rDNS wrong %s"},
        {"Reverse DNS of %s: OK", "rDNS OK %s"},
        {"MX of %s elsewhere", "MX wrong %s"},
        {"MX of %s: OK", "MX OK %s"},
    };
    static_assert(sizeof Subjects / sizeof *Subjects == MxRight + 1);
    if (event < 0 || event > MxRight)
        event = 0;
    int urgent = event == InternetListed || event == InternetStillListed || event == ReverseWrong || event == MxWrong;
    write_subject(job, urgent, Subjects[event][channel != MailChannel], target);
    write_time_line(job);
    write_line(job, "%s.", sentence);
}
