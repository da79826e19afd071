#include "win32_system.h"

#include <commctrl.h>
#include <shellapi.h>

#include <vector>

#include "resource.h"

Win32System::Win32System(HINSTANCE inst)
    : instance(inst), appIcon(LoadIconA(inst, MAKEINTRESOURCEA(IDR_MAINFRAME))) {}

std::string Win32System::AppTitle() {
    if (title_.empty()) {
        char path[MAX_PATH + 1] = {};
        DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
        std::string name(path, n < MAX_PATH ? n : MAX_PATH);
        size_t slash = name.find_last_of("\\/");
        if (slash != std::string::npos)
            name.erase(0, slash + 1);
        size_t dot = name.rfind('.');
        if (dot != std::string::npos && dot > 0)
            name.erase(dot);
        title_ = name;
    }
    return title_;
}

unsigned Win32System::GetSystemDir(char *buf, unsigned size) {
    return GetSystemDirectoryA(buf, size);
}

unsigned Win32System::GetDriveStrings(unsigned size, char *buf) {
    return GetLogicalDriveStringsA(size, buf);
}

unsigned Win32System::GetDriveKind(const char *root) { return GetDriveTypeA(root); }

std::string Win32System::LoadText(unsigned id) {
    // LoadStringA cuts a string to the buffer: ask again with more room
    // while the result fills it.
    for (int room = 1024; room <= 65536; room *= 4) {
        std::vector<char> buf(room);
        int n = LoadStringA(instance, id, buf.data(), room);
        if (n <= 0)
            return std::string();
        if (n < room - 1)
            return std::string(buf.data(), n);
    }
    return std::string();
}

bool Win32System::IsLeadByte(unsigned char c) { return IsDBCSLeadByte(c) != FALSE; }

bool Win32System::LoadCarried(unsigned id, const char *type, CarriedData &out) {
    HRSRC found = FindResourceA(instance, MAKEINTRESOURCEA(id), type);
    if (found == nullptr)
        return false;
    HGLOBAL loaded = LoadResource(instance, found);
    if (loaded == nullptr)
        return false;
    const void *data = LockResource(loaded);
    if (data == nullptr) {
        FreeResource(loaded);
        return false;
    }
    out.data = data;
    out.size = SizeofResource(instance, found);
    out.handle = loaded;
    return true;
}

void Win32System::FreeCarried(CarriedData &res) {
    if (res.handle != nullptr)
        FreeResource(static_cast<HGLOBAL>(res.handle));
    res = CarriedData();
}

void *Win32System::CreateAlways(const std::string &path, bool readWrite) {
    DWORD access = readWrite ? (GENERIC_READ | GENERIC_WRITE) : GENERIC_WRITE;
    HANDLE h = CreateFileA(path.c_str(), access, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
    return h == INVALID_HANDLE_VALUE ? nullptr : h;
}

bool Win32System::WriteAll(void *file, const void *data, size_t size) {
    if (size > MAXDWORD) {
        SetLastError(ERROR_FILE_TOO_LARGE);
        return false;
    }
    DWORD written = 0;
    if (!WriteFile(static_cast<HANDLE>(file), data, static_cast<DWORD>(size), &written, nullptr))
        return false;
    if (written != size) {
        SetLastError(ERROR_DISK_FULL);
        return false;
    }
    return true;
}

void Win32System::CloseFile(void *file) { CloseHandle(static_cast<HANDLE>(file)); }

void Win32System::RemoveFile(const std::string &path) { DeleteFileA(path.c_str()); }

void Win32System::ReportError(const std::string &path) {
    DWORD err = GetLastError();
    char *text = nullptr;
    DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                 FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, err, 0, reinterpret_cast<char *>(&text), 0, nullptr);
    std::string cause;
    if (n != 0 && text != nullptr) {
        cause.assign(text, n);
        while (!cause.empty() && (cause.back() == '\r' || cause.back() == '\n'))
            cause.pop_back();
    } else {
        char num[32];
        wsprintfA(num, "%lu", static_cast<unsigned long>(err));
        cause = num;
    }
    if (text != nullptr)
        LocalFree(text);
    std::string msg = path.empty() ? cause : path + "\r\n" + cause;
    MessageBoxA(window, msg.c_str(), AppTitle().c_str(), MB_OK | MB_ICONSTOP);
}

bool Win32System::ShellRun(const std::string &file, const std::string &params, int show,
                           void *&process) {
    SHELLEXECUTEINFOA sei;
    ZeroMemory(&sei, sizeof(sei));
    sei.cbSize = sizeof(sei);
    sei.fMask = SEE_MASK_NOCLOSEPROCESS;
    sei.hwnd = nullptr;
    sei.lpVerb = nullptr;
    sei.lpFile = file.c_str();
    sei.lpParameters = params.c_str();
    sei.lpDirectory = nullptr;
    sei.nShow = show;
    if (!ShellExecuteExA(&sei))
        return false;
    process = sei.hProcess;
    return true;
}

void Win32System::WaitProcess(void *process) {
    WaitForSingleObject(static_cast<HANDLE>(process), INFINITE);
}

void Win32System::CloseProcess(void *process) { CloseHandle(static_cast<HANDLE>(process)); }

void Win32System::ShellOpen(const std::string &file, int show) {
    ShellExecuteA(nullptr, nullptr, file.c_str(), nullptr, nullptr, show);
}

void Win32System::RunCommandLine(const std::string &cmdline, int show) {
    WinExec(cmdline.c_str(), static_cast<UINT>(show));
}

bool Win32System::ReadBrowserCommand(std::string &data, unsigned &type) {
    HKEY root = nullptr;
    if (RegOpenKeyA(HKEY_CLASSES_ROOT, nullptr, &root) != ERROR_SUCCESS)
        return false;
    // Reading needs no more than read access; asking for more fails for
    // users without administrator rights.
    HKEY key = nullptr;
    LONG r = RegOpenKeyExA(root, "htmlfile\\shell\\open\\command", 0, KEY_READ, &key);
    RegCloseKey(root);
    if (r != ERROR_SUCCESS)
        return false;
    // Buffers as large as the key's longest value name and value.
    DWORD maxName = 0, maxData = 0;
    bool ok = false;
    if (RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                         &maxName, &maxData, nullptr, nullptr) == ERROR_SUCCESS) {
        std::vector<char> name(maxName + 1);
        std::vector<BYTE> value(maxData + 1);
        DWORD nameLen = maxName + 1, dataLen = maxData + 1, valueType = 0;
        if (RegEnumValueA(key, 0, name.data(), &nameLen, nullptr, &valueType, value.data(),
                          &dataLen) == ERROR_SUCCESS) {
            data.assign(reinterpret_cast<const char *>(value.data()), dataLen);
            type = valueType;
            ok = true;
        }
    }
    RegCloseKey(key);
    return ok;
}

void Win32System::AddSystemMenuItem(unsigned cmd, const std::string &text) {
    HMENU menu = GetSystemMenu(window, FALSE);
    if (menu == nullptr)
        return;
    AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuA(menu, MF_STRING, cmd, text.c_str());
}

void Win32System::SetWindowIcons() {
    SendMessageA(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(appIcon));
    SendMessageA(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(appIcon));
}

LinkRect Win32System::ControlRect(int id) {
    RECT r = {0, 0, 0, 0};
    GetWindowRect(GetDlgItem(window, id), &r);
    POINT tl = {r.left, r.top}, br = {r.right, r.bottom};
    ScreenToClient(window, &tl);
    ScreenToClient(window, &br);
    LinkRect out;
    out.left = tl.x;
    out.top = tl.y;
    out.right = br.x;
    out.bottom = br.y;
    return out;
}

void Win32System::DriveListReset() {
    SendDlgItemMessageA(window, IDC_DRIVE_LIST, CB_RESETCONTENT, 0, 0);
}

void Win32System::DriveListAdd(const std::string &text) {
    SendDlgItemMessageA(window, IDC_DRIVE_LIST, CB_ADDSTRING, 0,
                        reinterpret_cast<LPARAM>(text.c_str()));
}

bool Win32System::DriveListSelection(std::string &text) {
    LRESULT sel = SendDlgItemMessageA(window, IDC_DRIVE_LIST, CB_GETCURSEL, 0, 0);
    if (sel == CB_ERR)
        return false;
    LRESULT len = SendDlgItemMessageA(window, IDC_DRIVE_LIST, CB_GETLBTEXTLEN, sel, 0);
    if (len == CB_ERR)
        return false;
    std::vector<char> buf(static_cast<size_t>(len) + 1);
    LRESULT got = SendDlgItemMessageA(window, IDC_DRIVE_LIST, CB_GETLBTEXT, sel,
                                      reinterpret_cast<LPARAM>(buf.data()));
    if (got == CB_ERR)
        return false;
    text.assign(buf.data(), static_cast<size_t>(got) <= static_cast<size_t>(len) ? got : len);
    return true;
}

void Win32System::DriveListSetEditText(const std::string &text) {
    SetDlgItemTextA(window, IDC_DRIVE_LIST, text.c_str());
}

void Win32System::ProgressSetRange(int low, int high) {
    SendDlgItemMessageA(window, IDC_PROGRESS, PBM_SETRANGE, 0, MAKELPARAM(low, high));
}

void Win32System::ProgressSetPos(int pos) {
    SendDlgItemMessageA(window, IDC_PROGRESS, PBM_SETPOS, static_cast<WPARAM>(pos), 0);
}

bool Win32System::IsChecked(int id) { return IsDlgButtonChecked(window, id) == BST_CHECKED; }

void Win32System::SetChecked(int id, bool checked) {
    CheckDlgButton(window, id, checked ? BST_CHECKED : BST_UNCHECKED);
}

void Win32System::SetHandCursor() {
    SetCursor(LoadCursorA(instance, MAKEINTRESOURCEA(IDR_HAND_CURSOR)));
}

void Win32System::ShowBox(const std::string &text) {
    MessageBoxA(window, text.c_str(), AppTitle().c_str(), MB_OK);
}
