// Both dialog templates of the built korval.dll, control by control.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "dialog/dialog_ids.h"

extern HMODULE KorvalDll;

namespace {

enum Kind { DefButton, Button, Edit, List, Check, Group, Label, Centred, Icon, Etched, Frame };

struct Control {
    int id;
    Kind kind;
    const char* text; // nullptr: a text of our own choosing, not empty
    short x, y, width, height;
};

struct Parsed {
    DWORD style = 0, exstyle = 0;
    short x = 0, y = 0, width = 0, height = 0;
    int id = 0;
    std::string cls, text;
};

struct Template {
    bool extended = false;
    DWORD style = 0;
    short width = 0, height = 0;
    std::string caption, font;
    int points = 0, weight = -1, italic = -1, charset = -1;
    std::vector<Parsed> controls;
};

// Reads the resource's words, strings and ordinals in order.
struct Reader {
    const BYTE* p;
    WORD word() { WORD w = *reinterpret_cast<const WORD*>(p); p += 2; return w; }
    DWORD dword() { DWORD d = *reinterpret_cast<const DWORD*>(p); p += 4; return d; }
    void align(const BYTE* base) { p += (4 - (p - base) % 4) % 4; }
    std::string text()
    {
        std::string out;
        for (WORD c; (c = word()) != 0;)
            out += static_cast<char>(c);
        return out;
    }
    // A string, an ordinal (as "#n") or nothing.
    std::string name()
    {
        if (*reinterpret_cast<const WORD*>(p) == 0xFFFF) {
            word();
            return "#" + std::to_string(word());
        }
        return text();
    }
};

Template parse(const char* name)
{
    Template t;
    HRSRC found = FindResourceA(KorvalDll, name, MAKEINTRESOURCEA(5));
    if (found == nullptr)
        return t;
    const BYTE* base = static_cast<const BYTE*>(LockResource(LoadResource(KorvalDll, found)));
    Reader r{base};
    t.extended = reinterpret_cast<const DWORD*>(base)[0] == 0xFFFF0001;
    int count;
    if (t.extended) {
        r.dword();
        r.dword(); // help ID
        r.dword(); // extended style
        t.style = r.dword();
    } else {
        t.style = r.dword();
        r.dword();
    }
    count = r.word();
    r.word();
    r.word();
    t.width = static_cast<short>(r.word());
    t.height = static_cast<short>(r.word());
    r.name(); // menu
    r.name(); // class
    t.caption = r.text();
    if (t.style & DS_SETFONT) {
        t.points = r.word();
        if (t.extended) {
            t.weight = r.word();
            t.italic = *r.p++;
            t.charset = *r.p++;
        }
        t.font = r.text();
    }
    static const char* const classes[] = {"Button", "Edit", "Static", "ListBox"};
    for (int k = 0; k < count; ++k) {
        Parsed c;
        r.align(base);
        if (t.extended) {
            r.dword(); // help ID
            c.exstyle = r.dword();
            c.style = r.dword();
        } else {
            c.style = r.dword();
            c.exstyle = r.dword();
        }
        c.x = static_cast<short>(r.word());
        c.y = static_cast<short>(r.word());
        c.width = static_cast<short>(r.word());
        c.height = static_cast<short>(r.word());
        c.id = t.extended ? static_cast<int>(r.dword()) : static_cast<short>(r.word());
        c.cls = r.name();
        for (int n = 0; n < 4; ++n)
            if (c.cls == "#" + std::to_string(0x80 + n) || _stricmp(c.cls.c_str(), classes[n]) == 0)
                c.cls = classes[n];
        c.text = r.name();
        r.p += r.word(); // creation data
        t.controls.push_back(c);
    }
    return t;
}

// What each kind must be: class, the type in the low style bits, the styles
// that must be there and those that must not, the extended style.
struct KindRule {
    const char* cls;
    DWORD type_mask, type, with, without, exstyle;
};

const KindRule Rules[] = {
    /* DefButton */ {"Button", 0xF, BS_DEFPUSHBUTTON, WS_TABSTOP, 0, 0},
    /* Button */ {"Button", 0xF, BS_PUSHBUTTON, WS_TABSTOP, 0, 0},
    /* Edit */ {"Edit", 0, 0, WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL, ES_MULTILINE | ES_NUMBER, 0},
    /* List */
    {"ListBox", 0, 0, WS_BORDER | WS_VSCROLL | WS_TABSTOP | LBS_NOTIFY | LBS_NOINTEGRALHEIGHT, LBS_SORT, 0},
    /* Check */ {"Button", 0xF, BS_AUTOCHECKBOX, WS_TABSTOP, 0, 0},
    /* Group */ {"Button", 0xF, BS_GROUPBOX, 0, WS_TABSTOP, 0},
    /* Label */ {"Static", 0x1F, SS_LEFT, WS_GROUP, 0, 0},
    /* Centred */ {"Static", 0x1F, SS_CENTER, 0, 0, 0},
    /* Icon */ {"Static", 0x1F, SS_ICON, 0, 0, WS_EX_DLGMODALFRAME},
    /* Etched */ {"Static", 0x1F, SS_ETCHEDFRAME, 0, 0, WS_EX_DLGMODALFRAME},
    /* Frame */ {"Static", 0x1F, SS_BLACKFRAME, SS_SUNKEN | WS_DISABLED, 0, 0},
};

const Control ConfigControls[] = {
    {IDOK, DefButton, "&OK", 27, 224, 50, 16},
    {IDC_SAVE, Button, "OK + &Save", 102, 224, 51, 16},
    {IDCANCEL, Button, "&Cancel", 178, 224, 50, 16},
    {IDC_SHOW_HELP, Button, "Help", 256, 224, 30, 16},
    {-1, Label, "Report to &Addresses:", 5, 6, 68, 8},
    {IDC_ADDRESSES, Edit, "", 74, 4, 236, 12},
    {-1, Label, "&Poll Time :", 33, 20, 34, 8},
    {IDC_POLL_TIME, Edit, "", 74, 18, 23, 12},
    {-1, Label, "minutes.", 101, 20, 25, 8},
    {-1, Label, "&Retries before report:", 5, 34, 69, 8},
    {IDC_RETRY, Edit, "", 74, 32, 23, 12},
    {-1, Label, "Report &dead every :", 5, 48, 65, 8},
    {IDC_SUSPEND, Edit, "", 74, 46, 23, 12},
    {-1, Label, "poll cycles.", 101, 48, 35, 8},
    {-1, Label, "Dae&mon Alias :", 5, 62, 58, 8},
    {IDC_ALIAS, Edit, "", 74, 60, 73, 12},
    {-1, Label, "&New host :", 15, 86, 35, 8},
    {IDC_NEW_HOST, Edit, "", 53, 85, 85, 12},
    {IDC_ADD_HOST, Button, "Add &host", 93, 154, 50, 14},
    {IDC_HOSTS, List, "", 10, 100, 78, 92},
    {IDC_REMOVE_HOST, Button, "R&emove Host", 93, 177, 50, 14},
    {-1, Label, "Hosts to poll", 97, 117, 40, 8},
    {-1, Label, "Ne&w drive:", 164, 86, 35, 8},
    {IDC_NEW_DRIVE, Edit, "", 203, 85, 29, 12},
    {IDC_ADD_DRIVE, Button, "Add Dr&ive", 188, 107, 50, 14},
    {IDC_DRIVES, List, "", 159, 100, 23, 92},
    {IDC_REMOVE_DRIVE, Button, "Remo&ve Drive", 188, 128, 50, 14},
    {-1, Label, "Test &Free:", 249, 95, 35, 8},
    {IDC_FREE_DISK, Edit, "", 250, 106, 23, 12},
    {-1, Label, "MBytes", 277, 108, 25, 8},
    {-1, Label, "&Test Critical:", 249, 123, 40, 8},
    {IDC_CRITICAL_DISK, Edit, "", 250, 134, 23, 12},
    {-1, Label, "MBytes", 277, 136, 25, 8},
    {-1, Label, "At critical disk space suspend:", 200, 162, 38, 25},
    {IDC_SUSPEND_MERCS, Check, "Merc&uryS", 250, 163, 46, 10},
    {IDC_SUSPEND_MERCD, Check, "MercuryD", 250, 177, 47, 10},
    {-1, Label, "Korval daemon", 195, 29, 48, 8},
    {-1, Label, "Version", 261, 29, 25, 8},
    {-1, Label, "1.18", 289, 29, 15, 8},
    {-1, Label, nullptr, 195, 42, 108, 8},
    {-1, Icon, "KorvalIcon", 162, 27, 20, 20},
    {-1, Etched, "", 154, 19, 156, 55},
    {-1, Centred, nullptr, 204, 56, 91, 8},
    {-1, Group, "Module Suspend", 188, 152, 117, 41},
    {-1, Group, "Disk Space", 243, 83, 61, 67},
    {-1, Group, "Memory", 5, 196, 304, 22},
    {-1, Label, "Warn when available memor&y falls under:", 61, 205, 131, 8},
    {IDC_MEMORY_LIMIT, Edit, "", 203, 203, 25, 12},
    {-1, Label, "MegaBytes.", 232, 205, 37, 8},
    {-1, Group, "Hosts", 5, 75, 144, 122},
    {-1, Group, "Disks", 154, 75, 155, 122},
};

const Control HelpControls[] = {
    {-1, Frame, "", 0, 0, 350, 346},
    {IDOK, DefButton, "&Close", 149, 326, 50, 14},
    {-1, Frame, "", 10, 307, 329, 2},
    {-1, Centred, nullptr, 29, 312, 290, 8},
    {-1, Group, "General Options", 4, 4, 342, 130},
    {-1, Group, "Disk Tests", 4, 135, 342, 108},
    {-1, Group, "Free Disk Space Tests", 10, 145, 330, 43},
    {-1, Group, "Hosts Tests", 4, 243, 342, 23},
    {-1, Group, "Memory Test", 3, 266, 342, 23},
    {-1, Label, "Report to Address", 9, 13, 70, 8},
    {-1, Label, "Addresses, to which status event should be sent. Items should be separated by commas.", 83, 13, 245, 16},
    {-1, Label, "When address points to SMS, use ':' instead of '@'. It will generate shorter text. Example:", 83, 29,
     249, 16},
    {-1, Label, nullptr, 140, 45, 141, 8},
    {-1, Label, "Poll Time", 9, 60, 70, 8},
    {-1, Label, "How often will daemon poll specified hosts. Default is 5 minutes.", 83, 60, 217, 8},
    {-1, Label, "Retries before report", 9, 75, 70, 8},
    {-1, Label, "How many times daemon ignore down status of host before reporting it. Default is 3 times.", 83, 75,
     245, 16},
    {-1, Label, "Report dead every", 9, 98, 70, 8},
    {-1, Label, "How often will dead host be reported. Default is 5 poll cycles.", 83, 98, 217, 8},
    {-1, Label, "Daemon Alias", 9, 114, 70, 8},
    {-1, Label,
     "From address of mail daemon. When mail is received to this address, daemon rereads it's configuration. "
     "Default is \"korval-daemon\".",
     83, 114, 245, 16},
    {-1, Label, "Test Free", 14, 155, 35, 8},
    {-1, Label,
     "When free disk space falls below this number, KORVAL will send warning. Number  0  means no testing.", 58,
     155, 274, 16},
    {-1, Label, "Test Critical", 14, 174, 40, 8},
    {-1, Label, "When disk space falls below this number, KORVAL will try to suspend specified modules.", 58, 174, 278,
     9},
    {-1, Label, "Module Suspend", 9, 191, 70, 8},
    {-1, Label,
     "Check which modules should be suspended when free disk space falls under Critical value or disk test fails.",
     83, 191, 245, 16},
    {-1, Label, "Tested Drives", 9, 210, 70, 8},
    {-1, Label,
     "Drive letters at which free disk space is tested,  e.g.  \"C:\" . IMPORTANT: If disk drive test FAILS, "
     "korval daemon SUSPENDS module MERCURYS/D !",
     83, 210, 253, 16},
    {-1, Label, "Add / Remove drive", 9, 230, 69, 8},
    {-1, Label, "Maximum of 10 drives can be configured.", 83, 230, 217, 8},
    {-1, Label, "Add / Remove host", 9, 252, 67, 8},
    {-1, Label, "Maximum of 15 hosts can be configured.", 83, 252, 217, 8},
    {-1, Label, "Available memory", 8, 275, 67, 8},
    {-1, Label, "KORVAL checks for available virtual memory.", 82, 275, 217, 8},
    {-1, Label, "OK + Save", 9, 292, 59, 8},
    {-1, Label, "This will save daemon configuration to korval.ini file.", 83, 292, 217, 8},
};

template <size_t N>
void expect_controls(const Template& t, const Control (&want)[N])
{
    ASSERT_EQ(t.controls.size(), N);
    for (size_t k = 0; k < N; ++k) {
        const Control& w = want[k];
        const Parsed& c = t.controls[k];
        const KindRule& rule = Rules[w.kind];
        SCOPED_TRACE("control " + std::to_string(k) + " " + c.text);
        EXPECT_EQ(c.id, w.id);
        EXPECT_EQ(c.cls, rule.cls);
        if (w.text != nullptr)
            EXPECT_EQ(c.text, w.text);
        else
            EXPECT_NE(c.text, "");
        EXPECT_EQ((std::vector<short>{c.x, c.y, c.width, c.height}),
                  (std::vector<short>{w.x, w.y, w.width, w.height}));
        EXPECT_EQ(c.style & (WS_CHILD | WS_VISIBLE), DWORD(WS_CHILD | WS_VISIBLE));
        EXPECT_EQ(c.style & rule.type_mask, rule.type);
        EXPECT_EQ(c.style & rule.with, rule.with);
        EXPECT_EQ(c.style & rule.without, 0u);
        EXPECT_EQ(c.exstyle, rule.exstyle);
    }
}

const DWORD DialogStyle = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT;

TEST(Templates, ConfigBoxIsExtendedAndMatchesItsTable)
{
    Template t = parse("ConfigBox");
    EXPECT_TRUE(t.extended);
    EXPECT_EQ(t.style, DialogStyle);
    EXPECT_EQ(t.caption, "  Korval daemon configuration");
    EXPECT_EQ((std::vector<int>{t.width, t.height, t.points, t.weight, t.italic, t.charset}),
              (std::vector<int>{314, 245, 8, 0, 0, 1}));
    EXPECT_EQ(t.font, "MS Sans Serif");
    expect_controls(t, ConfigControls);
    EXPECT_NE(FindResourceA(KorvalDll, "KorvalIcon", MAKEINTRESOURCEA(14)), nullptr);
}

TEST(Templates, HelpBoxIsClassicAndMatchesItsTable)
{
    Template t = parse("HelpBox");
    EXPECT_FALSE(t.extended);
    EXPECT_EQ(t.style, DialogStyle);
    EXPECT_EQ(t.caption, "  Korval daemon information");
    EXPECT_EQ((std::vector<int>{t.width, t.height, t.points}), (std::vector<int>{350, 349, 8}));
    EXPECT_EQ(t.font, "MS Sans Serif");
    expect_controls(t, HelpControls);
}

} // namespace
