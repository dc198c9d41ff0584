// The recording core of the stand-in mail server: a host record whose
// fifteen operations are implemented for real and recorded, so that the
// stand-in program can show what the daemon does and the unit tests can
// check it. One host per process, as in the real mail server.
#pragma once

#include <windows.h>

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/host_interface.h"

struct HostOptions {
    uint32_t record_size = 400;   // the size field; below 366 tests the refusal
    uint8_t version_major = 4;
    uint8_t version_minor = 1;
    std::string domain = "example.test";
    HWND owner_window = nullptr;  // get_host_value (6)

    std::set<std::string> refused_addresses;  // add_recipient refuses these (and any without '@')
    int create_job_failures = 0;              // the next N create_job calls return 0
    bool job_info_fails = false;              // get_job_info returns 0
    std::set<std::string> refused_statistics; // module or category names whose registration fails
    bool alias_delete_fails = false;
    bool alias_add_fails = false;
    std::map<std::string, int> module_query_results;  // forced results of module_state (name, 0, 0)
    std::map<std::string, int> module_set_results;    // forced results of module_state (name, 1, v)
    std::string block_log_prefix;             // a log line beginning with this keeps its caller waiting
    DWORD block_log_ms = 2000;                //   this long before it is written

    bool fixed_unique_id = false;             // make_unique_id writes unique_id instead of random bytes
    std::array<uint8_t, 5> unique_id{};
    std::string date_text;                    // format_date's text; empty: the current date, RFC 5322
    void (*system_time)(SYSTEMTIME*) = nullptr; // the clock of log lines and dates; null: Windows' own

    std::string output_dir;                   // when set: log file, outbox, aliases and module files
    bool echo_console = false;                // print log lines and module changes to the console
    bool keep_history = true;                 // false: log, trace and closed jobs only go to the files,
                                              // so that a long run does not grow the process
};

struct LoggedLine {
    int category;
    int priority;
    std::string text;
};

struct HostJob {
    int number;                               // 1-based; the outbox file is numbered after the mails already there
    std::string sender;
    std::vector<std::string> recipients;      // accepted
    std::vector<std::string> refused;
    std::string text;
    bool closed = false;
};

// A closed job's mail for the daemon itself: its accepted recipients that
// the alias table maps to a Daemon: target.
struct LocalMail {
    int number;                               // the job's file number, as in the outbox
    std::string sender;                       // the envelope sender
    std::vector<std::string> recipients;
};

struct StatisticCount {
    std::string module;
    std::string name;
    long count;
};

// Resets every record and builds a fresh host record with these options.
void standin_reset(const HostOptions& options = HostOptions());
HostInterface* standin_record();

// From the moment closedown has returned, every further call through the
// record is a fault; it is counted and reported on the console.
void standin_seal(bool sealed = true);
int standin_late_calls();

// Runs watch at the start of every operation (before it does anything), on
// the calling thread; an empty function stops watching. standin_reset stops
// it too.
void standin_watch_calls(std::function<void()> watch);

// From now on a closed job's local recipients are taken out of its outbox
// envelope: the mail goes to OUTDIR\local\NNNN.eml (with NNNN.env), then
// to route, on the closing thread with no lock of the host held. The
// outbox gets the mail only for its other recipients (or when it has no
// accepted recipient at all). An empty function, or standin_reset, ends
// this: every recipient goes to the outbox again.
void standin_route_local(std::function<void(const LocalMail&)> route);

// A delivered message for the daemon entry point, with this envelope sender.
Job standin_delivered_job(const std::string& sender);

// Snapshots of what the daemon did.
std::vector<LoggedLine> standin_log();
std::vector<std::string> standin_trace();          // every operation in call order, one line each
std::vector<HostJob> standin_jobs();
std::vector<StatisticCount> standin_statistics();
long standin_statistic(const std::string& name);   // count of a category; -1 if not registered
long standin_zero_handle_bumps();                  // bumps through a 0 handle
std::map<std::string, std::string> standin_aliases();
void standin_set_alias(const std::string& alias, const std::string& target);
int standin_module_online(const std::string& name);  // 1 online, 0 offline

// Waits up to timeout_ms until the category has been bumped at least count times.
bool standin_wait_statistic(const std::string& name, long count, DWORD timeout_ms);

// The statistics as a table, one line per category.
std::string standin_statistics_table();
