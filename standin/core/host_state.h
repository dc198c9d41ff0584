// The stand-in host's shared state, behind the operations of its record
// and the functions that tests and the stand-in call. Private to the core.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <random>

#include "host_core.h"


inline constexpr const char* ModuleNames[] = {"MERCURYS", "MERCURYD"};

struct DeliveredJob {
    std::string sender;
};

struct Registered {
    std::string module;
    std::string name;   // empty for a module
    long count = 0;
};

struct Host {
    std::mutex lock;
    std::condition_variable changed;
    HostOptions options;
    std::vector<unsigned char> record;
    bool sealed = false;
    int late_calls = 0;
    std::function<void()> watch;
    std::function<void(const LocalMail&)> route;

    std::vector<LoggedLine> log;
    std::vector<std::string> trace;
    std::map<int, HostJob> jobs;              // by number; closed ones dropped without history
    int job_count = 0;
    int outbox_base = 0;   // mail files (outbox and local) already there when the host was reset
    std::deque<DeliveredJob> delivered;
    std::vector<Registered> statistics;
    long zero_bumps = 0;
    std::map<std::string, std::string> aliases;
    std::map<std::string, int> modules;
    std::mt19937 random{std::random_device{}()};
};

Host& host();

// Job handles: created jobs count up from 1, delivered jobs from 0x10000.
constexpr uintptr_t DeliveredBase = 0x40000000;
// Statistics handles: modules and categories share one table, offset so that
// no handle is 0.
constexpr intptr_t StatisticBase = 0x100;

// The current time as an RFC 5322 date ("r") or a log time ("t").
std::string now_text(const char* format);
std::string output_path(Host& h, const std::string& name);
// Called with the lock held at the start of every operation.
void enter(Host& h, const std::string& what);
void save_aliases(Host& h);
void save_modules(Host& h);
void record_log(int category, int priority, const char* text);
// Puts the fifteen operations into their slots of the record.
void put_operations(std::vector<unsigned char>& record);
