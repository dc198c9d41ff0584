// The ledger: for each recipient list, what that list was last told of
// every check. Messages come from the difference between the ledger and
// the state now, once per cycle; a list held by a window or by the SMS
// budget is simply told later. Control thread only.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/daemon_state.h"
#include "platform/host_interface.h"
#include "settings/settings.h"

struct HostInterface;
struct ReportSnapshot;

// An entry's state, worst last.
enum LedgerLevel { LevelFine = 0, LevelUnstable = 1, LevelFailing = 2, LevelCritical = 3 };

// One slot per thing a list can be told of.
constexpr int HostSlot = 0;
constexpr int ServiceSlot = HostSlot + MaxHosts;
constexpr int FlowSlot = ServiceSlot + MaxServices;
constexpr int MemorySlot = FlowSlot + 1;
constexpr int SpaceSlot = MemorySlot + 1;
constexpr int ReadableSlot = SpaceSlot + MaxDrives;
constexpr int CertSlot = ReadableSlot + MaxDrives;
constexpr int LedgerSlots = CertSlot + MaxServices;

enum LedgerList { MailList = 0, SmsList = 1 };
// Why a list is held: bits.
enum HeldBy { HeldByQuiet = 1, HeldByMaintenance = 2 };
constexpr int MaxBlips = 16;
constexpr int SmsHistory = 60;

struct LedgerEntry {
    uint8_t Level;
    uint8_t Kind;     // the ReportKind of its last report
    uint8_t Urgent;   // its last report passes quiet hours and the SMS budget
    uint8_t Due;      // by list bit: the check asks for a reminder
    int16_t Changed;  // minute of the day of the last change of level
    int16_t Misses, Polls; // of the last unstable report
    int32_t A, B;     // the last report's figures (a drive: free MB, flag)
    int32_t DaysLeft;
    char Name[HostNameSize];
    char Reason[120];
};

// Something that failed and came back while a list was not told.
struct Blip {
    uint8_t Slot;
    uint8_t Level;    // the worst it reached
    int16_t From, To; // minutes of the day
};

struct ListLedger {
    uint8_t Told[LedgerSlots];
    uint8_t Worst[LedgerSlots];    // while failing unseen
    int16_t Unseen[LedgerSlots];   // minute it began failing unseen, -1: not
    Blip Blips[MaxBlips];
    int BlipCount, BlipsLost;
    int Held;          // HeldBy bits now
    int HeldSinceTold; // every HeldBy of the hold that ends with a catch-up
    int CatchUp;       // the hold ended: the next message is the catch-up
    int Folding;       // the SMS budget held reports back
    int HeldCount;     // reports not told at the end of the last flush
    uint32_t Sent;
    uint64_t SmsTimes[SmsHistory]; // Platform.MonotonicMs of recent SMS, 0 unused
};

// The time a flush runs at.
struct LedgerClock {
    int minute;       // of the local day
    int32_t day;      // days since 1970-01-01, local
    uint64_t now_ms;  // monotonic
};

constexpr int MaxLedgerLines = LedgerSlots + MaxBlips;
enum MessageType { SingleMessage, GroupMessage, CatchUpMessage };
struct LedgerLine {
    uint8_t Slot;
    uint8_t From, To; // levels; a blip: From its worst
    uint8_t IsBlip;
    int16_t Start, End;
};
struct LedgerMessage {
    int Type;
    int Window;       // a catch-up: HeldBy bits of the hold
    int Urgent;       // a problem among the lines
    int More;         // blips that did not fit the table
    int Count;
    LedgerLine Lines[MaxLedgerLines];
};

struct LedgerState {
    AlertSettings Config; // copied at the start of each cycle
    int HeldAtStart[2];
    LedgerEntry Entries[LedgerSlots];
    ListLedger Lists[2];
    // What came and went inside a window, for the daily digest.
    Blip WindowBlips[MaxBlips];
    int WindowBlipCount, WindowBlipsLost;
};
extern LedgerState Ledger;

// Empties the ledger (a new life): nothing told, nothing failing.
void reset_ledger();
// The slot of a report's kind and index; -1 when there is none.
int ledger_slot(int kind, int32_t index);
// A check's state for slot at minute: a level change is kept with its
// time, the same failing level again asks for a reminder.
void ledger_note(int slot, int level, int minute);
// What holds list at a time, from the copied settings: HeldByMaintenance
// or else HeldByQuiet, with the end of that window (-1: none) in end.
int ledger_held_by(int list, int32_t day, int minute, int* end = nullptr);
// Notes what failed and came back unseen by the list since the last
// review, and whether the list is held (held: HeldBy bits).
void ledger_review(int list, int held);
// The next message due to list at clock, marked told; 0 when none goes out
// now. Call until 0 after ledger_review.
int ledger_next_message(int list, const LedgerClock& clock, LedgerMessage& m);
// Reports not yet told to list, for the status file.
int ledger_pending(int list);

// The hooks of the daemon. With [Alerts] set, send_report hands its report
// to the ledger (1: kept, not sent).
int ledger_keep(const ReportSnapshot& report, int kind, int32_t a, int32_t b);
// A check found its entry fine without a report of its own (memory).
void ledger_fine(int kind, int32_t a, int32_t b);
// An entry turned unstable (misses of polls; repeated while so) or, with
// misses 0, stable again.
void ledger_unstable(int kind, int index, const char* name, int misses, int polls);
// The start of a poll cycle: the settings and the windows open now.
void ledger_begin_cycle();
// The end of a poll cycle: sends what each list is due.
void ledger_flush(const HostInterface* host);
// Whether [Alerts] is set, with the end of the window that holds list now
// in end (-1: none).
int ledger_open(int list, int* end);
// The heartbeat's line while a window is open, else nothing.
void write_window_line(Job job);
// The digest's lines of what came and went inside windows.
void write_window_blips(Job job);
inline int window_blip_count() { return Ledger.WindowBlipCount + Ledger.WindowBlipsLost; }
// The digest went out: its window events start anew.
void ledger_digest_sent();

// Texts: a message of the ledger over one channel.
void write_ledger_message(Job job, const LedgerMessage& m, int channel);
// The short line of one report ("router down since 01:10").
void ledger_line_text(char* text, size_t size, const LedgerLine& line);
