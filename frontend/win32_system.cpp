// rand_s, the C library's face of the system's random source, is declared
// only when asked for before the first header.
#define _CRT_RAND_S
#include "win32_system.h"

#include <stdlib.h>

#include <commctrl.h>
#include <dbt.h>
#include <shellapi.h>
#include <winioctl.h>

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

namespace {

// A text field of a storage descriptor: at `offset` in `buf`, zero-ended,
// without its padding spaces. Empty when there is none.
std::string DescriptorText(const std::vector<BYTE> &buf, DWORD got, DWORD offset) {
    if (offset == 0 || offset >= got)
        return std::string();
    std::string text;
    for (DWORD i = offset; i < got && buf[i] != 0; ++i)
        text += static_cast<char>(buf[i]);
    size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos)
        return std::string();
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

}  // namespace

bool Win32System::DescribeDrive(const std::string &root, DriveInfo &out) {
    if (GetDriveTypeA(root.c_str()) != DRIVE_REMOVABLE)
        return false;
    out = DriveInfo();
    char label[MAX_PATH + 1] = {};
    if (GetVolumeInformationA(root.c_str(), label, sizeof label, nullptr, nullptr, nullptr,
                              nullptr, 0))
        out.label = label;
    // The device behind the letter, opened for queries only: its size and
    // the vendor and product it reports.
    const std::string device = "\\\\.\\" + root.substr(0, 2);
    HANDLE h = CreateFileA(device.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        DISK_GEOMETRY_EX geo;
        DWORD got = 0;
        if (DeviceIoControl(h, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0, &geo, sizeof geo,
                            &got, nullptr) && geo.DiskSize.QuadPart > 0)
            out.size = static_cast<uint64_t>(geo.DiskSize.QuadPart);
        STORAGE_PROPERTY_QUERY query = {};
        query.PropertyId = StorageDeviceProperty;
        query.QueryType = PropertyStandardQuery;
        std::vector<BYTE> buf(1024);
        if (DeviceIoControl(h, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, buf.data(),
                            DWORD(buf.size()), &got, nullptr) &&
            got >= sizeof(STORAGE_DEVICE_DESCRIPTOR)) {
            auto *desc = reinterpret_cast<const STORAGE_DEVICE_DESCRIPTOR *>(buf.data());
            std::string vendor = DescriptorText(buf, got, desc->VendorIdOffset);
            std::string product = DescriptorText(buf, got, desc->ProductIdOffset);
            out.model = vendor.empty() ? product : product.empty() ? vendor : vendor + " " + product;
        }
        CloseHandle(h);
    }
    if (out.size == 0) {
        // The volume's size, when the device's cannot be had.
        ULARGE_INTEGER total;
        if (GetDiskFreeSpaceExA(root.c_str(), nullptr, &total, nullptr))
            out.size = total.QuadPart;
    }
    return true;
}

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

void *Win32System::CreateNew(const std::string &path) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
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

bool Win32System::MakeDirectory(const std::string &path) {
    if (CreateDirectoryA(path.c_str(), nullptr))
        return true;
    DWORD err = GetLastError();
    DWORD attr = GetFileAttributesA(path.c_str());
    if (attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY))
        return true;
    SetLastError(err);
    return false;
}

bool Win32System::ReadFileStart(const std::string &path, size_t limit, std::string &out) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    std::vector<char> buf(limit);
    DWORD got = 0;
    BOOL ok = ReadFile(h, buf.data(), DWORD(limit), &got, nullptr);
    CloseHandle(h);
    if (!ok)
        return false;
    out.assign(buf.data(), got);
    return true;
}

bool Win32System::WaitVolumeReady(const std::string &root) {
    // The arrival is announced when the volume is mounted; a slow stick may
    // still need a moment before its root can be read.
    for (int i = 0; i < 40; ++i) {
        if (GetVolumeInformationA(root.c_str(), nullptr, 0, nullptr, nullptr, nullptr, nullptr, 0))
            return true;
        Sleep(250);
    }
    return false;
}

std::string Win32System::LastErrorText() {
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
    return cause;
}

void Win32System::ReportError(const std::string &path) {
    std::string cause = LastErrorText();
    std::string msg = path.empty() ? cause : path + "\r\n" + cause;
    MessageBoxA(window, msg.c_str(), AppTitle().c_str(), MB_OK | MB_ICONSTOP);
}

bool Win32System::RandomNumber(uint32_t &out) {
    unsigned int value = 0;
    if (rand_s(&value) != 0)
        return false;
    out = value;
    return true;
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

bool Win32System::WaitProcess(void *process, unsigned &status) {
    // Messages sent to the window meanwhile (the system's device events)
    // are handled as they come, so none of them waits until after the run;
    // input and painting wait.
    HANDLE h = static_cast<HANDLE>(process);
    MSG msg;
    for (;;) {
        DWORD r = MsgWaitForMultipleObjects(1, &h, FALSE, INFINITE, QS_SENDMESSAGE);
        if (r == WAIT_OBJECT_0)
            break;
        if (r != WAIT_OBJECT_0 + 1)
            return false;
        PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    DWORD code = 0;
    if (!GetExitCodeProcess(h, &code))
        return false;
    status = code;
    return true;
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

uint32_t Win32System::ArrivedVolumes(uintptr_t eventData) {
    auto *hdr = reinterpret_cast<const DEV_BROADCAST_HDR *>(eventData);
    if (hdr == nullptr || hdr->dbch_devicetype != DBT_DEVTYP_VOLUME ||
        hdr->dbch_size < sizeof(DEV_BROADCAST_VOLUME))
        return 0;
    return reinterpret_cast<const DEV_BROADCAST_VOLUME *>(hdr)->dbcv_unitmask & 0x3FFFFFF;
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

void Win32System::ShowErrorBox(const std::string &text) {
    MessageBoxA(window, text.c_str(), AppTitle().c_str(), MB_OK | MB_ICONSTOP);
}

bool Win32System::AskConfirm(const std::string &text) {
    return MessageBoxA(window, text.c_str(), AppTitle().c_str(),
                       MB_OKCANCEL | MB_DEFBUTTON2 | MB_ICONWARNING) == IDOK;
}

namespace {

BOOL CALLBACK CancelOwnedBox(HWND h, LPARAM owner) {
    char cls[16] = {};
    if (h != reinterpret_cast<HWND>(owner) && GetWindow(h, GW_OWNER) == reinterpret_cast<HWND>(owner) &&
        GetClassNameA(h, cls, sizeof cls) && lstrcmpA(cls, "#32770") == 0)
        PostMessageA(h, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    return TRUE;
}

}  // namespace

void Win32System::CloseBoxes() {
    // Each box ends when its own message loop sees the command; boxes opened
    // one over the other unwind in turn. Cancel, so that a question is
    // never answered with yes.
    if (window != nullptr)
        EnumThreadWindows(GetCurrentThreadId(), CancelOwnedBox, reinterpret_cast<LPARAM>(window));
}
