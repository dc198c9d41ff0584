#include "host_core.h"

#include <algorithm>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <mutex>
#include <random>

namespace {

constexpr const char* ModuleNames[] = {"MERCURYS", "MERCURYD"};

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

Host& host()
{
    static Host instance;
    return instance;
}

// Job handles: created jobs count up from 1, delivered jobs from 0x10000.
constexpr uintptr_t DeliveredBase = 0x40000000;
// Statistics handles: modules and categories share one table, offset so that
// no handle is 0.
constexpr intptr_t StatisticBase = 0x100;

std::string now_text(const char* format)
{
    SYSTEMTIME t;
    GetSystemTime(&t);
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

// Called with the lock held at the start of every operation.
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

// --- the fifteen operations ------------------------------------------------

const char* op_get_host_value(int selector)
{
    Host& h = host();
    std::lock_guard<std::mutex> guard(h.lock);
    enter(h, "get_host_value " + std::to_string(selector));
    if (selector == HostValueDomain)
        return h.options.domain.c_str();
    if (selector == HostValueOwnerWindow)
        return reinterpret_cast<const char*>(h.options.owner_window);
    return nullptr;
}

int op_make_unique_id(char* buffer40)
{
    Host& h = host();
    std::lock_guard<std::mutex> guard(h.lock);
    enter(h, "make_unique_id");
    for (int i = 0; i < 39; ++i)
        buffer40[i] = static_cast<char>(h.random() & 0xff);
    buffer40[39] = '\0';
    if (h.options.fixed_unique_id)
        memcpy(buffer40, h.options.unique_id.data(), 5);
    return 1;
}

// Every request shows on the console, the refused ones too; the states
// go to modules.txt.
void note_module_request(Host& h, const std::string& module, const std::string& what)
{
    if (h.options.echo_console)
        printf("%s module %s %s\n", now_text("t").c_str(), module.c_str(), what.c_str()), fflush(stdout);
}

int op_module_state(const char* name, int operation, int value)
{
    Host& h = host();
    std::lock_guard<std::mutex> guard(h.lock);
    std::string module = name ? name : "";
    enter(h, "module_state " + module + " " + std::to_string(operation) + " " + std::to_string(value));
    bool known = module == ModuleNames[0] || module == ModuleNames[1];
    if (operation == 0) {
        auto forced = h.options.module_query_results.find(module);
        int result = forced != h.options.module_query_results.end() ? forced->second
                     : known                                        ? h.modules[module]
                                                                    : -2;
        note_module_request(h, module, "query: " + std::to_string(result));
        return result;
    }
    if (operation != 1) {
        note_module_request(h, module, "unknown operation " + std::to_string(operation) + ": -2");
        return -2;
    }
    int online = value ? 1 : 0;
    std::string request = std::string("set ") + (online ? "online" : "offline");
    auto forced = h.options.module_set_results.find(module);
    int result = known ? 0 : -2;
    if (forced != h.options.module_set_results.end() && (known || forced->second < 0))
        result = forced->second;
    if (result < 0) {
        note_module_request(h, module, request + " refused (" + std::to_string(result) + ")");
        return result;
    }
    note_module_request(h, module, request + (h.modules[module] == online ? " (unchanged)" : ""));
    h.modules[module] = online;
    save_modules(h);
    h.changed.notify_all();
    return result;
}

HostJob* created_job(Host& h, Job job)
{
    auto found = h.jobs.find(static_cast<int>(reinterpret_cast<uintptr_t>(job)));
    return found == h.jobs.end() ? nullptr : &found->second;
}

// Whether the alias table hands this address to a daemon.
bool is_local(const Host& h, const std::string& address)
{
    auto found = h.aliases.find(address);
    return found != h.aliases.end() && _strnicmp(found->second.c_str(), "Daemon:", 7) == 0;
}

// folder\NNNN.eml as the daemon wrote it, and NNNN.env with its envelope.
void write_mail(Host& h, const char* folder, int number, const HostJob& j, const std::vector<std::string>& recipients)
{
    CreateDirectoryA(output_path(h, folder).c_str(), nullptr);
    char name[32];
    snprintf(name, sizeof name, "%s\\%04d", folder, number);
    std::ofstream eml(output_path(h, std::string(name) + ".eml"), std::ios::binary | std::ios::trunc);
    eml << j.text;
    std::ofstream env(output_path(h, std::string(name) + ".env"), std::ios::binary | std::ios::trunc);
    env << "Sender: " << j.sender << "\n";
    for (const auto& r : recipients)
        env << "Recipient: " << r << "\n";
    for (const auto& r : j.refused)
        env << "Refused: " << r << "\n";
}

int op_close_job(Job job)
{
    Host& h = host();
    std::unique_lock<std::mutex> guard(h.lock);
    enter(h, "close_job " + std::to_string(reinterpret_cast<uintptr_t>(job)));
    HostJob* j = created_job(h, job);
    if (!j || j->closed)
        return 0;
    j->closed = true;
    LocalMail local{h.outbox_base + j->number, j->sender, {}};
    std::vector<std::string> outside;
    for (const auto& r : j->recipients)
        (h.route && is_local(h, r) ? local.recipients : outside).push_back(r);
    // A job that nobody accepted still shows in the outbox, as it always has.
    bool to_outbox = !outside.empty() || local.recipients.empty();
    if (!h.options.output_dir.empty()) {
        if (to_outbox)
            write_mail(h, "outbox", local.number, *j, outside);
        if (!local.recipients.empty())
            write_mail(h, "local", local.number, *j, local.recipients);
    }
    if (to_outbox && h.options.echo_console)
        printf("%s mail %04d closed: %zu recipient(s), %zu bytes\n", now_text("t").c_str(), local.number,
               outside.size(), j->text.size()),
            fflush(stdout);
    if (!h.options.keep_history)
        h.jobs.erase(j->number);
    h.changed.notify_all();
    if (local.recipients.empty())
        return 1;
    // Outside the lock: the route takes a lock of its own, which its
    // delivery thread holds while it calls into the host.
    auto route = h.route;
    guard.unlock();
    route(local);
    return 1;
}

int op_get_job_info(Job job, void* info124)
{
    Host& h = host();
    std::lock_guard<std::mutex> guard(h.lock);
    enter(h, "get_job_info");
    uintptr_t n = reinterpret_cast<uintptr_t>(job);
    if (h.options.job_info_fails || n < DeliveredBase || n - DeliveredBase >= h.delivered.size())
        return 0;
    memset(info124, 0, JobInfoSize);
    const char* sender = h.delivered[n - DeliveredBase].sender.c_str();
    memcpy(static_cast<char*>(info124) + JobInfoSenderOffset, &sender, sizeof sender);
    return 1;
}

Job op_create_job(int, const char* sender, int)
{
    Host& h = host();
    std::lock_guard<std::mutex> guard(h.lock);
    enter(h, std::string("create_job ") + (sender ? sender : "(null)"));
    if (h.options.create_job_failures > 0) {
        --h.options.create_job_failures;
        return nullptr;
    }
    HostJob j;
    j.number = ++h.job_count;
    j.sender = sender ? sender : "";
    h.jobs[j.number] = j;
    return reinterpret_cast<Job>(static_cast<uintptr_t>(j.number));
}

int op_add_recipient(Job job, const char* address)
{
    Host& h = host();
    std::lock_guard<std::mutex> guard(h.lock);
    std::string a = address ? address : "";
    enter(h, "add_recipient " + a);
    HostJob* j = created_job(h, job);
    if (!j)
        return 0;
    if (a.find('@') == std::string::npos || h.options.refused_addresses.count(a)) {
        j->refused.push_back(a);
        return 0;
    }
    j->recipients.push_back(a);
    return 1;
}

int op_write_job_text(Job job, const char* text)
{
    Host& h = host();
    std::lock_guard<std::mutex> guard(h.lock);
    enter(h, "write_job_text");
    HostJob* j = created_job(h, job);
    if (!j || !text)
        return 0;
    j->text += text;
    return 1;
}

int op_alias_op(int operation, const void* operand1, const void* operand2)
{
    Host& h = host();
    std::lock_guard<std::mutex> guard(h.lock);
    enter(h, "alias_op " + std::to_string(operation));
    int result = 0;
    // Look-up takes a buffer and an alias, delete an alias, add an alias and
    // a target: a null one is refused rather than read as a text.
    if (operand1 == nullptr || (operation != AliasDelete && operand2 == nullptr)) {
        fprintf(stderr, "standin: alias_op %d with a null operand refused\n", operation);
        return 0;
    }
    if (operation == AliasLookup) {
        auto found = h.aliases.find(static_cast<const char*>(operand2));
        if (found != h.aliases.end()) {
            char* buffer = static_cast<char*>(const_cast<void*>(operand1));
            snprintf(buffer, 400, "%s", found->second.c_str());
            result = 1;
        }
    } else if (operation == AliasDelete) {
        if (!h.options.alias_delete_fails)
            result = h.aliases.erase(static_cast<const char*>(operand1)) ? 1 : 0;
        if (result && h.options.echo_console)
            printf("%s alias %s deleted\n", now_text("t").c_str(), static_cast<const char*>(operand1)),
                fflush(stdout);
    } else if (operation == AliasAdd) {
        if (!h.options.alias_add_fails) {
            h.aliases[static_cast<const char*>(operand1)] = static_cast<const char*>(operand2);
            result = 1;
            if (h.options.echo_console)
                printf("%s alias %s = %s added\n", now_text("t").c_str(), static_cast<const char*>(operand1),
                       static_cast<const char*>(operand2)),
                    fflush(stdout);
        }
    }
    save_aliases(h);
    return result;
}

const char* op_format_date(int, char* buffer40, int)
{
    Host& h = host();
    std::lock_guard<std::mutex> guard(h.lock);
    enter(h, "format_date");
    snprintf(buffer40, 40, "%s", h.options.date_text.empty() ? now_text("rfc").c_str() : h.options.date_text.c_str());
    return buffer40;
}

StatHandle register_entry(const std::string& module, const std::string& name)
{
    Host& h = host();
    std::lock_guard<std::mutex> guard(h.lock);
    enter(h, "register " + module + (name.empty() ? "" : " " + name));
    if (h.options.refused_statistics.count(name.empty() ? module : name))
        return 0;
    // A daemon loaded again registers the same names: it gets the same
    // handles, and the counts go on.
    for (size_t i = 0; i < h.statistics.size(); ++i)
        if (h.statistics[i].module == module && h.statistics[i].name == name)
            return StatisticBase + static_cast<StatHandle>(i);
    h.statistics.push_back({module, name, 0});
    return StatisticBase + static_cast<StatHandle>(h.statistics.size()) - 1;
}

StatHandle op_register_module_statistics(const char* module)
{
    return register_entry(module ? module : "", "");
}

StatHandle op_register_statistic(StatHandle module, const char* name, int, int, int, int)
{
    std::string module_name;
    {
        Host& h = host();
        std::lock_guard<std::mutex> guard(h.lock);
        size_t i = static_cast<size_t>(module - StatisticBase);
        if (module >= StatisticBase && i < h.statistics.size())
            module_name = h.statistics[i].module;
    }
    return register_entry(module_name, name ? name : "");
}

int op_bump_statistic(StatHandle category, int amount)
{
    Host& h = host();
    std::lock_guard<std::mutex> guard(h.lock);
    size_t i = static_cast<size_t>(category - StatisticBase);
    bool known = category >= StatisticBase && i < h.statistics.size() && !h.statistics[i].name.empty();
    enter(h, "bump " + (known ? h.statistics[i].name : std::to_string(category)));
    if (known)
        h.statistics[i].count += amount;
    else
        ++h.zero_bumps;
    h.changed.notify_all();
    return 1;
}

// Keeps a caller of a chosen log line waiting, holding nothing of the
// host's: a caller stopped meanwhile must leave no lock and no heap
// operation half done.
void block_if_chosen(const char* text)
{
    Host& h = host();
    DWORD ms = 0;
    {
        std::lock_guard<std::mutex> guard(h.lock);
        const std::string& prefix = h.options.block_log_prefix;
        if (!prefix.empty() && strncmp(text, prefix.c_str(), prefix.size()) == 0)
            ms = h.options.block_log_ms;
    }
    if (ms)
        Sleep(ms);
}

int op_log_text(int category, int priority, const char* text)
{
    block_if_chosen(text ? text : "");
    record_log(category, priority, text ? text : "(null)");
    return 1;
}

int op_log_format(int category, int priority, const char* format, ...)
{
    char text[4096];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format ? format : "(null)", args);
    va_end(args);
    text[sizeof text - 1] = '\0';
    block_if_chosen(text);
    record_log(category, priority, text);
    return 1;
}

template <typename Fn>
void put_slot(std::vector<unsigned char>& record, int slot, Fn fn)
{
    memcpy(record.data() + slot_offset(slot), &fn, sizeof fn);
}

} // namespace

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
    put_slot(h.record, SlotGetHostValue, &op_get_host_value);
    put_slot(h.record, SlotMakeUniqueId, &op_make_unique_id);
    put_slot(h.record, SlotModuleState, &op_module_state);
    put_slot(h.record, SlotCloseJob, &op_close_job);
    put_slot(h.record, SlotGetJobInfo, &op_get_job_info);
    put_slot(h.record, SlotCreateJob, &op_create_job);
    put_slot(h.record, SlotAddRecipient, &op_add_recipient);
    put_slot(h.record, SlotWriteJobText, &op_write_job_text);
    put_slot(h.record, SlotAliasOp, &op_alias_op);
    put_slot(h.record, SlotFormatDate, &op_format_date);
    put_slot(h.record, SlotRegisterModuleStatistics, &op_register_module_statistics);
    put_slot(h.record, SlotRegisterStatistic, &op_register_statistic);
    put_slot(h.record, SlotBumpStatistic, &op_bump_statistic);
    put_slot(h.record, SlotLogText, &op_log_text);
    put_slot(h.record, SlotLogFormat, &op_log_format);

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
