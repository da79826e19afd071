// Drives the front end's main window from another process in the same wine
// prefix, one action per run, and prints what it finds as UTF-8:
//   wait-window SECS      wait until the main window is shown
//   layout                check every control of the main window: order, id,
//                         class, text, place and size, key styles
//   state                 drive list, its edit text, progress, radio checks
//   select TEXT           choose the drive list entry that begins with TEXT
//                         (as a user would)
//   click ID              click button ID
//   wait-box TEXT SECS    wait for a message box showing TEXT (a final '*'
//                         matches any rest); print it
//   ok-box TEXT           press OK on that message box and wait until it
//                         has gone
//   cancel-box TEXT       the same with Cancel
//   boxes                 print the text of every message box still open
//   resources EXE         print the manifest and the version strings of EXE
//   stick-files EXE DIR   write the stick's boot files that EXE carries into
//                         DIR, under their listed paths
//   keyboard              check that Tab and the arrow keys reach both mode
//                         radios
//   device arrival|removal  send the device-change broadcast's event
//   about                 open the about box from the system menu, print it,
//                         whether it is centred on the screen, and close it
//   link-click            left click in the middle of the link text
//   close                 press the exit button
//   wait-gone SECS        wait until the main window has closed
// Exit status 0 when the action worked (and the check passed), else 1.
#include <windows.h>
#include <commctrl.h>
#include <dbt.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

const wchar_t *const MainTitle = L"KorvaniW1.0网络版";

std::string Utf8(const std::wstring &w) {
    if (w.empty())
        return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), int(w.size()), nullptr, 0, nullptr, nullptr);
    std::string s(size_t(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.data(), int(w.size()), &s[0], n, nullptr, nullptr);
    return s;
}

// A window's text by WM_GETTEXT: GetWindowText would only give the stored
// caption of another process's window, not a combo box's edit text.
std::wstring Text(HWND h) {
    wchar_t buf[512] = {};
    DWORD_PTR n = 0;
    SendMessageTimeoutW(h, WM_GETTEXT, 511, reinterpret_cast<LPARAM>(buf), SMTO_NORMAL, 5000, &n);
    return buf;
}

std::wstring ClassOf(HWND h) {
    wchar_t buf[128] = {};
    GetClassNameW(h, buf, 127);
    return buf;
}

HWND MainWindow() { return FindWindowW(L"#32770", MainTitle); }

// The main window once it is shown and has finished opening: its drive
// list shows the placeholder text and the progress range is set.
HWND WaitMain(double secs) {
    for (int i = 0; i < int(secs * 10); ++i) {
        HWND h = MainWindow();
        if (h != nullptr && IsWindowVisible(h) && !Text(GetDlgItem(h, 1000)).empty() &&
            SendDlgItemMessageW(h, 1003, PBM_GETRANGE, FALSE, 0) == 100)
            return h;
        Sleep(100);
    }
    return nullptr;
}

// Dialog units to pixels for the main window's font. MapDialogRect does
// not work on another process's window, so a hidden dialog of this process
// with the same font does the mapping.
struct DialogUnits {
    HWND probe = nullptr;
    DialogUnits() {
        alignas(4) static BYTE tpl[256];
        ZeroMemory(tpl, sizeof tpl);
        auto *t = reinterpret_cast<DLGTEMPLATE *>(tpl);
        t->style = DS_SETFONT | WS_POPUP;
        t->cx = 100;
        t->cy = 100;
        WORD *p = reinterpret_cast<WORD *>(t + 1);
        *p++ = 0;  // no menu
        *p++ = 0;  // default class
        *p++ = 0;  // no title
        *p++ = 10; // points
        const wchar_t *face = L"新宋体";
        while ((*p++ = *face++) != 0) {
        }
        probe = CreateDialogIndirectParamW(GetModuleHandleW(nullptr), t, nullptr, Probe, 0);
    }
    ~DialogUnits() {
        if (probe)
            DestroyWindow(probe);
    }
    static INT_PTR CALLBACK Probe(HWND, UINT msg, WPARAM, LPARAM) { return msg == WM_INITDIALOG; }
    RECT Map(RECT r) const {
        MapDialogRect(probe, &r);
        return r;
    }
};

struct BoxSearch {
    HWND owner;
    std::wstring text;
    HWND found;
};

BOOL CALLBACK FindBox(HWND h, LPARAM lp) {
    auto *s = reinterpret_cast<BoxSearch *>(lp);
    if (h == s->owner || !IsWindowVisible(h) || ClassOf(h) != L"#32770")
        return TRUE;
    // A message box's text is the static control 0xFFFF.
    HWND t = GetDlgItem(h, 0xFFFF);
    if (t == nullptr)
        return TRUE;
    std::wstring text = Text(t);
    // A pattern ending in '*' matches every text that begins with the rest.
    bool prefix = !s->text.empty() && s->text.back() == L'*';
    if (prefix ? text.compare(0, s->text.size() - 1, s->text, 0, s->text.size() - 1) == 0
               : text == s->text) {
        s->found = h;
        return FALSE;
    }
    return TRUE;
}

HWND FindMessageBox(HWND main, const std::wstring &text) {
    BoxSearch s = {main, text, nullptr};
    EnumWindows(FindBox, reinterpret_cast<LPARAM>(&s));
    return s.found;
}

std::wstring FromUtf8(const char *s) {
    int n = MultiByteToWideChar(CP_UTF8, 0, s, -1, nullptr, 0);
    std::wstring w(size_t(n > 0 ? n : 1), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, s, -1, &w[0], n);
    w.resize(wcslen(w.c_str()));
    return w;
}

// The controls of the main window in creation order, as the user must see
// them. Places in dialog units.
struct Expected {
    int id;
    const wchar_t *cls;
    const wchar_t *text;
    int x, y, w, h;
    DWORD styleMask, style;  // bits that must be set as given
};

const DWORD GroupTab = WS_GROUP | WS_TABSTOP;
const Expected Controls[] = {
    {1002, L"Button", L"开始制作", 60, 251, 50, 14, 0x0F | WS_VISIBLE | GroupTab,
     BS_DEFPUSHBUTTON | WS_VISIBLE | GroupTab},
    {2, L"Button", L"退出", 194, 251, 50, 14, 0x0F | WS_VISIBLE, BS_PUSHBUTTON | WS_VISIBLE},
    // The combo box hands WS_VSCROLL on to its list and drops it itself.
    {1000, L"ComboBox", nullptr, 66, 113, 170, -1, 0x03 | CBS_SORT | WS_TABSTOP,
     CBS_DROPDOWN | CBS_SORT | WS_TABSTOP},
    {1001, L"Button", L"刷新", 244, 113, 43, 14, 0x0F, BS_PUSHBUTTON},
    // The progress bar turns its border into a static edge when created.
    {1003, L"msctls_progress32", L"", 69, 159, 165, 14, PBS_SMOOTH, PBS_SMOOTH},
    {-1, L"Button", L"Korvani", 27, 82, 266, 156, 0x0F | BS_CENTER, BS_GROUPBOX | BS_CENTER},
    {-1, L"Button", L"当前进度指示", 58, 142, 186, 41, 0x0F | BS_CENTER, BS_GROUPBOX | BS_CENTER},
    {1008, L"Static", nullptr, 27, 13, 266, 66, SS_TYPEMASK | SS_CENTERIMAGE, SS_BITMAP | SS_CENTERIMAGE},
    {-1, L"Static", L"请选择你的U盘:", 68, 100, 57, 8, SS_TYPEMASK | SS_NOTIFY, SS_LEFT},
    {1011, L"Static", L"点击进入官方使用说明", 220, 279, 81, 8, SS_TYPEMASK | SS_NOTIFY, SS_LEFT},
    {-1, L"Button", L"请选择你的BISO支持的USB启动方式【默认为USB-HDD】", 45, 195, 232, 33,
     0x0F | BS_CENTER, BS_GROUPBOX | BS_CENTER},
    {1014, L"Button", L"", 36, 209, 16, 8, 0x0F | WS_VISIBLE | GroupTab, BS_AUTORADIOBUTTON | GroupTab},
    // The two modes: one group with a tab stop.
    {1015, L"Button", L"USB-HDD模式", 58, 210, 60, 10, 0x0F | WS_VISIBLE | GroupTab,
     BS_AUTORADIOBUTTON | WS_VISIBLE | GroupTab},
    {1016, L"Button", L"USB-ZIP模式", 184, 210, 60, 10, 0x0F | WS_VISIBLE | GroupTab,
     BS_AUTORADIOBUTTON | WS_VISIBLE},
};

int CheckLayout(HWND main) {
    int bad = 0;
    auto fail = [&bad](const std::string &what) {
        std::printf("mismatch: %s\n", what.c_str());
        ++bad;
    };
    // The window: its style and its client area of 321 x 300 dialog units.
    LONG style = GetWindowLongW(main, GWL_STYLE), ex = GetWindowLongW(main, GWL_EXSTYLE);
    if ((style & (WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME)) !=
        (WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX))
        fail("window style");
    if (!(ex & WS_EX_APPWINDOW) || !(ex & WS_EX_DLGMODALFRAME))
        fail("window extended style");
    DialogUnits du;
    if (du.probe == nullptr)
        fail("no dialog for measuring");
    RECT want = du.Map({0, 0, 321, 300}), client;
    GetClientRect(main, &client);
    if (client.right != want.right || client.bottom != want.bottom)
        fail("client size");

    HWND c = GetWindow(main, GW_CHILD);
    for (const Expected &e : Controls) {
        if (c == nullptr) {
            fail("missing control " + std::to_string(e.id));
            break;
        }
        std::string name = "control " + std::to_string(e.id) + " " + Utf8(e.text ? e.text : L"");
        int id = GetDlgCtrlID(c);
        if (id != (e.id == -1 ? 0xFFFF : e.id) && !(e.id == -1 && id == -1))
            fail(name + ": id " + std::to_string(id));
        if (ClassOf(c) != e.cls)
            fail(name + ": class " + Utf8(ClassOf(c)));
        if (e.text != nullptr && Text(c) != e.text)
            fail(name + ": text " + Utf8(Text(c)));
        DWORD s = DWORD(GetWindowLongW(c, GWL_STYLE));
        if ((s & e.styleMask) != e.style) {
            char hex[64];
            std::snprintf(hex, sizeof hex, ": style %08lx", static_cast<unsigned long>(s));
            fail(name + hex);
        }
        // The system converts a control's place and its size separately.
        RECT at = du.Map({e.x, e.y, e.x, e.y}), size = du.Map({0, 0, e.w, e.h < 0 ? 0 : e.h}), got;
        RECT r = {at.left, at.top, at.left + size.right, at.top + size.bottom};
        GetWindowRect(c, &got);
        MapWindowPoints(nullptr, main, reinterpret_cast<POINT *>(&got), 2);
        if (got.left != r.left || got.top != r.top || got.right != r.right ||
            (e.h >= 0 && got.bottom != r.bottom))
            fail(name + ": place " + std::to_string(got.left) + "," + std::to_string(got.top) + " " +
                 std::to_string(got.right) + "," + std::to_string(got.bottom) + " wanted " +
                 std::to_string(r.left) + "," + std::to_string(r.top) + " " +
                 std::to_string(r.right) + "," + std::to_string(r.bottom));
        // The banner holds a bitmap (its handle belongs to the other
        // process, so only its presence can be seen from here).
        if (e.id == 1008 && SendMessageW(c, STM_GETIMAGE, IMAGE_BITMAP, 0) == 0)
            fail("banner bitmap");
        c = GetWindow(c, GW_HWNDNEXT);
    }
    if (c != nullptr)
        fail("extra control " + std::to_string(GetDlgCtrlID(c)));
    std::printf("layout: %d mismatches\n", bad);
    return bad == 0 ? 0 : 1;
}

void PrintState(HWND main) {
    HWND combo = GetDlgItem(main, 1000);
    LRESULT n = SendMessageW(combo, CB_GETCOUNT, 0, 0);
    std::printf("drives:");
    for (LRESULT i = 0; i < n; ++i) {
        wchar_t buf[64] = {};
        SendMessageW(combo, CB_GETLBTEXT, WPARAM(i), reinterpret_cast<LPARAM>(buf));
        std::printf(" %s", Utf8(buf).c_str());
    }
    std::printf("\nselection: %ld\n", long(SendMessageW(combo, CB_GETCURSEL, 0, 0)));
    std::printf("edit: %s\n", Utf8(Text(combo)).c_str());
    std::printf("progress: %ld\n", long(SendDlgItemMessageW(main, 1003, PBM_GETPOS, 0, 0)));
    std::printf("range: %ld %ld\n", long(SendDlgItemMessageW(main, 1003, PBM_GETRANGE, TRUE, 0)),
                long(SendDlgItemMessageW(main, 1003, PBM_GETRANGE, FALSE, 0)));
    for (int id : {1014, 1015, 1016})
        std::printf("radio %d: %d\n", id, int(IsDlgButtonChecked(main, id)));
}

}  // namespace

int wmain(int argc, wchar_t **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "wdriver: no action\n");
        return 1;
    }
    std::string act = Utf8(argv[1]);
    std::vector<std::string> args;
    for (int i = 2; i < argc; ++i)
        args.push_back(Utf8(argv[i]));
    auto arg = [&args](size_t i) { return i < args.size() ? args[i] : std::string(); };

    if (act == "wait-window") {
        HWND h = WaitMain(std::atof(arg(0).c_str()));
        std::printf(h ? "window: %s\n" : "window: none\n", Utf8(MainTitle).c_str());
        return h ? 0 : 1;
    }
    if (act == "resources") {
        // The manifest and version strings as Windows reads them from the
        // file, without running it.
        std::wstring exe = FromUtf8(arg(0).c_str());
        HMODULE m = LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
        if (m == nullptr) {
            std::printf("resources: cannot load\n");
            return 1;
        }
        HRSRC r = FindResourceW(m, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
        if (r != nullptr) {
            const char *p = static_cast<const char *>(LockResource(LoadResource(m, r)));
            std::string text(p, SizeofResource(m, r));
            size_t pos = 0;
            while (pos < text.size()) {
                size_t end = text.find('\n', pos);
                if (end == std::string::npos)
                    end = text.size();
                std::printf("manifest: %s\n", text.substr(pos, end - pos).c_str());
                pos = end + 1;
            }
        }
        FreeLibrary(m);
        DWORD ignored = 0, size = GetFileVersionInfoSizeW(exe.c_str(), &ignored);
        std::vector<BYTE> info(size ? size : 1);
        if (size != 0 && GetFileVersionInfoW(exe.c_str(), 0, size, info.data())) {
            VS_FIXEDFILEINFO *fixed = nullptr;
            UINT len = 0;
            if (VerQueryValueW(info.data(), L"\\", reinterpret_cast<void **>(&fixed), &len) && fixed)
                std::printf("version: file %lu.%lu.%lu.%lu\n", fixed->dwFileVersionMS >> 16,
                            fixed->dwFileVersionMS & 0xFFFF, fixed->dwFileVersionLS >> 16,
                            fixed->dwFileVersionLS & 0xFFFF);
            for (const wchar_t *key : {L"ProductName", L"FileVersion", L"FileDescription",
                                       L"CompanyName", L"OriginalFilename"}) {
                std::wstring q = std::wstring(L"\\StringFileInfo\\080403a8\\") + key;
                wchar_t *value = nullptr;
                if (VerQueryValueW(info.data(), q.c_str(), reinterpret_cast<void **>(&value), &len) && value)
                    std::printf("version: %s=%s\n", Utf8(key).c_str(), Utf8(value).c_str());
            }
        }
        return 0;
    }
    if (act == "stick-files") {
        // Resource "STICK" 1 lists the paths; 2, 3, ... are the files.
        HMODULE m = LoadLibraryExW(FromUtf8(arg(0).c_str()).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
        HRSRC r = m ? FindResourceW(m, MAKEINTRESOURCEW(1), L"STICK") : nullptr;
        if (r == nullptr) {
            std::printf("stick-files: no list\n");
            return 1;
        }
        std::string list(static_cast<const char *>(LockResource(LoadResource(m, r))), SizeofResource(m, r));
        std::wstring dir = FromUtf8(arg(1).c_str());
        int id = 2, bad = 0;
        for (size_t pos = 0; pos < list.size();) {
            size_t end = list.find('\n', pos);
            if (end == std::string::npos)
                end = list.size();
            std::wstring path = FromUtf8(list.substr(pos, end - pos).c_str());
            pos = end + 1;
            if (path.empty())
                continue;
            for (size_t i = 0; i < path.size(); ++i)
                if (path[i] == L'/') {
                    path[i] = L'\\';
                    CreateDirectoryW((dir + L"\\" + path.substr(0, i)).c_str(), nullptr);
                }
            HRSRC f = FindResourceW(m, MAKEINTRESOURCEW(id++), L"STICK");
            HANDLE h = CreateFileW((dir + L"\\" + path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
            DWORD written = 0;
            if (f == nullptr || h == INVALID_HANDLE_VALUE ||
                !WriteFile(h, LockResource(LoadResource(m, f)), SizeofResource(m, f), &written, nullptr))
                ++bad;
            if (h != INVALID_HANDLE_VALUE)
                CloseHandle(h);
            std::printf("stick-file: %s\n", Utf8(path).c_str());
        }
        FreeLibrary(m);
        return bad == 0 ? 0 : 1;
    }
    HWND main = MainWindow();
    if (act == "wait-gone") {
        for (int i = 0; i < int(std::atof(arg(0).c_str()) * 10) && MainWindow(); ++i)
            Sleep(100);
        return MainWindow() ? 1 : 0;
    }
    if (main == nullptr) {
        std::printf("no main window\n");
        return 1;
    }
    if (act == "layout")
        return CheckLayout(main);
    if (act == "state") {
        PrintState(main);
        return 0;
    }
    if (act == "select") {
        HWND combo = GetDlgItem(main, 1000);
        std::wstring want = FromUtf8(arg(0).c_str());
        LRESULT i = SendMessageW(combo, CB_FINDSTRING, WPARAM(-1),
                                 reinterpret_cast<LPARAM>(want.c_str()));
        if (i == CB_ERR)
            return 1;
        SendMessageW(combo, CB_SETCURSEL, WPARAM(i), 0);
        DWORD_PTR r;
        SendMessageTimeoutW(main, WM_COMMAND, MAKEWPARAM(1000, CBN_SELCHANGE),
                            reinterpret_cast<LPARAM>(combo), SMTO_NORMAL, 5000, &r);
        return 0;
    }
    if (act == "click") {
        int id = std::atoi(arg(0).c_str());
        // Posted, because the start button's work blocks the window.
        return PostMessageW(GetDlgItem(main, id), BM_CLICK, 0, 0) ? 0 : 1;
    }
    if (act == "boxes") {
        // Every message box of the front end's thread still shown.
        DWORD pid = 0, thread = GetWindowThreadProcessId(main, &pid);
        struct Ctx {
            HWND main;
            int n;
        } ctx = {main, 0};
        EnumThreadWindows(
            thread,
            [](HWND h, LPARAM lp) -> BOOL {
                auto *c = reinterpret_cast<Ctx *>(lp);
                if (h != c->main && IsWindowVisible(h) && ClassOf(h) == L"#32770" &&
                    GetDlgItem(h, 0xFFFF) != nullptr) {
                    std::printf("open box: %s\n", Utf8(Text(GetDlgItem(h, 0xFFFF))).c_str());
                    ++c->n;
                }
                return TRUE;
            },
            reinterpret_cast<LPARAM>(&ctx));
        std::printf("boxes: %d\n", ctx.n);
        return 0;
    }
    if (act == "keyboard") {
        // Tab from the control before the radios lands on the mode group,
        // and the arrow key moves within it to the other mode.
        HWND hdd = GetDlgItem(main, 1015), zip = GetDlgItem(main, 1016);
        HWND refresh = GetDlgItem(main, 1001);
        bool tabReaches = false;
        HWND c = refresh;
        for (int i = 0; i < 20 && c != nullptr; ++i) {
            c = GetNextDlgTabItem(main, c, FALSE);
            if (c == hdd || c == zip) {
                tabReaches = true;
                break;
            }
            if (c == refresh)
                break;
        }
        bool arrowReaches = GetNextDlgGroupItem(main, hdd, FALSE) == zip &&
                            GetNextDlgGroupItem(main, zip, FALSE) == hdd;
        std::printf("keyboard: tab %d arrows %d (after 1015: %d, after 1016: %d)\n", tabReaches ? 1 : 0,
                    arrowReaches ? 1 : 0, GetDlgCtrlID(GetNextDlgGroupItem(main, hdd, FALSE)),
                    GetDlgCtrlID(GetNextDlgGroupItem(main, zip, FALSE)));
        return tabReaches && arrowReaches ? 0 : 1;
    }
    if (act == "wait-box" || act == "ok-box" || act == "cancel-box") {
        std::wstring text = FromUtf8(arg(0).c_str());
        double secs = act == "wait-box" ? std::atof(arg(1).c_str()) : 2;
        HWND box = nullptr;
        for (int i = 0; i < int(secs * 10) && box == nullptr; ++i) {
            box = FindMessageBox(main, text);
            if (box == nullptr)
                Sleep(100);
        }
        if (box == nullptr) {
            std::printf("no box: %s\n", arg(0).c_str());
            return 1;
        }
        if (act != "wait-box") {
            // Pressed, and gone before the next action.
            int button = act == "ok-box" ? IDOK : IDCANCEL;
            PostMessageW(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), 0);
            for (int i = 0; i < 100 && IsWindow(box); ++i)
                Sleep(100);
            return IsWindow(box) ? 1 : 0;
        }
        // Title, owner, buttons and icon. The icon is control 0x14 on
        // Windows and 0x440 under wine; shown only when the box has one.
        bool cancel = GetDlgItem(box, IDCANCEL) != nullptr && IsWindowVisible(GetDlgItem(box, IDCANCEL));
        bool hasIcon = false;
        for (int id : {0x14, 0x440}) {
            HWND icon = GetDlgItem(box, id);
            if (icon != nullptr && IsWindowVisible(icon) &&
                SendMessageW(icon, STM_GETICON, 0, 0) != 0)
                hasIcon = true;
        }
        std::printf("box: text=%s\n", Utf8(Text(GetDlgItem(box, 0xFFFF))).c_str());
        // The default button: the one with the default push button style.
        const char *def = "none";
        for (int id : {IDOK, IDCANCEL}) {
            HWND b = GetDlgItem(box, id);
            if (b != nullptr && (GetWindowLongW(b, GWL_STYLE) & 0x0F) == BS_DEFPUSHBUTTON)
                def = id == IDOK ? "ok" : "cancel";
        }
        std::printf("box: title=%s owner=%s ok=%d cancel=%d icon=%d\n", Utf8(Text(box)).c_str(),
                    GetWindow(box, GW_OWNER) == main ? "main" : "other",
                    GetDlgItem(box, IDOK) != nullptr ? 1 : 0, cancel ? 1 : 0, hasIcon ? 1 : 0);
        std::printf("box: default=%s\n", def);
        return 0;
    }
    if (act == "device") {
        // The volume broadcast for drive E:, as the system sends it. The
        // message carries a pointer, so it can only be sent, and the answer
        // comes only after the message box the handler may open has been
        // closed: run this in the background when a box is expected.
        DEV_BROADCAST_VOLUME vol = {};
        vol.dbcv_size = sizeof vol;
        vol.dbcv_devicetype = DBT_DEVTYP_VOLUME;
        vol.dbcv_unitmask = 1u << ('E' - 'A');
        WPARAM ev = arg(0) == "arrival" ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE;
        DWORD_PTR answer = 0;
        SetLastError(0);
        LRESULT r = SendMessageTimeoutW(main, WM_DEVICECHANGE, ev, reinterpret_cast<LPARAM>(&vol),
                                        SMTO_NORMAL, 60000, &answer);
        if (r == 0) {
            std::printf("device: no answer (error %lu)\n", GetLastError());
            return 1;
        }
        std::printf("device: answered %ld\n", long(answer));
        return 0;
    }
    if (act == "about") {
        PostMessageW(main, WM_SYSCOMMAND, 0x10, 0);
        HWND about = nullptr;
        for (int i = 0; i < 50 && about == nullptr; ++i) {
            Sleep(100);
            about = FindWindowW(L"#32770", L"关于 qxtool");
        }
        if (about == nullptr) {
            std::printf("no about box\n");
            return 1;
        }
        // Found while it is being made: wait until it is shown.
        for (int i = 0; i < 50 && !IsWindowVisible(about); ++i)
            Sleep(100);
        std::string texts;
        for (HWND c = GetWindow(about, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT))
            texts += "[" + Utf8(Text(c)) + "]";
        std::printf("about: %s\n", texts.c_str());
        // Centred on the screen's work area, as the main window is.
        RECT r, work;
        GetWindowRect(about, &r);
        SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
        int dx = (r.left + r.right) / 2 - (work.left + work.right) / 2;
        int dy = (r.top + r.bottom) / 2 - (work.top + work.bottom) / 2;
        std::printf("about: centred %d (off by %d,%d)\n", dx * dx + dy * dy <= 8 ? 1 : 0, dx, dy);
        PostMessageW(about, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        for (int i = 0; i < 50 && IsWindow(about); ++i)
            Sleep(100);
        return IsWindow(about) ? 1 : 0;
    }
    if (act == "link-click") {
        RECT r;
        GetWindowRect(GetDlgItem(main, 1011), &r);
        MapWindowPoints(nullptr, main, reinterpret_cast<POINT *>(&r), 2);
        LPARAM at = MAKELPARAM((r.left + r.right) / 2, (r.top + r.bottom) / 2);
        return PostMessageW(main, WM_LBUTTONDOWN, MK_LBUTTON, at) &&
                       PostMessageW(main, WM_LBUTTONUP, 0, at)
                   ? 0
                   : 1;
    }
    if (act == "close")
        return PostMessageW(main, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0) ? 0 : 1;
    std::fprintf(stderr, "wdriver: unknown action %s\n", act.c_str());
    return 1;
}
