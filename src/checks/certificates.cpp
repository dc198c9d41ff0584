#include "checks/certificates.h"

#include <cstring>
#include <ctime>

#include "platform/daemon_state.h"
#include "platform/text.h"
#include "report/report.h"
#include "settings/settings.h"

namespace {

constexpr int64_t SecondsPerDay = 86400;
constexpr uint64_t MsPerDay = 86400000;

int64_t threshold_days(int days, int64_t lifetime_days, int part)
{
    int64_t scaled = lifetime_days / part;
    return days < scaled ? days : scaled;
}

} // namespace

int certificate_level(const CertificateInfo& c, int64_t now, int warn_days, int critical_days)
{
    int64_t left = c.not_after - now;
    if (left <= 0)
        return CertExpired;
    int64_t lifetime = (c.not_after - c.not_before) / SecondsPerDay;
    if (critical_days > 0 && left < threshold_days(critical_days, lifetime, 10) * SecondsPerDay)
        return CertCritical;
    if (warn_days > 0 && left < threshold_days(warn_days, lifetime, 4) * SecondsPerDay)
        return CertWarning;
    return CertFine;
}

int32_t days_left(int64_t expiry, int64_t now)
{
    int64_t left = expiry - now;
    // Rounded down, also below 0.
    int64_t days = left >= 0 ? left / SecondsPerDay : -((-left + SecondsPerDay - 1) / SecondsPerDay);
    return days > INT32_MAX ? INT32_MAX : days < INT32_MIN ? INT32_MIN : static_cast<int32_t>(days);
}

void format_day(char (&text)[11], int64_t seconds)
{
    __time64_t t = seconds;
    const tm* day = _gmtime64(&t);
    if (day == nullptr)
        copy_text(text, "?");
    else
        format_text(text, sizeof text, "%04d-%02d-%02d", day->tm_year + 1900, day->tm_mon + 1, day->tm_mday);
}

namespace {

int certificate_notice(CertReading& r, const CertificateInfo& c, int level, uint64_t now_ms)
{
    int notice = NoNotice;
    if (r.NoticedExpiry != c.not_after) {
        // Another certificate: a later one that is fine ends the notices of
        // the one before.
        if (r.NoticeLevel > CertFine && c.not_after > r.NoticedExpiry && level == CertFine)
            notice = RenewedNotice;
        r.NoticedExpiry = c.not_after;
        r.NoticeLevel = CertFine;
    }
    if ((level == CertWarning || level == CertCritical) && r.NoticeLevel < level) {
        notice = level;
        r.NoticeLevel = static_cast<int8_t>(level);
        r.RemindedMs = now_ms;
    } else if (level == CertCritical && now_ms - r.RemindedMs >= MsPerDay) {
        notice = CriticalNotice;
        r.RemindedMs = now_ms;
    }
    return notice;
}

} // namespace

CertReading CertReadings[MaxServices];

int note_certificate(int index, const char* name, const CertificateInfo& c, int level, uint64_t now_ms)
{
    CertReading& r = CertReadings[index];
    if (strncmp(r.Name, name, sizeof r.Name) != 0) {
        r = CertReading{};
        copy_text(r.Name, name);
    }
    r.Read = 1;
    r.Level = static_cast<int8_t>(level);
    r.Expiry = c.not_after;
    return level == CertExpired ? NoNotice : certificate_notice(r, c, level, now_ms);
}

void tell_certificate(const HostInterface* host, int index, const char* name, const CertificateInfo& c, int notice,
                      int64_t now)
{
    if (notice == NoNotice)
        return;
    static const char* const Lines[] = {"Certificate of %s renewed: it expires on %s, in %d day%s.",
                                        "Certificate of %s expires on %s, in %d day%s.",
                                        "Certificate of %s expires on %s, in %d day%s: critical."};
    char day[11];
    format_day(day, c.not_after);
    CurrentDaysLeft = days_left(c.not_after, now);
    const char* days = plural(CurrentDaysLeft);
    host_log_format_call(host, 20, notice == RenewedNotice ? 25 : 15, Lines[notice], name, day, CurrentDaysLeft, days);
    format_text(CurrentReason, sizeof CurrentReason, "for %s%s%s %sexpires on %s, in %d day%s", c.subject,
                c.trusted ? "" : " (not trusted)", c.name_matches ? "" : " (name does not match)",
                notice == RenewedNotice ? "now " : "", day, CurrentDaysLeft, days);
    send_report(CertificateReport, index, notice);
}
