#include "local.h"

#include <chrono>
#include <cstdio>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>

#include "note.h"
#include "timelapse.h"

namespace {

struct Waiting {
    LocalMail mail;
    DWORD closed;  // tick count
};

LocalOptions Options;
std::mutex Lock;
std::condition_variable Changed;
std::deque<Waiting> Queue;
DaemonFn Daemon;  // null outside a life
HANDLE Thread;
LONG LifeBegan;   // the long waits counted when the life began

std::string listed(const std::vector<std::string>& addresses)
{
    std::string text;
    for (const auto& a : addresses)
        text += (text.empty() ? "'" : ", '") + a + "'";
    return text;
}

void arrived(const LocalMail& mail)
{
    char number[16];
    snprintf(number, sizeof number, "%04d", mail.number);
    std::string what = "local mail " + std::string(number) + " from '" + mail.sender + "' to " + listed(mail.recipients);
    if (Options.mode != LocalDeliver) {
        note("%s %s", what.c_str(), Options.mode == LocalHold ? "held (--hold-local)" : "lost (--drop-local)");
        return;
    }
    std::lock_guard<std::mutex> guard(Lock);
    if (!Daemon) {
        note("%s dropped: no daemon running", what.c_str());
        return;
    }
    if (Options.hold_cycles)
        note("%s: delivery in %lu ms, once %ld cycles are done", what.c_str(), Options.delay_ms, Options.hold_cycles);
    else
        note("%s: delivery in %lu ms", what.c_str(), Options.delay_ms);
    Queue.push_back({mail, GetTickCount()});
    Changed.notify_all();
}

// The mails in the order they were closed, each once its delay is over.
DWORD WINAPI deliver_local(LPVOID)
{
    std::unique_lock<std::mutex> guard(Lock);
    for (;;) {
        Changed.wait(guard, [] { return !Daemon || !Queue.empty(); });
        if (!Daemon)
            return 0;
        DWORD waited = GetTickCount() - Queue.front().closed;
        if (waited < Options.delay_ms) {
            Changed.wait_for(guard, std::chrono::milliseconds(Options.delay_ms - waited));
            continue;
        }
        // A queue that stands still for the first cycles of a life.
        if (timelapse_long_waits() - LifeBegan < Options.hold_cycles) {
            Changed.wait_for(guard, std::chrono::milliseconds(20));
            continue;
        }
        Waiting next = std::move(Queue.front());
        Queue.pop_front();
        DaemonFn daemon = Daemon;
        guard.unlock();
        note("local mail %04d delivered after %lu ms", next.mail.number, waited);
        daemon(standin_delivered_job(next.mail.sender), standin_record());
        guard.lock();
    }
}

} // namespace

void local_route(const LocalOptions& options)
{
    Options = options;
    standin_route_local(arrived);
}

void local_open(DaemonFn daemon)
{
    std::lock_guard<std::mutex> guard(Lock);
    Daemon = daemon;
    LifeBegan = timelapse_long_waits();
    Thread = CreateThread(nullptr, 0, deliver_local, nullptr, 0, nullptr);
    if (!Thread) {
        Daemon = nullptr;
        note("cannot start the local delivery thread (error %lu): local mails are dropped", GetLastError());
    }
}

void local_close()
{
    HANDLE thread;
    {
        std::lock_guard<std::mutex> guard(Lock);
        Daemon = nullptr;
        for (const Waiting& w : Queue)
            note("local mail %04d dropped: closedown %lu ms after it was closed", w.mail.number,
                 GetTickCount() - w.closed);
        Queue.clear();
        Changed.notify_all();
        thread = Thread;
        Thread = nullptr;
    }
    if (thread) {
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
}
