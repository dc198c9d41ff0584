// Report dispatch: one job per channel with recipients, the Mail job first,
// each with the header block and the body of the kind.
#include <cstring>

#include "platform/daemon_state.h"
#include "platform/text.h"
#include "report/ledger.h"
#include "report/report.h"
#include "settings/settings.h"

void copy_channel(ReportChannel& to, int channel, int count, const char* list, const char (*recipients)[AddressSize])
{
    to.channel = channel;
    to.count = count < 0 ? 0 : count > MaxRecipients ? MaxRecipients : count;
    copy_text(to.to_list, list);
    for (int i = 0; i < to.count; ++i)
        copy_text(to.recipients[i], recipients[i]);
}

namespace {

// A slot outside the table shows as an empty name rather than reading past
// it; the copy also bounds a name that lost its terminator.
void take_snapshot(ReportSnapshot& report, int kind, int32_t a)
{
    lock_settings();
    copy_text(report.DaemonAddress, Settings.DaemonAddress);
    copy_text(report.HostDomain, Settings.HostDomain);
    static_assert(MaxServices == MaxHosts);
    const char(*names)[HostNameSize] = kind == Host ? Settings.HostNames : Settings.Added.ServiceNames;
    int entry = kind == Host || kind == Service || kind == CertificateReport;
    copy_text(report.HostName, kind == InternetReport              ? CurrentTarget
                               : kind == MailFlowReport            ? Settings.HostDomain
                               : entry && a >= 0 && a < MaxHosts ? names[a]
                                                                 : "");
    copy_text(report.Reason, CurrentReason);
    report.DaysLeft = CurrentDaysLeft;
    copy_channel(report.mail, MailChannel, Recipients.MailCount, Recipients.MailList, Recipients.MailRecipients);
    copy_channel(report.sms, SmsChannel, Recipients.SmsCount, Recipients.SmsList, Recipients.SmsRecipients);
    unlock_settings();
}

} // namespace

void send_report(int kind, int32_t a, int32_t b)
{
    if (HostInterfaceCopy == nullptr)
        return;
    // One copy for both messages: no report shows a name, address or list
    // half rewritten, and a reload never waits for the host.
    ReportSnapshot report;
    take_snapshot(report, kind, a);
    if (ledger_keep(report, kind, a, b))
        return;
    if (report.mail.count > 0)
        send_channel_report(report, kind, a, b, report.mail);
    if (report.sms.count > 0)
        send_channel_report(report, kind, a, b, report.sms);
}

void take_mail_snapshot(ReportSnapshot& report)
{
    take_snapshot(report, -1, 0);
}

namespace {

struct KindBody {
    const ReportSnapshot& report;
    int kind;
    int32_t a, b;
};

void write_kind_body(Job job, const void* data, int channel)
{
    const KindBody& body = *static_cast<const KindBody*>(data);
    switch (body.kind) {
    case Host:
    case Service:
    case MailFlowReport:
        write_item_text(job, body.kind, body.report.HostName, body.report.Reason, body.b, channel);
        break;
    case Memory:
        write_memory_text(job, channel, body.a, body.b);
        break;
    case DiskSpace:
        write_disk_space_text(job, body.b, channel);
        break;
    case DiskAvailability:
        write_disk_availability_text(job, body.b, channel);
        break;
    case CertificateReport:
        write_certificate_text(job, body.report.HostName, body.report.Reason, body.report.DaysLeft, body.b, channel);
        break;
    case InternetReport:
        write_internet_text(job, body.a, body.report.HostName, body.report.Reason, channel);
        break;
    }
}

} // namespace

void send_channel_report(const ReportSnapshot& report, int kind, int32_t a, int32_t b, const ReportChannel& channel)
{
    KindBody body = {report, kind, a, b};
    send_mail(report, channel, write_kind_body, &body);
}

int send_mail(const ReportSnapshot& report, const ReportChannel& channel, MailBody body, const void* data)
{
    const HostInterface* host = HostInterfaceCopy;
    Job job = host_create_job(host, report.DaemonAddress);
    if (job == nullptr) {
        host_log_format(host, 1, 20, "CreateJob error");
        host_bump_statistic(host, Failures);
        return 0;
    }

    int accepted = 0;
    for (int i = 0; i < channel.count; ++i)
        accepted += host_add_recipient(host, job, channel.recipients[i]);
    if (accepted == 0) {
        host_log_text(host, 1, 20, "AddElement error");
        host_bump_statistic(host, Failures);
        host_close_job(host, job);
        return 0;
    }

    write_envelope(report, job, channel.to_list);
    body(job, data, channel.channel);
    host_close_job(host, job);
    return 1;
}

void write_envelope(const ReportSnapshot& report, Job job, const char* to_list)
{
    write_line(job, "From: %s\r\nTo: %s", report.DaemonAddress, to_list);

    // One buffer for the date and then the unique id.
    char buffer[HostTextSize];
    write_line(job, "Date: %s", report_date(buffer));

    host_write_job_text(HostInterfaceCopy, job,
                        "MIME-Version: 1.0\r\nContent-type: text/plain; charset=ISO-8859-1\r\n"
                        "Content-transfer-encoding: 7BIT\r\n");

    memset(buffer, 0, sizeof buffer);
    host_make_unique_id(HostInterfaceCopy, buffer);
    const unsigned char* id = reinterpret_cast<const unsigned char*>(buffer);
    write_line(job, "Message-ID: <DM%02x%02x%02x%02x%02x@%s>", id[0], id[1], id[2], id[3], id[4],
                    report.HostDomain);
}
