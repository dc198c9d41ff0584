// Subjects, priorities and bodies of the report mails, in the full form for
// mail readers and the short form for SMS gateways.
#include <cstdarg>

#include "platform/daemon_state.h"
#include "platform/text.h"
#include "report/report.h"

void write_formatted(Job job, const char* format, ...)
{
    char text[FormatBufferSize];
    va_list args;
    va_start(args, format);
    vformat_text(text, sizeof text, format, args);
    va_end(args);
    host_write_job_text(HostInterfaceCopy, job, text);
}

const char* report_date(char* buffer)
{
    // The host's text is bounded to the buffer, wherever it put it.
    buffer[0] = '\0';
    const char* date = host_format_date(HostInterfaceCopy, buffer);
    if (date == nullptr)
        buffer[0] = '\0';
    else if (date != buffer)
        copy_text(buffer, HostTextSize, date);
    buffer[HostTextSize - 1] = '\0';
    return buffer;
}

namespace {

// The subject (with priority) and message line of a host or service report,
// by [short text][dead]; formats of the item's name, then of the reason.
struct ItemTexts {
    const char* subject[2][2];
    const char* line[2][2];
};

const ItemTexts HostTexts = {
    {{"Subject: Responding %s: OK\r\nPriority: normal\r\n", "Subject: No Response on %s\r\nPriority: urgent\r\n"},
     {"Subject: Live %s\r\nPriority: normal\r\n", "Subject: Dead %s \r\nPriority: urgent\r\n"}},
    {{"Specified target '%s' is responding again.\r\n", "Specified target '%s' does not respond to echo.\r\n"},
     {"Host '%s' is responding again.\r\n", "Host '%s' does not respond.\r\n"}},
};

const ItemTexts ServiceTexts = {
    {{"Subject: Service %s: OK\r\nPriority: normal\r\n", "Subject: No Service on %s\r\nPriority: urgent\r\n"},
     {"Subject: Up %s\r\nPriority: normal\r\n", "Subject: Down %s\r\nPriority: urgent\r\n"}},
    {{"Specified service '%s' is answering again.\r\n", "Specified service '%s' does not answer: %s.\r\n"},
     {"Service '%s' is answering again.\r\n", "Service '%s' does not answer: %s.\r\n"}},
};

// Named after the mail server's domain.
const ItemTexts MailFlowTexts = {
    {{"Subject: Mail Flow on %s: OK\r\nPriority: normal\r\n", "Subject: No Mail Flow on %s\r\nPriority: urgent\r\n"},
     {"Subject: Mail moves %s\r\nPriority: normal\r\n", "Subject: Mail stuck %s\r\nPriority: urgent\r\n"}},
    {{"Mail moves through %s again: %s.\r\n", "Mail does not move through %s: %s.\r\n"},
     {"Mail moves on %s: %s.\r\n", "Mail stuck on %s: %s.\r\n"}},
};

} // namespace

void write_item_text(Job job, int kind, const char* name, const char* reason, int32_t dead, int channel)
{
    const ItemTexts& texts = kind == Service ? ServiceTexts : kind == MailFlowReport ? MailFlowTexts : HostTexts;
    int short_text = channel != MailChannel;
    int failed = dead != 0;
    write_formatted(job, texts.subject[short_text][failed], name);
    char date[HostTextSize];
    write_formatted(job, "\r\n\r\nTime: %s\r\n", report_date(date));
    write_formatted(job, texts.line[short_text][failed], name, reason);
}

void write_certificate_text(Job job, const char* name, const char* reason, int32_t days, int notice, int channel)
{
    // By [short text][notice]: renewed, warning, critical.
    static const char* const Subjects[2][3] = {
        {"Subject: Certificate of %s renewed\r\nPriority: normal\r\n",
         "Subject: Certificate of %s expires in %d day%s\r\nPriority: normal\r\n",
         "Subject: Certificate of %s expires in %d day%s\r\nPriority: urgent\r\n"},
        {"Subject: Cert %s renewed\r\nPriority: normal\r\n", "Subject: Cert %s %dd\r\nPriority: normal\r\n",
         "Subject: Cert %s %dd\r\nPriority: urgent\r\n"},
    };
    int short_text = channel != MailChannel;
    write_formatted(job, Subjects[short_text][notice & 3], name, days, plural(days));
    char date[HostTextSize];
    write_formatted(job, "\r\n\r\nTime: %s\r\n", report_date(date));
    write_formatted(job, short_text ? "Cert '%s' %s.\r\n" : "The certificate of '%s' %s.\r\n", name, reason);
}

void write_summary_head(Job job, const char* what, const char* domain, int count, const char* noun)
{
    if (count == 0)
        write_formatted(job, "Subject: Korval %s %s: all well\r\nPriority: normal\r\n", what, domain);
    else
        write_formatted(job, "Subject: Korval %s %s: %d %s%s\r\nPriority: normal\r\n", what, domain, count, noun,
                        plural(count));
    char date[HostTextSize];
    write_formatted(job, "\r\n\r\nTime: %s\r\n", report_date(date));
}

void write_memory_text(Job job, int channel, int32_t free_mb, int32_t total_mb)
{
    if (channel == MailChannel)
        write_formatted(job, "Subject: Low memory on Mercury\r\nPriority: urgent\r\n");
    else
        write_formatted(job, "Subject: Low memory\r\nPriority: urgent\r\n");
    write_formatted(job, "\r\n\r\nOnly %dMB free from %dMB total on Mercury server.\r\n", free_mb, total_mb);
    char date[HostTextSize];
    write_formatted(job, "\r\nTime: %s\r\n", report_date(date));
}

void write_probe_text(Job job, uint32_t number, const char* address)
{
    write_formatted(job, "Subject: Korval mail flow probe %u\r\nPriority: normal\r\n", number);
    char date[HostTextSize];
    write_formatted(job, "\r\n\r\nTime: %s\r\n", report_date(date));
    write_formatted(job, "Probe %u of the mail flow check: the mail server hands it back to %s.\r\n", number,
                    address);
}

namespace {

// The drive under test as the texts show it. A local copy, so that the
// disk test finds CurrentDrivePath unchanged after the report; the SMS
// form drops everything from a backslash in third place ("D:\" reads "D:").
struct DrivePath {
    char text[sizeof CurrentDrivePath];
};

DrivePath drive_path(int channel)
{
    DrivePath path{};
    copy_text(path.text, CurrentDrivePath);
    if (channel != MailChannel && path.text[2] == '\\')
        path.text[2] = '\0';
    return path;
}

// The second piece of both disk texts: a labelled time line in the full
// form, the bare date in the SMS form.
void write_disk_date(Job job, int channel)
{
    char date[HostTextSize];
    if (channel == MailChannel)
        write_formatted(job, "\r\n\r\nTime: %s\r\n\r\n", report_date(date));
    else
        write_formatted(job, "\r\n\r\n%s\r\n", report_date(date));
}

} // namespace

void write_disk_space_text(Job job, int32_t low, int channel)
{
    DrivePath path = drive_path(channel);
    int32_t mb = CurrentFreeMB;

    if (channel == MailChannel) {
        write_formatted(job, "Subject: Low DiskSpace (%s) on Mercury\r\nPriority: urgent\r\n", path.text);
        write_disk_date(job, channel);
        write_formatted(job, "There is %s%d MB free on drive %s .\r\n", low ? "only " : "", mb, path.text);
    } else {
        if (low)
            write_formatted(job, "Subject: MercLowDisk %s (%dMB)\r\nPriority: urgent\r\n", path.text, mb);
        else
            write_formatted(job, "Subject: MercDisk %s NO Low (%dMB)\r\nPriority: urgent\r\n", path.text, mb);
        write_disk_date(job, channel);
        write_formatted(job, "%dMB free on %s .\r\n", mb, path.text);
    }
}

void write_disk_availability_text(Job job, int32_t unavailable, int channel)
{
    DrivePath path = drive_path(channel);

    if (channel == MailChannel) {
        if (unavailable)
            write_formatted(job, "Subject: Unavailable Disk (%s) on Mercury\r\nPriority: urgent\r\n", path.text);
        else
            write_formatted(job, "Subject: Disk on Mercury available\r\nPriority: normal\r\n");
        write_disk_date(job, channel);
        if (unavailable)
            write_formatted(job, "Unable to detect disk space on drive %s .\r\n", path.text);
        else
            write_formatted(job, "Disk space on drive %s detected.\r\n", path.text);
    } else {
        if (unavailable)
            write_formatted(job, "Subject: Mercury No_Disk %s\r\nPriority: urgent\r\n", path.text);
        else
            write_formatted(job, "Subject: Mercury Disk_On\r\nPriority: normal\r\n");
        write_disk_date(job, channel);
        write_formatted(job, "%s %s found.\r\n", path.text, unavailable ? "not" : "");
    }
}
