#include "checks/certificates.h"

#include <cstring>
#include <ctime>

#include "platform/daemon_state.h"
#include "platform/text.h"
#include "report/report.h"
#include "settings/settings.h"

namespace {

constexpr int64_t SecondsPerDay = 86400;
constexpr uint64_t DaySeconds = SecondsPerDay;
constexpr uint64_t MsPerDay = 86400000;

// Lifetimes and days left are never negative where they are divided: the
// unsigned division is the 64-bit helper the daemon links anyway.
int64_t threshold_days(int days, uint64_t lifetime_days, unsigned part)
{
    int64_t scaled = static_cast<int64_t>(lifetime_days / part);
    return days < scaled ? days : scaled;
}

} // namespace

int certificate_level(const CertificateInfo& c, int64_t now, int warn_days, int critical_days)
{
    int64_t left = c.not_after - now;
    if (left <= 0 || now < c.not_before)
        return CertNotValid;
    uint64_t lifetime = static_cast<uint64_t>(c.not_after - c.not_before) / DaySeconds;
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
    uint64_t magnitude = left >= 0 ? static_cast<uint64_t>(left) : 0 - static_cast<uint64_t>(left);
    int64_t days = left >= 0 ? static_cast<int64_t>(magnitude / DaySeconds)
                             : -static_cast<int64_t>((magnitude + DaySeconds - 1) / DaySeconds);
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

namespace {

// The reading of name, else one whose entry has left the service table,
// made afresh: there are as many readings as entries can be.
CertReading& reading_for(const char* name)
{
    CertReading* gone = nullptr;
    for (CertReading& r : CertReadings) {
        if (strncmp(r.Name, name, sizeof r.Name) == 0)
            return r;
        int listed = 0;
        for (int k = 0; k < Settings.Added.ServiceCount && k < MaxServices && !listed; ++k)
            listed = strncmp(r.Name, Settings.Added.ServiceNames[k], sizeof r.Name) == 0;
        if (!listed && !gone)
            gone = &r;
    }
    // Only a name outside the table could find every reading taken.
    CertReading& r = gone ? *gone : CertReadings[0];
    r = CertReading{};
    copy_text(r.Name, name);
    return r;
}

int same_certificate(const CertificateInfo& a, const CertificateInfo& b)
{
    return a.not_before == b.not_before && a.not_after == b.not_after && strcmp(a.subject, b.subject) == 0;
}

// Keeps c among the served certificates at now_ms, forgetting those not
// served for a day; the full table gives up the one served longest ago.
void note_served(CertReading& r, const CertificateInfo& c, uint64_t now_ms)
{
    int kept = 0, found = -1;
    for (int i = 0; i < r.ServedCount; ++i) {
        if (now_ms - r.SeenMs[i] >= ServedForgetMs && !same_certificate(r.Served[i], c))
            continue;
        r.Served[kept] = r.Served[i];
        r.SeenMs[kept] = r.SeenMs[i];
        if (same_certificate(r.Served[kept], c))
            found = kept;
        ++kept;
    }
    r.ServedCount = kept;
    if (found < 0) {
        found = kept < ServedKept ? r.ServedCount++ : 0;
        for (int i = 1; i < r.ServedCount && kept == ServedKept; ++i)
            if (r.SeenMs[i] < r.SeenMs[found])
                found = i;
    }
    r.Served[found] = c;
    r.SeenMs[found] = now_ms;
}

} // namespace

const CertReading* cert_reading_of(const char* name)
{
    for (const CertReading& r : CertReadings)
        if (r.Name[0] != '\0' && strncmp(r.Name, name, sizeof r.Name) == 0)
            return &r;
    return nullptr;
}

CertJudgement note_certificate(const char* name, const CertificateInfo& c, int64_t now, uint64_t now_ms,
                               int warn_days, int critical_days)
{
    CertReading& r = reading_for(name);
    note_served(r, c, now_ms);
    CertJudgement j = {r.Served[0], r.ServedCount, NoNotice};
    for (int i = 1; i < r.ServedCount; ++i)
        if (r.Served[i].not_after < j.judged.not_after)
            j.judged = r.Served[i];
    int level = certificate_level(j.judged, now, warn_days, critical_days);
    r.Read = 1;
    r.Level = static_cast<int8_t>(level);
    r.Expiry = j.judged.not_after;
    if (level != CertNotValid)
        j.notice = certificate_notice(r, j.judged, level, now_ms);
    return j;
}

void tell_certificate(const HostInterface* host, int index, const char* name, const CertJudgement& j, int64_t now)
{
    if (j.notice == NoNotice)
        return;
    const CertificateInfo& c = j.judged;
    char day[11];
    format_day(day, c.not_after);
    CurrentDaysLeft = days_left(c.not_after, now);
    const char* days = plural(CurrentDaysLeft);
    int renewed = j.notice == RenewedNotice;
    host_log_format(host, 20, renewed ? 25 : 15, "Certificate of %s %sexpires on %s, in %d day%s%s.", name,
                    renewed ? "renewed: it " : "", day, CurrentDaysLeft, days,
                    j.notice == CriticalNotice ? ": critical" : "");
    format_text(CurrentReason, sizeof CurrentReason, "for %s%s%s %sexpires on %s, in %d day%s", c.subject,
                c.trusted ? "" : " (not trusted)", c.name_matches ? "" : " (name does not match)",
                renewed ? "now " : "", day, CurrentDaysLeft, days);
    // Servers behind one name that differ: the notice is about the first
    // to expire, and says so.
    if (j.served > 1) {
        host_log_format(host, 20, 15, "Certificate of %s: %d certificates served in the last 24 hours; the first to "
                                      "expire counts.", name, j.served);
        append_format(CurrentReason, sizeof CurrentReason, " (the first to expire of %d served in the last 24 hours)",
                      j.served);
    }
    send_report(CertificateReport, index, j.notice);
}
