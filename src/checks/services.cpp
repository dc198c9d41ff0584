#include <winsock.h>

#include "checks/services.h"

#include "checks/tls.h"
#include "cycle/errand.h"
#include "cycle/pacing.h"
#include "platform/daemon_state.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "report/report.h"
#include "settings/settings.h"

PollReading ServiceReadings[MaxServices];

namespace {

// How much of an unexpected greeting the log and the report show.
constexpr int ShownGreeting = 60;

// Why a check missed, by its outcome: an unexpected greeting shows its
// start, the others their error number, if any; a failed handshake adds a
// note where the system lacks TLS 1.3, which the server may want.
const char* const MissReasons[] = {"",
                                   "connection refused",
                                   "connection timed out",
                                   "no greeting",
                                   "unexpected greeting '%s'",
                                   "error %d finding address",
                                   "error %d connecting",
                                   "STARTTLS not offered",
                                   "the server answered in plain text",
                                   "TLS handshake failed (error 0x%08X%s)",
                                   "TLS handshake timed out"};
static_assert(sizeof MissReasons / sizeof *MissReasons == ServiceTlsMissing);

void describe_miss(const ServiceCheck& check, char (&reason)[sizeof CurrentReason])
{
    const char* format = MissReasons[check.outcome];
    if (check.outcome != ServiceWrongGreeting) {
        format_text(reason, sizeof reason, format, check.error,
                    check.lacks_tls13 ? "; the server may require TLS 1.3, which this system lacks" : "");
        return;
    }
    // Made printable, and always an argument: the greeting is the server's text.
    char shown[ShownGreeting + 1];
    copy_printable(shown, sizeof shown, check.greeting, check.greeting_size);
    format_text(reason, sizeof reason, format, shown);
}

} // namespace

int TlsUnavailable;

namespace {

// The first time in a life that TLS is missing: one line with the cause,
// one failure. The system will not change while the daemon runs.
void tell_tls_missing(const HostInterface* host, const ServiceCheck& check)
{
    lock_settings();
    int told = TlsUnavailable;
    TlsUnavailable = 1;
    unlock_settings();
    if (told)
        return;
    host_log_format(host, 20, 15, "TLS is unavailable on this system (%s: error %d): TLS services are not checked.",
                    check.missing, check.error);
    host_bump_statistic(host, Failures);
}

} // namespace

void tell_service_check(const HostInterface* host, int index, const char* name, const ServiceCheck& check)
{
    if (check.outcome == ServiceTlsMissing) {
        tell_tls_missing(host, check);
        return;
    }
    static const PollTexts texts = {Service, "Service %s is ON again.", "Service %s is dead."};
    const CertificateInfo& c = check.certificate;
    int64_t now = Platform.UnixTime();
    lock_settings();
    int warn_days = Settings.Added.CertWarnDays, critical_days = Settings.Added.CertCriticalDays;
    unlock_settings();
    int read = check.outcome == ServiceAnswered && c.read;
    // A certificate expired or not yet valid takes the service down for
    // every client that checks it.
    int answered = check.outcome == ServiceAnswered && !(read && certificate_level(c, now, 0, 0) == CertNotValid);
    PollOutcome outcome;
    if (!record_slot_poll(Settings.Added.ServiceNames, Settings.Added.ServiceCount, ServiceState, ServiceReadings,
                          index, name, answered, outcome))
        return;
    CertJudgement judgement{};
    judgement.notice = NoNotice;
    if (read) {
        lock_settings();
        judgement = note_certificate(name, c, now, Platform.MonotonicMs(), warn_days, critical_days);
        unlock_settings();
    }
    if (!answered) {
        // The daemon's own trouble counts as a failure too, as for a host.
        if (check.outcome == ServiceUnresolvable)
            host_bump_statistic(host, Failures);
        if (check.outcome == ServiceAnswered) {
            char day[11];
            int early = now < c.not_before;
            format_day(day, early ? c.not_before : c.not_after);
            format_text(CurrentReason, sizeof CurrentReason, "certificate %s %s", early ? "not valid before" : "expired on",
                        day);
        } else {
            describe_miss(check, CurrentReason);
        }
        host_log_format(host, 20, 15, "Service %s doesn't answer: %s.", name, CurrentReason);
    }
    tell_poll(host, texts, index, name, answered, outcome);
    tell_certificate(host, index, name, judgement, now);
}

void check_services(const HostInterface* host)
{
    for (int i = 0;; ++i) {
        char name[ServiceNameSize];
        if (!copy_slot_name(Settings.Added.ServiceNames, Settings.Added.ServiceCount, i, name))
            break;
        ServiceCheck check{};
        // Only entries that parse are in the table.
        if (parse_service(name, check.target)) {
            if (run_errand(check_service, check) == ErrandStopped)
                break;
            tell_service_check(host, i, name, check);
        }
        if (!pause_after_item())
            break;
    }
}
