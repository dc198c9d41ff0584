// Mails the stand-in delivers to the daemon entry point while it runs:
// --deliver-every (with --ini-files) and --after-closedown.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "options.h"

// The files of folder, in name order.
std::vector<std::string> folder_files(const std::string& folder);
// Copies source over target and stamps it with the current time; false when
// it could not.
bool put_in_place(const char* source, const char* target);

// The mails of --deliver-every: one every interval, each after the next
// prepared korval.ini (if any) has been put in place.
struct Deliveries {
    const Options& o;
    std::vector<std::string> files;
    size_t sent = 0;
    DWORD last = 0;
    long cycles_at_end = -1; // cycle count when the last file was delivered

    explicit Deliveries(const Options& options) : o(options)
    {
        if (!o.ini_files.empty())
            files = folder_files(o.ini_files);
    }

    bool finished() const { return !o.ini_files.empty() && sent >= files.size(); }

    void deliver_due(DaemonFn daemon, long cycles);
};

// A mail delivered once the daemon is closed down: a settings lock left
// held by a stopped thread would keep the mail server's thread here for
// good. True when the call returned in time.
bool deliver_after_closedown(const Options& o, DaemonFn daemon);
