// The record of installed files, the entry in the list of installed
// programs and the uninstall that works from them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/globals.h"
#include "base/textbuf.h"
#include "platform/sys.h"
#include "setup/installation.h"
#include "setup/uninstall.h"
#include "tests/unit/archive_test_helpers.h"
#include "tests/unit/fake_ui.h"
#include "tests/unit/test_support.h"

#if defined(_WIN32)
#include <windows.h>
#endif


namespace {

const char* const KEY = UNINSTALL_KEY_BASE "KAVO";

bool logContains(const std::string& text) {
    for (const std::string& l : fakeUi.list)
        if (l.find(text) != std::string::npos) return true;
    return false;
}

std::string regText(const char* name) {
    char buf[PATH_CAP];
    return sysRegGetText(KEY, name, buf, sizeof buf) ? buf : "(missing)";
}

// An installation as INSTALL leaves it: the package unpacked, its record,
// the version file, the uninstaller copy and the entry.
struct Installed {
    ScratchDir box{"uninst"};
    std::string inst = box / "KAVO";

    Installed() {
        resetAppState();
        sysRegDeleteKey(KEY);
        std::string archive = box / "KAVO.wrp";
        writeFile(archive, archive_test::Arc()
                               .dir("KAVO_data")
                               .file("KAVO_interface.exe", "product")
                               .file("update.ini", "version=2\n")
                               .end()
                               .dir("OSKE")
                               .dir("BIN")
                               .file("o.dll", std::string(3000, 'o'))
                               .end()
                               .end()
                               .file("KAVO.exe", "launcher")
                               .end()
                               .bytes);
        // The package lands with the record and the uninstaller, as INSTALL lands it.
        InstallationRecords records(VersionFiles::Keep, true);
        LandingRequest request;
        request.extras = &records;
        FILE* f = sysOpenFile(archive.c_str(), "rb");
        EXPECT_TRUE(unwrapFolderFrom(f, archive.c_str(), inst.c_str(), &request));
        if (f) fclose(f);
        EXPECT_TRUE(registerInstallation(inst.c_str()));
        fakeUi.reset();
    }
    ~Installed() { sysRegDeleteKey(KEY); }
};

TEST(Uninstall, RegisteredInstallationIsRemovedAndTheUsersFilesStay) {
    Installed i;
    std::string copy = i.inst + "/KAVO_data/KAVO_uninstall.exe";
    EXPECT_EQ(readFile(copy), "uninstaller");
    EXPECT_EQ(regText("DisplayName"), "KAVO");
    EXPECT_EQ(regText("InstallLocation"), i.inst);
    std::string winCopy = i.inst + "\\KAVO_data\\KAVO_uninstall.exe";
    EXPECT_EQ(regText("DisplayIcon"), i.inst + "\\KAVO_data\\KAVO_interface.exe");
    EXPECT_EQ(regText("UninstallString"), "\"" + winCopy + "\" -uninstall");
    EXPECT_EQ(regText("QuietUninstallString"), "\"" + winCopy + "\" -uninstall -silent");
    uint32_t kb = 0, noModify = 0, noRepair = 0;
    EXPECT_TRUE(sysRegGetNumber(KEY, "EstimatedSize", &kb));
    uint64_t bytes = 0;
    for (const std::string& e : listTree(i.inst))
        if (e[0] == 'f') bytes += std::stoull(e.substr(e.rfind(' ') + 1));
    EXPECT_EQ(kb, (bytes + 1023) / 1024) << "every file there is listed, in KB rounded up";
    EXPECT_TRUE(sysRegGetNumber(KEY, "NoModify", &noModify) && noModify == 1);
    EXPECT_TRUE(sysRegGetNumber(KEY, "NoRepair", &noRepair) && noRepair == 1);

    // A second registration into the same folder rewrites the one entry.
    writeFile(i.inst + "/KAVO_data/update.ini", std::string(5000, 'v'));
    EXPECT_TRUE(registerInstallation(i.inst.c_str()));
    EXPECT_TRUE(sysRegGetNumber(KEY, "EstimatedSize", &kb));
    EXPECT_EQ(kb, (bytes - 10 + 5000 + 1023) / 1024);

    // Answered No: nothing changes.
    EXPECT_FALSE(uninstallKAVO(i.inst.c_str()));
    ASSERT_EQ(fakeUi.questions.size(), 1u);
    EXPECT_EQ(fakeUi.questions[0].title, "KAVO Uninstall");
    EXPECT_NE(fakeUi.questions[0].text.find("\"" + i.inst + "\""), std::string::npos);
    EXPECT_TRUE(fileExists(i.inst + "/KAVO.exe"));
    EXPECT_EQ(regText("DisplayName"), "KAVO");

    // Another run holds the folder: turned away before the question.
    fakeUi.reset();
    SysFolderClaim* other = nullptr;
    ASSERT_EQ(sysClaimFolder(i.inst.c_str(), &other), SYS_OK);
    EXPECT_FALSE(uninstallKAVO(i.inst.c_str()));
    sysReleaseFolder(other);
    EXPECT_TRUE(fakeUi.questions.empty());
    EXPECT_EQ(fakeUi.warnings.size(), 1u);
    EXPECT_TRUE(fileExists(i.inst + "/KAVO.exe"));

    // Yes: the listed files and folders go, the user's files stay.
    fakeUi.reset();
    writeFile(i.inst + "/notes.txt", "mine");
    writeFile(i.inst + "/OSKE/BIN/save.dat", "mine too");
    fakeUi.answers = {true};
    EXPECT_TRUE(uninstallKAVO(i.inst.c_str()));
    EXPECT_EQ(listTree(i.inst), (std::vector<std::string>{"d OSKE/", "d OSKE/BIN/", "f OSKE/BIN/save.dat 8",
                                                          "f notes.txt 4"}));
    EXPECT_TRUE(logContains("uninstall KAVO - kept \"" + i.inst + "\\notes.txt\""));
    EXPECT_TRUE(logContains("uninstall KAVO - kept \"" + i.inst + "\\OSKE\\BIN\\save.dat\""));
    EXPECT_EQ(regText("DisplayName"), "(missing)");
    EXPECT_EQ(fakeUi.shortcutsRemoved, std::vector<std::string>{i.inst});
    ASSERT_EQ(fakeUi.informs.size(), 1u);
    EXPECT_EQ(fakeUi.informs[0].title, "KAVO Uninstall");
    EXPECT_NE(fakeUi.informs[0].text.find("KAVO was removed from"), std::string::npos) << fakeUi.informs[0].text;
    EXPECT_NE(fakeUi.informs[0].text.find("notes.txt"), std::string::npos) << fakeUi.informs[0].text;
}

// The record is input like any other: a line that leaves the folder or
// names what the system refuses is skipped, with a line, and touches nothing.
TEST(Uninstall, RecordLinesThatLeaveTheFolderOrAreRefusedAreSkipped) {
    Installed i;
    std::string outside = i.box / "outside.txt";
    writeFile(outside, "not ours");
    struct Row {
        std::string line, logged;
    };
    const std::vector<Row> rows = {
        {"F ..\\outside.txt", "\"..\\outside.txt\" refused (leaves the installation folder)"},
        {"F OSKE/../../outside.txt", "refused (leaves the installation folder)"},
        {"F " + outside, "refused ("},  // absolute: a root or a drive
        {"F \\outside.txt", "\"\\outside.txt\" refused (leaves the installation folder)"},
        {"F C:\\outside.txt", "\"C:\\outside.txt\" refused (separator in name)"},
        {"F KAVO_data\\con.txt", "refused (device name)"},
        {"F a?b", "\"a?b\" refused (reserved character in name)"},
        {"F trailing. ", "refused (name ends in a dot or space)"},
        {"D KAVO_data\\\x01", "refused (control byte in name)"},
        {"X KAVO.exe", "line 10 is not a file or folder line"},
        {"F " + std::string(1500, 'a'), "longer than 1022 bytes - skipped"},
    };
    std::string record;
    for (const Row& r : rows) record += r.line + "\n";
    record += "F KAVO.exe\n";
    writeFile(i.inst + "/KAVO_data/installed_files.txt", record);
    fakeUi.answers = {true};
    EXPECT_TRUE(uninstallKAVO(i.inst.c_str()));
    for (const Row& r : rows) EXPECT_TRUE(logContains(r.logged)) << r.line.substr(0, 40);
    EXPECT_EQ(readFile(outside), "not ours");
    EXPECT_FALSE(fileExists(i.inst + "/KAVO.exe")) << "the sound line after them is still used";
    EXPECT_TRUE(fileExists(i.inst + "/OSKE/BIN/o.dll")) << "not on this record: kept";
}

// A listed file that cannot be removed is named and left; the record, the
// uninstaller and the entry stay, so that a second try finishes the job.
TEST(Uninstall, FileInUseIsLeftAndTheEntryStaysForASecondTry) {
    Installed i;
    std::string busy = i.inst + "/OSKE/BIN/o.dll";
#if defined(_WIN32)
    HANDLE held = CreateFileA(busy.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
#else
    // No sharing rules here: a folder where the record lists a file cannot
    // be deleted as a file either.
    sysDeleteFile(busy.c_str());
    makeFolders(busy);
#endif
    fakeUi.answers = {true};
    EXPECT_FALSE(uninstallKAVO(i.inst.c_str()));
    EXPECT_TRUE(logContains("uninstall KAVO ERROR - \"" + i.inst + "\\OSKE\\BIN\\o.dll\" is in use"));
    EXPECT_FALSE(fileExists(i.inst + "/KAVO.exe"));
    EXPECT_TRUE(fileExists(i.inst + "/KAVO_data/installed_files.txt"));
    EXPECT_TRUE(fileExists(i.inst + "/KAVO_data/KAVO_uninstall.exe"));
    EXPECT_EQ(regText("DisplayName"), "KAVO");
    ASSERT_EQ(fakeUi.informs.size(), 1u);
    EXPECT_NE(fakeUi.informs[0].text.find("could not be removed completely"), std::string::npos);
    EXPECT_NE(fakeUi.informs[0].text.find("OSKE\\BIN\\o.dll"), std::string::npos) << fakeUi.informs[0].text;
    EXPECT_FALSE(logContains("kept \"" + i.inst + "\\KAVO_data\\installed_files.txt\""))
        << "the record is not a file of the user";

#if defined(_WIN32)
    CloseHandle(held);
#else
    removeTree(busy);
    writeFile(busy, "o");
#endif
    fakeUi.reset();
    fakeUi.answers = {true};
    EXPECT_TRUE(uninstallKAVO(i.inst.c_str()));
    EXPECT_FALSE(folderExists(i.inst)) << "nothing of the user's in it: the folder goes too";
    EXPECT_EQ(regText("DisplayName"), "(missing)");
}

}  // namespace
