// The narrow window between the front end's logic and the system it runs
// on. The main window's handlers and the job runner only ever talk to a
// FrontSystem: the Windows program hands them one made of Win32 calls on the
// real dialog, the unit tests hand them a fake that records what was asked.
//
// Text is byte text in the system's ANSI code page throughout.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The few Windows values the logic needs, with the values of the Windows
// names in the comments, so that the logic builds on any host.
namespace winval {
constexpr unsigned DriveRemovable = 2;              // DRIVE_REMOVABLE
constexpr int ShowHide = 0;                         // SW_HIDE
constexpr int ShowNormal = 1;                       // SW_SHOWNORMAL
constexpr int ShowWindowed = 5;                     // SW_SHOW
constexpr unsigned DeviceArrival = 0x8000;          // DBT_DEVICEARRIVAL
constexpr unsigned DeviceRemoveComplete = 0x8004;   // DBT_DEVICEREMOVECOMPLETE
constexpr unsigned LeftButtonOnly = 0x0001;         // MK_LBUTTON
constexpr unsigned RegString = 1;                   // REG_SZ
constexpr unsigned RegExpandString = 2;             // REG_EXPAND_SZ
}  // namespace winval

// A rectangle in the main window's client coordinates.
struct LinkRect {
    int32_t left = 0, top = 0, right = 0, bottom = 0;
};

// One carried resource, loaded and locked: its bytes stay valid until it is
// given back with FreeCarried.
struct CarriedData {
    const void *data = nullptr;
    size_t size = 0;
    void *handle = nullptr;
};

// What the system tells about a drive: shown in the drive list and named
// in the confirmation before the drive is erased.
struct DriveInfo {
    std::string label;  // the volume label; empty when it has none or cannot be read
    uint64_t size = 0;  // bytes; 0 when not known
    std::string model;  // the device's vendor and product; empty when not given
};

class MainDialog;

class FrontSystem {
public:
    virtual ~FrontSystem() = default;

    // --- the system ---------------------------------------------------------
    // Same contract as GetSystemDirectoryA: the length copied (without the
    // terminator) when it fits, the size needed (with it) when it does not,
    // 0 on failure.
    virtual unsigned GetSystemDir(char *buf, unsigned size) = 0;
    // Same contract as GetLogicalDriveStringsA.
    virtual unsigned GetDriveStrings(unsigned size, char *buf) = 0;
    virtual unsigned GetDriveKind(const char *root) = 0;
    // Label, size and model of the drive at `root`, as far as the system
    // gives them. False when the drive is no longer a removable drive.
    virtual bool DescribeDrive(const std::string &root, DriveInfo &out) = 0;
    // A string of the program's own string table; empty when it is missing.
    virtual std::string LoadText(unsigned id) = 0;
    // Whether `c` is the lead byte of a two-byte character in the ANSI code
    // page.
    virtual bool IsLeadByte(unsigned char c) = 0;

    // --- carried resources and files ----------------------------------------
    // Finds, loads and locks resource `id` of type name `type` in the
    // program's own executable. False when it is not there.
    virtual bool LoadCarried(unsigned id, const char *type, CarriedData &out) = 0;
    virtual void FreeCarried(CarriedData &res) = 0;
    // Creates `path` or truncates it (readWrite: opened for reading and
    // writing, else for writing only, not shared); nullptr on failure.
    virtual void *CreateAlways(const std::string &path, bool readWrite) = 0;
    // Creates `path` for writing only when no file of that name exists;
    // nullptr on failure.
    virtual void *CreateNew(const std::string &path) = 0;
    // One write of `size` bytes; true only when all of them were written.
    virtual bool WriteAll(void *file, const void *data, size_t size) = 0;
    virtual void CloseFile(void *file) = 0;
    virtual void RemoveFile(const std::string &path) = 0;
    // Creates one directory; true when it exists afterwards.
    virtual bool MakeDirectory(const std::string &path) = 0;
    // Up to `limit` bytes from the start of a file; false when it cannot be
    // read.
    virtual bool ReadFileStart(const std::string &path, size_t limit, std::string &out) = 0;
    // Waits a while for the volume at `root` to become readable after it
    // has arrived; false when it does not.
    virtual bool WaitVolumeReady(const std::string &root) = 0;
    // The system's error report for the last failed operation: a message
    // box with a stop icon naming `path` (when not empty) and the cause.
    virtual void ReportError(const std::string &path) = 0;
    // The system's text for the last failed operation's cause.
    virtual std::string LastErrorText() = 0;
    // A number from the system's random source; false when it gives none.
    virtual bool RandomNumber(uint32_t &out) = 0;

    // --- processes ------------------------------------------------------------
    // Runs `file` through the shell's default action with the given
    // parameters and show state. False when it could not be started; on
    // success `process` is the process handle, or nullptr when the shell
    // gave none.
    virtual bool ShellRun(const std::string &file, const std::string &params, int show,
                          void *&process) = 0;
    // Waits until the process has ended and gives its exit status; false
    // when the status cannot be had. Device events that arrive meanwhile
    // are handled while it waits (the window's other input is not), and
    // every one of them has been handled when it returns.
    virtual bool WaitProcess(void *process, unsigned &status) = 0;
    virtual void CloseProcess(void *process) = 0;
    // Opens a document or address with its registered program.
    virtual void ShellOpen(const std::string &file, int show) = 0;
    virtual void RunCommandLine(const std::string &cmdline, int show) = 0;
    // The first value of HKEY_CLASSES_ROOT\htmlfile\shell\open\command, whole:
    // its bytes and its registry type. False when the key cannot be opened or
    // holds no value.
    virtual bool ReadBrowserCommand(std::string &data, unsigned &type) = 0;
    // The drive letters (bit 0 for A:) of the volumes a device-arrival event
    // names; 0 when it names none.
    virtual uint32_t ArrivedVolumes(uintptr_t eventData) = 0;

    // --- the main window and its controls -------------------------------------
    // Shows the main window as a modal dialog driven by `dlg`'s handlers;
    // returns when it has closed.
    virtual void ShowMainWindow(MainDialog &dlg) = 0;
    // Appends a separator and a string item to the window's system menu, if
    // it has one.
    virtual void AddSystemMenuItem(unsigned cmd, const std::string &text) = 0;
    virtual void SetWindowIcons() = 0;
    // The rectangle of control `id` in the main window's client coordinates.
    virtual LinkRect ControlRect(int id) = 0;
    virtual void DriveListReset() = 0;
    virtual void DriveListAdd(const std::string &text) = 0;
    // The text of the entry at the current selection; false with none.
    virtual bool DriveListSelection(std::string &text) = 0;
    virtual void DriveListSetEditText(const std::string &text) = 0;
    virtual void ProgressSetRange(int low, int high) = 0;
    virtual void ProgressSetPos(int pos) = 0;
    virtual bool IsChecked(int id) = 0;
    virtual void SetChecked(int id, bool checked) = 0;
    virtual void SetHandCursor() = 0;
    // A modal box owned by the main window: OK only, no icon, titled with the
    // application's title.
    virtual void ShowBox(const std::string &text) = 0;
    // A modal box owned by the main window with a stop icon and OK only:
    // a failure.
    virtual void ShowErrorBox(const std::string &text) = 0;
    // A modal question owned by the main window: OK and Cancel, Cancel the
    // default button, a warning icon. True only for OK.
    virtual bool AskConfirm(const std::string &text) = 0;
    // Closes every message box the main window has open (as Cancel would).
    virtual void CloseBoxes() = 0;
    virtual void ShowAbout() = 0;
};
