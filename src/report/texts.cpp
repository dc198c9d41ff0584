// Subjects, priorities and bodies of the report mails, in the full form for
// mail readers and the short form for SMS gateways.
#include <cstdarg>
#include <cstring>

#include "platform/daemon_state.h"
#include "platform/text.h"
#include "report/report.h"

namespace {

// One piece of the job: head, the formatted text and tail, cut to the
// buffer.
void write_piece(Job job, const char* head, const char* format, va_list args, const char* tail)
{
    char text[FormatBufferSize];
    copy_text(text, head);
    size_t used = strlen(text);
    vformat_text(text + used, sizeof text - used, format, args);
    append_text(text, tail);
    host_write_job_text(HostInterfaceCopy, job, text);
}

} // namespace

void write_formatted(Job job, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    write_piece(job, "", format, args, "");
    va_end(args);
}

void write_line(Job job, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    write_piece(job, "", format, args, "\r\n");
    va_end(args);
}

void write_subject(Job job, int urgent, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    write_piece(job, "Subject: ", format, args, urgent ? "\r\nPriority: urgent\r\n" : "\r\nPriority: normal\r\n");
    va_end(args);
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

void write_time_line(Job job)
{
    char date[HostTextSize];
    write_line(job, "\r\n\r\nTime: %s", report_date(date));
}

namespace {

// The subject (urgent when dead) and message line of a host or service
// report, by [short text][dead]; formats of the item's name, then of the
// reason.
struct ItemTexts {
    const char* subject[2][2];
    const char* line[2][2];
};

const ItemTexts HostTexts = {
    {{"Responding %s: OK", "No Response on %s"}, {"Live %s", "Dead %s "}},
    {{"Specified target '%s' is responding again.", "Specified target '%s' does not respond to echo."},
     {"Host '%s' is responding again.", "Host '%s' does not respond."}},
};

const ItemTexts ServiceTexts = {
    {{"Service %s: OK", "No Service on %s"}, {"Up %s", "Down %s"}},
    {{"Specified service '%s' is answering again.", "Specified service '%s' does not answer: %s."},
     {"Service '%s' is answering again.", "Service '%s' does not answer: %s."}},
};

// Named after the mail server's domain.
const ItemTexts MailFlowTexts = {
    {{"Mail Flow on %s: OK", "No Mail Flow on %s"}, {"Mail moves %s", "Mail stuck %s"}},
    {{"Mail moves through %s again: %s.", "Mail does not move through %s: %s."},
     {"Mail moves on %s: %s.", "Mail stuck on %s: %s."}},
};

} // namespace

void write_item_text(Job job, int kind, const char* name, const char* reason, int32_t dead, int channel)
{
    const ItemTexts& texts = kind == Service ? ServiceTexts : kind == MailFlowReport ? MailFlowTexts : HostTexts;
    int short_text = channel != MailChannel;
    int failed = dead != 0;
    write_subject(job, failed, texts.subject[short_text][failed], name);
    write_time_line(job);
    write_line(job, texts.line[short_text][failed], name, reason);
}

void write_certificate_text(Job job, const char* name, const char* reason, int32_t days, int notice, int channel)
{
    // By [short text][renewed]; a critical notice is urgent.
    static const char* const Subjects[2][2] = {
        {"Certificate of %s expires in %d day%s", "Certificate of %s renewed"},
        {"Cert %s %dd", "Cert %s renewed"},
    };
    int short_text = channel != MailChannel;
    write_subject(job, notice == 2, Subjects[short_text][notice == 0], name, days, plural(days));
    write_time_line(job);
    write_line(job, short_text ? "Cert '%s' %s." : "The certificate of '%s' %s.", name, reason);
}

void write_summary_head(Job job, const char* what, const char* domain, int count, const char* noun)
{
    if (count == 0)
        write_subject(job, 0, "Korval %s %s: all well", what, domain);
    else
        write_subject(job, 0, "Korval %s %s: %d %s%s", what, domain, count, noun, plural(count));
    write_time_line(job);
}

void write_memory_text(Job job, int channel, int32_t free_mb, int32_t total_mb)
{
    write_subject(job, 1, channel == MailChannel ? "Low memory on Mercury" : "Low memory");
    write_line(job, "\r\n\r\nOnly %dMB free from %dMB total on Mercury server.", free_mb, total_mb);
    char date[HostTextSize];
    write_line(job, "\r\nTime: %s", report_date(date));
}

void write_probe_text(Job job, uint32_t number, const char* address)
{
    write_subject(job, 0, "Korval mail flow probe %u", number);
    write_time_line(job);
    write_line(job, "Probe %u of the mail flow check: the mail server hands it back to %s.", number,
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
        write_line(job, "\r\n\r\nTime: %s\r\n", report_date(date));
    else
        write_line(job, "\r\n\r\n%s", report_date(date));
}

} // namespace

void write_disk_space_text(Job job, int32_t low, int channel)
{
    DrivePath path = drive_path(channel);
    int32_t mb = CurrentFreeMB;

    if (channel == MailChannel) {
        write_subject(job, 1, "Low DiskSpace (%s) on Mercury", path.text);
        write_disk_date(job, channel);
        write_line(job, "There is %s%d MB free on drive %s .", low ? "only " : "", mb, path.text);
    } else {
        write_subject(job, 1, low ? "MercLowDisk %s (%dMB)" : "MercDisk %s NO Low (%dMB)", path.text, mb);
        write_disk_date(job, channel);
        write_line(job, "%dMB free on %s .", mb, path.text);
    }
}

void write_disk_availability_text(Job job, int32_t unavailable, int channel)
{
    DrivePath path = drive_path(channel);

    if (channel == MailChannel) {
        if (unavailable)
            write_subject(job, 1, "Unavailable Disk (%s) on Mercury", path.text);
        else
            write_subject(job, 0, "Disk on Mercury available");
        write_disk_date(job, channel);
        if (unavailable)
            write_line(job, "Unable to detect disk space on drive %s .", path.text);
        else
            write_line(job, "Disk space on drive %s detected.", path.text);
    } else {
        if (unavailable)
            write_subject(job, 1, "Mercury No_Disk %s", path.text);
        else
            write_subject(job, 0, "Mercury Disk_On");
        write_disk_date(job, channel);
        write_line(job, "%s %s found.", path.text, unavailable ? "not" : "");
    }
}
