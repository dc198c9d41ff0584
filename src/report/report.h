// Report mails: one event becomes a full-text message for the mail
// recipients and a short one for the SMS gateways, each a job of the host.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/daemon_state.h"
#include "platform/host_interface.h"
#include "settings/settings.h"

enum ReportKind {
    Host = 0,
    Memory = 1,
    DiskSpace = 2,
    DiskAvailability = 3,
    Service = 4,
    MailFlowReport = 5,
    CertificateReport = 6,
    InternetReport = 7
};
// What the notices of a certificate ask for at a check: the b of its
// report.
enum CertNotice { NoNotice = -1, RenewedNotice = 0, WarningNotice = 1, CriticalNotice = 2 };
enum Channel { MailChannel = 0, SmsChannel = 1 };

// Every formatted piece of a message is built in a buffer of this size.
constexpr size_t FormatBufferSize = 2048;
// format_date and make_unique_id write into a buffer of this size.
constexpr size_t HostTextSize = 40;

// What one message over one channel needs of the recipient lists.
struct ReportChannel {
    int channel;
    int count;
    char to_list[ListSize];
    char recipients[MaxRecipients][AddressSize];
};

// Everything a report reads of the shared settings, copied under the lock
// so that the whole composition, with its many host calls, runs without it.
struct ReportSnapshot {
    char DaemonAddress[sizeof SettingsRecord::DaemonAddress];
    char HostDomain[sizeof SettingsRecord::HostDomain];
    char HostName[HostNameSize];   // the host of a Host report, the entry of a Service report, the
                                   // mail server's domain of a mail flow report
    char Reason[sizeof CurrentReason]; // what a service, mail flow or certificate report says of its event
    int32_t DaysLeft;                  // of the certificate in a certificate notice
    ReportChannel mail;
    ReportChannel sms;
};

// Sends the report to the mail recipients, then to the SMS recipients.
// kind is a ReportKind; a and b as follows:
//   Host              a = index in HostNames, b = 1 dead / 0 answers again
//   Memory            a = free MB, b = total MB
//   DiskSpace         a = index in DriveNames, b = 1 low / 0 no longer low
//                     (drive: CurrentDrivePath)
//   DiskAvailability  a = index in DriveNames, b = 1 unreadable / 0 readable
//                     again
//   Service           a = index in ServiceNames, b = 1 dead / 0 answers again
//                     (why: CurrentReason)
//   MailFlowReport    b = 1 dead / 0 moves again (which probe: CurrentReason)
//   CertificateReport a = index in ServiceNames, b = a CertNotice (the
//                     certificate: CurrentReason, its days: CurrentDaysLeft)
//   InternetReport    a = an InternetEvent (about CurrentTarget, said in
//                     CurrentReason)
// With [Alerts] set the ledger keeps the report and tells it at the end of
// the cycle. Takes the settings lock only to copy what the report needs;
// must not be called with the lock held. Failures are logged and counted, never
// returned.
void send_report(int kind, int32_t a, int32_t b);

// One message over one channel: create the job, add the recipients, write
// header block and body, close the job.
void send_channel_report(const ReportSnapshot& report, int kind, int32_t a, int32_t b, const ReportChannel& channel);

// The daemon's address, the domain and the report recipients, copied under
// the lock, for a mail of the daemon's own.
void take_mail_snapshot(ReportSnapshot& report);
// Fills a channel from a recipient table (count cut to MaxRecipients).
void copy_channel(ReportChannel& to, int channel, int count, const char* list, const char (*recipients)[AddressSize]);
// Writes a mail's subject, priority and body after its header block.
typedef void (*MailBody)(Job job, const void* data, int channel);
// Any mail of the daemon over one channel, as send_channel_report sends a
// report: the failures are logged and counted. 1 when it went out.
int send_mail(const ReportSnapshot& report, const ReportChannel& channel, MailBody body, const void* data);

// The header block from From to Message-ID; the body writer adds Subject
// and Priority.
void write_envelope(const ReportSnapshot& report, Job job, const char* to_list);

// What an Internet report is about.
enum InternetEvent { InternetListed, InternetStillListed, InternetDelisted, ReverseWrong, ReverseRight, MxWrong, MxRight };
// The list, address or domain of an Internet report, set by the check.
extern char CurrentTarget[HostNameSize];
void write_internet_text(Job job, int event, const char* target, const char* sentence, int channel);

// Formats one piece (cut to FormatBufferSize - 1 characters) and appends
// it to the job. The format is always one of the daemon's literals.
void write_formatted(Job job, const char* format, ...) __attribute__((format(ms_printf, 2, 3)));
// The same with the line's end added.
void write_line(Job job, const char* format, ...) __attribute__((format(ms_printf, 2, 3)));
// The subject line, and the priority line of urgent or normal, as one piece.
void write_subject(Job job, int urgent, const char* format, ...) __attribute__((format(ms_printf, 3, 4)));
// The blank line and the host's date as the time line, as one piece.
void write_time_line(Job job);

// The subject a watcher keys on, "Korval WHAT DOMAIN: all well" or how many
// of what (count, noun), the priority and the time line.
void write_summary_head(Job job, const char* what, const char* domain, int count, const char* noun);

// The host's date text in buffer (HostTextSize bytes), cut to the buffer;
// empty when the host gives none.
const char* report_date(char* buffer);

// The body writers: subject and priority lines, then the body. channel 0 is
// the full text, any other value the short SMS text; flags are zero/nonzero.
// A host or service report (kind); reason says why a service did not answer.
void write_item_text(Job job, int kind, const char* name, const char* reason, int32_t dead, int channel);
// A certificate notice (a CertNotice) of the entry name.
void write_certificate_text(Job job, const char* name, const char* reason, int32_t days, int notice, int channel);
void write_memory_text(Job job, int channel, int32_t free_mb, int32_t total_mb);
// The mail flow probe after its header block: subject, time and one line.
void write_probe_text(Job job, uint32_t number, const char* address);
void write_disk_space_text(Job job, int32_t low, int channel);
void write_disk_availability_text(Job job, int32_t unavailable, int channel);
