// The fifteen operations of the stand-in's host record, implemented for
// real and recorded.
#include "host_state.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace {

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

void put_operations(std::vector<unsigned char>& record)
{
    put_slot(record, SlotGetHostValue, &op_get_host_value);
    put_slot(record, SlotMakeUniqueId, &op_make_unique_id);
    put_slot(record, SlotModuleState, &op_module_state);
    put_slot(record, SlotCloseJob, &op_close_job);
    put_slot(record, SlotGetJobInfo, &op_get_job_info);
    put_slot(record, SlotCreateJob, &op_create_job);
    put_slot(record, SlotAddRecipient, &op_add_recipient);
    put_slot(record, SlotWriteJobText, &op_write_job_text);
    put_slot(record, SlotAliasOp, &op_alias_op);
    put_slot(record, SlotFormatDate, &op_format_date);
    put_slot(record, SlotRegisterModuleStatistics, &op_register_module_statistics);
    put_slot(record, SlotRegisterStatistic, &op_register_statistic);
    put_slot(record, SlotBumpStatistic, &op_bump_statistic);
    put_slot(record, SlotLogText, &op_log_text);
    put_slot(record, SlotLogFormat, &op_log_format);
}
