// The front end's main window and job runner, driven through a fake system.
// This file is compiled with code page 936 as its execution character set,
// like the front end itself: the Chinese literals below are the byte text
// the program shows and writes.
#include <gtest/gtest.h>

#include <iconv.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "fake_system.h"
#include "qxtool.h"
#include "qxtoolDlg.h"

namespace {

using winval::DriveRemovable;

const std::string SysDir = "C:\\WINDOWS\\system32";
const std::string ToolData = std::string("MZ\x90\0tool", 8);
const std::string ArchiveData = std::string("QXAR\x01\x06\0archive", 15);

// The two batch templates as the string table holds them, in code page 936:
// U+3000 is A1 A1, U+2500 is A9 A4 and U+2014 is A1 AA.
const std::string EchoLead = "Echo " "\xA1\xA1" "\xA1\xA1" "\xA1\xA1" "    " "\xA9\xA4" "\xA9\xA4" "\xA1\xAA";
const std::string EchoTail = "\xA9\xA4" "\xA9\xA4";
const std::string FormatHdd = " format  --extended  100m  --force  --align  --primary  8m";
const std::string FormatZip = " format  --extended  100m  --force  --zip --align  --primary  8m";

std::string Script(bool zip, const std::string &drive, const std::string &dir,
                   const std::string &archive) {
    return "@echo off\r\n"
           "path=" + dir + "\r\n" +
           EchoLead + "系统正在制作U盘系统请等待自动结束" + EchoTail + "\r\n"
           "qxtool " + drive + (zip ? FormatZip : FormatHdd) + "\r\n"
           "qxtool " + drive + " clear\r\n"
           "qxtool " + drive + " load \"" + archive + "\"\r\n" +
           EchoLead + "请弹出你的U盘" + EchoTail + "\r\n"
           "control hotplug.dll";
}
std::string Template(bool zip) { return Script(zip, "G:", "pathload", "data.qxa"); }

// The script a run writes: each disk tool step keeps its message in the
// step log and ends the script with its number when it fails.
std::string RunScript(bool zip, const std::string &drive, const std::string &dir,
                      const std::string &archive) {
    const std::string check = " 2>\"" + dir + "\\qxtool.log\"\r\nif errorlevel 1 exit ";
    return "@echo off\r\n"
           "path=" + dir + "\r\n" +
           EchoLead + "系统正在制作U盘系统请等待自动结束" + EchoTail + "\r\n"
           "qxtool " + drive + (zip ? FormatZip : FormatHdd) + check + "1\r\n"
           "qxtool " + drive + " clear" + check + "2\r\n"
           "qxtool " + drive + " load \"" + archive + "\"" + check + "3\r\n" +
           EchoLead + "请弹出你的U盘" + EchoTail + "\r\n"
           "control hotplug.dll\r\n"
           "exit 0";
}

// The follow-up's run of the disk tool that gives the volume at `drive` the
// ID `id`, as the fake system logs it after "run ": through the command
// interpreter, hidden, its message kept in the step log.
std::string VolumeIdRun(const std::string &drive, const std::string &id) {
    return SysDir + "\\cmd.exe [/c \"\"" + SysDir + "\\qxtool.exe\" " + drive + " volume-id " + id + " 2>\"" + SysDir +
           "\\qxtool.log\"\"] 0";
}

// The question before an unnamed, unlabelled drive of unknown size is erased.
std::string PlainConfirm(const std::string &drive) {
    return "confirm 即将清除以下U盘上的全部数据:\r\n\r\n盘符: " + drive +
           "\r\n卷标: (无)\r\n容量: (未知)\r\n\r\n确定要继续吗?";
}

struct Front : ::testing::Test {
    FakeSystem sys;
    MainDialog dlg{sys};

    void SetUp() override {
        workDir.clear();
        sys.systemDir = SysDir;
        sys.drives = {{"C:\\", 3}, {"F:\\", DriveRemovable}, {"E:\\", DriveRemovable}};
        sys.strings = {{101, "关于 qxtool(&A)..."}, {102, Template(false)}, {103, Template(true)}};
        sys.resources = {{129, ToolData}, {131, ArchiveData}};
    }
    void TearDown() override { workDir.clear(); }

    // Opens the window, picks the drive list entry `root`.
    void OpenAndPick(const std::string &root) {
        dlg.OnInitDialog();
        for (size_t i = 0; i < sys.comboItems.size(); ++i)
            if (sys.comboItems[i] == root)
                sys.Pick(dlg, int(i));
        ASSERT_EQ(dlg.driveChosen, 1) << root;
        sys.log.clear();
    }
    std::string Path(const std::string &name) const { return SysDir + "\\" + name; }
    // A second system like the first, with one removable drive `root`.
    void OneDrive(FakeSystem &s, const std::string &root = "E:\\") const {
        s.systemDir = SysDir;
        s.drives = {{root, DriveRemovable}};
        s.strings = sys.strings;
        s.resources = sys.resources;
    }
};

TEST_F(Front, OpeningTheWindowSetsEveryControlAndTheJobState) {
    dlg.awaitingReinsert = 1;
    dlg.driveChosen = 1;
    sys.checks[1016] = true;
    dlg.OnInitDialog();

    EXPECT_EQ(sys.Grep("menu "), std::vector<std::string>{"16 关于 qxtool(&A)..."});
    EXPECT_EQ(sys.Grep("icons").size(), 1u);
    EXPECT_EQ(sys.Grep("rect "), std::vector<std::string>{"1011"});
    EXPECT_EQ(dlg.linkRect.left, 10);
    EXPECT_EQ(dlg.linkRect.bottom, 40);
    EXPECT_EQ(workDir, SysDir);
    EXPECT_EQ(sys.comboItems, (std::vector<std::string>{"E:\\", "F:\\"}));
    EXPECT_EQ(sys.comboSel, -1);
    EXPECT_EQ(sys.comboEdit, "请选择可移动磁盘");
    EXPECT_EQ(dlg.driveChosen, 0);
    EXPECT_EQ(dlg.awaitingReinsert, 0);
    EXPECT_EQ(sys.progressLow, 0);
    EXPECT_EQ(sys.progressHigh, 100);
    EXPECT_EQ(sys.progressPos, 0);
    EXPECT_TRUE(sys.checks[1015]);
    EXPECT_FALSE(sys.checks[1016]);
    EXPECT_EQ(dlg.batchTemplate, Template(false));
    EXPECT_TRUE(sys.Boxes().empty());
}

TEST_F(Front, NoAboutItemWithoutItsText) {
    sys.strings.erase(101);
    dlg.OnInitDialog();
    EXPECT_TRUE(sys.Grep("menu ").empty());
}

TEST_F(Front, UserTextsAreCodePage936Bytes) {
    dlg.OnStart();
    ASSERT_EQ(sys.Boxes().size(), 1u);
    // "请选择可移动磁盘!"
    EXPECT_EQ(sys.Boxes()[0], "\xC7\xEB\xD1\xA1\xD4\xF1\xBF\xC9\xD2\xC6\xB6\xAF\xB4\xC5\xC5\xCC!");
}

TEST_F(Front, WorkDirTakesSystemDirectoriesOfAnyLength) {
    const std::string cases[] = {"C:\\WINNT\\SYSTEM32",            // 17
                                 std::string("D:\\") + std::string(16, 'w'),  // 19
                                 std::string("D:\\") + std::string(17, 'w'),  // 20
                                 std::string("D:\\") + std::string(300, 'w')};
    for (const std::string &dir : cases) {
        workDir.clear();
        sys.systemDir = dir;
        PrepareWorkDir(sys);
        EXPECT_EQ(workDir, dir) << dir.size();
    }
    workDir.clear();
    sys.systemDirFails = true;
    PrepareWorkDir(sys);
    EXPECT_EQ(workDir, "");
}

TEST_F(Front, DriveListHoldsOnlyRemovableDrivesSorted) {
    sys.drives = {{"A:\\", DriveRemovable}, {"C:\\", 3}, {"K:\\", DriveRemovable}, {"N:\\", 4},
                  {"D:\\", 5},  {"R:\\", 6}, {"X:\\", 0}, {"Y:\\", 1}, {"H:\\", DriveRemovable}};
    dlg.FillDriveList();
    EXPECT_EQ(sys.comboItems, (std::vector<std::string>{"A:\\", "H:\\", "K:\\"}));
    EXPECT_EQ(sys.comboEdit, "请选择可移动磁盘");

    sys.drives.clear();
    dlg.FillDriveList();
    EXPECT_TRUE(sys.comboItems.empty());
    EXPECT_EQ(sys.comboEdit, "请选择可移动磁盘");
}

TEST_F(Front, DriveListCopesWithADriveArrivingBetweenItsQueries) {
    sys.betweenDriveQueries = [this] { sys.drives.push_back({"Q:\\", DriveRemovable}); };
    dlg.FillDriveList();
    EXPECT_EQ(sys.comboItems, (std::vector<std::string>{"E:\\", "F:\\", "Q:\\"}));
}

TEST_F(Front, ChoosingAndRefreshing) {
    dlg.OnInitDialog();
    // Typing into the edit field selects nothing.
    dlg.OnDriveSelected();
    EXPECT_EQ(dlg.driveChosen, 0);

    sys.Pick(dlg, 1);
    EXPECT_EQ(dlg.chosenDrive, "F:\\");
    EXPECT_EQ(dlg.driveChosen, 1);

    dlg.OnRefresh();
    EXPECT_EQ(dlg.driveChosen, 0);
    EXPECT_EQ(dlg.chosenDrive, "F:\\");
    EXPECT_EQ(sys.comboSel, -1);
    EXPECT_EQ(sys.comboEdit, "请选择可移动磁盘");
    // The same drive is still there, but has to be picked again.
    sys.log.clear();
    dlg.OnStart();
    EXPECT_EQ(sys.log, std::vector<std::string>{"box 请选择可移动磁盘!"});
}

TEST_F(Front, ModeRadios) {
    struct Case {
        bool hdd, zip;       // checks before the click (the clicked one already set by the system)
        bool clickZip;
        bool hddAfter, zipAfter;
        bool zipTemplate;
    } cases[] = {
        {true, true, true, false, true, true},    // USB-ZIP clicked
        {true, true, false, true, false, false},  // USB-HDD clicked back
        {true, false, false, true, false, false}, // USB-HDD clicked while already checked
        {false, true, true, false, true, true},   // USB-ZIP clicked while already checked
    };
    dlg.OnInitDialog();
    for (const Case &c : cases) {
        sys.checks[1015] = c.hdd;
        sys.checks[1016] = c.zip;
        dlg.batchTemplate = "stale";
        if (c.clickZip)
            dlg.OnModeZip();
        else
            dlg.OnModeHdd();
        EXPECT_EQ(sys.checks[1015], c.hddAfter);
        EXPECT_EQ(sys.checks[1016], c.zipAfter);
        EXPECT_EQ(dlg.batchTemplate, Template(c.zipTemplate));
    }
}

TEST_F(Front, StartWritesTheFilesRunsTheScriptAndAsksForTheEject) {
    OpenAndPick("E:\\");
    dlg.OnStart();

    const std::vector<std::string> expected = {
        "describe E:\\",               PlainConfirm("E:"),
        "write " + Path("qxtool.exe"),  "progress 30",
        "write " + Path("edit1.6.qxa"), "progress 50",
        "delete " + Path("qxtool.log"),
        "write " + Path("command.bat"), "progress 60",
        "run " + Path("command.bat") + " [] 5", "wait",
        "progress 90",                  "box 请弹出你的U盘!"};
    EXPECT_EQ(sys.log, expected);
    EXPECT_EQ(sys.files[Path("qxtool.exe")], ToolData);
    EXPECT_EQ(sys.files[Path("edit1.6.qxa")], ArchiveData);
    EXPECT_EQ(sys.scriptAtRun[Path("command.bat")],
              RunScript(false, "E:", SysDir, Path("edit1.6.qxa")));
    for (const char *name : {"qxtool.exe", "edit1.6.qxa", "command.bat"})
        EXPECT_EQ(sys.writesPerOpen[Path(name)], 1) << name;
    EXPECT_FALSE(sys.openedReadWrite[Path("qxtool.exe")]);
    EXPECT_FALSE(sys.openedReadWrite[Path("edit1.6.qxa")]);
    EXPECT_TRUE(sys.openedReadWrite[Path("command.bat")]);
    EXPECT_EQ(sys.lockedResources, 0);
    EXPECT_EQ(sys.openFiles, 0);
    EXPECT_EQ(sys.openProcesses, 0);  // the process handle is closed after the wait
    EXPECT_EQ(dlg.awaitingReinsert, 1);
    EXPECT_EQ(dlg.driveChosen, 0);
    EXPECT_EQ(dlg.batchTemplate, Template(false));

    // Without a new choice the next press is refused.
    sys.log.clear();
    dlg.OnStart();
    EXPECT_EQ(sys.log, std::vector<std::string>{"box 请选择可移动磁盘!"});
}

TEST_F(Front, ScriptBytesForModesDrivesAndDirectories) {
    struct Case {
        bool zip;
        std::string drive, dir, driveText;
    } cases[] = {
        {false, "E:\\", "C:\\WINDOWS\\system32", "E:"},
        {true, "F:\\", "C:\\WINDOWS\\system32", "F:"},
        {false, "G:\\", "C:\\WINDOWS\\system32", "G:"},  // the replacement leaves the text as it was
        {true, "H:\\", "G:\\WINDOWS\\system32", "H:"},   // "G:" in the system directory is kept
        {false, "E:\\", "C:\\pathload", "E:"},           // inserted text is not searched again
        {true, "E:\\", "C:\\系统\\system32", "E:"},       // multi-byte characters pass through
    };
    for (const Case &c : cases) {
        workDir.clear();
        sys.systemDir = c.dir;
        sys.drives = {{c.drive, DriveRemovable}};
        OpenAndPick(c.drive);
        if (c.zip) {
            sys.checks[1016] = true;
            dlg.OnModeZip();
        }
        dlg.OnStart();
        const std::string archive = c.dir + "\\edit1.6.qxa";
        EXPECT_EQ(sys.files[c.dir + "\\command.bat"], RunScript(c.zip, c.driveText, c.dir, archive))
            << c.drive << " " << c.dir;
        EXPECT_EQ(dlg.batchTemplate, Template(c.zip));
        dlg.OnModeHdd();
    }
}

TEST_F(Front, SecondRunForAnotherDriveAndMode) {
    OpenAndPick("E:\\");
    dlg.OnStart();
    sys.Pick(dlg, 1);  // F:\ .
    sys.checks[1016] = true;
    dlg.OnModeZip();
    dlg.OnStart();
    EXPECT_EQ(sys.files[Path("command.bat")], RunScript(true, "F:", SysDir, Path("edit1.6.qxa")));
    EXPECT_EQ(sys.Progress(), (std::vector<std::string>{"30", "50", "60", "90", "30", "50", "60", "90"}));
    EXPECT_EQ(dlg.awaitingReinsert, 1);
}

TEST(ReplaceAll, Rules) {
    auto lead = [](unsigned char c) { return c >= 0x81 && c <= 0xFE; };
    struct Case {
        std::string text, what, with, out;
    } cases[] = {
        {"qxtool G: load G:", "G:", "E:", "qxtool E: load E:"},
        {"aaa", "aa", "b", "ba"},             // non-overlapping, from the left
        {"G:G:", "G:", "G:G:", "G:G:G:G:"},   // inserted text is not searched again
        {"g: G:", "G:", "E:", "g: E:"},       // case-sensitive
        {"G: x", "", "E:", "G: x"},           // empty search text
        {"\x81G: G:", "G:", "E:", "\x81G: E:"},          // "G:" behind a lead byte is half a character
        {"\x81\x81G:", "G:", "E:", "\x81\x81" "E:"},     // after a whole character it is a match
        {"G:\x81", "G:", "E:", "E:\x81"},                // a lone lead byte at the end is kept
        {"", "G:", "E:", ""},
    };
    for (const Case &c : cases)
        EXPECT_EQ(ReplaceAll(c.text, c.what, c.with, lead), c.out) << c.text;
}

TEST_F(Front, FailuresStopTheRunWhereTheyHappen) {
    struct Case {
        const char *name;
        std::function<void(FakeSystem &)> setup;
        std::vector<std::string> progress;
        std::string error;   // the path the error report names
        bool ran;
        std::vector<std::string> leftFiles;
    } cases[] = {
        {"tool resource missing", [](FakeSystem &s) { s.resources.erase(129); }, {},
         Path("qxtool.exe"), false, {}},
        {"tool file not creatable", [this](FakeSystem &s) { s.uncreatable.insert(Path("qxtool.exe")); },
         {}, Path("qxtool.exe"), false, {}},
        {"archive resource missing", [](FakeSystem &s) { s.resources.erase(131); }, {"30"},
         Path("edit1.6.qxa"), false, {"qxtool.exe"}},
        {"archive write fails", [this](FakeSystem &s) { s.failingWrites.insert(Path("edit1.6.qxa")); },
         {"30"}, Path("edit1.6.qxa"), false, {"qxtool.exe"}},
        {"script not creatable", [this](FakeSystem &s) { s.uncreatable.insert(Path("command.bat")); },
         {"30", "50"}, Path("command.bat"), false, {"qxtool.exe", "edit1.6.qxa"}},
        {"script write fails", [this](FakeSystem &s) { s.failingWrites.insert(Path("command.bat")); },
         {"30", "50"}, Path("command.bat"), false, {"qxtool.exe", "edit1.6.qxa", "command.bat"}},
        {"script cannot start", [](FakeSystem &s) { s.shellFails = true; }, {"30", "50", "60"},
         Path("command.bat"), true, {"qxtool.exe", "edit1.6.qxa", "command.bat"}},
        {"no system directory", [](FakeSystem &s) { s.systemDirFails = true; }, {}, "", false, {}},
    };
    for (const Case &c : cases) {
        for (int before : {0, 1}) {
            workDir.clear();
            FakeSystem s;
            OneDrive(s);
            c.setup(s);
            MainDialog d(s);
            d.OnInitDialog();
            s.Pick(d, 0);
            d.awaitingReinsert = before;
            s.log.clear();
            d.OnStart();

            EXPECT_EQ(s.Progress(), c.progress) << c.name;
            EXPECT_EQ(s.Grep("error "), std::vector<std::string>{c.error}) << c.name;
            EXPECT_TRUE(s.Boxes().empty()) << c.name;
            EXPECT_EQ(s.Grep("run ").size(), c.ran ? 1u : 0u) << c.name;
            EXPECT_TRUE(s.Grep("wait").empty()) << c.name;
            // A confirmed run leaves an earlier run's follow-up behind.
            EXPECT_EQ(d.awaitingReinsert, 0) << c.name;
            EXPECT_EQ(d.driveChosen, 0) << c.name;
            std::vector<std::string> left;
            for (auto &f : s.files)
                left.push_back(f.first.substr(f.first.rfind('\\') + 1));
            std::sort(left.begin(), left.end());
            std::vector<std::string> want = c.leftFiles;
            std::sort(want.begin(), want.end());
            EXPECT_EQ(left, want) << c.name;
            EXPECT_EQ(s.lockedResources, 0) << c.name;
            EXPECT_EQ(s.openFiles, 0) << c.name;
        }
    }
}

TEST_F(Front, StartAsksForTheSystemDirectoryAgainWhenItWasMissing) {
    sys.systemDirFails = true;
    dlg.OnInitDialog();
    sys.Pick(dlg, 0);
    sys.systemDirFails = false;
    dlg.OnStart();
    EXPECT_EQ(workDir, SysDir);
    EXPECT_EQ(sys.files[Path("command.bat")], RunScript(false, "E:", SysDir, Path("edit1.6.qxa")));
    EXPECT_TRUE(sys.Grep("error ").empty());
}

TEST_F(Front, AFailedRunStopsWithItsMessageAndNeverReportsSuccess) {
    const std::string format = "qxtool E:" + FormatHdd;
    const std::string load = "qxtool E: load \"" + Path("edit1.6.qxa") + "\"";
    struct Case {
        const char *name;
        std::function<void(FakeSystem &)> setup;
        std::string box;  // the failure box; empty: the system's report names the script
    } cases[] = {
        {"format fails",
         [this](FakeSystem &s) {
             s.scriptRun = [this](FakeSystem &f) {
                 f.files[Path("qxtool.log")] = "qxtool: error: xd_seek fails at offset 0\r\n";
                 return 1u;
             };
         },
         "U盘系统制作失败!\r\n\r\n" + format + "\r\nqxtool: error: xd_seek fails at offset 0"},
        {"clear fails without a message",
         [](FakeSystem &s) { s.scriptRun = [](FakeSystem &) { return 2u; }; },
         "U盘系统制作失败!\r\n\r\nqxtool E: clear"},
        {"load fails",
         [this](FakeSystem &s) {
             s.scriptRun = [this](FakeSystem &f) {
                 f.files[Path("qxtool.log")] = "qxtool: error: not enough space\n";
                 return 3u;
             };
         },
         "U盘系统制作失败!\r\n\r\n" + load + "\r\nqxtool: error: not enough space"},
        {"console closed", [](FakeSystem &s) { s.scriptRun = [](FakeSystem &) { return 0xC000013Au; }; },
         "U盘系统制作失败!\r\n\r\n(command.bat: exit status 0xC000013A)"},
        {"no process to wait for", [](FakeSystem &s) { s.shellGivesNoProcess = true; },
         "U盘系统制作失败!\r\n\r\n" + Path("command.bat")},
        {"status not known", [](FakeSystem &s) { s.waitFails = true; }, ""},
    };
    for (const Case &c : cases) {
        workDir.clear();
        FakeSystem s;
        OneDrive(s);
        // A message an earlier run left must not pass for this run's.
        s.files[Path("qxtool.log")] = "qxtool: error: stale";
        c.setup(s);
        MainDialog d(s);
        d.OnInitDialog();
        s.Pick(d, 0);
        s.log.clear();
        d.OnStart();

        if (c.box.empty()) {
            EXPECT_EQ(s.Grep("error "), std::vector<std::string>{Path("command.bat")}) << c.name;
            EXPECT_TRUE(s.Grep("errorbox ").empty()) << c.name;
        } else {
            EXPECT_EQ(s.Grep("errorbox "), std::vector<std::string>{c.box}) << c.name;
        }
        EXPECT_TRUE(s.Boxes().empty()) << c.name;  // neither the eject request nor success
        EXPECT_EQ(s.Progress(), (std::vector<std::string>{"30", "50", "60"})) << c.name;
        EXPECT_EQ(d.awaitingReinsert, 0) << c.name;
        EXPECT_EQ(s.openProcesses, 0) << c.name;
        // Nothing that follows counts as the re-insertion.
        s.log.clear();
        d.OnDeviceChange(0x8004, 0);
        d.OnDeviceChange(0x8000, 0);
        EXPECT_TRUE(s.log.empty()) << c.name;
    }
}

TEST_F(Front, TheDriveIsNamedAndConfirmedBeforeAnythingIsWritten) {
    struct Case {
        DriveInfo info;
        std::string text;
    } cases[] = {
        {{"KORVANI", 8004304896ull, "SanDisk Cruzer Blade"},
         "即将清除以下U盘上的全部数据:\r\n\r\n盘符: F:\r\n卷标: KORVANI\r\n容量: 7.5 GB\r\n"
         "型号: SanDisk Cruzer Blade\r\n\r\n确定要继续吗?"},
        {{"", 268435456ull, ""},
         "即将清除以下U盘上的全部数据:\r\n\r\n盘符: F:\r\n卷标: (无)\r\n容量: 256 MB\r\n\r\n确定要继续吗?"},
        {{"我的U盘", 0, ""},
         "即将清除以下U盘上的全部数据:\r\n\r\n盘符: F:\r\n卷标: 我的U盘\r\n容量: (未知)\r\n\r\n确定要继续吗?"},
    };
    for (const Case &c : cases) {
        for (bool ok : {false, true}) {
            workDir.clear();
            FakeSystem s;
            OneDrive(s, "F:\\");
            s.driveInfo["F:\\"] = c.info;
            s.confirmAnswer = ok;
            MainDialog d(s);
            d.OnInitDialog();
            s.Pick(d, 0);
            s.log.clear();
            d.OnStart();
            EXPECT_EQ(s.Grep("confirm "), std::vector<std::string>{c.text});
            if (ok) {
                EXPECT_EQ(s.Grep("run ").size(), 1u);
                EXPECT_EQ(d.driveChosen, 0);
                continue;
            }
            // Cancel: nothing written, nothing run, nothing moved; the same
            // choice still stands.
            EXPECT_EQ(s.log, (std::vector<std::string>{"describe F:\\", "confirm " + c.text}));
            EXPECT_TRUE(s.files.empty());
            EXPECT_EQ(s.progressPos, 0);
            EXPECT_EQ(d.driveChosen, 1);
        }
    }
}

TEST_F(Front, ADriveGoneSinceItWasListedIsNotErased) {
    OpenAndPick("E:\\");
    sys.drives = {{"E:\\", 3}};  // the letter now names a fixed disk
    dlg.OnStart();
    EXPECT_EQ(sys.Boxes(), std::vector<std::string>{"找不到所选的U盘,请刷新列表后重新选择!"});
    EXPECT_TRUE(sys.Grep("confirm ").empty());
    EXPECT_TRUE(sys.files.empty());
    EXPECT_EQ(dlg.driveChosen, 0);
}

TEST_F(Front, DriveListShowsLabelAndSize) {
    struct Case {
        DriveInfo info;
        std::string entry;
    } cases[] = {
        {{"KORVANI", 8004304896ull, "m"}, "E:\\ KORVANI (7.5 GB)"},
        {{"", 1073741823ull, ""}, "E:\\ (1023 MB)"},
        {{"BOOT", 0, ""}, "E:\\ BOOT"},
        {{"", 0, ""}, "E:\\"},
    };
    for (const Case &c : cases) {
        sys.drives = {{"E:\\", DriveRemovable}};
        sys.driveInfo["E:\\"] = c.info;
        dlg.OnInitDialog();
        EXPECT_EQ(sys.comboItems, std::vector<std::string>{c.entry});
        // Picking the entry chooses the drive's root path.
        sys.Pick(dlg, 0);
        EXPECT_EQ(dlg.chosenDrive, "E:\\") << c.entry;
    }
}

TEST_F(Front, DeviceEventsOfARunNeverCount) {
    // The first run's follow-up is still open when a second run starts;
    // events during the second run, as well as those the system delivers
    // only when its wait ends, are the drive being formatted.
    OpenAndPick("E:\\");
    dlg.OnStart();
    ASSERT_EQ(dlg.awaitingReinsert, 1);
    sys.Pick(dlg, 0);
    sys.whileScriptRuns = [&] {
        dlg.OnDeviceChange(0x8004, 0);
        dlg.OnDeviceChange(0x8000, 0);
    };
    sys.scriptRun = [this](FakeSystem &) {
        dlg.OnDeviceChange(0x8000, 0);
        return 0u;
    };
    sys.log.clear();
    dlg.OnStart();
    EXPECT_EQ(sys.Boxes(), std::vector<std::string>{"请弹出你的U盘!"});
    EXPECT_EQ(sys.Progress(), (std::vector<std::string>{"30", "50", "60", "90"}));
    EXPECT_EQ(dlg.awaitingReinsert, 1);
}

TEST_F(Front, AReinsertionWhileTheNextRunIsAskedAboutEndsTheEarlierRunAndErasesNothing) {
    OpenAndPick("E:\\");
    dlg.OnStart();
    ASSERT_EQ(dlg.awaitingReinsert, 1);
    sys.Pick(dlg, 0);
    sys.whileBoxOpen = [this](const std::string &text) {
        if (text.find("确定要继续吗?") != std::string::npos)
            dlg.OnDeviceChange(0x8000, 0);
    };
    sys.log.clear();
    dlg.OnStart();
    EXPECT_EQ(sys.Boxes(), std::vector<std::string>{"恭喜你,U盘系统制作成功!"});
    // The earlier run's follow-up gives its volume an ID; no script runs.
    EXPECT_EQ(sys.Grep("run "), std::vector<std::string>{VolumeIdRun("E:", "0x1A2B3C4D")});
    EXPECT_TRUE(sys.Grep("write ").empty());
    EXPECT_EQ(dlg.awaitingReinsert, 0);
    EXPECT_EQ(dlg.driveChosen, 1);
}

TEST_F(Front, StickFilesAreWrittenToTheReinsertedVolume) {
    const std::string list = "EFI/BOOT/BOOTX64.EFI\r\nboot/grub/grub.cfg\n\nEFI/BOOT/grubx64.efi\n";
    const std::string x64 = "MZ-x64", cfg = "menuentry", grub = "MZ-grub";
    struct Case {
        const char *name;
        uintptr_t arrived;  // letters the arrival names
        std::function<void(FakeSystem &)> setup;
        std::string root;         // where the files go
        std::string failure;      // the failure box; empty: success
    } cases[] = {
        {"the chosen drive", 0, [](FakeSystem &) {}, "E:\\", ""},
        {"the arrival names the chosen drive among others", (1u << 4) | (1u << 7), [](FakeSystem &) {},
         "E:\\", ""},
        {"the stick came back as H:", 1u << 7, [](FakeSystem &) {}, "H:\\", ""},
        {"volume not ready", 0, [](FakeSystem &s) { s.volumeReady = false; }, "E:\\",
         "UEFI启动文件写入U盘失败!\r\nE:\\\r\ncause"},
        {"directory not made", 0, [](FakeSystem &s) { s.failingDirs.insert("E:\\boot\\grub"); }, "E:\\",
         "UEFI启动文件写入U盘失败!\r\nE:\\boot\\grub\r\ncause"},
        {"file not created", 0, [](FakeSystem &s) { s.uncreatable.insert("E:\\EFI\\BOOT\\grubx64.efi"); },
         "E:\\", "UEFI启动文件写入U盘失败!\r\nE:\\EFI\\BOOT\\grubx64.efi\r\ncause"},
        {"write fails", 0, [](FakeSystem &s) { s.failingWrites.insert("E:\\boot\\grub\\grub.cfg"); },
         "E:\\", "UEFI启动文件写入U盘失败!\r\nE:\\boot\\grub\\grub.cfg\r\ncause"},
        {"a file already there (another drive) is kept", 0,
         [](FakeSystem &s) { s.files["E:\\boot\\grub\\grub.cfg"] = "mine"; }, "E:\\",
         "UEFI启动文件写入U盘失败!\r\nE:\\boot\\grub\\grub.cfg\r\ncause"},
        {"a file missing from the program", 0, [](FakeSystem &s) { s.stickResources.erase(4); }, "E:\\",
         "UEFI启动文件写入U盘失败!\r\nE:\\EFI\\BOOT\\grubx64.efi\r\ncause"},
    };
    for (const Case &c : cases) {
        workDir.clear();
        FakeSystem s;
        OneDrive(s);
        s.stickResources = {{1, list}, {2, x64}, {3, cfg}, {4, grub}};
        c.setup(s);
        MainDialog d(s);
        d.OnInitDialog();
        s.Pick(d, 0);
        d.OnStart();
        s.log.clear();
        EXPECT_TRUE(d.OnDeviceChange(0x8000, c.arrived));
        EXPECT_EQ(d.awaitingReinsert, 0) << c.name;
        ASSERT_FALSE(s.log.empty());
        EXPECT_EQ(s.log[0], "closeboxes") << c.name;
        EXPECT_EQ(s.lockedResources, 0) << c.name;
        EXPECT_EQ(s.openFiles, 0) << c.name;
        if (!c.failure.empty()) {
            EXPECT_EQ(s.Grep("errorbox "), std::vector<std::string>{c.failure}) << c.name;
            EXPECT_TRUE(s.Boxes().empty()) << c.name;
            EXPECT_TRUE(s.Grep("exec ").empty()) << c.name;
            EXPECT_NE(s.progressPos, 100) << c.name;
            if (std::string(c.name).find("already there") != std::string::npos) {
                EXPECT_EQ(s.files["E:\\boot\\grub\\grub.cfg"], "mine");
            }
            continue;
        }
        const std::string r = c.root;
        EXPECT_EQ(s.Grep("mkdir "), (std::vector<std::string>{r + "EFI", r + "EFI\\BOOT", r + "boot",
                                                              r + "boot\\grub"})) << c.name;
        EXPECT_EQ(s.files[r + "EFI\\BOOT\\BOOTX64.EFI"], x64) << c.name;
        EXPECT_EQ(s.files[r + "boot\\grub\\grub.cfg"], cfg) << c.name;
        EXPECT_EQ(s.files[r + "EFI\\BOOT\\grubx64.efi"], grub) << c.name;
        EXPECT_EQ(s.Progress(), (std::vector<std::string>{"93", "96", "99", "100"})) << c.name;
        EXPECT_EQ(s.Boxes(), std::vector<std::string>{"恭喜你,U盘系统制作成功!"}) << c.name;
    }
}

TEST_F(Front, TheFollowUpGivesTheVolumeARandomIdBeforeTheBootFiles) {
    const std::string log = SysDir + "\\qxtool.log";
    const std::string failed = "U盘卷序列号写入失败!\r\nU盘的卷序列号仍为0,UEFI启动文件未写入。\r\n\r\n";
    struct Case {
        const char *name;
        uintptr_t arrived;
        std::function<void(FakeSystem &)> setup;
        std::vector<std::string> runs;  // the follow-up's runs, as logged after "run "
        std::string failure;            // the failure box; empty: success
    } cases[] = {
        {"a random id for the chosen drive", 0, [](FakeSystem &s) { s.randoms = {0xDEADBEEF}; },
         {VolumeIdRun("E:", "0xDEADBEEF")}, ""},
        {"the stick came back as H:", 1u << 7, [](FakeSystem &) {}, {VolumeIdRun("H:", "0x1A2B3C4D")}, ""},
        {"0 is drawn again", 0, [](FakeSystem &s) { s.randoms = {0, 0, 7}; }, {VolumeIdRun("E:", "0x00000007")},
         ""},
        {"a source that only gives 0", 0, [](FakeSystem &s) { s.randoms = {0, 0, 0, 0, 5}; }, {},
         failed + "qxtool E: volume-id"},
        {"no random source", 0, [](FakeSystem &s) { s.randomFails = true; }, {},
         failed + "qxtool E: volume-id\r\ncause"},
        {"the disk tool fails with its message", 0,
         [log](FakeSystem &s) {
             s.commandRun = [log](FakeSystem &f, const std::string &) {
                 f.files[log] = "qxtool: error: can't lock disk\r\n";
                 return 1u;
             };
         },
         {VolumeIdRun("E:", "0x1A2B3C4D")}, failed + "qxtool E: volume-id 0x1A2B3C4D\r\nqxtool: error: can't lock disk"},
        {"an earlier message is not taken for its own", 0,
         [log](FakeSystem &s) {
             s.files[log] = "qxtool: error: old";
             s.commandRun = [](FakeSystem &, const std::string &) { return 0xC000013Au; };
         },
         {VolumeIdRun("E:", "0x1A2B3C4D")}, failed + "qxtool E: volume-id 0x1A2B3C4D\r\n(exit status 0xC000013A)"},
        {"its end cannot be waited for", 0, [](FakeSystem &s) { s.waitFails = true; },
         {VolumeIdRun("E:", "0x1A2B3C4D")},
         failed + "qxtool E: volume-id 0x1A2B3C4D\r\ncause"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        workDir.clear();
        FakeSystem s;
        OneDrive(s);
        s.stickResources = {{1, "boot/grub/grub.cfg\n"}, {2, "menuentry"}};
        MainDialog d(s);
        d.OnInitDialog();
        s.Pick(d, 0);
        d.OnStart();
        ASSERT_EQ(d.awaitingReinsert, 1);
        c.setup(s);
        s.log.clear();
        EXPECT_TRUE(d.OnDeviceChange(0x8000, c.arrived));
        EXPECT_EQ(s.openProcesses, 0);
        EXPECT_EQ(s.Grep("run "), c.runs);
        const std::string root = c.arrived ? "H:\\" : "E:\\";
        if (!c.failure.empty()) {
            EXPECT_EQ(s.Grep("errorbox "), std::vector<std::string>{c.failure});
            // Nothing more is done to the drive, and no success is claimed.
            EXPECT_TRUE(s.Grep("ready ").empty());
            EXPECT_FALSE(s.files.count(root + "boot\\grub\\grub.cfg"));
            EXPECT_TRUE(s.Boxes().empty());
            EXPECT_NE(s.progressPos, 100);
            continue;
        }
        // The step log of the script is gone before the tool runs; the ID
        // is set before the volume is waited for and the files copied.
        const auto at = [&](const std::string &line) {
            return std::find(s.log.begin(), s.log.end(), line) - s.log.begin();
        };
        EXPECT_LT(at("delete " + log), at("run " + c.runs[0]));
        EXPECT_LT(at("run " + c.runs[0]), at("ready " + root));
        EXPECT_EQ(s.files[root + "boot\\grub\\grub.cfg"], "menuentry");
        EXPECT_EQ(s.Boxes(), std::vector<std::string>{"恭喜你,U盘系统制作成功!"});
    }
}

TEST_F(Front, DeviceChanges) {
    const unsigned Arrival = 0x8000, Removal = 0x8004, Query = 0x8001;
    struct Case {
        int awaiting;
        unsigned event;
        std::vector<std::string> log;
        int awaitingAfter;
    } cases[] = {
        {0, Arrival, {}, 0},
        {0, Removal, {}, 0},
        {1, Query, {}, 1},
        {1, Removal, {"box 请重新插入你的U盘即可!"}, 1},
        {1, Arrival,
         {"closeboxes", "random", "delete C:\\WINDOWS\\system32\\qxtool.log", "run " + VolumeIdRun("E:", "0x1A2B3C4D"),
          "wait", "progress 100", "box 恭喜你,U盘系统制作成功!",
          "exec \"C:\\Program Files\\Web\\browser.exe\"korvani.example 5"},
         0},
    };
    dlg.OnInitDialog();
    dlg.chosenDrive = "E:\\";
    for (const Case &c : cases) {
        sys.log.clear();
        dlg.awaitingReinsert = c.awaiting;
        EXPECT_TRUE(dlg.OnDeviceChange(c.event, 0));
        EXPECT_EQ(sys.log, c.log) << c.awaiting << " " << c.event;
        EXPECT_EQ(dlg.awaitingReinsert, c.awaitingAfter);
    }
}

TEST_F(Front, TheFollowUpAfterARun) {
    // Device events of the run itself do not count.
    sys.whileScriptRuns = [this] {
        dlg.OnDeviceChange(0x8004, 0);
        dlg.OnDeviceChange(0x8000, 0);
    };
    // A removal while the eject request is open stacks its own box; so does
    // the arrival on top of it; a second arrival during the success notice
    // is ignored.
    sys.whileBoxOpen = [this](const std::string &text) {
        if (text == "请弹出你的U盘!")
            dlg.OnDeviceChange(0x8004, 0);
        else if (text == "请重新插入你的U盘即可!")
            dlg.OnDeviceChange(0x8000, 0);
        else if (text == "恭喜你,U盘系统制作成功!")
            dlg.OnDeviceChange(0x8000, 0);
    };
    OpenAndPick("E:\\");
    dlg.OnStart();
    EXPECT_EQ(sys.Boxes(), (std::vector<std::string>{"请弹出你的U盘!", "请重新插入你的U盘即可!",
                                                     "恭喜你,U盘系统制作成功!"}));
    EXPECT_EQ(sys.Progress(), (std::vector<std::string>{"30", "50", "60", "90", "100"}));
    EXPECT_EQ(sys.Grep("exec ").size(), 1u);
    EXPECT_EQ(dlg.awaitingReinsert, 0);
}

TEST_F(Front, BrowserCommandParsing) {
    const std::string addr = "korvani.example";
    const std::string longDir(280, 'd');
    struct Case {
        std::string value;
        unsigned type;
        std::string cmdline;  // empty: nothing is run
    } cases[] = {
        {"\"C:\\Program Files\\Web\\browser.exe\" -nohome", 1,
         "\"C:\\Program Files\\Web\\browser.exe\"" + addr},
        {"C:\\Web\\browser.exe %1", 2, "C:\\Web\\browser.exe " + addr},
        {"C:\\Web\\browser.exe", 1, "C:\\Web\\browser.exe " + addr},     // ends right after ".exe"
        {"\"C:\\WEB\\BROWSER.EXE\" -- \"%1\"", 1, "\"C:\\WEB\\BROWSER.EXE\"" + addr},
        {"C:\\x.exe.exe -a", 1, "C:\\x.exe." + addr},                    // the first ".exe"
        {"C:\\" + longDir + "\\b.exe -a", 1, "C:\\" + longDir + "\\b.exe " + addr},
        {std::string("C:\\b.exe\0junk", 13), 1, "C:\\b.exe " + addr},   // stops at the terminator
        {std::string("C:\\b\0.exe -a", 12), 1, ""},
        {"C:\\Web\\browser -a", 1, ""},
        {"", 1, ""},
        {"C:\\b.exe -a", 3, ""},   // not a string value
    };
    for (const Case &c : cases) {
        sys.log.clear();
        sys.browserValue = c.value;
        sys.browserType = c.type;
        dlg.OpenInBrowser(addr, 5);
        std::vector<std::string> want;
        if (!c.cmdline.empty())
            want.push_back(c.cmdline + " 5");
        EXPECT_EQ(sys.Grep("exec "), want) << c.value;
    }
    // The show state is passed on; no key or no address opens nothing.
    sys.log.clear();
    sys.browserValue = "b.exe x";
    sys.browserType = 1;
    dlg.OpenInBrowser(addr, 0);
    EXPECT_EQ(sys.Grep("exec "), std::vector<std::string>{"b.exe " + addr + " 0"});
    sys.log.clear();
    dlg.OpenInBrowser("", 0);
    sys.browserKey = false;
    dlg.OpenInBrowser(addr, 5);
    EXPECT_TRUE(sys.log.empty());
}

TEST_F(Front, LinkAreaIsStrictAndNeedsTheLeftButtonAlone) {
    dlg.OnInitDialog();  // link area 10,20 - 110,40
    struct Case {
        int x, y;
        unsigned flags;
        bool opens, hand;
    } cases[] = {
        {11, 21, 1, true, true},     {109, 39, 1, true, true},
        {10, 30, 1, false, false},   {110, 30, 1, false, false},
        {50, 20, 1, false, false},   {50, 40, 1, false, false},
        {9, 30, 1, false, false},    {50, 30, 1 | 4, false, true},  // Shift
        {50, 30, 1 | 8, false, true},                               // Ctrl
        {50, 30, 1 | 16, false, true},                              // middle button too
        {50, 30, 0, false, true},
    };
    for (const Case &c : cases) {
        sys.log.clear();
        dlg.OnLinkClick(c.flags, c.x, c.y);
        std::vector<std::string> want;
        if (c.opens)
            want.push_back(std::string(HelpSiteAddress) + " 1");
        EXPECT_EQ(sys.Grep("open "), want) << c.x << "," << c.y << " " << c.flags;
        sys.log.clear();
        dlg.OnLinkMouseMove(c.flags, c.x, c.y);
        EXPECT_EQ(sys.Grep("cursor").size(), c.hand ? 1u : 0u) << c.x << "," << c.y;
    }
    EXPECT_EQ(std::string(HelpSiteAddress).compare(0, 8, "https://"), 0);
}

TEST_F(Front, AboutCommand) {
    EXPECT_TRUE(dlg.OnAboutCommand(0x10, 0));
    EXPECT_TRUE(dlg.OnAboutCommand(0x1F, 0));  // the low four bits are the system's
    EXPECT_FALSE(dlg.OnAboutCommand(0xF060, 0));
    EXPECT_FALSE(dlg.OnAboutCommand(0x20, 0));
    EXPECT_EQ(sys.Grep("about").size(), 2u);
}

TEST_F(Front, ExitDeletesTheCarriedFiles) {
    // After a run: the script first, then the tool, the archive and the
    // step log.
    sys.whileWindowOpen = [this](MainDialog &d) {
        sys.Pick(d, 0);
        d.OnStart();
        sys.log.clear();
    };
    EXPECT_EQ(FrontEndApp(sys).Run(), 0);
    EXPECT_EQ(sys.log, (std::vector<std::string>{"delete " + Path("command.bat"),
                                                 "delete " + Path("qxtool.exe"),
                                                 "delete " + Path("edit1.6.qxa"),
                                                 "delete " + Path("qxtool.log")}));
    EXPECT_TRUE(sys.files.empty());

    // Without a run the same deletions, and no message.
    workDir.clear();
    FakeSystem idle;
    idle.systemDir = SysDir;
    idle.whileWindowOpen = [&idle](MainDialog &) { idle.log.clear(); };
    FrontEndApp(idle).Run();
    EXPECT_EQ(idle.Grep("delete ").size(), 4u);
    EXPECT_TRUE(idle.Boxes().empty());
    EXPECT_TRUE(idle.Grep("error ").empty());

    // Nothing is deleted when no work directory was ever set.
    workDir.clear();
    FakeSystem none;
    none.systemDirFails = true;
    FrontEndApp(none).Run();
    EXPECT_TRUE(none.Grep("delete ").empty());
}

// --- the resource script --------------------------------------------------------

std::string ToCp936(const std::string &utf8) {
    iconv_t cd = iconv_open("CP936", "UTF-8");
    EXPECT_NE(cd, (iconv_t)-1);
    std::string in = utf8, out(utf8.size() * 2 + 16, '\0');
    char *ip = &in[0], *op = &out[0];
    size_t il = in.size(), ol = out.size();
    size_t r = iconv(cd, &ip, &il, &op, &ol);
    iconv_close(cd);
    EXPECT_NE(r, (size_t)-1) << utf8;
    out.resize(out.size() - ol);
    return out;
}

// The quoted text of the string-table line that starts with `name`, with the
// resource compiler's escapes undone.
std::string RcString(const std::string &name) {
    std::ifstream f(QX_SOURCE_DIR "/frontend/qxtool.rc.in");
    std::string line;
    while (std::getline(f, line)) {
        size_t at = line.find_first_not_of(' ');
        if (at == std::string::npos || line.compare(at, name.size() + 1, name + " ") != 0)
            continue;
        std::string q = line.substr(line.find('"') + 1);
        q = q.substr(0, q.rfind('"'));
        std::string out;
        for (size_t i = 0; i < q.size(); ++i) {
            if (q[i] == '"' && i + 1 < q.size() && q[i + 1] == '"') {
                out += '"';
                ++i;
            } else if (q[i] == '\\' && i + 1 < q.size() && (q[i + 1] == 'r' || q[i + 1] == 'n')) {
                out += q[i + 1] == 'r' ? '\r' : '\n';
                ++i;
            } else {
                out += q[i];
            }
        }
        return out;
    }
    ADD_FAILURE() << name << " not found";
    return "";
}

TEST(ResourceScript, StringTableHoldsTheTemplatesAndTheAboutItem) {
    EXPECT_EQ(ToCp936(RcString("IDS_TEMPLATE_HDD")), Template(false));
    EXPECT_EQ(ToCp936(RcString("IDS_TEMPLATE_ZIP")), Template(true));
    EXPECT_EQ(ToCp936(RcString("IDS_ABOUTBOX")), "关于 qxtool(&A)...");
}

}  // namespace
