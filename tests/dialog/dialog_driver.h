// Drives the real dialogs from a helper thread, as a user would: finds the
// window, types into fields, clicks buttons, presses keys and answers the
// message boxes, while the test's main thread sits in configure.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

#include "platform/host_interface.h"
#include <vector>

constexpr const char* ConfigCaption = "  Korval daemon configuration";
constexpr const char* HelpCaption = "  Korval daemon information";

class DialogDriver {
public:
    HWND dialog = nullptr;
    std::string failure;  // the first thing that went wrong; empty when all went well

    void set(int id, const char* text);
    std::string text(int id);
    void click(int id);        // returns when the click is handled
    void click_later(int id);  // for a click that opens a box or a dialog
    void finish(int id);       // clicks a button that ends the dialog, and waits for the end
    void key(int virtual_key); // a key press on the focused control, given time to act
    // A key pressed on the keyboard, for the keys the system itself turns
    // into messages (F1): it goes to the focus in the window brought forward.
    void press(int virtual_key, HWND window);
    void focus(int id);
    int focused();             // ID of the control with the focus, 0 if none
    void select(int list, int index);
    void add_entry(int list, const char* text);
    std::vector<std::string> entries(int list);
    // Waits for a message box with this caption, checks its owner, answers
    // it with the button and returns its text.
    std::string answer(const char* caption, int button, HWND owner);
    // Waits for a dialog of this process with this caption.
    HWND wait_window(const char* caption);
    bool wait_until(const std::function<bool()>& condition);
    void fail(const std::string& what);
};

// Runs configure on the main thread and the script on a helper thread
// that starts once the configuration dialog is shown. A script that fails
// leaves every window of the process closed, so configure always returns.
short configure_with(HostInterface* host, const std::function<void(DialogDriver&)>& script, DialogDriver& driver);

// The visible dialog windows (class #32770) of this process with this caption.
std::vector<HWND> dialogs_named(const char* caption);
