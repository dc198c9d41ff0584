#include "test_support.h"

#include <windows.h>

#include <atomic>
#include <cstdio>

namespace {

void remove_tree(const std::string& path)
{
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((path + "\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::string name = found.cFileName;
            if (name == "." || name == "..")
                continue;
            std::string full = path + "\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                remove_tree(full);
            else
                DeleteFileA(full.c_str());
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    RemoveDirectoryA(path.c_str());
}

// Under Wine a crash starts the debugger, which ends the process with exit
// code 0: a test program that crashed would pass. It fails instead.
LONG WINAPI fail_on_crash(EXCEPTION_POINTERS* info)
{
    fprintf(stderr, "test program crashed: exception %08lx at %p\n", info->ExceptionRecord->ExceptionCode,
            info->ExceptionRecord->ExceptionAddress);
    fflush(stderr);
    TerminateProcess(GetCurrentProcess(), 3);
    return EXCEPTION_EXECUTE_HANDLER;
}
const LPTOP_LEVEL_EXCEPTION_FILTER CrashFilter = SetUnhandledExceptionFilter(fail_on_crash);

// The DLL fills the platform seam as it is loaded; a test program before main.
const bool PlatformFilled = (Platform = PlatformDefaults, true);

} // namespace

TempDir::TempDir()
{
    static std::atomic<int> serial{0};
    char base[MAX_PATH];
    GetTempPathA(sizeof base, base);
    char name[MAX_PATH + 64];
    snprintf(name, sizeof name, "%skorval-test-%lu-%d", base, GetCurrentProcessId(), serial++);
    path = name;
    CreateDirectoryA(path.c_str(), nullptr);
    char current[MAX_PATH];
    GetCurrentDirectoryA(sizeof current, current);
    previous = current;
    SetCurrentDirectoryA(path.c_str());
}

TempDir::~TempDir()
{
    SetCurrentDirectoryA(previous.c_str());
    remove_tree(path);
}

void write_ini(const char* section, const char* key, const char* value)
{
    char dir[MAX_PATH];
    GetCurrentDirectoryA(sizeof dir, dir);
    std::string file = std::string(dir) + "\\korval.ini";
    WritePrivateProfileStringA(section, key, value, file.c_str());
}

std::string read_ini(const char* section, const char* key)
{
    char dir[MAX_PATH];
    GetCurrentDirectoryA(sizeof dir, dir);
    std::string file = std::string(dir) + "\\korval.ini";
    char value[1024];
    GetPrivateProfileStringA(section, key, "<missing>", value, sizeof value, file.c_str());
    return value;
}

std::vector<std::string> logged()
{
    std::vector<std::string> lines;
    for (const auto& l : standin_log())
        lines.push_back(std::to_string(l.category) + " " + std::to_string(l.priority) + " " + l.text);
    return lines;
}

void HostTest::SetUp()
{
    Platform = PlatformDefaults;
    standin_reset();
    reset_daemon_state();
}

void HostTest::TearDown()
{
    Platform = PlatformDefaults;
}
