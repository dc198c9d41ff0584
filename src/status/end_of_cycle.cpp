#include "status/end_of_cycle.h"

#include "checks/modules.h"
#include "platform/daemon_state.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "report/report.h"
#include "settings/settings.h"
#include "status/digest.h"
#include "status/heartbeat.h"
#include "status/status_file.h"

namespace {

constexpr uint64_t MsPerMinute = 60000;

} // namespace

void reset_summaries()
{
    reset_heartbeat();
    reset_digest();
}

void end_of_cycle(const HostInterface* host)
{
    if (StopRequested)
        return;
    count_completed_cycle();
    static StatusSnapshot s;
    take_status_snapshot(s);
    uint64_t now = Platform.MonotonicMs();
    add_cycle_to_day(s, now);

    ReportSnapshot report;
    take_mail_snapshot(report);
    ReportChannel beat;
    lock_settings();
    const RecipientLists& h = Settings.Added.Heartbeat;
    copy_channel(beat, MailChannel, h.MailCount, h.MailList, h.MailRecipients);
    // SMS forms are not needed, but taken: one text for every address.
    for (int k = 0; k < h.SmsCount && beat.count < MaxRecipients; ++k)
        copy_text(beat.recipients[beat.count++], h.SmsRecipients[k]);
    if (h.SmsCount > 0)
        format_text(beat.to_list, sizeof beat.to_list, "%s%s%s", h.MailList, h.MailCount ? "," : "", h.SmsList);
    uint64_t period = static_cast<uint64_t>(heartbeat_minutes(Settings)) * MsPerMinute;
    int digest_minute = Settings.Added.DigestMinute;
    int selected = modules_selected_by(Settings);
    unlock_settings();

    s.HeartbeatOn = beat.count > 0;
    if (s.HeartbeatOn)
        s.HeartbeatsSent = send_heartbeat_when_due(s, report, beat, period, selected, now);
    write_status_file(host, s);
    send_digest_when_due(s, report, digest_minute, now);
}
