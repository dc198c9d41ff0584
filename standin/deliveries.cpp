#include "deliveries.h"

#include <algorithm>

#include "note.h"

namespace {

struct Delivery {
    DaemonFn daemon;
    Job job;
};

DWORD WINAPI deliver_mail(LPVOID parameter)
{
    auto* delivery = static_cast<Delivery*>(parameter);
    return static_cast<DWORD>(delivery->daemon(delivery->job, standin_record()));
}

} // namespace

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

// Wine rereads a profile file only when its time has changed, and a copy
// keeps the time of its source: files prepared within one clock tick would
// look unchanged.
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

void Deliveries::deliver_due(DaemonFn daemon, long cycles)
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
    daemon(standin_delivered_job(sender), standin_record());
    ++sent;
    if (finished())
        cycles_at_end = cycles;
}

bool deliver_after_closedown(const Options& o, DaemonFn daemon)
{
    Delivery delivery{daemon, standin_delivered_job(o.after_closedown)};
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
