#include <cstring>
#include <thread>

#include "dialog/dialog.h"
#include "dialog_driver.h"

namespace {

constexpr DWORD WaitMs = 5000;

struct Search {
    const char* caption;
    std::vector<HWND> found;
};

BOOL CALLBACK visit(HWND window, LPARAM param)
{
    auto* search = reinterpret_cast<Search*>(param);
    DWORD pid = 0;
    char name[32];
    char caption[256];
    GetWindowThreadProcessId(window, &pid);
    if (pid != GetCurrentProcessId() || !IsWindowVisible(window) || !GetClassNameA(window, name, sizeof name) ||
        strcmp(name, "#32770") != 0)
        return TRUE;
    GetWindowTextA(window, caption, sizeof caption);
    if (search->caption == nullptr || strcmp(caption, search->caption) == 0)
        search->found.push_back(window);
    return TRUE;
}

} // namespace

std::vector<HWND> dialogs_named(const char* caption)
{
    Search search{caption, {}};
    EnumWindows(visit, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

void DialogDriver::fail(const std::string& what)
{
    if (failure.empty())
        failure = what;
}

bool DialogDriver::wait_until(const std::function<bool()>& condition)
{
    for (DWORD start = GetTickCount(); GetTickCount() - start < WaitMs; Sleep(10))
        if (condition())
            return true;
    return false;
}

HWND DialogDriver::wait_window(const char* caption)
{
    HWND window = nullptr;
    if (!wait_until([&] {
            std::vector<HWND> found = dialogs_named(caption);
            window = found.empty() ? nullptr : found[0];
            return window != nullptr;
        }))
        fail(std::string("no window '") + caption + "'");
    return window;
}

void DialogDriver::set(int id, const char* text)
{
    SendMessageA(GetDlgItem(dialog, id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
}

std::string DialogDriver::text(int id)
{
    char text[1024] = "";
    SendMessageA(GetDlgItem(dialog, id), WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text));
    return text;
}

void DialogDriver::click(int id)
{
    SendMessageA(GetDlgItem(dialog, id), BM_CLICK, 0, 0);
}

void DialogDriver::click_later(int id)
{
    PostMessageA(GetDlgItem(dialog, id), BM_CLICK, 0, 0);
}

void DialogDriver::finish(int id)
{
    click_later(id);
    if (!wait_until([&] { return !IsWindow(dialog); }))
        fail("the dialog stays open after button " + std::to_string(id));
}

void DialogDriver::key(int virtual_key)
{
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    GetGUIThreadInfo(GetWindowThreadProcessId(dialog, nullptr), &info);
    PostMessageA(info.hwndFocus, WM_KEYDOWN, virtual_key, 1);
    PostMessageA(info.hwndFocus, WM_KEYUP, virtual_key, 0xC0000001);
    Sleep(100);
}

void DialogDriver::press(int virtual_key, HWND window)
{
    SetForegroundWindow(window);
    INPUT input[2] = {};
    input[0].type = input[1].type = INPUT_KEYBOARD;
    input[0].ki.wVk = input[1].ki.wVk = static_cast<WORD>(virtual_key);
    input[1].ki.dwFlags = KEYEVENTF_KEYUP;
    SendInput(2, input, sizeof input[0]);
    Sleep(100);
}

void DialogDriver::focus(int id)
{
    SendMessageA(dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(dialog, id)), TRUE);
}

int DialogDriver::focused()
{
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    GetGUIThreadInfo(GetWindowThreadProcessId(dialog, nullptr), &info);
    return info.hwndFocus != nullptr && GetParent(info.hwndFocus) == dialog ? GetDlgCtrlID(info.hwndFocus) : 0;
}

void DialogDriver::select(int list, int index)
{
    SendDlgItemMessageA(dialog, list, LB_SETCURSEL, index, 0);
}

void DialogDriver::add_entry(int list, const char* text)
{
    SendDlgItemMessageA(dialog, list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
}

std::vector<std::string> DialogDriver::entries(int list)
{
    std::vector<std::string> out;
    int count = static_cast<int>(SendDlgItemMessageA(dialog, list, LB_GETCOUNT, 0, 0));
    for (int k = 0; k < count; ++k) {
        char text[512] = "";
        if (SendDlgItemMessageA(dialog, list, LB_GETTEXTLEN, k, 0) < static_cast<LRESULT>(sizeof text))
            SendDlgItemMessageA(dialog, list, LB_GETTEXT, k, reinterpret_cast<LPARAM>(text));
        out.push_back(text);
    }
    return out;
}

std::string DialogDriver::answer(const char* caption, int button, HWND owner)
{
    HWND box = wait_window(caption);
    if (box == nullptr)
        return "";
    char text[1024] = "";
    GetDlgItemTextA(box, 0xFFFF, text, sizeof text);
    if (GetWindow(box, GW_OWNER) != owner)
        fail(std::string("box '") + text + "' has another owner");
    PostMessageA(GetDlgItem(box, button), BM_CLICK, 0, 0);
    if (!wait_until([&] { return !IsWindow(box); }))
        fail(std::string("box '") + text + "' stays open");
    return text;
}

short configure_with(HostInterface* host, const std::function<void(DialogDriver&)>& script, DialogDriver& driver)
{
    volatile LONG returned = 0;
    std::thread helper([&] {
        driver.dialog = driver.wait_window(ConfigCaption);
        if (driver.dialog != nullptr)
            script(driver);
        if (driver.wait_until([&] { return returned != 0; }))
            return;
        driver.fail("the dialog did not end");
        // Close whatever is open until configure comes back.
        while (returned == 0) {
            for (HWND window : dialogs_named(nullptr)) {
                PostMessageA(window, WM_COMMAND, IDNO, 0);
                PostMessageA(window, WM_COMMAND, IDCANCEL, 0);
                PostMessageA(window, WM_COMMAND, IDOK, 0);
            }
            Sleep(100);
        }
    });
    short result = configure(host, "dialog test");
    InterlockedExchange(const_cast<LONG*>(&returned), 1);
    helper.join();
    return result;
}
