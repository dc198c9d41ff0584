// The configure entry point, the configuration dialog and the help page.
#pragma once

#include <windows.h>

#include "dialog/dialog_ids.h"
#include "platform/host_interface.h"

extern "C" short __cdecl configure(HostInterface* host, const char* text);

// The procedure of ConfigBox: ends with 1 after OK or OK + Save (the values
// then in effect), with 0 after Cancel.
INT_PTR CALLBACK config_dialog_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);
// The procedure of HelpBox: only Close (or Enter) ends it.
INT_PTR CALLBACK help_dialog_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);

// Reads the dialog's controls, shows every correction, then puts the
// values in effect in one step under the settings lock.
void apply_dialog_values(HWND dialog);

// Removes the leading and trailing blanks of text in place.
void trim_spaces(char* text);
