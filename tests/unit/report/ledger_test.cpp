#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cycle/poll_state.h"
#include "cycle/unstable.h"
#include "platform/daemon_state.h"
#include "platform/text.h"
#include "report/ledger.h"
#include "report/report.h"
#include "settings/profile.h"
#include "status/status_file.h"
#include "test_support.h"

namespace {

using Lines = std::vector<std::string>;

// The clock the ledger reads: local minutes of 2026-12-08 and a monotonic
// clock that moves with them.
int ClockMinute;

void fake_local_time(LPSYSTEMTIME t)
{
    *t = SYSTEMTIME{2026, 12, 2, 8, static_cast<WORD>(ClockMinute / 60), static_cast<WORD>(ClockMinute % 60), 1, 0};
}

uint64_t monotonic_at(int minute)
{
    return 1000000 + static_cast<uint64_t>(minute) * 60000;
}

uint64_t fake_monotonic()
{
    return monotonic_at(ClockMinute);
}

std::string hhmm(int minute)
{
    char text[8];
    format_text(text, sizeof text, "%02d:%02d", minute / 60, minute % 60);
    return text;
}

class Ledgers : public HostTest {
protected:
    void SetUp() override
    {
        HostTest::SetUp();
        Ledger = LedgerState{};
        reset_ledger();
        Ledger.Config.On = 1;
        Platform.GetLocalTime = fake_local_time;
        Platform.MonotonicMs = fake_monotonic;
    }

    // Names slot as kind's entry.
    static void name(int slot, int kind, const char* text)
    {
        Ledger.Entries[slot].Kind = static_cast<uint8_t>(kind);
        copy_text(Ledger.Entries[slot].Name, text);
    }
};

// ---- The ledger alone: levels in, messages out, one line per message ----

struct Change {
    int minute;
    int slot;
    int level; // the same failing level again: the check's reminder
};

struct NightCase {
    const char* what;
    const char* quiet;       // "HH:MM-HH:MM" or nullptr
    const char* maintenance; // one daily window, same form
    int first, last;         // cycles every 5 minutes from first to last
    std::vector<Change> changes;
    Lines mail, sms;         // "HH:MM kind: line; line"
    int blips = 0;           // kept for the digest
};

const int Router = HostSlot, Mx2 = ServiceSlot, Drive = ReadableSlot;

TimeWindow daily(const char* span)
{
    char from[6];
    copy_text(from, span); // its first five characters
    return TimeWindow{EveryDay, 0, read_time_of_day(from), read_time_of_day(span + 6)};
}

const char* const TypeNames[] = {"single", "group", "catch-up"};

const std::vector<NightCase> NightCases = {
    {"a problem and its recovery inside quiet hours", "00:00-07:00", nullptr, 60, 425,
     {{70, Router, LevelFailing}, {120, Router, LevelFine}},
     {"01:10 single: router down since 01:10", "02:00 single: router back"},
     {"07:00 catch-up: router down 01:10 to 02:00"}, 1},
    {"a problem before quiet hours, its recovery inside", "01:00-03:00", nullptr, 30, 200,
     {{40, Router, LevelFailing}, {90, Router, LevelFine}},
     {"00:40 single: router down since 00:40", "01:30 single: router back"},
     {"00:40 single: router down since 00:40", "03:00 catch-up: router back"}},
    {"a problem inside quiet hours, still failing at their end", "01:00-03:00", nullptr, 30, 200,
     {{90, Router, LevelFailing}, {150, Router, LevelFailing}},
     {"01:30 single: router down since 01:30", "02:30 single: router down since 01:30"},
     {"03:00 catch-up: router down since 01:30"}},
    {"a maintenance window ends on a failing service", nullptr, "01:00-02:00", 30, 160,
     {{80, Mx2, LevelFailing}, {105, Mx2, LevelFailing}, {140, Mx2, LevelFailing}},
     {"02:00 catch-up: smtp://mx2 down since 01:20", "02:20 single: smtp://mx2 down since 01:20"},
     {"02:00 catch-up: smtp://mx2 down since 01:20", "02:20 single: smtp://mx2 down since 01:20"}},
    {"a blip inside a maintenance window", nullptr, "01:00-02:00", 30, 160,
     {{70, Router, LevelFailing}, {80, Router, LevelFine}},
     {"02:00 catch-up: router down 01:10 to 01:20"},
     {"02:00 catch-up: router down 01:10 to 01:20"}, 1},
    {"an unreadable drive passes quiet hours", "00:00-07:00", nullptr, 60, 425,
     {{70, Drive, LevelFailing}, {90, Drive, LevelFine}},
     {"01:10 single: D:\\ unreadable since 01:10", "01:30 single: D:\\ back"},
     {"01:10 single: D:\\ unreadable since 01:10", "07:00 catch-up: D:\\ back"}},
    {"a cycle that began inside a window is held", nullptr, "00:50-01:06", 60, 80,
     {{65, Router, LevelFailing}},
     {"01:10 catch-up: router down since 01:05"},
     {"01:10 catch-up: router down since 01:05"}},
};

class LedgerNights : public Ledgers {
protected:
    Lines told[2];

    void run(const NightCase& c)
    {
        if (c.quiet != nullptr) {
            Ledger.Config.QuietOn = 1;
            Ledger.Config.Quiet = daily(c.quiet);
        }
        if (c.maintenance != nullptr) {
            Ledger.Config.WindowCount = 1;
            Ledger.Config.Windows[0] = daily(c.maintenance);
        }
        name(Router, Host, "router");
        name(Mx2, Service, "smtp://mx2");
        name(Drive, DiskAvailability, "D:\\");
        Ledger.Entries[Drive].Urgent = 1;
        for (int minute = c.first; minute <= c.last; minute += 5)
            cycle(c, minute);
    }

    void cycle(const NightCase& c, int minute)
    {
        // The checks report at the cycle's start, the flush a minute later.
        int held_at_start[2] = {ledger_held_by(0, 0, minute), ledger_held_by(1, 0, minute)};
        for (const Change& change : c.changes)
            if (change.minute == minute)
                ledger_note(change.slot, change.level, minute);
        for (int list = 0; list < 2; ++list) {
            ledger_review(list, held_at_start[list] | ledger_held_by(list, 0, minute + 1));
            LedgerMessage m;
            LedgerClock clock{minute + 1, 0, monotonic_at(minute + 1)};
            while (ledger_next_message(list, clock, m))
                told[list].push_back(hhmm(minute) + " " + TypeNames[m.Type] + ": " + lines(m));
        }
    }

    static std::string lines(const LedgerMessage& m)
    {
        std::string text;
        for (int k = 0; k < m.Count; ++k) {
            char line[200];
            ledger_line_text(line, sizeof line, m.Lines[k]);
            text += (k > 0 ? "; " : "") + std::string(line);
        }
        return text;
    }
};

TEST_F(LedgerNights, EveryListIsToldEachProblemsEndAndCaughtUpAfterAWindow)
{
    for (const NightCase& c : NightCases) {
        SCOPED_TRACE(c.what);
        SetUp();
        told[0].clear();
        told[1].clear();
        run(c);
        EXPECT_EQ(told[MailList], c.mail);
        EXPECT_EQ(told[SmsList], c.sms);
        // Nothing told is left open once the windows are over.
        EXPECT_EQ(ledger_pending(MailList), 0);
        EXPECT_EQ(ledger_pending(SmsList), 0);
        EXPECT_EQ(window_blip_count(), c.blips);
        ledger_digest_sent();
        EXPECT_EQ(window_blip_count(), 0);
    }
}

// Twelve hosts fail in one cycle: every report is accounted for, in one
// message with Group=1 and in SmsPerHour singles and one fold without.
TEST_F(LedgerNights, TwelveHostsDownAtOnceAreAllAccountedFor)
{
    struct Case {
        int group, per_hour;
        Lines sms_types; // "HH:MM type count"
    } cases[] = {
        {1, 0, {"01:10 group 12"}},
        {0, 4, {"01:10 single 1", "01:10 single 1", "01:10 single 1", "01:10 single 1", "02:10 group 8"}},
        {1, 4, {"01:10 group 12"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.group * 10 + c.per_hour);
        SetUp();
        Ledger.Config.Group = c.group;
        Ledger.Config.SmsPerHour = c.per_hour;
        char host_name[16];
        for (int k = 0; k < 12; ++k) {
            format_text(host_name, sizeof host_name, "web%02d", k + 1);
            name(HostSlot + k, Host, host_name);
        }
        Lines types;
        int named = 0, mails = 0;
        for (int minute = 60; minute <= 140; minute += 5) {
            if (minute == 70)
                for (int k = 0; k < 12; ++k)
                    ledger_note(HostSlot + k, LevelFailing, minute);
            LedgerClock clock{minute, 0, monotonic_at(minute)};
            LedgerMessage m;
            for (int list = 0; list < 2; ++list) {
                ledger_review(list, 0);
                while (ledger_next_message(list, clock, m)) {
                    if (list == MailList) {
                        mails += 1;
                        continue;
                    }
                    types.push_back(hhmm(minute) + " " + TypeNames[m.Type] + " " + std::to_string(m.Count));
                    named += m.Count;
                }
            }
        }
        EXPECT_EQ(types, c.sms_types);
        EXPECT_EQ(named, 12);
        EXPECT_EQ(mails, c.group ? 1 : 12);
        EXPECT_EQ(ledger_pending(SmsList), 0);
    }
}

// ---- The unstable count ----

TEST_F(Ledgers, UnstableIsToldWithinItsPollsAndNeverForADeadEntry)
{
    struct Case {
        const char* what;
        int retry, k, n;
        const char* polls; // 'a' answered, 'm' missed
        const char* steps; // per poll: '.' none, 'u' unstable, 's' stable again, 'd' dead
    } cases[] = {
        {"a crash loop of two misses and an answer", 3, 3, 10, "mmammammam", "...u....u."},
        {"a run of misses is left to Retry", 3, 3, 10, "ammmmma", "....dd."},
        {"unstable until N answers in a row", 2, 2, 4, "mamaaaaa", "..u...s."},
        {"a dead entry is not also unstable", 1, 2, 5, "mmmaaaa", ".dd...."},
        {"an unstable entry that dies is dead only", 2, 2, 5, "mammma", "..u.d."},
        {"Unstable off", 3, 0, 0, "mamamamam", "........."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Settings.Retry = c.retry;
        Settings.Suspend = 5;
        Settings.Added.Alerts.UnstableMisses = c.k;
        Settings.Added.Alerts.UnstablePolls = c.n;
        HostStateEntry state{};
        std::string steps;
        for (const char* p = c.polls; *p; ++p) {
            PollOutcome o = record_poll(state, *p == 'a');
            steps += o.unstable == UnstableReport ? 'u' : o.unstable == StableAgain ? 's' : o.dead ? 'd' : '.';
        }
        EXPECT_EQ(steps, c.steps);
    }
}

// ---- Through the daemon's own hooks ----

class Hooks : public Ledgers {
protected:
    Lines outbox;

    void SetUp() override
    {
        Ledgers::SetUp();
        HostInterfaceCopy = host();
        copy_text(Settings.DaemonAddress, "korval-daemon@example.com");
        copy_text(Settings.HostDomain, "example.com");
        build_recipients(Recipients, "admin@example.com,0170555:sms.example.com");
        Settings.Retry = 2;
        Settings.Suspend = 12;
        copy_text(Settings.HostNames[0], "router");
        Settings.HostCount = 1;
        AlertSettings& a = Settings.Added.Alerts;
        a.On = 1;
        a.Group = 1;
        a.SmsPerHour = 4;
    }

    // The router is gone from 01:00 to 03:00.
    void cycle(int minute)
    {
        ClockMinute = minute;
        size_t before = standin_jobs().size();
        ledger_begin_cycle();
        static const PollTexts Texts = {Host, "Host %s is ON again.", "Host %s is dead."};
        for (int k = 0; k < Settings.HostCount; ++k) {
            int answered = minute < 60 || minute >= 180;
            lock_settings();
            PollOutcome outcome = record_poll(HostState[k], answered);
            unlock_settings();
            tell_poll(host(), Texts, k, Settings.HostNames[k], answered, outcome);
        }
        ledger_flush(host());
        auto jobs = standin_jobs();
        for (size_t j = before; j < jobs.size(); ++j)
            outbox.push_back(hhmm(minute) + " " + jobs[j].recipients.at(0) + " | " + body(jobs[j].text));
    }

    // The subject and the lines after the header block, but the time.
    static std::string body(const std::string& text)
    {
        std::string out;
        size_t start = text.find("Subject: ");
        for (size_t end; start != std::string::npos && (end = text.find("\r\n", start)) != std::string::npos;
             start = end + 2) {
            std::string line = text.substr(start, end - start);
            if (line.empty() || line.rfind("Priority:", 0) == 0 || line.rfind("Time:", 0) == 0)
                continue;
            if (line.rfind("Subject: ", 0) == 0)
                line = line.substr(9);
            out += out.empty() ? line : " | " + line;
        }
        return out;
    }
};

// A reread zeroes the hosts' counts: the router told dead is then never
// reported back by its check, and the ledger ends it from the state now.
TEST_F(Hooks, ARereadThatZeroesTheCountsStillEndsWhatWasTold)
{
    for (int minute = 55; minute <= 70; minute += 5)
        cycle(minute);
    memset(HostState, 0, sizeof HostState);
    cycle(180);
    EXPECT_EQ(outbox, (Lines{
                          "01:10 admin@example.com | No Response on router | "
                          "Specified target 'router' does not respond to echo.",
                          "01:10 0170555@sms.example.com | Dead router  | Host 'router' does not respond.",
                          "03:00 admin@example.com | Responding router: OK | Specified target 'router' is responding again.",
                          "03:00 0170555@sms.example.com | Live router | Host 'router' is responding again.",
                      }));
    // A host taken out of the table is forgotten, not told back.
    for (int minute = 60; minute <= 70; minute += 5)
        cycle(minute);
    Settings.HostCount = 0;
    cycle(400);
    EXPECT_EQ(outbox.size(), 6u);
    EXPECT_EQ(ledger_pending(MailList), 0);
}

// What the status file, the heartbeat and the digest say of the ledger.
TEST_F(Hooks, StatusHeartbeatAndDigestTellOfTheWindows)
{
    Settings.Added.Alerts.QuietOn = 1;
    Settings.Added.Alerts.Quiet = TimeWindow{EveryDay, 0, 23 * 60, 7 * 60};
    Settings.Added.Alerts.WindowCount = 1;
    Settings.Added.Alerts.Windows[0] = TimeWindow{EveryDay, 0, 60, 120};
    static char text[StatusTextSize];
    StatusSnapshot snapshot{};
    struct Case {
        int minute;
        const char* maintenance;
        const char* heartbeat;
    } cases[] = {
        {8 * 60, "korval_maintenance 0\n", ""},
        {70, "korval_maintenance 1\n", "Maintenance until 02:00: reports held.\r\n"},
        {23 * 60 + 5, "korval_maintenance 0\n", "SMS quiet hours until 07:00: SMS held.\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.minute);
        cycle(c.minute);
        format_status(text, sizeof text, snapshot);
        EXPECT_NE(std::string(text).find("korval_notices_held{list=\"sms\"} "), std::string::npos);
        EXPECT_NE(std::string(text).find(c.maintenance), std::string::npos);
        standin_reset();
        Job job = host_create_job(host(), "x");
        write_window_line(job);
        host_close_job(host(), job);
        EXPECT_EQ(standin_jobs().at(0).text, c.heartbeat);
    }
    name(HostSlot + 7, Host, "web07");
    Ledger.WindowBlipCount = 1;
    Ledger.WindowBlips[0] = Blip{HostSlot + 7, LevelFailing, 70, 180};
    Ledger.WindowBlipsLost = 4;
    Job job = host_create_job(host(), "x");
    write_window_blips(job);
    host_close_job(host(), job);
    EXPECT_EQ(standin_jobs().back().text, "Inside a window: web07 down 01:10 to 03:00.\r\nInside a window: 4 more.\r\n");
}

// Short memory is owed its end: the ledger tells it with a text of its own.
TEST_F(Hooks, MemoryBackIsToldAfterShortMemory)
{
    Settings.HostCount = 0;
    ClockMinute = 60;
    ledger_begin_cycle();
    send_report(Memory, 12, 512);
    ledger_flush(host());
    ClockMinute = 65;
    ledger_begin_cycle();
    ledger_fine(Memory, 2048, 4096);
    ledger_flush(host());
    ledger_fine(Memory, 2048, 4096);
    ledger_flush(host());
    auto jobs = standin_jobs();
    ASSERT_EQ(jobs.size(), 4u);
    EXPECT_EQ(body(jobs[2].text), "Memory on Mercury OK | 2048MB free from 4096MB total on Mercury server.");
    EXPECT_EQ(body(jobs[3].text), "Memory OK | 2048MB free from 4096MB total on Mercury server.");
}

} // namespace
