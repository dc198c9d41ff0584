// The certificates of the TLS service entries: their level against the
// thresholds, scaled to each certificate's own lifetime so that a
// short-lived certificate renewed on time never warns, and the notices that
// tell an administrator before it expires.
#pragma once

#include <cstdint>

#include "settings/settings.h"

struct HostInterface;

constexpr int SubjectSize = 100;
// The server's certificate as a TLS check read it, whatever its trust.
struct CertificateInfo {
    int read;                   // the leaf certificate was read
    int64_t not_before;         // Unix seconds
    int64_t not_after;
    char subject[SubjectSize];  // as reports show it (common name, else the whole name), printable ASCII
    int trusted;                // a full chain to a trusted root, no partial chain
    int name_matches;           // the configured host name is among the certificate's names
};

// A certificate's level: fine, or within its warning or critical days, or
// not valid now, expired or not yet valid (a miss of the service).
enum CertLevel { CertFine = 0, CertWarning = 1, CertCritical = 2, CertNotValid = 3 };
// The level at now, with the thresholds lowered for a short-lived
// certificate: warning below the smaller of warn_days and a quarter of its
// lifetime, critical below the smaller of critical_days and a tenth; 0 days
// turn a level off.
int certificate_level(const CertificateInfo& c, int64_t now, int warn_days, int critical_days);
// Whole days from now to the certificate's expiry (negative once expired).
int32_t days_left(int64_t expiry, int64_t now);
// "YYYY-MM-DD" of a Unix time, in UTC.
void format_day(char (&text)[11], int64_t seconds);

// One name may stand for several servers with certificates of their own:
// an entry keeps those served within the last day, and is judged on the
// one that expires first.
constexpr int ServedKept = 4;
constexpr uint64_t ServedForgetMs = 86400000;

// The certificates of a service entry, kept by its name (a reread that moves
// the entry to another slot keeps them), and the notices sent for them.
// Guarded by the settings lock.
struct CertReading {
    char Name[ServiceNameSize]; // the entry it belongs to; empty: none yet
    uint8_t Read;
    int8_t Level;               // a CertLevel, of the judged certificate
    int64_t Expiry;             // Unix seconds, of the judged certificate
    int64_t NoticedExpiry;      // the certificate that the notices below are about
    int8_t NoticeLevel;         // the highest notice sent for it: CertFine (none), CertWarning, CertCritical
    uint64_t RemindedMs;        // the last critical notice, on the monotonic clock
    int ServedCount;
    CertificateInfo Served[ServedKept]; // served within the last day
    uint64_t SeenMs[ServedKept];        // when each was last served, on the monotonic clock
};
extern CertReading CertReadings[MaxServices];
// The reading of the entry name, when it has one. Called with the lock held.
const CertReading* cert_reading_of(const char* name);

// What note_certificate judged: the certificate that expires first among
// those the entry served within the last day, how many those were, and the
// notice due.
struct CertJudgement {
    CertificateInfo judged;
    int served;
    int notice; // a CertNotice
};
// Notes the certificate read by the check of the entry name at now (Unix
// seconds) and now_ms (monotonic), forgets those not served for a day, and
// keeps the notices of the judged one: one when it enters each level, a
// reminder once a day while it is critical, and one renewed notice when a
// certificate with a later expiry brings the entry back to fine after a
// notice. Called with the lock held.
CertJudgement note_certificate(const char* name, const CertificateInfo& c, int64_t now, uint64_t now_ms,
                               int warn_days, int critical_days);
// Logs and reports the notice of slot index's judged certificate.
void tell_certificate(const HostInterface* host, int index, const char* name, const CertJudgement& j, int64_t now);
