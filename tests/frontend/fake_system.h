// A FrontSystem for the front end's unit tests: an in-memory file system,
// drives, string table, carried resources, registry value and controls,
// set up by the test, and a log of everything the logic asked for.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "frontsys.h"
#include "qxtoolDlg.h"

struct FakeSystem : FrontSystem {
    // --- what the test sets up ------------------------------------------------
    std::string systemDir = "C:\\WINDOWS\\system32";
    bool systemDirFails = false;
    std::vector<std::pair<std::string, unsigned>> drives;  // root path, drive type
    std::function<void()> betweenDriveQueries;              // runs after the size query
    std::map<unsigned, std::string> strings;                // string table
    std::map<unsigned, std::string> resources;              // "EXE" resources
    std::map<unsigned, std::string> stickResources;         // "STICK" resources
    std::map<std::string, DriveInfo> driveInfo;             // root path -> what the system tells
    bool confirmAnswer = true;                              // the user's answer: OK
    // The script's run: what it leaves behind and its exit status.
    std::function<unsigned(FakeSystem &)> scriptRun;
    bool waitFails = false;
    bool volumeReady = true;
    std::set<std::string> failingDirs;                      // MakeDirectory fails
    std::set<std::string> uncreatable;                      // CreateAlways fails
    std::set<std::string> failingWrites;                    // WriteAll writes part, fails
    bool shellFails = false;
    bool shellGivesNoProcess = false;
    bool browserKey = true;
    std::string browserValue = "\"C:\\Program Files\\Web\\browser.exe\" -nohome";
    unsigned browserType = winval::RegString;
    LinkRect link = {10, 20, 110, 40};
    std::function<void(const std::string &)> whileBoxOpen;  // events during a message box
    std::function<void()> whileScriptRuns;                  // events during the script run
    // Runs of the command interpreter (the follow-up's disk tool step): its
    // exit status from the parameters; 0 when not set.
    std::function<unsigned(FakeSystem &, const std::string &params)> commandRun;
    std::vector<uint32_t> randoms = {0x1A2B3C4D};           // the random source's numbers, in turn
    bool randomFails = false;

    // --- what the logic did ----------------------------------------------------
    std::vector<std::string> log;                     // one line per observable act
    std::map<std::string, std::string> files;         // path -> contents
    std::map<std::string, int> writesPerOpen;         // path -> writes in its last opening
    std::map<std::string, bool> openedReadWrite;      // path -> access of last opening
    std::map<std::string, std::string> scriptAtRun;   // files as they were when the run began
    std::vector<std::string> comboItems;
    int comboSel = -1;
    std::string comboEdit;
    int progressLow = -1, progressHigh = -1, progressPos = -1;
    std::map<int, bool> checks;
    std::set<std::string> dirs;                        // directories made
    int lockedResources = 0;
    int openFiles = 0;
    int openProcesses = 0;

    std::vector<std::string> Boxes() const { return Grep("box "); }
    std::vector<std::string> Progress() const { return Grep("progress "); }
    std::vector<std::string> Grep(const std::string &prefix) const {
        std::vector<std::string> out;
        for (const std::string &l : log)
            if (l.compare(0, prefix.size(), prefix) == 0)
                out.push_back(l.substr(prefix.size()));
        return out;
    }
    // The user picks entry `i` of the drive list.
    void Pick(MainDialog &dlg, int i) {
        comboSel = i;
        dlg.OnDriveSelected();
    }

    unsigned GetSystemDir(char *buf, unsigned size) override {
        if (systemDirFails)
            return 0;
        if (systemDir.size() + 1 > size)
            return unsigned(systemDir.size() + 1);
        systemDir.copy(buf, systemDir.size());
        buf[systemDir.size()] = '\0';
        return unsigned(systemDir.size());
    }
    unsigned GetDriveStrings(unsigned size, char *buf) override {
        std::string all;
        for (auto &d : drives)
            all += d.first + '\0';
        if (all.size() + 1 > size) {
            unsigned need = unsigned(all.size() + 1);
            if (betweenDriveQueries) {
                auto hook = std::move(betweenDriveQueries);
                betweenDriveQueries = nullptr;
                hook();
            }
            return need;
        }
        all.copy(buf, all.size());
        buf[all.size()] = '\0';
        return unsigned(all.size());
    }
    unsigned GetDriveKind(const char *root) override {
        for (auto &d : drives)
            if (d.first == root)
                return d.second;
        return 1;  // no root directory
    }
    bool DescribeDrive(const std::string &root, DriveInfo &out) override {
        log.push_back("describe " + root);
        if (GetDriveKind(root.c_str()) != winval::DriveRemovable)
            return false;
        auto it = driveInfo.find(root);
        out = it == driveInfo.end() ? DriveInfo() : it->second;
        return true;
    }
    std::string LoadText(unsigned id) override {
        auto it = strings.find(id);
        return it == strings.end() ? std::string() : it->second;
    }
    bool IsLeadByte(unsigned char c) override { return c >= 0x81 && c <= 0xFE; }

    bool LoadCarried(unsigned id, const char *type, CarriedData &out) override {
        auto &from = std::string(type) == "STICK" ? stickResources : resources;
        auto it = from.find(id);
        if ((std::string(type) != "EXE" && std::string(type) != "STICK") || it == from.end())
            return false;
        out.data = it->second.data();
        out.size = it->second.size();
        out.handle = &it->second;
        ++lockedResources;
        return true;
    }
    void FreeCarried(CarriedData &res) override {
        if (res.handle != nullptr)
            --lockedResources;
        res = CarriedData();
    }
    struct OpenFile {
        std::string path;
    };
    void *CreateAlways(const std::string &path, bool readWrite) override {
        if (uncreatable.count(path))
            return nullptr;
        files[path].clear();
        writesPerOpen[path] = 0;
        openedReadWrite[path] = readWrite;
        ++openFiles;
        return new OpenFile{path};
    }
    void *CreateNew(const std::string &path) override {
        if (files.count(path))
            return nullptr;
        return CreateAlways(path, false);
    }
    bool WriteAll(void *file, const void *data, size_t size) override {
        const std::string &path = static_cast<OpenFile *>(file)->path;
        ++writesPerOpen[path];
        if (failingWrites.count(path)) {
            files[path].append(static_cast<const char *>(data), size / 2);
            return false;
        }
        files[path].append(static_cast<const char *>(data), size);
        log.push_back("write " + path);
        return true;
    }
    void CloseFile(void *file) override {
        delete static_cast<OpenFile *>(file);
        --openFiles;
    }
    void RemoveFile(const std::string &path) override {
        log.push_back("delete " + path);
        files.erase(path);
    }
    void ReportError(const std::string &path) override { log.push_back("error " + path); }
    std::string LastErrorText() override { return "cause"; }
    bool MakeDirectory(const std::string &path) override {
        if (failingDirs.count(path))
            return false;
        if (!dirs.count(path))
            log.push_back("mkdir " + path);
        dirs.insert(path);
        return true;
    }
    bool ReadFileStart(const std::string &path, size_t limit, std::string &out) override {
        auto it = files.find(path);
        if (it == files.end())
            return false;
        out = it->second.substr(0, limit);
        return true;
    }
    bool WaitVolumeReady(const std::string &root) override {
        log.push_back("ready " + root);
        return volumeReady;
    }
    uint32_t ArrivedVolumes(uintptr_t eventData) override { return uint32_t(eventData); }
    bool RandomNumber(uint32_t &out) override {
        log.push_back("random");
        if (randomFails || randoms.empty())
            return false;
        out = randoms.front();
        randoms.erase(randoms.begin());
        return true;
    }
    bool ShellRun(const std::string &file, const std::string &params, int show,
                  void *&process) override {
        log.push_back("run " + file + " [" + params + "] " + std::to_string(show));
        if (shellFails)
            return false;
        if (file.size() >= 8 && file.compare(file.size() - 8, 8, "\\cmd.exe") == 0) {
            scriptStatus = commandRun ? commandRun(*this, params) : 0;
            process = this;
            ++openProcesses;
            return true;
        }
        scriptAtRun = files;
        if (whileScriptRuns)
            whileScriptRuns();
        scriptStatus = scriptRun ? scriptRun(*this) : 0;
        process = nullptr;
        if (!shellGivesNoProcess) {
            process = this;
            ++openProcesses;
        }
        return true;
    }
    unsigned scriptStatus = 0;
    bool WaitProcess(void *, unsigned &status) override {
        log.push_back("wait");
        if (waitFails)
            return false;
        status = scriptStatus;
        return true;
    }
    void CloseProcess(void *) override { --openProcesses; }
    void ShellOpen(const std::string &file, int show) override {
        log.push_back("open " + file + " " + std::to_string(show));
    }
    void RunCommandLine(const std::string &cmdline, int show) override {
        log.push_back("exec " + cmdline + " " + std::to_string(show));
    }
    bool ReadBrowserCommand(std::string &data, unsigned &type) override {
        if (!browserKey)
            return false;
        data = browserValue;
        type = browserType;
        return true;
    }

    void ShowMainWindow(MainDialog &dlg) override {
        dlg.OnInitDialog();
        if (whileWindowOpen)
            whileWindowOpen(dlg);
    }
    std::function<void(MainDialog &)> whileWindowOpen;
    void AddSystemMenuItem(unsigned cmd, const std::string &text) override {
        log.push_back("menu " + std::to_string(cmd) + " " + text);
    }
    void SetWindowIcons() override { log.push_back("icons"); }
    LinkRect ControlRect(int id) override {
        log.push_back("rect " + std::to_string(id));
        return link;
    }
    void DriveListReset() override {
        comboItems.clear();
        comboSel = -1;
    }
    void DriveListAdd(const std::string &text) override {
        // A sorted list: the entry goes before the first that sorts after it.
        auto it = comboItems.begin();
        while (it != comboItems.end() && *it <= text)
            ++it;
        comboItems.insert(it, text);
    }
    bool DriveListSelection(std::string &text) override {
        if (comboSel < 0 || comboSel >= int(comboItems.size()))
            return false;
        text = comboItems[size_t(comboSel)];
        return true;
    }
    void DriveListSetEditText(const std::string &text) override { comboEdit = text; }
    void ProgressSetRange(int low, int high) override {
        progressLow = low;
        progressHigh = high;
    }
    void ProgressSetPos(int pos) override {
        progressPos = pos;
        log.push_back("progress " + std::to_string(pos));
    }
    bool IsChecked(int id) override { return checks[id]; }
    void SetChecked(int id, bool checked) override { checks[id] = checked; }
    void SetHandCursor() override { log.push_back("cursor"); }
    void ShowBox(const std::string &text) override {
        log.push_back("box " + text);
        if (whileBoxOpen)
            whileBoxOpen(text);
    }
    void ShowErrorBox(const std::string &text) override { log.push_back("errorbox " + text); }
    bool AskConfirm(const std::string &text) override {
        log.push_back("confirm " + text);
        const int closesBefore = closeRequests;
        if (whileBoxOpen)
            whileBoxOpen(text);
        // Closed from the program while open: the answer is Cancel.
        return closeRequests == closesBefore && confirmAnswer;
    }
    int closeRequests = 0;
    void CloseBoxes() override {
        log.push_back("closeboxes");
        ++closeRequests;
    }
    void ShowAbout() override { log.push_back("about"); }
};
