// The front end's FrontSystem made of Win32 calls on the real dialog.
#pragma once

#include <windows.h>

#include <string>

#include "frontsys.h"

class Win32System : public FrontSystem {
public:
    explicit Win32System(HINSTANCE instance);

    HINSTANCE instance;
    HWND window = nullptr;  // the main window while it is open
    HICON appIcon;          // icon group 128

    // The program's executable file name without directory and extension:
    // the title of every message box.
    std::string AppTitle();

    unsigned GetSystemDir(char *buf, unsigned size) override;
    unsigned GetDriveStrings(unsigned size, char *buf) override;
    unsigned GetDriveKind(const char *root) override;
    bool DescribeDrive(const std::string &root, DriveInfo &out) override;
    std::string LoadText(unsigned id) override;
    bool IsLeadByte(unsigned char c) override;

    bool LoadCarried(unsigned id, const char *type, CarriedData &out) override;
    void FreeCarried(CarriedData &res) override;
    void *CreateAlways(const std::string &path, bool readWrite) override;
    void *CreateNew(const std::string &path) override;
    bool WriteAll(void *file, const void *data, size_t size) override;
    void CloseFile(void *file) override;
    void RemoveFile(const std::string &path) override;
    bool MakeDirectory(const std::string &path) override;
    bool ReadFileStart(const std::string &path, size_t limit, std::string &out) override;
    bool WaitVolumeReady(const std::string &root) override;
    void ReportError(const std::string &path) override;
    std::string LastErrorText() override;
    bool RandomNumber(uint32_t &out) override;

    bool ShellRun(const std::string &file, const std::string &params, int show,
                  void *&process) override;
    bool WaitProcess(void *process, unsigned &status) override;
    void CloseProcess(void *process) override;
    void ShellOpen(const std::string &file, int show) override;
    void RunCommandLine(const std::string &cmdline, int show) override;
    bool ReadBrowserCommand(std::string &data, unsigned &type) override;
    uint32_t ArrivedVolumes(uintptr_t eventData) override;

    void ShowMainWindow(MainDialog &dlg) override;
    void AddSystemMenuItem(unsigned cmd, const std::string &text) override;
    void SetWindowIcons() override;
    LinkRect ControlRect(int id) override;
    void DriveListReset() override;
    void DriveListAdd(const std::string &text) override;
    bool DriveListSelection(std::string &text) override;
    void DriveListSetEditText(const std::string &text) override;
    void ProgressSetRange(int low, int high) override;
    void ProgressSetPos(int pos) override;
    bool IsChecked(int id) override;
    void SetChecked(int id, bool checked) override;
    void SetHandCursor() override;
    void ShowBox(const std::string &text) override;
    void ShowErrorBox(const std::string &text) override;
    bool AskConfirm(const std::string &text) override;
    void CloseBoxes() override;
    void ShowAbout() override;

private:
    std::string title_;
};
