// korval-standin: a stand-in for the Mercury/32 mail server. It loads the
// daemon DLL, hands it a host record whose operations are implemented for
// real, and drives its entry points as the mail server would.
#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "dialogs.h"
#include "faults.h"
#include "host_core.h"
#include "local.h"
#include "measure.h"
#include "note.h"
#include "timelapse.h"

namespace {

const char Usage[] =
    "usage: korval-standin COMMAND [options]\n"
    "\n"
    "Commands:\n"
    "  run        startup, poll until Ctrl+C (or --seconds / --cycles), closedown\n"
    "  deliver    call the daemon entry point with one delivered mail (no startup)\n"
    "  configure  call the configure entry point: the daemon's dialog, owned by the\n"
    "             stand-in's window, edits korval.ini (OK + Save writes it)\n"
    "  probe      every entry point in one load: daemon (--from, before startup),\n"
    "             configure (--text), then as run (default: one cycle, at most 60 s)\n"
    "\n"
    "Options of run:\n"
    "  --seconds S       stop after S seconds\n"
    "  --cycles N        stop after N completed poll cycles\n"
    "  --lapse MS        time-lapse: every wait of 60000 ms or more lasts MS ms; the\n"
    "                    daemon's clocks (QueryPerformanceCounter, GetLocalTime,\n"
    "                    GetSystemTime, GetSystemTimeAsFileTime) skip what it left out\n"
    "  --deliver SENDER  after the first cycle, deliver a mail from SENDER (repeatable)\n"
    "  --deliver-every MS\n"
    "                    after the first cycle, deliver a mail every MS ms, from the\n"
    "                    --deliver senders in turn (default \"Admin <admin@DOMAIN>\")\n"
    "  --ini-files DIR   with --deliver-every: before each mail, copy the next file of\n"
    "                    DIR (in name order) over korval.ini; after the last one, the\n"
    "                    run ends when two more poll cycles have completed (with\n"
    "                    --cycles N: once N cycles are done and every file is sent)\n"
    "  --startups N      call startup N times in each life, as a host that starts the\n"
    "                    daemon twice would, and print the daemon's threads after them\n"
    "  --restarts N      N times: load, startup, run (one cycle unless --cycles or\n"
    "                    --seconds), closedown, unload; checks for threads left behind\n"
    "  --measure         (no value) measure the daemon from outside: after each life\n"
    "                    print the busy time of the poll cycles between long waits,\n"
    "                    the DLL's allocations through its imports (heap, malloc,\n"
    "                    calloc, realloc, operator new, local and global memory),\n"
    "                    the process's private bytes and handles at the first and\n"
    "                    the last long wait, and closedown's time and whether it\n"
    "                    terminated the thread; at the end, every life's closedown.\n"
    "                    Log lines and mails then go only to the console and files.\n"
    "  --stop-random MS  stop each life after a random 0..MS ms instead of after cycles\n"
    "  --after-closedown SENDER  after each closedown, deliver a mail from SENDER; a\n"
    "                    daemon call that does not return within 5 s is a fault\n"
    "  --local-delay MS  a mail of the daemon to an address that the aliases give a\n"
    "                    Daemon: target comes back into the daemon entry point MS ms\n"
    "                    after it was closed (default 200), on a thread of the\n"
    "                    stand-in; mails still waiting at closedown are dropped\n"
    "  --hold-local      such mails stay queued and are never delivered\n"
    "  --hold-local-cycles N\n"
    "                    such mails stay queued until N poll cycles of the life have\n"
    "                    completed, then come back in order: a queue that moves again\n"
    "  --drop-local      such mails are lost\n"
    "Options of deliver and probe:\n"
    "  --from SENDER     envelope sender of the delivered mail (required by deliver)\n"
    "Options of configure and probe:\n"
    "  --text TEXT       the text passed with the call (default \"korval-standin\")\n"
    "\n"
    "Common options:\n"
    "  --dll PATH          the daemon (default: korval.dll beside this program)\n"
    "  --dir OUTDIR        log, outbox, aliases, modules, statistics (default .\\standin-out)\n"
    "  --api M.m           host API version, e.g. 4.1 or 3.05 (default 4.1)\n"
    "  --domain NAME       the host's Internet domain (default example.test)\n"
    "  --refuse ADDRESS    refuse this recipient (repeatable); addresses without '@'\n"
    "                      are always refused\n"
    "  --refuse-module NAME[=RESULT]\n"
    "                      refuse every request to set module NAME (MERCURYS or\n"
    "                      MERCURYD) online or offline with RESULT (negative,\n"
    "                      default -2); repeatable\n"
    "  --record-size N     size field of the host record (default 400; below 366 the\n"
    "                      daemon must refuse the record)\n"
    "  --answer BUTTON     answer every dialog and message box with ok, cancel, yes or\n"
    "                      no; each is recorded in OUTDIR\\dialogs.txt\n"
    "\n"
    "Faults to inject (common options):\n"
    "  --fail-jobs N           the next N create_job calls fail\n"
    "  --fail-alias WHICH      alias operations fail: add, delete or both\n"
    "  --refuse-statistic NAME registering this statistics module or category\n"
    "                          fails (repeatable)\n"
    "  --fail-resolve          every name look-up of the daemon fails (error 11001)\n"
    "  --fail-icmp             no ICMP handle can be opened (error 5)\n"
    "  --slow-resolve MS       every name look-up of the daemon takes MS ms first\n"
    "  --slow-drive LETTER=MS  every free-space query of that drive takes MS ms first\n"
    "  --block-log PREFIX      a log line beginning with PREFIX keeps its caller\n"
    "                          waiting 2 s before it is written\n"
    "\n"
    "The daemon reads korval.ini from the current directory. Output in OUTDIR:\n"
    "korval.log, outbox\\NNNN.eml (the mail as written) with outbox\\NNNN.env (its\n"
    "envelope), local\\NNNN.eml and NNNN.env (the same for the recipients that the\n"
    "aliases give a Daemon: target), aliases.txt, modules.txt (the module states;\n"
    "every module request also shows on the console), statistics.txt. At exit the\n"
    "console shows the statistics and \"forced stops: N\", how often closedown had\n"
    "to terminate the daemon's thread.\n"
    "\n"
    "Exit status: 0 done; 1 the daemon did not start; 2 usage; 3 a fault (a call\n"
    "through the host record after closedown, or a thread still running 30 s\n"
    "after the last closedown);\n"
    "4 the DLL or an entry point could not be loaded.\n";

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
    std::string from;
    bool has_from = false;
    std::string text = "korval-standin";
    int answer = 0;
};

typedef short(__cdecl* StartupFn)(HostInterface*);
typedef short(__cdecl* ClosedownFn)();
typedef short(__cdecl* ConfigureFn)(HostInterface*, const char*);

struct Daemon {
    HMODULE module = nullptr;
    StartupFn startup = nullptr;
    ClosedownFn closedown = nullptr;
    DaemonFn daemon = nullptr;
    ConfigureFn configure = nullptr;
};

volatile LONG Interrupted;

BOOL WINAPI on_console_event(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT)
        return FALSE;
    InterlockedExchange(&Interrupted, 1);
    return TRUE;
}

bool parse_number(const char* text, long low, long high, long* value)
{
    char* end;
    long v = strtol(text, &end, 10);
    if (end == text || *end || v < low || v > high)
        return false;
    *value = v;
    return true;
}

bool parse_version(const std::string& text, HostOptions* host)
{
    size_t dot = text.find('.');
    long major, minor = 0;
    if (!parse_number(text.substr(0, dot).c_str(), 0, 255, &major))
        return false;
    if (dot != std::string::npos && !parse_number(text.substr(dot + 1).c_str(), 0, 255, &minor))
        return false;
    host->version_major = static_cast<uint8_t>(major);
    host->version_minor = static_cast<uint8_t>(minor);
    return true;
}

// Returns an empty text on success, else what was wrong.
std::string parse_options(int argc, char** argv, Options* o)
{
    if (argc < 2)
        return "no command";
    o->command = argv[1];
    if (o->command == "--help" || o->command == "-h" || o->command == "help")
        return "help";
    if (o->command != "run" && o->command != "deliver" && o->command != "configure" && o->command != "probe")
        return "unknown command " + o->command;
    for (int i = 2; i < argc; ++i) {
        std::string name = argv[i];
        if (name == "--help" || name == "-h")
            return "help";
        if (name == "--measure" || name == "--fail-resolve" || name == "--fail-icmp") {
            (name == "--measure" ? o->measure : name == "--fail-resolve" ? o->faults.fail_resolve : o->faults.fail_icmp) = true;
            continue;
        }
        if (name == "--hold-local" || name == "--drop-local") {
            LocalMode mode = name == "--hold-local" ? LocalHold : LocalDrop;
            if (o->local.mode != LocalDeliver && o->local.mode != mode)
                return "--hold-local and --drop-local exclude each other";
            o->local.mode = mode;
            continue;
        }
        if (i + 1 >= argc)
            return "missing value of " + name;
        const char* value = argv[++i];
        long n;
        if (name == "--dll")
            o->dll = value;
        else if (name == "--dir")
            o->dir = value;
        else if (name == "--api") {
            if (!parse_version(value, &o->host))
                return "bad version " + std::string(value);
        } else if (name == "--domain")
            o->host.domain = value;
        else if (name == "--refuse")
            o->host.refused_addresses.insert(value);
        else if (name == "--refuse-module") {
            std::string module = value;
            size_t eq = module.find('=');
            n = -2;
            if (eq != std::string::npos && !parse_number(module.c_str() + eq + 1, INT32_MIN, -1, &n))
                return "bad result in " + module;
            module = module.substr(0, eq);
            for (char& c : module)
                c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
            o->host.module_set_results[module] = static_cast<int>(n);
        } else if (name == "--record-size" && parse_number(value, 0, 65536, &n))
            o->host.record_size = static_cast<uint32_t>(n);
        else if (name == "--answer" && answer_id(value))
            o->answer = answer_id(value);
        else if (name == "--seconds" && parse_number(value, 1, 86400 * 49, &n))
            o->seconds = static_cast<int>(n);
        else if (name == "--cycles" && parse_number(value, 1, 1000000, &n))
            o->cycles = static_cast<int>(n);
        else if (name == "--lapse" && parse_number(value, 1, 59999, &n))
            o->lapse = static_cast<DWORD>(n);
        else if (name == "--startups" && parse_number(value, 1, 100, &n))
            o->startups = static_cast<int>(n);
        else if (name == "--restarts" && parse_number(value, 1, 1000, &n))
            o->restarts = static_cast<int>(n);
        else if (name == "--deliver")
            o->deliveries.push_back(value);
        else if (name == "--deliver-every" && parse_number(value, 1, 86400000, &n))
            o->deliver_every = static_cast<DWORD>(n);
        else if (name == "--ini-files")
            o->ini_files = value;
        else if (name == "--slow-resolve" && parse_number(value, 1, 600000, &n))
            o->faults.slow_resolve_ms = n;
        else if (name == "--slow-drive" && isalpha(static_cast<unsigned char>(value[0])) && value[1] == '=' &&
                 parse_number(value + 2, 1, 600000, &n)) {
            o->faults.slow_drive = value[0];
            o->faults.slow_drive_ms = n;
        } else if (name == "--stop-random" && parse_number(value, 1, 600000, &n))
            o->stop_random = static_cast<DWORD>(n);
        else if (name == "--after-closedown")
            o->after_closedown = value;
        else if (name == "--local-delay" && parse_number(value, 0, 86400000, &n))
            o->local.delay_ms = static_cast<DWORD>(n);
        else if (name == "--hold-local-cycles" && parse_number(value, 1, 1000000, &n))
            o->local.hold_cycles = n;
        else if (name == "--fail-jobs" && parse_number(value, 1, 1000000, &n))
            o->host.create_job_failures = static_cast<int>(n);
        else if (name == "--fail-alias" && (!strcmp(value, "add") || !strcmp(value, "delete") || !strcmp(value, "both"))) {
            o->host.alias_add_fails = strcmp(value, "delete") != 0;
            o->host.alias_delete_fails = strcmp(value, "add") != 0;
        } else if (name == "--refuse-statistic")
            o->host.refused_statistics.insert(value);
        else if (name == "--block-log")
            o->host.block_log_prefix = value;
        else if (name == "--from")
            o->from = value, o->has_from = true;
        else if (name == "--text")
            o->text = value;
        else
            return "bad option " + name + " " + value;
    }
    if (o->command == "deliver" && !o->has_from)
        return "deliver needs --from SENDER";
    if (!o->ini_files.empty() && !o->deliver_every)
        return "--ini-files needs --deliver-every";
    if (o->deliver_every && o->deliveries.empty())
        o->deliveries.push_back("Admin <admin@" + o->host.domain + ">");
    if (o->command == "probe" && !o->cycles && !o->seconds)
        o->cycles = 1, o->seconds = 60;
    if (o->restarts && !o->cycles && !o->seconds)
        o->cycles = 1;
    if (!o->has_from)
        o->from = "Probe <probe@example.test>";
    return "";
}

std::string default_dll()
{
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    std::string exe(path, n < sizeof path ? n : 0);
    size_t slash = exe.find_last_of("\\/");
    return (slash == std::string::npos ? std::string() : exe.substr(0, slash + 1)) + "korval.dll";
}

template <typename Fn>
Fn entry(HMODULE module, const char* name)
{
    Fn fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    if (!fn)
        note("entry point %s not found", name);
    return fn;
}

bool load_daemon(const Options& o, Daemon* d)
{
    d->module = LoadLibraryA(o.dll.c_str());
    if (!d->module) {
        note("cannot load %s (error %lu)", o.dll.c_str(), GetLastError());
        return false;
    }
    // Every wait is counted, so the patch goes in with or without time-lapse.
    if (timelapse_patch(d->module, o.lapse) == 0)
        note("warning: %s imports no wait to watch: poll cycles are not counted and --lapse has no effect",
             o.dll.c_str());
    if (o.measure)
        measure_patch(d->module);
    const Faults& f = o.faults;
    if ((f.fail_resolve || f.fail_icmp || f.slow_resolve_ms || f.slow_drive) && faults_patch(d->module, f) == 0)
        note("warning: %s imports none of the calls that the faults asked for change", o.dll.c_str());
    d->startup = entry<StartupFn>(d->module, "_startup");
    d->closedown = entry<ClosedownFn>(d->module, "_closedown");
    d->daemon = entry<DaemonFn>(d->module, "_daemon");
    d->configure = entry<ConfigureFn>(d->module, "_configure");
    if (d->startup && d->closedown && d->daemon && d->configure)
        return true;
    FreeLibrary(d->module);
    return false;
}

std::set<DWORD> process_threads()
{
    std::set<DWORD> ids;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return ids;
    THREADENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        if (entry.th32OwnerProcessID == GetCurrentProcessId())
            ids.insert(entry.th32ThreadID);
    CloseHandle(snapshot);
    return ids;
}

// Threads that were not there before, given tries tenths of a second to end.
size_t threads_left_behind(const std::set<DWORD>& before, int tries = 20)
{
    size_t extra = 0;
    for (; tries > 0; --tries) {
        extra = 0;
        for (DWORD id : process_threads())
            extra += before.count(id) ? 0 : 1;
        if (extra == 0)
            break;
        Sleep(100);
    }
    return extra;
}

// Waits while pumping the owner window's messages.
void idle(DWORD ms)
{
    DWORD start = GetTickCount();
    do {
        pump_messages();
        Sleep(ms < 20 ? ms : 20);
    } while (GetTickCount() - start < ms);
}

// The files of folder, in name order.
std::vector<std::string> folder_files(const std::string& folder)
{
    std::vector<std::string> files;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return files;
    do
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            files.push_back(found.cFileName);
    while (FindNextFileA(search, &found));
    FindClose(search);
    std::sort(files.begin(), files.end());
    return files;
}

// Copies source over target and stamps it with the current time. Wine
// rereads a profile file only when its time has changed, and a copy keeps
// the time of its source: files prepared within one clock tick would look
// unchanged.
bool put_in_place(const char* source, const char* target)
{
    if (!CopyFileA(source, target, FALSE))
        return false;
    HANDLE file = CreateFileA(target, FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    BOOL stamped = SetFileTime(file, nullptr, nullptr, &now);
    CloseHandle(file);
    // The profile functions cache files they have read; the time alone
    // does not always tell them the file changed, so the cache goes too.
    WritePrivateProfileStringA(nullptr, nullptr, nullptr, target);
    return stamped;
}

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

    void deliver_due(const Daemon& d, long cycles)
    {
        if (!o.deliver_every || finished() || (sent && GetTickCount() - last < o.deliver_every))
            return;
        last = GetTickCount();
        const std::string& sender = o.deliveries[sent % o.deliveries.size()];
        if (files.empty()) {
            note("delivering a mail from '%s'", sender.c_str());
        } else {
            const std::string& file = files[sent];
            if (!put_in_place((o.ini_files + "\\" + file).c_str(), "korval.ini"))
                note("cannot copy %s over korval.ini (error %lu)", file.c_str(), GetLastError());
            note("korval.ini <- %s: delivering a mail from '%s'", file.c_str(), sender.c_str());
        }
        d.daemon(standin_delivered_job(sender), standin_record());
        ++sent;
        if (finished())
            cycles_at_end = cycles;
    }
};

struct Delivery {
    DaemonFn daemon;
    Job job;
};

DWORD WINAPI deliver_mail(LPVOID parameter)
{
    auto* delivery = static_cast<Delivery*>(parameter);
    return static_cast<DWORD>(delivery->daemon(delivery->job, standin_record()));
}

// A mail delivered once the daemon is closed down: a settings lock left
// held by a stopped thread would keep the mail server's thread here for
// good. True when the call returned in time.
bool deliver_after_closedown(const Options& o, const Daemon& d)
{
    Delivery delivery{d.daemon, standin_delivered_job(o.after_closedown)};
    // The entry point calls the host legitimately; the control thread, if
    // one were left, has had its time to show itself.
    standin_seal(false);
    HANDLE thread = CreateThread(nullptr, 0, deliver_mail, &delivery, 0, nullptr);
    bool returned = thread && WaitForSingleObject(thread, 5000) == WAIT_OBJECT_0;
    standin_seal(true);
    if (returned) {
        DWORD result = 0;
        GetExitCodeThread(thread, &result);
        note("daemon after closedown returned %lu", result);
    } else {
        note("FAULT: daemon after closedown did not return within 5 s");
    }
    if (thread)
        CloseHandle(thread);
    return returned;
}

std::mt19937& stop_random()
{
    static std::mt19937 random{std::random_device{}()};
    return random;
}

// Set while a life closes down: the tick count by which it must be over.
volatile DWORD CloseDeadline;
constexpr DWORD CloseLimitMs = 15000;

// A thread stopped while it held a lock of the host or of Windows takes the
// next caller of that lock with it, maybe this program's main thread. The
// hang is reported without the C runtime, whose locks may be among them.
DWORD WINAPI watch_closing(LPVOID)
{
    for (;;) {
        Sleep(500);
        DWORD deadline = CloseDeadline;
        if (deadline && static_cast<LONG>(GetTickCount() - deadline) > 0) {
            static const char text[] =
                "standin: FAULT: a life did not end within 15 s of closedown: a stopped thread left a lock held\n";
            DWORD written;
            WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, sizeof text - 1, &written, nullptr);
            TerminateProcess(GetCurrentProcess(), ExitFault);
        }
    }
}

// One life of the daemon: load, startup, poll, closedown, unload.
int run_once(const Options& o, int life)
{
    std::set<DWORD> threads_before = process_threads();
    Daemon d;
    if (!load_daemon(o, &d))
        return ExitNoDll;
    standin_seal(false);
    if (o.command == "probe") {
        note("daemon returned %d", d.daemon(standin_delivered_job(o.from), standin_record()));
        note("configure returned %d", d.configure(standin_record(), o.text.c_str()));
    }
    LONG waits_before = timelapse_long_waits();
    measure_life_begins();
    local_open(d.daemon);
    std::set<DWORD> threads_at_start = process_threads();
    int started = d.startup(standin_record());
    if (life)
        note("life %d: startup returned %d", life, started);
    else
        note("startup returned %d", started);
    if (o.startups > 1) {
        for (int again = 1; again < o.startups; ++again)
            note("startup again returned %d", d.startup(standin_record()));
        size_t threads = 0;
        for (DWORD id : process_threads())
            threads += threads_at_start.count(id) ? 0 : 1;
        note("threads of the daemon: %zu", threads);
    }
    size_t delivered = o.deliver_every ? o.deliveries.size() : 0;
    Deliveries every(o);
    DWORD start = GetTickCount();
    if (started && o.stop_random) {
        DWORD delay = std::uniform_int_distribution<DWORD>(0, o.stop_random)(stop_random());
        note("stopping after %lu ms", delay);
        Sleep(delay);
    }
    while (started && !Interrupted && !o.stop_random) {
        long cycles = timelapse_long_waits() - waits_before;
        if (cycles >= 1) {
            for (; delivered < o.deliveries.size(); ++delivered) {
                note("delivering a mail from '%s'", o.deliveries[delivered].c_str());
                d.daemon(standin_delivered_job(o.deliveries[delivered]), standin_record());
            }
            every.deliver_due(d, cycles);
        }
        // With files to deliver, --cycles waits for the last of them too.
        if (o.cycles && cycles >= o.cycles && (o.ini_files.empty() || every.finished()))
            break;
        if (o.seconds && GetTickCount() - start >= static_cast<DWORD>(o.seconds) * 1000u)
            break;
        if (every.finished() && cycles >= every.cycles_at_end + 2)
            break;
        idle(o.deliver_every && o.deliver_every < 50 ? o.deliver_every : 50);
    }
    if (o.deliver_every)
        note("%zu mail(s) delivered every %lu ms", every.sent, o.deliver_every);
    else if (delivered < o.deliveries.size())
        note("no cycle completed: %zu mail(s) not delivered", o.deliveries.size() - delivered);
    note("%ld poll cycle(s) completed", timelapse_long_waits() - waits_before);
    CloseDeadline = (GetTickCount() + CloseLimitMs) | 1;
    local_close();
    DWORD closing = GetTickCount();
    measure_closedown_begins();
    d.closedown();
    measure_closedown_ends();
    note("closedown took %lu ms", GetTickCount() - closing);
    if (o.lapse)
        note("the daemon's clocks are %lld ms ahead of the real ones", timelapse_clocks_ahead_ms());
    if (o.measure)
        measure_print_life();
    standin_seal(true);
    // A thread still calling the host shows itself here, before the unload.
    idle(300);
    // The daemon's errand thread may still be in a blocked call; it holds
    // its own reference to the DLL, so the unload cannot pull the code from
    // under it, and a new load gets the same image. The run checks at its
    // end that every such thread has left.
    if (size_t left = threads_left_behind(threads_before))
        note("%zu thread(s) still in a call after closedown; the DLL stays mapped until they leave", left);
    if (!o.after_closedown.empty() && !deliver_after_closedown(o, d))
        return ExitFault;  // the DLL stays loaded under the blocked call
    FreeLibrary(d.module);
    return started ? ExitOk : ExitNotStarted;
}

int command_run(const Options& o)
{
    int result = ExitOk;
    int lives = o.restarts ? o.restarts : 1;
    if (o.restarts)
        CloseHandle(CreateThread(nullptr, 0, watch_closing, nullptr, 0, nullptr));
    DWORD handles = measure_handle_count();
    std::set<DWORD> threads_before = process_threads();
    for (int life = 1; life <= lives && !Interrupted; ++life) {
        int r = run_once(o, o.restarts ? life : 0);
        CloseDeadline = 0;
        if (r != ExitOk)
            result = r;
        if (r != ExitOk)
            break;
    }
    if (size_t left = threads_left_behind(threads_before, 300)) {
        note("FAULT: %zu thread(s) of the daemon still running 30 s after the last closedown", left);
        result = ExitFault;
    }
    if (o.measure)
        measure_print_closedowns();
    // A life that leaves a handle open shows as a count growing with the lives.
    if (o.restarts)
        note("handles: %lu before the first life, %lu after the last", handles, measure_handle_count());
    return result;
}

// deliver and configure: one call of an entry point in a loaded library.
int command_call(const Options& o)
{
    Daemon d;
    if (!load_daemon(o, &d))
        return ExitNoDll;
    int result;
    if (o.command == "deliver") {
        result = d.daemon(standin_delivered_job(o.from), standin_record());
        note("daemon returned %d", result);
    } else {
        result = d.configure(standin_record(), o.text.c_str());
        note("configure returned %d", result);
    }
    standin_seal(true);
    idle(300);
    FreeLibrary(d.module);
    return ExitOk;
}

void write_statistics(const Options& o)
{
    std::string table = standin_statistics_table();
    printf("\n%s", table.c_str());
    std::ofstream(o.dir + "\\statistics.txt", std::ios::binary | std::ios::trunc) << table;
}

} // namespace

int main(int argc, char** argv)
{
    Options o;
    std::string problem = parse_options(argc, argv, &o);
    if (problem == "help") {
        fputs(Usage, stdout);
        return ExitOk;
    }
    if (!problem.empty()) {
        fprintf(stderr, "korval-standin: %s\n\n%s", problem.c_str(), Usage);
        return ExitUsage;
    }
    if (o.dll.empty())
        o.dll = default_dll();
    o.host.output_dir = o.dir;
    o.host.echo_console = true;
    o.host.keep_history = !o.measure;
    if (o.measure)
        measure_start();
    o.host.owner_window = make_owner_window();
    standin_reset(o.host);
    local_route(o.local);
    SetConsoleCtrlHandler(on_console_event, TRUE);
    if (o.answer)
        start_answering(o.answer, o.dir + "\\dialogs.txt");

    int result = o.command == "run" || o.command == "probe" ? command_run(o) : command_call(o);

    write_statistics(o);
    // Every stop should find the daemon's thread leaving by itself.
    note("forced stops: %ld", timelapse_forced_stops());
    if (int late = standin_late_calls()) {
        note("FAULT: %d call(s) through the host record after closedown", late);
        result = ExitFault;
    }
    note("log: %s\\korval.log", o.dir.c_str());
    note("mails: %s\\outbox", o.dir.c_str());
    return result;
}
