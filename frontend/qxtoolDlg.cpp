// The main window's handlers and the job runner. This file is compiled with
// the ANSI code page of the systems the program is made for (936) as its
// execution character set, so the user texts below are stored as the byte
// text the A-family Windows calls expect.
#include "qxtoolDlg.h"

#include <cctype>
#include <cstdio>

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
const char *const MsgDriveGone = "找不到所选的U盘,请刷新列表后重新选择!";
const char *const MsgRunFailed = "U盘系统制作失败!";
const char *const MsgStickFilesFailed = "UEFI启动文件写入U盘失败!";
const char *const MsgVolumeIdFailed =
    "U盘卷序列号写入失败!\r\nU盘的卷序列号仍为0,UEFI启动文件未写入。";

static const char *const ToolFile = "\\qxtool.exe";
static const char *const ArchiveFile = "\\edit1.6.qxa";
static const char *const ScriptFile = "\\command.bat";
static const char *const StepLogFile = "\\qxtool.log";
static const char *const CommandInterpreter = "\\cmd.exe";
static const char *const CarriedType = "EXE";
static const char *const StickType = "STICK";
// The disk tool's error message is one line; a little more is kept in case
// the system adds its own.
static const size_t StepLogLimit = 4096;

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

std::string FormatSize(uint64_t bytes) {
    char buf[32];
    const uint64_t mb = uint64_t(1) << 20, gb = uint64_t(1) << 30;
    if (bytes < gb)
        std::snprintf(buf, sizeof buf, "%llu MB", static_cast<unsigned long long>(bytes / mb));
    else
        std::snprintf(buf, sizeof buf, "%.1f GB", double(bytes) / double(gb));
    return buf;
}

std::string DriveListEntry(const std::string &root, const DriveInfo &info) {
    std::string entry = root;
    if (!info.label.empty())
        entry += " " + info.label;
    if (info.size != 0)
        entry += " (" + FormatSize(info.size) + ")";
    return entry;
}

std::string ConfirmEraseText(const std::string &drive, const DriveInfo &info) {
    std::string text = "即将清除以下U盘上的全部数据:\r\n\r\n盘符: " + drive + "\r\n卷标: ";
    text += info.label.empty() ? std::string("(无)") : info.label;
    text += "\r\n容量: ";
    text += info.size != 0 ? FormatSize(info.size) : std::string("(未知)");
    if (!info.model.empty())
        text += "\r\n型号: " + info.model;
    text += "\r\n\r\n确定要继续吗?";
    return text;
}

BatchScript MakeBatchScript(const std::string &batchTemplate, const std::string &drive,
                            const std::string &dir, const std::string &archivePath,
                            const std::string &logPath,
                            const std::function<bool(unsigned char)> &isLead) {
    // The drive goes in first, so a "G:" inside the work directory is left
    // alone, and the archive path last.
    std::string text = ReplaceAll(batchTemplate, "G:", drive, isLead);
    text = ReplaceAll(text, "pathload", dir, isLead);
    text = ReplaceAll(text, "data.qxa", archivePath, isLead);

    // Every line that runs the disk tool keeps its message and stops the
    // script with the step's number when it fails.
    BatchScript script;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t end = text.find("\r\n", pos);
        const bool last = end == std::string::npos;
        if (last)
            end = text.size();
        const std::string line = text.substr(pos, end - pos);
        script.text += line;
        if (line.compare(0, 7, "qxtool ") == 0) {
            script.steps.push_back(line);
            script.text += " 2>\"" + logPath + "\"\r\nif errorlevel 1 exit " +
                           std::to_string(script.steps.size());
        }
        script.text += "\r\n";
        if (last)
            break;
        pos = end + 2;
    }
    script.text += "exit 0";
    return script;
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
    sys.RemoveFile(workDir + StepLogFile);
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
        DriveInfo info;
        if (sys_.GetDriveKind(root.c_str()) == DriveRemovable && sys_.DescribeDrive(root, info))
            sys_.DriveListAdd(DriveListEntry(root, info));
        pos = end + 1;
    }
    sys_.DriveListSetEditText(DriveListPlaceholder);
}

void MainDialog::OnDriveSelected() {
    std::string text;
    // Only a real entry counts as a choice: it begins with the drive's
    // root path, letter, colon and backslash.
    if (!sys_.DriveListSelection(text) || text.size() < 3 || text[1] != ':' || text[2] != '\\')
        return;
    chosenDrive = text.substr(0, 3);
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

bool MainDialog::OnDeviceChange(unsigned event, uintptr_t data) {
    // Events count only after a script run that succeeded, never while one
    // runs (those are the drive being formatted: a run clears the flag when
    // it starts); any device's arrival is taken as the drive coming back.
    // Every notification is answered with true, so no removal is ever
    // refused.
    if (awaitingReinsert != 1)
        return true;
    if (event == DeviceArrival) {
        // Cleared before anything is shown, so that another arrival
        // meanwhile is not taken again.
        awaitingReinsert = 0;
        // The eject and re-insert requests have been answered.
        sys_.CloseBoxes();
        // The stick's new volume: the chosen drive, or the letter the
        // system gave it this time.
        std::string root = chosenDrive;
        const uint32_t letters = sys_.ArrivedVolumes(data);
        const int chosen = chosenDrive.empty() ? -1 : std::toupper(static_cast<unsigned char>(chosenDrive[0])) - 'A';
        if (letters != 0 && !(chosen >= 0 && chosen < 26 && (letters >> chosen & 1))) {
            int i = 0;
            while (!(letters >> i & 1))
                ++i;
            root = std::string(1, char('A' + i)) + ":\\";
        }
        if (!SetVolumeId(root) || !WriteStickFiles(root))
            return true;
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

bool MainDialog::WriteStickFiles(const std::string &root) {
    CarriedData list;
    if (!sys_.LoadCarried(IDR_STICK_LIST, StickType, list))
        return true;  // this build carries none
    std::vector<std::string> paths;
    const char *p = static_cast<const char *>(list.data);
    std::string all(p, p + list.size);
    sys_.FreeCarried(list);
    size_t pos = 0;
    while (pos < all.size()) {
        size_t end = all.find('\n', pos);
        if (end == std::string::npos)
            end = all.size();
        std::string path = all.substr(pos, end - pos);
        if (!path.empty() && path.back() == '\r')
            path.pop_back();
        if (!path.empty())
            paths.push_back(path);
        pos = end + 1;
    }
    if (paths.empty())
        return true;

    auto fail = [&](const std::string &what) {
        sys_.ShowErrorBox(std::string(MsgStickFilesFailed) + "\r\n" + what + "\r\n" + sys_.LastErrorText());
        return false;
    };
    if (!sys_.WaitVolumeReady(root))
        return fail(root);
    for (size_t i = 0; i < paths.size(); ++i) {
        // Stored with '/' separators; a path that climbs out of the volume
        // is refused.
        std::string rel = paths[i];
        for (char &c : rel)
            if (c == '/')
                c = '\\';
        if (rel[0] == '\\' || rel.find(':') != std::string::npos || ("\\" + rel + "\\").find("\\..\\") != std::string::npos)
            return fail(paths[i]);
        const std::string target = root + rel;
        for (size_t sep = rel.find('\\'); sep != std::string::npos; sep = rel.find('\\', sep + 1))
            if (!sys_.MakeDirectory(root + rel.substr(0, sep)))
                return fail(root + rel.substr(0, sep));
        CarriedData res;
        if (!sys_.LoadCarried(unsigned(IDR_STICK_FIRST + i), StickType, res))
            return fail(target);
        // The stick was formatted by this run, so nothing is there yet; a
        // file that is there belongs to another drive and is kept.
        void *file = sys_.CreateNew(target);
        bool ok = file != nullptr && sys_.WriteAll(file, res.data, res.size);
        const std::string cause = ok ? std::string() : sys_.LastErrorText();
        if (file != nullptr)
            sys_.CloseFile(file);
        sys_.FreeCarried(res);
        if (!ok) {
            sys_.ShowErrorBox(std::string(MsgStickFilesFailed) + "\r\n" + target + "\r\n" + cause);
            return false;
        }
        SetProgress(90 + int(9 * (i + 1) / paths.size()));
    }
    return true;
}

bool MainDialog::SetVolumeId(const std::string &root) {
    // "E:\" names the drive as "E:".
    const std::string drive = root.substr(0, 2);
    std::string step = "qxtool " + drive + " volume-id";
    auto fail = [&](const std::string &why) {
        sys_.ShowErrorBox(std::string(MsgVolumeIdFailed) + "\r\n\r\n" + step + (why.empty() ? "" : "\r\n" + why));
        return false;
    };
    // ID 0 is no ID at all: it is drawn again.
    uint32_t id = 0;
    for (int tries = 0; tries < 4 && id == 0; ++tries)
        if (!sys_.RandomNumber(id))
            return fail(sys_.LastErrorText());
    if (id == 0)
        return fail("");
    char number[16];
    std::snprintf(number, sizeof number, "0x%08X", static_cast<unsigned>(id));
    step += std::string(" ") + number;

    // Through the command interpreter, so that the disk tool's message is
    // kept in the step log as the script's steps keep theirs.
    const std::string log = workDir + StepLogFile;
    sys_.RemoveFile(log);
    const std::string params = "/c \"\"" + workDir + ToolFile + "\" " + drive + " volume-id " + number +
                               " 2>\"" + log + "\"\"";
    void *process = nullptr;
    if (!sys_.ShellRun(workDir + CommandInterpreter, params, ShowHide, process))
        return fail(sys_.LastErrorText());
    if (process == nullptr)
        return fail("");
    unsigned status = 0;
    const bool waited = sys_.WaitProcess(process, status);
    const std::string cause = waited ? std::string() : sys_.LastErrorText();
    sys_.CloseProcess(process);
    if (!waited)
        return fail(cause);
    if (status != 0) {
        std::string message;
        if (sys_.ReadFileStart(log, StepLogLimit, message))
            while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' '))
                message.pop_back();
        if (message.empty()) {
            char buf[48];
            std::snprintf(buf, sizeof buf, "(exit status 0x%X)", status);
            message = buf;
        }
        return fail(message);
    }
    return true;
}

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

bool MainDialog::RunAndWait(const std::string &file, int show, unsigned &status) {
    void *process = nullptr;
    if (!sys_.ShellRun(file, "", show, process)) {
        sys_.ReportError(file);
        return false;
    }
    if (process == nullptr) {
        // Nothing to wait for, so nothing is known about the run.
        sys_.ShowErrorBox(std::string(MsgRunFailed) + "\r\n\r\n" + file);
        return false;
    }
    bool ok = sys_.WaitProcess(process, status);
    if (!ok)
        sys_.ReportError(file);
    sys_.CloseProcess(process);
    return ok;
}

void MainDialog::ReportRunFailure(const BatchScript &script, unsigned status) {
    std::string text = MsgRunFailed;
    if (status >= 1 && status <= script.steps.size()) {
        // The step that failed and the disk tool's own message.
        text += "\r\n\r\n" + script.steps[status - 1];
        std::string message;
        if (sys_.ReadFileStart(workDir + StepLogFile, StepLogLimit, message)) {
            while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' '))
                message.pop_back();
            if (!message.empty())
                text += "\r\n" + message;
        }
    } else {
        // Stopped from outside (its console closed) or broken off by the
        // command interpreter.
        char buf[64];
        std::snprintf(buf, sizeof buf, "\r\n\r\n(command.bat: exit status 0x%X)", status);
        text += buf;
    }
    sys_.ShowErrorBox(text);
}

void MainDialog::OnStart() {
    if (driveChosen != 1) {
        ShowMessage(MsgChooseDrive);
        return;
    }
    // The drive is asked about afresh: the stick in it may have changed
    // since the list was filled.
    DriveInfo info;
    if (sys_.GetDriveKind(chosenDrive.c_str()) != DriveRemovable ||
        !sys_.DescribeDrive(chosenDrive, info)) {
        driveChosen = 0;
        ShowMessage(MsgDriveGone);
        return;
    }
    // "E:\" names the drive as "E:".
    const std::string drive = chosenDrive.substr(0, chosenDrive.size() - 1);
    // While the question is open an earlier run's re-insertion still counts
    // (and closes the question as Cancel would).
    if (!sys_.AskConfirm(ConfirmEraseText(drive, info)))
        return;
    // A further run needs a new choice in the drive list.
    driveChosen = 0;
    // A new run leaves the follow-up of an earlier one behind, and nothing
    // counts as its re-insertion until its own script has ended well.
    awaitingReinsert = 0;
    Run(drive);
}

void MainDialog::Run(const std::string &drive) {
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

    auto lead = [this](unsigned char c) { return sys_.IsLeadByte(c); };
    const BatchScript script = MakeBatchScript(batchTemplate, drive, workDir, workDir + ArchiveFile,
                                               workDir + StepLogFile, lead);
    // A message left by an earlier run must not pass for this run's.
    sys_.RemoveFile(workDir + StepLogFile);

    const std::string scriptPath = workDir + ScriptFile;
    void *file = sys_.CreateAlways(scriptPath, true);
    if (file == nullptr) {
        sys_.ReportError(scriptPath);
        return;
    }
    if (!sys_.WriteAll(file, script.text.data(), script.text.size())) {
        sys_.ReportError(scriptPath);
        sys_.CloseFile(file);
        return;
    }
    sys_.CloseFile(file);
    SetProgress(60);

    unsigned status = 0;
    if (!RunAndWait(scriptPath, ShowWindowed, status))
        return;
    if (status != 0) {
        ReportRunFailure(script, status);
        return;
    }
    awaitingReinsert = 1;
    SetProgress(90);
    ShowMessage(MsgEjectDrive);
}
