// The Internet checks' rounds: every Minutes, on the errand thread, each
// blocklist, the reverse DNS and the MX judged (internet_judge.cpp), then
// told: a listing, a delisting, a wrong or right again reverse DNS or MX.
#include "checks/internet.h"

#include <cstring>

#include "cycle/errand.h"
#include "platform/daemon_state.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "report/report.h"

namespace {

constexpr uint64_t MsPerMinute = 60000;
constexpr uint64_t ReminderMs = 24 * 60 * MsPerMinute;
// One question, with its one resend, and a whole round.
constexpr DWORD QuestionMs = 2500;
constexpr DWORD RoundMs = 60000;

} // namespace

namespace {

// What the errand asks and brings back.
struct InternetRound {
    InternetSettings settings;
    char domain[sizeof SettingsRecord::HostDomain];
    ListJudgement lists[MaxBlocklists];
    int reverse, mx;
    char reverse_reason[CheckReasonSize], mx_reason[CheckReasonSize];
};

struct RoundAsker {
    DnsServer server;
    DWORD end;         // of the round, on GetTickCount's clock
    HANDLE life_over;
};

void ask_server(void* context, const char* name, int type, DnsAnswer& answer)
{
    RoundAsker& r = *static_cast<RoundAsker*>(context);
    DWORD now = GetTickCount();
    DWORD left = static_cast<int>(r.end - now) > 0 ? r.end - now : 0;
    dns_ask(r.server, name, type, answer, now + (left < QuestionMs ? left : QuestionMs), r.life_over);
}

// The errand: every question of the round, in order, within RoundMs; a stop
// ends the wait in hand within one slice and the rest at once.
void run_round(void* data, HANDLE life_over)
{
    InternetRound& round = *static_cast<InternetRound*>(data);
    const InternetSettings& s = round.settings;
    RoundAsker r = {{s.Resolver, s.ResolverPort}, GetTickCount() + RoundMs, life_over};
    if (s.Resolver == 0 && !dns_system_server(r.server)) {
        static const char NoServer[] = "the system has no DNS server";
        for (int k = 0; k < s.ListCount && k < MaxBlocklists; ++k) {
            round.lists[k].verdict = ListUnusable;
            copy_text(round.lists[k].reason, NoServer);
        }
        round.reverse = round.mx = CheckUnknown;
        copy_text(round.reverse_reason, NoServer);
        copy_text(round.mx_reason, NoServer);
        return;
    }
    DnsAsker asker = {ask_server, &r};
    for (int k = 0; k < s.ListCount && k < MaxBlocklists; ++k)
        judge_list(asker, s.Lists[k], s.PublicIP, round.lists[k]);
    round.reverse = judge_reverse(asker, s.PublicIP, round.reverse_reason);
    if (round.domain[0] == '\0') {
        round.mx = CheckUnknown;
        copy_text(round.mx_reason, "the mail server's domain is not known");
    } else {
        round.mx = judge_mx(asker, round.domain, s.PublicIP, round.mx_reason);
    }
}

void report(int event, const char* target, const char* reason)
{
    copy_text(CurrentTarget, target);
    copy_text(CurrentReason, reason);
    send_report(InternetReport, event, 0);
}

// The states of this round's lists in their order, each with what the last
// rounds knew of it by name.
void take_list_states(const InternetSettings& s)
{
    static ListState next[MaxBlocklists];
    int count = s.ListCount < MaxBlocklists ? s.ListCount : MaxBlocklists;
    for (int k = 0; k < count; ++k) {
        next[k] = ListState{};
        copy_text(next[k].Name, s.Lists[k]);
        for (int old = 0; old < Internet.ListCount; ++old)
            if (_stricmp(Internet.Lists[old].Name, s.Lists[k]) == 0)
                next[k] = Internet.Lists[old];
    }
    memcpy(Internet.Lists, next, sizeof next);
    Internet.ListCount = count;
}

void tell_list(const HostInterface* host, ListState& st, const ListJudgement& j, const char* ip, uint64_t now)
{
    if (j.verdict == ListUnusable) {
        ++st.UnusableRounds;
        if (!st.Seen || st.Usable || strcmp(st.Reason, j.reason) != 0)
            host_log_format(host, 20, 15, "Blocklist %s unusable: %s.", st.Name, j.reason);
        st.Seen = 1;
        st.Usable = 0;
        copy_text(st.Reason, j.reason);
        return;
    }
    if (st.Seen && !st.Usable)
        host_log_format(host, 20, 25, "Blocklist %s usable again.", st.Name);
    st.Seen = st.Usable = st.Judged = 1;
    char sentence[sizeof CurrentReason];
    if (j.verdict == ListListed) {
        ++st.ListedRounds;
        int first = !st.Listed;
        if (!first && now - st.RemindedMs < ReminderMs)
            return;
        char code[16];
        ipv4_text(code, j.code);
        const char* meaning = listing_meaning(st.Name, j.code);
        format_text(sentence, sizeof sentence, "%s is listed on %s: %s (%s)", ip, st.Name, meaning, code);
        host_log_format(host, 20, 15, "%s on %s: %s (%s).", first ? "Listed" : "Still listed", st.Name, meaning,
                        code);
        st.Listed = 1;
        st.RemindedMs = now;
        report(first ? InternetListed : InternetStillListed, st.Name, sentence);
    } else if (st.Listed) {
        st.Listed = 0;
        host_log_format(host, 20, 25, "No longer listed on %s.", st.Name);
        format_text(sentence, sizeof sentence, "%s is no longer listed on %s", ip, st.Name);
        report(InternetDelisted, st.Name, sentence);
    }
}

// The reverse DNS or the MX: a report when it turns wrong (also at the
// first round) and when it is right again; a round that could not tell
// changes nothing and says why once.
void tell_check(const HostInterface* host, int verdict, const char* reason, int& state, char (&note)[CheckReasonSize],
                uint32_t& wrong_rounds, const char* what, const char* target, int wrong_event)
{
    if (verdict == CheckUnknown) {
        if (strcmp(note, reason) != 0)
            host_log_format(host, 20, 20, "%s of %s not checked: %s.", what, target, reason);
        copy_text(note, reason);
        return;
    }
    note[0] = '\0';
    wrong_rounds += verdict == CheckWrong;
    int was = state;
    state = verdict;
    if (verdict == was || (verdict == CheckRight && was == CheckUnknown))
        return;
    host_log_format(host, 20, verdict == CheckWrong ? 15 : 25, "%s of %s %s: %s.", what, target,
                    verdict == CheckWrong ? "wrong" : "right again", reason);
    report(wrong_event + (verdict == CheckRight), target, reason);
}

} // namespace

void reset_internet()
{
    Internet = InternetState{};
    Internet.Reverse = Internet.Mx = CheckUnknown;
}

void check_internet(const HostInterface* host)
{
    static InternetRound round;
    round = InternetRound{};
    lock_settings();
    round.settings = Settings.Added.Internet;
    copy_text(round.domain, Settings.HostDomain);
    unlock_settings();
    const InternetSettings& s = round.settings;
    uint64_t now = Platform.MonotonicMs();
    if (s.PublicIP == 0 || (Internet.Rounds > 0 && Internet.Address == s.PublicIP &&
                            now - Internet.LastRoundMs < static_cast<uint64_t>(s.Minutes) * MsPerMinute))
        return;
    // What was known of another address says nothing of this one.
    if (Internet.Address != s.PublicIP) {
        reset_internet();
        Internet.Address = s.PublicIP;
    }
    if (run_errand(run_round, round) == ErrandStopped)
        return;
    Internet.LastRoundMs = now;
    ++Internet.Rounds;
    ++Internet.DayRounds;
    char ip[16];
    ipv4_text(ip, s.PublicIP);
    take_list_states(s);
    for (int k = 0; k < Internet.ListCount; ++k)
        tell_list(host, Internet.Lists[k], round.lists[k], ip, now);
    tell_check(host, round.reverse, round.reverse_reason, Internet.Reverse, Internet.ReverseNote,
               Internet.ReverseWrongRounds, "Reverse DNS", ip, ReverseWrong);
    tell_check(host, round.mx, round.mx_reason, Internet.Mx, Internet.MxNote, Internet.MxWrongRounds, "MX",
               round.domain[0] ? round.domain : "the mail domain", MxWrong);
}

void internet_facts(InternetFacts& f)
{
    f = InternetFacts{};
    f.Reverse = f.Mx = CheckUnknown;
    lock_settings();
    f.On = Settings.Added.Internet.PublicIP != 0;
    unlock_settings();
    if (!f.On)
        return;
    f.Lists = Internet.ListCount;
    f.Rounds = Internet.DayRounds;
    for (int k = 0; k < Internet.ListCount; ++k) {
        const ListState& st = Internet.Lists[k];
        f.Listed += st.Listed;
        f.Unusable += st.Seen && !st.Usable;
        f.ListedRounds += st.ListedRounds;
        f.UnusableRounds += st.UnusableRounds;
        if (st.ListedRounds)
            append_item(f.ListedNames, sizeof f.ListedNames, st.Name);
        if (st.UnusableRounds)
            append_item(f.UnusableNames, sizeof f.UnusableNames, st.Name);
    }
    f.Reverse = Internet.Reverse;
    f.Mx = Internet.Mx;
    f.ReverseWrongRounds = Internet.ReverseWrongRounds;
    f.MxWrongRounds = Internet.MxWrongRounds;
}

void begin_internet_day()
{
    Internet.DayRounds = Internet.ReverseWrongRounds = Internet.MxWrongRounds = 0;
    for (ListState& st : Internet.Lists)
        st.ListedRounds = st.UnusableRounds = 0;
}
