// The main window of the front end and the job runner behind its start
// button, as logic over a FrontSystem. The Windows program binds these
// handlers to the dialog's messages; the unit tests call them directly.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

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
extern const char *const MsgDriveGone;
extern const char *const MsgRunFailed;
extern const char *const MsgStickFilesFailed;
extern const char *const MsgVolumeIdFailed;

enum class BootMode { UsbHdd, UsbZip };

// Every non-overlapping occurrence of `what` in `text`, scanned from the
// left, replaced by `with`; the scan goes on behind the inserted text. A
// match starts only on a character boundary of the multi-byte code page
// (`isLead` tells a lead byte, whose next byte belongs to the same
// character). An empty `what` replaces nothing.
std::string ReplaceAll(const std::string &text, const std::string &what, const std::string &with,
                       const std::function<bool(unsigned char)> &isLead);

// A byte count for people: "512 MB", "7.5 GB".
std::string FormatSize(uint64_t bytes);
// The drive list's entry for a drive: its root path first, then its label
// and size when known.
std::string DriveListEntry(const std::string &root, const DriveInfo &info);
// The question asked before the drive is erased, naming it.
std::string ConfirmEraseText(const std::string &drive, const DriveInfo &info);

// The batch script of one run, made from a template: the drive, the work
// directory and the archive path put in, and every disk tool step made to
// keep its error message in `logPath` and to end the script with the
// step's number (1, 2, ...) as exit status when it fails. A script that
// gets to its end exits with 0.
struct BatchScript {
    std::string text;
    std::vector<std::string> steps;  // the disk tool's command lines, in order
};
BatchScript MakeBatchScript(const std::string &batchTemplate, const std::string &drive,
                            const std::string &dir, const std::string &archivePath,
                            const std::string &logPath,
                            const std::function<bool(unsigned char)> &isLead);

// The program part of a browser's registered command line, to which an
// address is appended. False when the value gives no program to run.
bool BrowserCommandPrefix(const std::string &value, unsigned type, std::string &prefix);

// Sets workDir from the system directory.
void PrepareWorkDir(FrontSystem &sys);
// Deletes the script, the two carried files and the step log from workDir.
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
    // Runs the file and waits for it; false when it could not be started
    // or its exit status cannot be had.
    bool RunAndWait(const std::string &file, int show, unsigned &status);
    // Writes the boot files the program carries for the stick's data
    // partition onto the volume at `root`, creating their directories.
    // A failure is shown; false then.
    bool WriteStickFiles(const std::string &root);
    // Gives the new volume at `root` a volume ID from the system's random
    // source, with the carried disk tool: a volume whose ID is 0 has no
    // UUID, and systems that look for their stick by UUID cannot find it.
    // A failure is shown; false then.
    bool SetVolumeId(const std::string &root);

    // Job state.
    std::string batchTemplate;
    std::string chosenDrive;
    uint8_t driveChosen = 0;
    int32_t awaitingReinsert = 0;
    LinkRect linkRect;

private:
    bool InsideLink(int x, int y) const;
    // The steps of a confirmed run, from the carried files to the eject
    // request.
    void Run(const std::string &drive);
    void ReportRunFailure(const BatchScript &script, unsigned status);
    FrontSystem &sys_;
};
