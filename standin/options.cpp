#include "options.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "dialogs.h"

extern const char Usage[] =
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
    "  --plan FILE       answer for the hosts, services and drives of FILE, cycle by\n"
    "                    cycle, as its lines say (see docs/standin.md)\n"
    "  --clock \"YYYY-MM-DD HH:MM\"\n"
    "                    the daemon's local clock starts at this time; under --lapse\n"
    "                    its poll cycles then begin exactly PollTime apart\n"
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

namespace {

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

// "YYYY-MM-DD HH:MM", seconds optional.
bool parse_clock(const char* text, SYSTEMTIME* time)
{
    unsigned year, month, day, hour, minute, second = 0;
    char end;
    int n = sscanf(text, "%4u-%2u-%2u %2u:%2u:%2u%c", &year, &month, &day, &hour, &minute, &second, &end);
    if (n != 5 && n != 6)
        return false;
    *time = {static_cast<WORD>(year), static_cast<WORD>(month), 0, static_cast<WORD>(day), static_cast<WORD>(hour),
             static_cast<WORD>(minute), static_cast<WORD>(second), 0};
    return year >= 1601;
}

} // namespace

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
        else if (name == "--plan")
            o->plan = value;
        else if (name == "--clock") {
            if (!parse_clock(value, &o->clock))
                return "bad time " + std::string(value) + ", not YYYY-MM-DD HH:MM";
        }
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
