// The stand-in's command line: its commands and options, and the exit
// codes it ends with.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "faults.h"
#include "host_core.h"
#include "local.h"

extern const char Usage[];

enum ExitCode { ExitOk = 0, ExitNotStarted = 1, ExitUsage = 2, ExitFault = 3, ExitNoDll = 4 };

struct Options {
    std::string command;
    std::string dll;
    std::string dir = "standin-out";
    HostOptions host;
    int seconds = 0;
    int cycles = 0;
    DWORD lapse = 0;
    int restarts = 0;
    int startups = 1;
    bool measure = false;
    DWORD stop_random = 0;
    std::string after_closedown;
    LocalOptions local;
    Faults faults;
    std::vector<std::string> deliveries;
    DWORD deliver_every = 0;
    std::string ini_files;
    std::string plan;
    SYSTEMTIME clock{};  // wYear 0: the real clock
    std::string from;
    bool has_from = false;
    std::string text = "korval-standin";
    int answer = 0;
};

// Reads the command line into o; an empty text on success, else what was
// wrong ("help" when help was asked for).
std::string parse_options(int argc, char** argv, Options* o);
