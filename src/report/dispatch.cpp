// Report dispatch: one job per channel with recipients, the Mail job first,
// each with the header block and the body of the kind.
#include <cstring>

#include "platform/daemon_state.h"
#include "report/report.h"
#include "settings/settings.h"

void send_report(int kind, int32_t a, int32_t b)
{
    if (HostInterfaceCopy == nullptr)
        return;
    // Held over both messages: a reload waits, so no report shows a name,
    // address or list half rewritten.
    lock_settings();
    if (Recipients.MailCount > 0)
        send_channel_report(kind, a, b, MailChannel, Recipients.MailCount, Recipients.MailList,
                            Recipients.MailRecipients);
    if (Recipients.SmsCount > 0)
        send_channel_report(kind, a, b, SmsChannel, Recipients.SmsCount, Recipients.SmsList,
                            Recipients.SmsRecipients);
    unlock_settings();
}

void send_channel_report(int kind, int32_t a, int32_t b, int channel, int count, const char* to_list,
                         const char (*recipients)[AddressSize])
{
    const HostInterface* host = HostInterfaceCopy;
    Job job = host_create_job(host, Settings.DaemonAddress);
    if (job == nullptr) {
        host_log_format(host, 1, 20, "CreateJob error");
        host_bump_statistic(host, Failures);
        return;
    }

    int accepted = 0;
    for (int i = 0; i < count && i < MaxRecipients; ++i)
        accepted += host_add_recipient(host, job, recipients[i]);
    if (accepted == 0) {
        host_log_text(host, 1, 20, "AddElement error");
        host_bump_statistic(host, Failures);
        host_close_job(host, job);
        return;
    }

    write_envelope(job, to_list);
    switch (kind) {
    case Host:
        write_host_text(job, a, b, channel);
        break;
    case Memory:
        write_memory_text(job, channel, a, b);
        break;
    case DiskSpace:
        write_disk_space_text(job, b, channel);
        break;
    case DiskAvailability:
        write_disk_availability_text(job, b, channel);
        break;
    }
    host_close_job(host, job);
}

void write_envelope(Job job, const char* to_list)
{
    write_formatted(job, "From: %s\r\nTo: %s\r\n", Settings.DaemonAddress, to_list);

    // One buffer for the date and then the unique id.
    char buffer[HostTextSize];
    write_formatted(job, "Date: %s\r\n", report_date(buffer));

    host_write_job_text(HostInterfaceCopy, job,
                        "MIME-Version: 1.0\r\nContent-type: text/plain; charset=ISO-8859-1\r\n"
                        "Content-transfer-encoding: 7BIT\r\n");

    memset(buffer, 0, sizeof buffer);
    host_make_unique_id(HostInterfaceCopy, buffer);
    const unsigned char* id = reinterpret_cast<const unsigned char*>(buffer);
    write_formatted(job, "Message-ID: <DM%02x%02x%02x%02x%02x@%s>\r\n", id[0], id[1], id[2], id[3], id[4],
                    Settings.HostDomain);
}
