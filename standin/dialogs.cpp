#include "dialogs.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>

namespace {

struct Answerer {
    int button;
    std::string file;
    std::map<HWND, DWORD> seen;  // dialog and the tick it was first found
};

Answerer* TheAnswerer;

const char* button_name(int id)
{
    switch (id) {
    case IDOK: return "ok";
    case IDCANCEL: return "cancel";
    case IDYES: return "yes";
    case IDNO: return "no";
    }
    return "?";
}

std::string escaped(const std::string& text)
{
    std::string out;
    for (char c : text) {
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\t')
            out += "\\t";
        else if (c == '\\')
            out += "\\\\";
        else
            out += c;
    }
    return out;
}

std::string window_text(HWND window)
{
    char text[2048];
    text[0] = '\0';
    GetWindowTextA(window, text, sizeof text);
    return text;
}

BOOL CALLBACK collect_static(HWND child, LPARAM param)
{
    char cls[32];
    if (GetClassNameA(child, cls, sizeof cls) && _stricmp(cls, "Static") == 0) {
        std::string text = window_text(child);
        auto* texts = reinterpret_cast<std::string*>(param);
        if (!text.empty())
            *texts += (texts->empty() ? "" : "\n") + text;
    }
    return TRUE;
}

void record(Answerer& a, HWND dialog)
{
    std::string caption = window_text(dialog);
    std::string texts;
    EnumChildWindows(dialog, collect_static, reinterpret_cast<LPARAM>(&texts));
    printf("standin: dialog '%s': %s -> %s\n", caption.c_str(), escaped(texts).c_str(), button_name(a.button));
    fflush(stdout);
    std::ofstream out(a.file, std::ios::app | std::ios::binary);
    out << escaped(caption) << '\t' << escaped(texts) << '\t' << button_name(a.button) << '\n';
}

// A click on the button when there is one, as a user's: it takes the focus
// first, which a dialog may look at (the daemon's OK acts on the focused
// control). A dialog without the button gets the bare command.
void press(HWND dialog, int id)
{
    HWND button = GetDlgItem(dialog, id);
    if (button != nullptr)
        PostMessageA(button, BM_CLICK, 0, 0);
    else
        PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0);
}

BOOL CALLBACK visit(HWND window, LPARAM)
{
    DWORD pid = 0;
    char cls[32];
    GetWindowThreadProcessId(window, &pid);
    if (pid != GetCurrentProcessId() || !GetClassNameA(window, cls, sizeof cls) || strcmp(cls, "#32770") != 0)
        return TRUE;
    Answerer& a = *TheAnswerer;
    DWORD now = GetTickCount();
    auto found = a.seen.find(window);
    if (found == a.seen.end()) {
        a.seen[window] = now;
        record(a, window);
        press(window, a.button);
    } else if (now - found->second > 1000) {
        // The dialog has no such button: cancel it, then close it.
        press(window, IDCANCEL);
        PostMessageA(window, WM_CLOSE, 0, 0);
    }
    return TRUE;
}

DWORD WINAPI answer_loop(LPVOID)
{
    for (;;) {
        Sleep(100);
        EnumWindows(visit, 0);
        for (auto it = TheAnswerer->seen.begin(); it != TheAnswerer->seen.end();)
            it = IsWindow(it->first) ? std::next(it) : TheAnswerer->seen.erase(it);
    }
}

LRESULT CALLBACK owner_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    return DefWindowProcA(window, message, wparam, lparam);
}

} // namespace

HWND make_owner_window()
{
    WNDCLASSA cls = {};
    cls.lpfnWndProc = owner_procedure;
    cls.hInstance = GetModuleHandleA(nullptr);
    cls.lpszClassName = "KorvalStandinHost";
    RegisterClassA(&cls);
    HWND window = CreateWindowExA(0, cls.lpszClassName, "Mercury/32 stand-in", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                  CW_USEDEFAULT, 400, 300, nullptr, nullptr, cls.hInstance, nullptr);
    return window ? window : GetDesktopWindow();
}

void pump_messages()
{
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

int answer_id(const std::string& name)
{
    for (int id : {IDOK, IDCANCEL, IDYES, IDNO})
        if (name == button_name(id))
            return id;
    return 0;
}

void start_answering(int button, const std::string& file)
{
    TheAnswerer = new Answerer{button, file, {}};
    CloseHandle(CreateThread(nullptr, 0, answer_loop, nullptr, 0, nullptr));
}
