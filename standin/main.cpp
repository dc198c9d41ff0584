// korval-standin: a stand-in for the Mercury/32 mail server. It loads the
// daemon DLL, hands it a host record whose operations are implemented for
// real, and drives its entry points as the mail server would.
#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "deliveries.h"
#include "dialogs.h"
#include "faults.h"
#include "host_core.h"
#include "local.h"
#include "measure.h"
#include "note.h"
#include "options.h"
#include "plan.h"
#include "timelapse.h"

namespace {

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
    if (!o.plan.empty() && plan_patch(d->module) == 0)
        note("warning: %s imports none of the calls that the plan answers", o.dll.c_str());
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
    plan_life_begins();
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
            every.deliver_due(d.daemon, cycles);
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
    if (!o.after_closedown.empty() && !deliver_after_closedown(o, d.daemon))
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
    if (!o.plan.empty() && !(problem = plan_load(o.plan)).empty()) {
        fprintf(stderr, "korval-standin: %s\n", problem.c_str());
        return ExitUsage;
    }
    if (o.clock.wYear && !timelapse_set_clock(o.clock)) {
        fprintf(stderr, "korval-standin: no such local time as given to --clock\n");
        return ExitUsage;
    }
    if (o.clock.wYear)
        o.host.system_time = timelapse_system_time;
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
