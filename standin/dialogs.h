// The stand-in's windows: the owner window it offers the daemon for dialogs,
// and an optional answerer that records and answers every dialog and message
// box the daemon opens, so that unattended runs never block.
#pragma once

#include <windows.h>

#include <string>

// A hidden top-level window owned by the calling thread (the desktop window
// if none can be made).
HWND make_owner_window();

// Dispatches the calling thread's pending window messages.
void pump_messages();

// Button names accepted by --answer: "ok", "cancel", "yes", "no".
// Returns the button id, or 0 for an unknown name.
int answer_id(const std::string& name);

// Starts a thread that answers each dialog of this process with the button
// (ok, cancel, yes, no), printing its caption and texts on the console and
// appending one line "caption<TAB>text<TAB>answer" (CR, LF, TAB and
// backslash escaped) to the file.
void start_answering(int button, const std::string& file);
