// The configuration dialog: opening values, the Enter key, the commands and
// the copy-back of the controls into the settings.
#include <cstdint>
#include <cstring>

#include "dialog/dialog.h"
#include "platform/daemon_state.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "settings/settings.h"

namespace {

// Hosts, drives and the texts typed for them are read up to 99 characters.
constexpr int EntrySize = HostNameSize;

void warn(HWND dialog, const char* text)
{
    Platform.MessageBoxA(dialog, text, " Warning", MB_OK | MB_ICONINFORMATION);
}

void focus_control(HWND dialog, int id)
{
    SendMessageA(dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(dialog, id)), TRUE);
}

// A field holding an unsigned decimal number of 32 bits, blanks around it
// allowed; 0 for anything else (empty, a sign, letters, too large).
int read_unsigned(HWND dialog, int id, uint32_t* value)
{
    char text[32];
    if (GetWindowTextLengthA(GetDlgItem(dialog, id)) >= static_cast<int>(sizeof text))
        return 0;
    GetDlgItemTextA(dialog, id, text, sizeof text);
    trim_spaces(text);
    if (text[0] == '\0')
        return 0;
    uint64_t number = 0;
    for (const char* c = text; *c; ++c) {
        if (*c < '0' || *c > '9')
            return 0;
        number = number * 10 + static_cast<unsigned>(*c - '0');
        if (number > UINT32_MAX)
            return 0;
    }
    *value = static_cast<uint32_t>(number);
    return 1;
}

// Turns d, D:, d:\ (after upper-casing the first character of text) into
// the drive root "D:\"; 0 for anything else.
int drive_root(char* text, char (&root)[4])
{
    if (text[0] >= 'a' && text[0] <= 'z')
        text[0] = static_cast<char>(text[0] - 'a' + 'A');
    if (text[0] < 'A' || text[0] > 'Z')
        return 0;
    const char* rest = text + 1;
    if (strcmp(rest, "") != 0 && strcmp(rest, ":") != 0 && strcmp(rest, ":\\") != 0)
        return 0;
    format_text(root, sizeof root, "%c:\\", text[0]);
    return 1;
}

int list_count(HWND dialog, int id)
{
    return static_cast<int>(SendDlgItemMessageA(dialog, id, LB_GETCOUNT, 0, 0));
}

// The text of entry index when it fits into size bytes; 0 when it does not.
int list_text(HWND dialog, int id, int index, char* text, size_t size)
{
    LRESULT length = SendDlgItemMessageA(dialog, id, LB_GETTEXTLEN, index, 0);
    if (length < 0 || static_cast<size_t>(length) >= size)
        return 0;
    SendDlgItemMessageA(dialog, id, LB_GETTEXT, index, reinterpret_cast<LPARAM>(text));
    return 1;
}

void fill_controls(HWND dialog)
{
    lock_settings();
    SettingsRecord s = Settings;
    unlock_settings();

    const struct {
        int id;
        int value;
    } numbers[] = {
        {IDC_POLL_TIME, s.PollTime}, {IDC_FREE_DISK, s.FreeDisk},     {IDC_CRITICAL_DISK, s.CriticalDisk},
        {IDC_RETRY, s.Retry},        {IDC_MEMORY_LIMIT, s.MemoryLimit}, {IDC_SUSPEND, s.Suspend},
    };
    for (const auto& n : numbers)
        SetDlgItemInt(dialog, n.id, static_cast<UINT>(n.value), FALSE);
    SetDlgItemTextA(dialog, IDC_ADDRESSES, s.Mail);
    SetDlgItemTextA(dialog, IDC_ALIAS, s.FromAlias);
    CheckDlgButton(dialog, IDC_SUSPEND_MERCS, s.SuspendMercS ? BST_CHECKED : BST_UNCHECKED);
    CheckDlgButton(dialog, IDC_SUSPEND_MERCD, s.SuspendMercD ? BST_CHECKED : BST_UNCHECKED);
    for (int k = 0; k < s.HostCount; ++k)
        SendDlgItemMessageA(dialog, IDC_HOSTS, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(s.HostNames[k]));
    for (int k = 0; k < s.DriveCount; ++k)
        SendDlgItemMessageA(dialog, IDC_DRIVES, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(s.DriveNames[k]));
    focus_control(dialog, IDC_POLL_TIME);
}

void add_host(HWND dialog)
{
    char text[EntrySize];
    GetDlgItemTextA(dialog, IDC_NEW_HOST, text, sizeof text);
    trim_spaces(text);
    if (text[0] != '\0')
        SendDlgItemMessageA(dialog, IDC_HOSTS, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
    SetDlgItemTextA(dialog, IDC_NEW_HOST, "");
    focus_control(dialog, IDC_NEW_HOST);
}

// The removed host goes back into the new-host field, to be edited.
void remove_host(HWND dialog)
{
    LRESULT selected = SendDlgItemMessageA(dialog, IDC_HOSTS, LB_GETCURSEL, 0, 0);
    if (selected == LB_ERR)
        return;
    char text[EntrySize];
    if (list_text(dialog, IDC_HOSTS, static_cast<int>(selected), text, sizeof text) && text[0] != '\0')
        SetDlgItemTextA(dialog, IDC_NEW_HOST, text);
    SendDlgItemMessageA(dialog, IDC_HOSTS, LB_DELETESTRING, selected, 0);
}

void add_drive(HWND dialog)
{
    char text[EntrySize];
    char root[4];
    GetDlgItemTextA(dialog, IDC_NEW_DRIVE, text, sizeof text);
    trim_spaces(text);
    if (drive_root(text, root))
        SendDlgItemMessageA(dialog, IDC_DRIVES, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(root));
    else
        warn(dialog, "Drive name invalid, ignored.");
    SetDlgItemTextA(dialog, IDC_NEW_DRIVE, "");
    focus_control(dialog, IDC_NEW_DRIVE);
}

void remove_drive(HWND dialog)
{
    LRESULT selected = SendDlgItemMessageA(dialog, IDC_DRIVES, LB_GETCURSEL, 0, 0);
    if (selected != LB_ERR)
        SendDlgItemMessageA(dialog, IDC_DRIVES, LB_DELETESTRING, selected, 0);
}

void show_help(HWND dialog)
{
    DialogBoxParamA(ModuleInstance, "HelpBox", dialog, help_dialog_proc, 0);
}

// The OK command, sent also by the Enter key: what it does depends on the
// control that holds the focus.
void on_enter(HWND dialog)
{
    HWND focus = GetFocus();
    int id = focus != nullptr && GetParent(focus) == dialog ? GetDlgCtrlID(focus) : 0;
    switch (id) {
    case IDC_ADDRESSES:
    case IDC_POLL_TIME:
    case IDC_RETRY:
    case IDC_SUSPEND:
    case IDC_ALIAS:
    case IDC_FREE_DISK:
        focus_control(dialog, id + 1);
        break;
    case IDC_NEW_HOST:
        add_host(dialog);
        break;
    case IDC_NEW_DRIVE:
        add_drive(dialog);
        break;
    case IDOK:
    case IDC_SAVE:
        apply_dialog_values(dialog);
        EndDialog(dialog, 1);
        break;
    }
}

// The entries of a list box that a table can take, with a warning when
// there are more.
int entries_up_to(HWND dialog, int list, int slots, const char* what)
{
    int count = list_count(dialog, list);
    if (count <= slots)
        return count;
    char text[64];
    format_text(text, sizeof text, "Number of %s reduced to %d (maximum).", what, slots);
    warn(dialog, text);
    return slots;
}

void read_drives(HWND dialog, SettingsRecord& next)
{
    int count = entries_up_to(dialog, IDC_DRIVES, MaxDrives, "drives");
    next.DriveCount = 0;
    for (int k = 0; k < count; ++k) {
        char text[EntrySize];
        char root[4];
        if (!list_text(dialog, IDC_DRIVES, k, text, sizeof text))
            warn(dialog, "Drive name too long, ignored.");
        else if (!drive_root(text, root))
            warn(dialog, "Drive name invalid, ignored.");
        else
            copy_text(next.DriveNames[next.DriveCount++], root);
    }
}

void read_hosts(HWND dialog, SettingsRecord& next)
{
    int count = entries_up_to(dialog, IDC_HOSTS, MaxHosts, "hosts");
    next.HostCount = 0;
    for (int k = 0; k < count; ++k) {
        char text[EntrySize];
        if (!list_text(dialog, IDC_HOSTS, k, text, sizeof text))
            warn(dialog, "Host name too long, ignored.");
        else if (text[0] != '\0')
            copy_text(next.HostNames[next.HostCount++], text);
    }

    // A host typed but not added. With every slot taken there is no room
    // for it, so the question is not asked.
    char pending[EntrySize];
    GetDlgItemTextA(dialog, IDC_NEW_HOST, pending, sizeof pending);
    trim_spaces(pending);
    if (pending[0] == '\0' || next.HostCount >= MaxHosts)
        return;
    char question[sizeof pending + 128];
    format_text(question, sizeof question,
                "Following text found in ADD HOST field:\r\n\r\n      '%s'\r\n\r\nAdd to the list of hosts ?", pending);
    if (Platform.MessageBoxA(dialog, question, " Add Host not Empty", MB_YESNO | MB_ICONEXCLAMATION) == IDYES)
        copy_text(next.HostNames[next.HostCount++], pending);
}


// Entries that stand unchanged at their old places keep their run-time
// state; the first changed place and every place after it start afresh.
template <int Slots, int Size>
int first_change(const char (&old)[Slots][Size], int old_count, const char (&now)[Slots][Size], int count)
{
    int k = 0;
    while (k < count && k < old_count && strcmp(old[k], now[k]) == 0)
        ++k;
    return k;
}

} // namespace

void trim_spaces(char* text)
{
    const char* start = text;
    while (*start == ' ')
        ++start;
    size_t length = strlen(start);
    while (length > 0 && start[length - 1] == ' ')
        --length;
    memmove(text, start, length);
    text[length] = '\0';
}

void apply_dialog_values(HWND dialog)
{
    // Everything is prepared on a copy, every box answered, before the
    // settings change: the control thread never sees half a dialog.
    lock_settings();
    SettingsRecord next = Settings;
    unlock_settings();

    uint32_t number;
    // A number past the signed range is a long poll time, not a negative one.
    if (read_unsigned(dialog, IDC_POLL_TIME, &number))
        next.PollTime = poll_time_in_range(number > INT32_MAX ? INT32_MAX : static_cast<int>(number));
    if (read_unsigned(dialog, IDC_RETRY, &number))
        next.Retry = static_cast<int>(number);
    if (read_unsigned(dialog, IDC_SUSPEND, &number))
        next.Suspend = static_cast<int>(number);
    if (read_unsigned(dialog, IDC_MEMORY_LIMIT, &number) && static_cast<int>(number) >= 0)
        next.MemoryLimit = static_cast<int>(number);
    if (read_unsigned(dialog, IDC_FREE_DISK, &number))
        next.FreeDisk = static_cast<int>(number);
    if (read_unsigned(dialog, IDC_CRITICAL_DISK, &number))
        next.CriticalDisk = static_cast<int>(number);
    if (next.CriticalDisk > next.FreeDisk) {
        next.CriticalDisk = next.FreeDisk;
        char text[160];
        format_text(text, sizeof text,
                    "Critical disk space must be less or equal to free space to test.\r\nUsed free test value (%d).",
                    next.FreeDisk);
        warn(dialog, text);
    }
    next.SuspendMercS = IsDlgButtonChecked(dialog, IDC_SUSPEND_MERCS) == BST_CHECKED;
    next.SuspendMercD = IsDlgButtonChecked(dialog, IDC_SUSPEND_MERCD) == BST_CHECKED;
    if (!next.SuspendMercS && !next.SuspendMercD)
        next.CriticalDisk = 0;

    GetDlgItemTextA(dialog, IDC_ADDRESSES, next.Mail, sizeof next.Mail);
    GetDlgItemTextA(dialog, IDC_ALIAS, next.FromAlias, sizeof next.FromAlias);
    read_drives(dialog, next);
    read_hosts(dialog, next);
    // Numbered as OK + Save writes them.
    for (int k = 0; k < next.DriveCount; ++k)
        next.DriveKeys[k] = static_cast<uint8_t>(k + 1);
    for (int k = 0; k < next.HostCount; ++k)
        next.HostKeys[k] = static_cast<uint8_t>(k + 1);

    // An alias typed is explicit, even the default; an empty one falls back
    // to the default. The recipients and the address follow in the same
    // step, so no report goes out from one configuration to another's list.
    next.FromExplicit = next.FromAlias[0] != '\0';
    if (!next.FromExplicit)
        copy_text(next.FromAlias, DefaultFromAlias);
    RecipientLists lists{};
    build_recipients(lists, next.Mail);

    lock_settings();
    for (int k = first_change(Settings.DriveNames, Settings.DriveCount, next.DriveNames, next.DriveCount);
         k < next.DriveCount; ++k) {
        DriveState[k].Low = 0;
        DriveState[k].ErrorCount = 0;
        DriveState[k].ReportCounter = 0;
    }
    for (int k = first_change(Settings.HostNames, Settings.HostCount, next.HostNames, next.HostCount);
         k < next.HostCount; ++k)
        HostState[k] = HostStateEntry{};
    // What the dialog does not edit stays as a reread may have left it.
    next.EchoTimeout = Settings.EchoTimeout;
    next.Added = Settings.Added;
    copy_text(next.HostDomain, Settings.HostDomain);
    copy_text(next.IniPath, Settings.IniPath);
    copy_text(next.DaemonAddress, Settings.DaemonAddress);
    Settings = next;
    form_daemon_address(Settings);
    Recipients = lists;
    unlock_settings();
}

INT_PTR CALLBACK config_dialog_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        fill_controls(dialog);
        return FALSE; // the focus is set
    case WM_HELP:
        show_help(dialog);
        return TRUE;
    case WM_COMMAND:
        switch (LOWORD(wparam)) {
        case IDOK:
            on_enter(dialog);
            return TRUE;
        case IDC_SAVE:
            apply_dialog_values(dialog);
            EndDialog(dialog, 1);
            save_settings();
            return TRUE;
        case IDCANCEL:
            EndDialog(dialog, 0);
            return TRUE;
        case IDC_SHOW_HELP:
            show_help(dialog);
            return TRUE;
        case IDC_ADD_HOST:
            add_host(dialog);
            return TRUE;
        case IDC_REMOVE_HOST:
            remove_host(dialog);
            return TRUE;
        case IDC_ADD_DRIVE:
            add_drive(dialog);
            return TRUE;
        case IDC_REMOVE_DRIVE:
            remove_drive(dialog);
            return TRUE;
        }
        return FALSE;
    }
    return FALSE;
}

INT_PTR CALLBACK help_dialog_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM)
{
    switch (message) {
    case WM_HELP:
        return TRUE; // F1 on the help page opens no second one
    case WM_INITDIALOG:
        SetFocus(GetDlgItem(dialog, IDOK));
        return FALSE;
    case WM_COMMAND:
        if (LOWORD(wparam) != IDOK)
            return FALSE; // Escape and the close box leave the page open
        EndDialog(dialog, 1);
        return TRUE;
    }
    return FALSE;
}
