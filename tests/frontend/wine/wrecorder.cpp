// Stands in for a web browser in the wine tests: appends the command line it
// was started with, as UTF-8, to recorder.log beside its own executable.
#include <windows.h>

#include <string>

int wmain() {
    wchar_t self[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring log(self, n);
    log = log.substr(0, log.find_last_of(L'\\') + 1) + L"recorder.log";
    const wchar_t *cmd = GetCommandLineW();
    int len = WideCharToMultiByte(CP_UTF8, 0, cmd, -1, nullptr, 0, nullptr, nullptr);
    std::string text(len > 0 ? size_t(len) : 1, '\0');
    WideCharToMultiByte(CP_UTF8, 0, cmd, -1, &text[0], len, nullptr, nullptr);
    text.back() = '\n';
    HANDLE h = CreateFileW(log.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return 1;
    DWORD written = 0;
    BOOL ok = WriteFile(h, text.data(), DWORD(text.size()), &written, nullptr);
    CloseHandle(h);
    return ok && written == text.size() ? 0 : 1;
}
