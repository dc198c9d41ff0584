// The ledger's state machine: what each list was told, what it is owed,
// and which message goes out next. No host call is made here.
#include "report/ledger.h"

#include <cstring>

#include "report/report.h"

LedgerState Ledger;

void reset_ledger()
{
    AlertSettings config = Ledger.Config;
    Ledger = LedgerState{};
    Ledger.Config = config;
    for (ListLedger& l : Ledger.Lists)
        memset(l.Unseen, 0xff, sizeof l.Unseen);
}

int ledger_slot(int kind, int32_t index)
{
    // By ReportKind: the first slot and the slots of each kind.
    static const uint8_t First[] = {HostSlot, MemorySlot, SpaceSlot, ReadableSlot, ServiceSlot, FlowSlot, CertSlot};
    static const uint8_t Slots[] = {MaxHosts, 1, MaxDrives, MaxDrives, MaxServices, 1, MaxServices};
    if (kind == MailFlowReport || kind == Memory)
        index = 0;
    return kind >= 0 && kind <= CertificateReport && index >= 0 && index < Slots[kind] ? First[kind] + index : -1;
}

void ledger_note(int slot, int level, int minute)
{
    LedgerEntry& e = Ledger.Entries[slot];
    if (e.Level != level) {
        e.Level = static_cast<uint8_t>(level);
        e.Changed = static_cast<int16_t>(minute);
    } else if (level != LevelFine) {
        e.Due = 3;
    }
}

int ledger_held_by(int list, int32_t day, int minute, int* end)
{
    const AlertSettings& c = Ledger.Config;
    int held = 0, until = -1;
    for (int k = 0; k < c.WindowCount && k < MaxWindows && !held; ++k)
        if ((until = window_end(c.Windows[k], day, minute)) >= 0)
            held = HeldByMaintenance;
    if (list == SmsList && !held && c.QuietOn && (until = window_end(c.Quiet, day, minute)) >= 0)
        held = HeldByQuiet;
    if (end != nullptr)
        *end = until;
    return held;
}

namespace {

void add_blip(Blip (&table)[MaxBlips], int& count, int& lost, const Blip& b)
{
    for (int k = 0; k < count; ++k)
        if (table[k].Slot == b.Slot && table[k].From == b.From)
            return;
    if (count < MaxBlips)
        table[count++] = b;
    else
        ++lost;
}

int is_problem(int level)
{
    return level >= LevelFailing;
}

// What list owes for slot now: a change, or a reminder of a failure.
int owed(const ListLedger& l, int list, int slot)
{
    const LedgerEntry& e = Ledger.Entries[slot];
    return e.Level != l.Told[slot] || (e.Level != LevelFine && (e.Due >> list & 1));
}

// The line of slot into m, and the slot marked told.
void tell(LedgerMessage& m, ListLedger& l, int list, int slot)
{
    LedgerEntry& e = Ledger.Entries[slot];
    m.Lines[m.Count++] = LedgerLine{static_cast<uint8_t>(slot), l.Told[slot], e.Level, 0, e.Changed, e.Changed};
    m.Urgent |= is_problem(e.Level);
    l.Told[slot] = e.Level;
    l.Unseen[slot] = -1;
    e.Due = static_cast<uint8_t>(e.Due & ~(1 << list));
}

// Every owed slot (and, for a catch-up, every failing one) and the blips
// into m, all marked told.
void take_all(ListLedger& l, int list, LedgerMessage& m, int catch_up)
{
    for (int s = 0; s < LedgerSlots; ++s) {
        if (!owed(l, list, s) && !(catch_up && Ledger.Entries[s].Level != LevelFine))
            continue;
        tell(m, l, list, s);
    }
    for (int k = 0; k < l.BlipCount; ++k) {
        const Blip& b = l.Blips[k];
        m.Lines[m.Count++] = LedgerLine{b.Slot, b.Level, LevelFine, 1, b.From, b.To};
    }
    m.More = l.BlipsLost;
    l.BlipCount = 0;
    l.BlipsLost = 0;
}

int budget_allows(const ListLedger& l, uint64_t now)
{
    int per_hour = Ledger.Config.SmsPerHour;
    if (per_hour <= 0)
        return 1;
    int recent = 0;
    for (uint64_t t : l.SmsTimes)
        recent += t != 0 && now - t < 3600000;
    return recent < per_hour;
}

void spend(ListLedger& l, uint64_t now)
{
    int oldest = 0;
    for (int k = 1; k < SmsHistory; ++k)
        if (l.SmsTimes[k] < l.SmsTimes[oldest])
            oldest = k;
    l.SmsTimes[oldest] = now != 0 ? now : 1;
}

} // namespace

void ledger_review(int list, int held)
{
    ListLedger& l = Ledger.Lists[list];
    for (int s = 0; s < LedgerSlots; ++s) {
        const LedgerEntry& e = Ledger.Entries[s];
        if (e.Level != LevelFine && l.Told[s] == LevelFine) {
            if (l.Unseen[s] < 0) {
                l.Unseen[s] = e.Changed;
                l.Worst[s] = 0;
            }
            if (e.Level > l.Worst[s])
                l.Worst[s] = e.Level;
        } else if (e.Level == LevelFine && l.Unseen[s] >= 0) {
            Blip b{static_cast<uint8_t>(s), l.Worst[s], l.Unseen[s], e.Changed};
            add_blip(l.Blips, l.BlipCount, l.BlipsLost, b);
            if (l.Held != 0 || held != 0)
                add_blip(Ledger.WindowBlips, Ledger.WindowBlipCount, Ledger.WindowBlipsLost, b);
            l.Unseen[s] = -1;
        }
    }
    // A catch-up is owed once a hold ends: at the first review that finds
    // the list free after a held one.
    if (held == 0 && l.HeldSinceTold != 0)
        l.CatchUp = 1;
    l.HeldSinceTold |= held;
    l.Held = held;
}

int ledger_next_message(int list, const LedgerClock& clock, LedgerMessage& m)
{
    ListLedger& l = Ledger.Lists[list];
    m.Type = SingleMessage;
    m.Window = 0;
    m.Urgent = 0;
    m.More = 0;
    m.Count = 0;
    int sms = list == SmsList;
    int allowed = !sms || budget_allows(l, clock.now_ms);

    if (l.CatchUp && allowed) {
        m.Type = CatchUpMessage;
        m.Window = l.HeldSinceTold;
        l.CatchUp = 0;
        l.HeldSinceTold = 0;
        l.Folding = 0;
        take_all(l, list, m, 1);
        if (m.Count == 0)
            return 0;
    } else if (l.Held != 0 || !allowed || l.CatchUp) {
        // Held: only an urgent report passes, and never maintenance.
        if (l.Held & HeldByMaintenance)
            return 0;
        int urgent = -1;
        for (int s = 0; s < LedgerSlots && urgent < 0; ++s)
            if (owed(l, list, s) && Ledger.Entries[s].Urgent && is_problem(Ledger.Entries[s].Level))
                urgent = s;
        if (urgent < 0) {
            l.Folding |= sms && l.Held == 0;
            return 0;
        }
        tell(m, l, list, urgent);
    } else {
        int count = 0, first = -1;
        for (int s = 0; s < LedgerSlots; ++s)
            if (owed(l, list, s)) {
                ++count;
                if (first < 0)
                    first = s;
            }
        if (count + l.BlipCount == 0)
            return 0;
        // One report alone goes as itself; several are grouped when asked
        // or while the SMS budget folds them.
        int alone = count == 1 && l.BlipCount == 0 && !l.Folding;
        if (!alone && (Ledger.Config.Group || l.Folding || count == 0)) {
            m.Type = GroupMessage;
            l.Folding = 0;
            take_all(l, list, m, 0);
        } else {
            tell(m, l, list, first);
        }
    }
    ++l.Sent;
    if (sms)
        spend(l, clock.now_ms);
    return 1;
}

int ledger_pending(int list)
{
    const ListLedger& l = Ledger.Lists[list];
    int count = l.BlipCount + l.BlipsLost;
    for (int s = 0; s < LedgerSlots; ++s)
        count += owed(l, list, s);
    return count;
}
