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
    std::string LoadText(unsigned id) override {
        auto it = strings.find(id);
        return it == strings.end() ? std::string() : it->second;
    }
    bool IsLeadByte(unsigned char c) override { return c >= 0x81 && c <= 0xFE; }

    bool LoadCarried(unsigned id, const char *type, CarriedData &out) override {
        auto it = resources.find(id);
        if (std::string(type) != "EXE" || it == resources.end())
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

    bool ShellRun(const std::string &file, const std::string &params, int show,
                  void *&process) override {
        log.push_back("run " + file + " [" + params + "] " + std::to_string(show));
        if (shellFails)
            return false;
        scriptAtRun = files;
        if (whileScriptRuns)
            whileScriptRuns();
        process = nullptr;
        if (!shellGivesNoProcess) {
            process = this;
            ++openProcesses;
        }
        return true;
    }
    void WaitProcess(void *) override { log.push_back("wait"); }
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
    void ShowAbout() override { log.push_back("about"); }
};
