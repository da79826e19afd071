// The main window's handlers and the job runner. This file is compiled with
// the ANSI code page of the systems the program is made for (936) as its
// execution character set, so the user texts below are stored as the byte
// text the A-family Windows calls expect.
#include "qxtoolDlg.h"

#include <cctype>

#include "resource.h"

using namespace winval;

std::string workDir;

// The maker's sites. The build may set real addresses; the defaults lie in
// the reserved .example domain, so an unconfigured build never sends a user
// to somebody else's site. No visit counter is opened unless one is set.
#ifndef QXFRONT_HELP_SITE
#define QXFRONT_HELP_SITE "https://korvani.example/usage/"
#endif
#ifndef QXFRONT_COUNTER_PAGE
#define QXFRONT_COUNTER_PAGE ""
#endif
#ifndef QXFRONT_HOME_PAGE
#define QXFRONT_HOME_PAGE "korvani.example"
#endif
const char *const HelpSiteAddress = QXFRONT_HELP_SITE;
const char *const CounterPageAddress = QXFRONT_COUNTER_PAGE;
const char *const HomePageAddress = QXFRONT_HOME_PAGE;

const char *const MsgChooseDrive = "请选择可移动磁盘!";
const char *const MsgEjectDrive = "请弹出你的U盘!";
const char *const MsgReinsertDrive = "请重新插入你的U盘即可!";
const char *const MsgSuccess = "恭喜你,U盘系统制作成功!";
const char *const DriveListPlaceholder = "请选择可移动磁盘";

static const char *const ToolFile = "\\qxtool.exe";
static const char *const ArchiveFile = "\\edit1.6.qxa";
static const char *const ScriptFile = "\\command.bat";
static const char *const CarriedType = "EXE";

std::string ReplaceAll(const std::string &text, const std::string &what, const std::string &with,
                       const std::function<bool(unsigned char)> &isLead) {
    if (what.empty())
        return text;
    std::string out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        if (text.compare(i, what.size(), what) == 0) {
            out += with;
            i += what.size();
            continue;
        }
        // Step over one whole character, so that a match never begins on
        // the second byte of a two-byte character.
        size_t step = (isLead(static_cast<unsigned char>(text[i])) && i + 1 < text.size()) ? 2 : 1;
        out.append(text, i, step);
        i += step;
    }
    return out;
}

bool BrowserCommandPrefix(const std::string &value, unsigned type, std::string &prefix) {
    if (type != RegString && type != RegExpandString)
        return false;
    // The stored bytes need not end in a terminator; the text ends at the
    // first zero byte or at the end of the value.
    const std::string text = value.substr(0, value.find('\0'));
    size_t at = text.find(".exe");
    if (at == std::string::npos) {
        // Program paths written in capitals ("BROWSER.EXE") name a program
        // just as well.
        for (size_t i = 0; i + 4 <= text.size() && at == std::string::npos; ++i) {
            if (text[i] == '.' && std::tolower(static_cast<unsigned char>(text[i + 1])) == 'e' &&
                std::tolower(static_cast<unsigned char>(text[i + 2])) == 'x' &&
                std::tolower(static_cast<unsigned char>(text[i + 3])) == 'e')
                at = i;
        }
    }
    if (at == std::string::npos)
        return false;
    const size_t end = at + 4;
    if (end < text.size())
        // Keep the character after ".exe": the closing quotation mark of a
        // quoted path, or the space after a plain one.
        prefix = text.substr(0, end + 1);
    else
        // The command is the bare program path: a space keeps the address
        // apart from it.
        prefix = text + " ";
    return true;
}

void PrepareWorkDir(FrontSystem &sys) {
    // Room for any path the system gives; a longer one is fetched again
    // with the size the system asked for.
    std::string buf(261, '\0');
    for (int tries = 0; tries < 4; ++tries) {
        unsigned n = sys.GetSystemDir(&buf[0], static_cast<unsigned>(buf.size()));
        if (n == 0)
            return;
        if (n < buf.size()) {
            workDir.assign(buf.data(), n);
            return;
        }
        buf.assign(n, '\0');
    }
}

void RemoveCarriedFiles(FrontSystem &sys) {
    // Without a work directory nothing was written, and the names alone
    // would point at the current drive's root.
    if (workDir.empty())
        return;
    sys.RemoveFile(workDir + ScriptFile);
    sys.RemoveFile(workDir + ToolFile);
    sys.RemoveFile(workDir + ArchiveFile);
}

void MainDialog::OnInitDialog() {
    const std::string about = sys_.LoadText(IDS_ABOUTBOX);
    if (!about.empty())
        sys_.AddSystemMenuItem(IDM_ABOUTBOX, about);
    sys_.SetWindowIcons();
    awaitingReinsert = 0;
    linkRect = sys_.ControlRect(IDC_LINK);
    PrepareWorkDir(sys_);
    FillDriveList();
    driveChosen = 0;
    sys_.ProgressSetRange(0, 100);
    sys_.ProgressSetPos(0);
    sys_.SetChecked(IDC_MODE_HDD, true);
    sys_.SetChecked(IDC_MODE_ZIP, false);
    SelectTemplate(BootMode::UsbHdd);
}

bool MainDialog::OnAboutCommand(unsigned id, intptr_t) {
    if ((id & 0xFFF0) != IDM_ABOUTBOX)
        return false;
    sys_.ShowAbout();
    return true;
}

void MainDialog::FillDriveList() {
    // The drive strings: root paths, each ending in a zero byte, closed by
    // an empty one. Asked for again while drives come and go in between.
    std::string buf;
    unsigned need = sys_.GetDriveStrings(0, nullptr);
    for (int tries = 0; tries < 4 && need != 0; ++tries) {
        buf.assign(need, '\0');
        unsigned got = sys_.GetDriveStrings(need, &buf[0]);
        if (got < need) {
            buf.resize(got);
            break;
        }
        need = got;
        buf.clear();
    }
    sys_.DriveListReset();
    size_t pos = 0;
    while (pos < buf.size()) {
        size_t end = buf.find('\0', pos);
        if (end == std::string::npos)
            end = buf.size();
        if (end == pos)
            break;
        const std::string root = buf.substr(pos, end - pos);
        if (sys_.GetDriveKind(root.c_str()) == DriveRemovable)
            sys_.DriveListAdd(root);
        pos = end + 1;
    }
    sys_.DriveListSetEditText(DriveListPlaceholder);
}

void MainDialog::OnDriveSelected() {
    std::string text;
    // Only a real entry counts as a choice.
    if (!sys_.DriveListSelection(text) || text.empty())
        return;
    chosenDrive = text;
    driveChosen = 1;
}

void MainDialog::OnRefresh() {
    FillDriveList();
    driveChosen = 0;
}

void MainDialog::OnModeHdd() {
    if (sys_.IsChecked(IDC_MODE_ZIP))
        sys_.SetChecked(IDC_MODE_ZIP, false);
    SelectTemplate(BootMode::UsbHdd);
}

void MainDialog::OnModeZip() {
    if (sys_.IsChecked(IDC_MODE_HDD))
        sys_.SetChecked(IDC_MODE_HDD, false);
    SelectTemplate(BootMode::UsbZip);
}

bool MainDialog::InsideLink(int x, int y) const {
    return linkRect.left < x && x < linkRect.right && linkRect.top < y && y < linkRect.bottom;
}

void MainDialog::OnLinkMouseMove(unsigned, int x, int y) {
    if (InsideLink(x, y))
        sys_.SetHandCursor();
}

void MainDialog::OnLinkClick(unsigned flags, int x, int y) {
    if (InsideLink(x, y) && flags == LeftButtonOnly)
        sys_.ShellOpen(HelpSiteAddress, ShowNormal);
}

bool MainDialog::OnDeviceChange(unsigned event, uintptr_t) {
    // Events count only after a script run; any device's arrival is taken
    // as the drive coming back. Every notification is answered with true,
    // so no removal is ever refused.
    if (awaitingReinsert != 1)
        return true;
    if (event == DeviceArrival) {
        // Cleared before the notice, so that another arrival while the
        // notice is open is not reported again.
        awaitingReinsert = 0;
        SetProgress(100);
        ShowMessage(MsgSuccess);
        OpenInBrowser(CounterPageAddress, ShowHide);
        OpenInBrowser(HomePageAddress, ShowWindowed);
    } else if (event == DeviceRemoveComplete) {
        ShowMessage(MsgReinsertDrive);
    }
    return true;
}

void MainDialog::OpenInBrowser(const std::string &address, int show) {
    if (address.empty())
        return;
    std::string value;
    unsigned type = 0;
    if (!sys_.ReadBrowserCommand(value, type))
        return;
    std::string prefix;
    if (!BrowserCommandPrefix(value, type, prefix))
        return;
    sys_.RunCommandLine(prefix + address, show);
}

void MainDialog::SetProgress(int pos) { sys_.ProgressSetPos(pos); }

void MainDialog::ShowMessage(const std::string &text) { sys_.ShowBox(text); }

void MainDialog::SelectTemplate(BootMode mode) {
    batchTemplate = sys_.LoadText(mode == BootMode::UsbHdd ? IDS_TEMPLATE_HDD : IDS_TEMPLATE_ZIP);
}

bool MainDialog::ExtractResource(const std::string &path, unsigned id, const char *type) {
    // A carried file that is missing or only partly written would let the
    // script format the drive and then fail to fill it; the run stops here
    // instead, with the system's report, and no partial file is left.
    CarriedData res;
    if (!sys_.LoadCarried(id, type, res)) {
        sys_.ReportError(path);
        return false;
    }
    void *file = sys_.CreateAlways(path, false);
    bool ok = file != nullptr && sys_.WriteAll(file, res.data, res.size);
    if (!ok)
        sys_.ReportError(path);
    if (file != nullptr)
        sys_.CloseFile(file);
    if (file != nullptr && !ok)
        sys_.RemoveFile(path);
    sys_.FreeCarried(res);
    return ok;
}

bool MainDialog::RunAndWait(const std::string &file, int show) {
    void *process = nullptr;
    if (!sys_.ShellRun(file, "", show, process)) {
        sys_.ReportError(file);
        return false;
    }
    if (process != nullptr) {
        sys_.WaitProcess(process);
        sys_.CloseProcess(process);
    }
    return true;
}

void MainDialog::OnStart() {
    if (driveChosen != 1) {
        ShowMessage(MsgChooseDrive);
        return;
    }
    // A further run needs a new choice in the drive list.
    driveChosen = 0;
    if (workDir.empty())
        PrepareWorkDir(sys_);
    if (workDir.empty()) {
        // The system directory cannot be had (the report gives the system's
        // cause): writing the bare file names would put them at the current
        // drive's root.
        sys_.ReportError("");
        return;
    }

    if (!ExtractResource(workDir + ToolFile, IDR_TOOL_EXE, CarriedType))
        return;
    SetProgress(30);
    if (!ExtractResource(workDir + ArchiveFile, IDR_ARCHIVE, CarriedType))
        return;
    SetProgress(50);

    // "E:\" names the drive as "E:". The work directory goes in after the
    // drive, so a "G:" inside it is left alone, and the archive path last.
    const std::string drive = chosenDrive.substr(0, chosenDrive.size() - 1);
    auto lead = [this](unsigned char c) { return sys_.IsLeadByte(c); };
    std::string script = ReplaceAll(batchTemplate, "G:", drive, lead);
    script = ReplaceAll(script, "pathload", workDir, lead);
    script = ReplaceAll(script, "data.qxa", workDir + ArchiveFile, lead);

    const std::string scriptPath = workDir + ScriptFile;
    void *file = sys_.CreateAlways(scriptPath, true);
    if (file == nullptr) {
        sys_.ReportError(scriptPath);
        return;
    }
    if (!sys_.WriteAll(file, script.data(), script.size())) {
        sys_.ReportError(scriptPath);
        sys_.CloseFile(file);
        return;
    }
    sys_.CloseFile(file);
    SetProgress(60);

    if (!RunAndWait(scriptPath, ShowWindowed))
        return;
    awaitingReinsert = 1;
    SetProgress(90);
    ShowMessage(MsgEjectDrive);
}
