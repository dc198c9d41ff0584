// The stand-in host: its shared state, and what tests and the stand-in
// program call to reset it and read what the daemon did.
#include "host_state.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

Host& host()
{
    static Host instance;
    return instance;
}

std::string now_text(const char* format)
{
    SYSTEMTIME t;
    Host& h = host();
    h.options.system_time ? h.options.system_time(&t) : GetSystemTime(&t);
    static const char* days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    char text[64];
    if (format[0] == 'r')
        snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d +0000", days[t.wDayOfWeek % 7],
                 t.wDay, months[(t.wMonth + 11) % 12], t.wYear, t.wHour, t.wMinute, t.wSecond);
    else
        snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", t.wHour, t.wMinute, t.wSecond,
                 t.wMilliseconds);
    return text;
}

std::string output_path(Host& h, const std::string& name)
{
    return h.options.output_dir + "\\" + name;
}

void enter(Host& h, const std::string& what)
{
    if (h.sealed) {
        ++h.late_calls;
        fprintf(stderr, "standin: FAULT: '%s' called after closedown returned\n", what.c_str());
    }
    if (h.options.keep_history)
        h.trace.push_back(what);
    if (h.watch)
        h.watch();
}

void save_aliases(Host& h)
{
    if (h.options.output_dir.empty())
        return;
    std::ofstream out(output_path(h, "aliases.txt"), std::ios::trunc);
    for (const auto& [alias, target] : h.aliases)
        out << alias << " = " << target << "\n";
}

void save_modules(Host& h)
{
    if (h.options.output_dir.empty())
        return;
    std::ofstream out(output_path(h, "modules.txt"), std::ios::trunc);
    for (const auto& [name, online] : h.modules)
        out << name << " " << (online ? "online" : "offline") << "\n";
}

void record_log(int category, int priority, const char* text)
{
    Host& h = host();
    std::lock_guard<std::mutex> guard(h.lock);
    enter(h, "log " + std::to_string(category) + " " + std::to_string(priority) + " " + text);
    if (h.options.keep_history)
        h.log.push_back({category, priority, text});
    if (h.options.echo_console || !h.options.output_dir.empty()) {
        char prefix[64];
        snprintf(prefix, sizeof prefix, "%s [%2d:%2d] ", now_text("t").c_str(), category, priority);
        std::string line = std::string(prefix) + text + "\n";
        if (h.options.echo_console)
            fputs(line.c_str(), stdout), fflush(stdout);
        if (!h.options.output_dir.empty()) {
            std::ofstream out(output_path(h, "korval.log"), std::ios::app | std::ios::binary);
            out << line;
        }
    }
    h.changed.notify_all();
}

void standin_reset(const HostOptions& options)
{
    Host& h = host();
    std::lock_guard<std::mutex> guard(h.lock);
    h.options = options;
    h.sealed = false;
    h.late_calls = 0;
    h.watch = nullptr;
    h.route = nullptr;
    h.log.clear();
    h.trace.clear();
    h.jobs.clear();
    h.job_count = 0;
    h.delivered.clear();
    h.statistics.clear();
    h.zero_bumps = 0;
    h.outbox_base = 0;
    h.aliases.clear();
    h.modules = {{ModuleNames[0], 1}, {ModuleNames[1], 1}};

    h.record.assign(std::max<size_t>(options.record_size, HostInterfaceMinSize), 0);
    auto* r = reinterpret_cast<HostInterface*>(h.record.data());
    r->size = options.record_size;
    r->version_major = options.version_major;
    r->version_minor = options.version_minor;
    put_operations(h.record);

    if (!options.output_dir.empty()) {
        CreateDirectoryA(options.output_dir.c_str(), nullptr);
        CreateDirectoryA(output_path(h, "outbox").c_str(), nullptr);
        // Mails of earlier runs stay; new ones are numbered after them.
        for (const char* pattern : {"outbox\\*.eml", "local\\*.eml"}) {
            WIN32_FIND_DATAA found;
            HANDLE search = FindFirstFileA(output_path(h, pattern).c_str(), &found);
            if (search == INVALID_HANDLE_VALUE)
                continue;
            do
                h.outbox_base = std::max(h.outbox_base, atoi(found.cFileName));
            while (FindNextFileA(search, &found));
            FindClose(search);
        }
        std::ifstream in(output_path(h, "aliases.txt"));
        std::string line;
        while (std::getline(in, line)) {
            size_t eq = line.find(" = ");
            if (eq != std::string::npos)
                h.aliases[line.substr(0, eq)] = line.substr(eq + 3);
        }
        std::ifstream mods(output_path(h, "modules.txt"));
        std::string name, state;
        while (mods >> name >> state)
            h.modules[name] = state == "online";
    }
}

HostInterface* standin_record()
{
    return reinterpret_cast<HostInterface*>(host().record.data());
}

void standin_seal(bool sealed)
{
    Host& h = host();
    std::lock_guard<std::mutex> guard(h.lock);
    h.sealed = sealed;
}

void standin_watch_calls(std::function<void()> watch)
{
    Host& h = host();
    std::lock_guard<std::mutex> guard(h.lock);
    h.watch = std::move(watch);
}

int standin_late_calls()
{
    Host& h = host();
    std::lock_guard<std::mutex> guard(h.lock);
    return h.late_calls;
}

void standin_route_local(std::function<void(const LocalMail&)> route)
{
    Host& h = host();
    std::lock_guard<std::mutex> guard(h.lock);
    h.route = std::move(route);
}

Job standin_delivered_job(const std::string& sender)
{
    Host& h = host();
    std::lock_guard<std::mutex> guard(h.lock);
    h.delivered.push_back({sender});
    return reinterpret_cast<Job>(DeliveredBase + h.delivered.size() - 1);
}

std::vector<LoggedLine> standin_log()
{
    Host& h = host();
    std::lock_guard<std::mutex> guard(h.lock);
    return h.log;
}

std::vector<std::string> standin_trace()
{
    Host& h = host();
    std::lock_guard<std::mutex> guard(h.lock);
    return h.trace;
}

std::vector<HostJob> standin_jobs()
{
    Host& h = host();
    std::lock_guard<std::mutex> guard(h.lock);
    std::vector<HostJob> jobs;
    for (const auto& [number, job] : h.jobs)
        jobs.push_back(job);
    return jobs;
}

std::vector<StatisticCount> standin_statistics()
{
    Host& h = host();
    std::lock_guard<std::mutex> guard(h.lock);
    std::vector<StatisticCount> out;
    for (const auto& s : h.statistics)
        if (!s.name.empty())
            out.push_back({s.module, s.name, s.count});
    return out;
}

long standin_statistic(const std::string& name)
{
    for (const auto& s : standin_statistics())
        if (s.name == name)
            return s.count;
    return -1;
}

long standin_zero_handle_bumps()
{
    Host& h = host();
    std::lock_guard<std::mutex> guard(h.lock);
    return h.zero_bumps;
}

std::map<std::string, std::string> standin_aliases()
{
    Host& h = host();
    std::lock_guard<std::mutex> guard(h.lock);
    return h.aliases;
}

void standin_set_alias(const std::string& alias, const std::string& target)
{
    Host& h = host();
    std::lock_guard<std::mutex> guard(h.lock);
    h.aliases[alias] = target;
    save_aliases(h);
}

int standin_module_online(const std::string& name)
{
    Host& h = host();
    std::lock_guard<std::mutex> guard(h.lock);
    return h.modules[name];
}

bool standin_wait_statistic(const std::string& name, long count, DWORD timeout_ms)
{
    Host& h = host();
    std::unique_lock<std::mutex> guard(h.lock);
    return h.changed.wait_for(guard, std::chrono::milliseconds(timeout_ms), [&] {
        for (const auto& s : h.statistics)
            if (s.name == name && s.count >= count)
                return true;
        return false;
    });
}

std::string standin_statistics_table()
{
    std::string table = "Module       Category        Count\n";
    char line[200];
    for (const auto& s : standin_statistics()) {
        snprintf(line, sizeof line, "%-12s %-15s %5ld\n", s.module.c_str(), s.name.c_str(), s.count);
        table += line;
    }
    return table;
}
