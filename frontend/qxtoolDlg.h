// The main window of the front end and the job runner behind its start
// button, as logic over a FrontSystem. The Windows program binds these
// handlers to the dialog's messages; the unit tests call them directly.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "frontsys.h"

// The directory the carried files and the script are written to: the
// Windows system directory without a trailing backslash. Process-wide,
// because the application object deletes the files after the main window
// has gone. Empty until the main window opens.
extern std::string workDir;

// Web addresses the front end opens.
extern const char *const HelpSiteAddress;     // the link text: scheme and host
extern const char *const CounterPageAddress;  // after success, hidden; empty: none
extern const char *const HomePageAddress;     // after success, shown; bare host

// User texts, in the ANSI code page the program is built for.
extern const char *const MsgChooseDrive;
extern const char *const MsgEjectDrive;
extern const char *const MsgReinsertDrive;
extern const char *const MsgSuccess;
extern const char *const DriveListPlaceholder;

enum class BootMode { UsbHdd, UsbZip };

// Every non-overlapping occurrence of `what` in `text`, scanned from the
// left, replaced by `with`; the scan goes on behind the inserted text. A
// match starts only on a character boundary of the multi-byte code page
// (`isLead` tells a lead byte, whose next byte belongs to the same
// character). An empty `what` replaces nothing.
std::string ReplaceAll(const std::string &text, const std::string &what, const std::string &with,
                       const std::function<bool(unsigned char)> &isLead);

// The program part of a browser's registered command line, to which an
// address is appended. False when the value gives no program to run.
bool BrowserCommandPrefix(const std::string &value, unsigned type, std::string &prefix);

// Sets workDir from the system directory.
void PrepareWorkDir(FrontSystem &sys);
// Deletes the script and the two carried files from workDir.
void RemoveCarriedFiles(FrontSystem &sys);

class MainDialog {
public:
    explicit MainDialog(FrontSystem &sys) : sys_(sys) {}

    // Handlers of the window's events.
    void OnInitDialog();
    bool OnAboutCommand(unsigned id, intptr_t param);  // true: handled
    void OnDriveSelected();
    void OnStart();
    void OnRefresh();
    void OnLinkMouseMove(unsigned flags, int x, int y);
    void OnLinkClick(unsigned flags, int x, int y);
    void OnModeHdd();
    void OnModeZip();
    bool OnDeviceChange(unsigned event, uintptr_t data);

    void FillDriveList();
    void OpenInBrowser(const std::string &address, int show);
    void SetProgress(int pos);
    void ShowMessage(const std::string &text);

    // The job runner.
    void SelectTemplate(BootMode mode);
    bool ExtractResource(const std::string &path, unsigned id, const char *type);
    bool RunAndWait(const std::string &file, int show);

    // Job state.
    std::string batchTemplate;
    std::string chosenDrive;
    uint8_t driveChosen = 0;
    int32_t awaitingReinsert = 0;
    LinkRect linkRect;

private:
    bool InsideLink(int x, int y) const;
    FrontSystem &sys_;
};
