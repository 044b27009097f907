// The product in the system's list of installed programs, removed through
// the platform's own client: the real exe under wine, the reference server
// on a loopback address of the test's own, the driver answering the boxes.
// The entry is one per user, so this test runs alone (RUN_SERIAL): another
// installation at the same time would rewrite it.
#include <gtest/gtest.h>

#include <dirent.h>

#include <cstdlib>
#include <string>

#include "tests/e2e/harness.h"
#include "tests/e2e/release.h"

namespace {

// What the platform's client prints for `args` (output to a file: wine's
// helpers keep pipes open).
std::string runClient(const E2eDir& dir, const std::string& args) {
    const WinBuild& b = buildUnderTest();
    std::string out = dir / "client.txt";
    std::string cmd = "cd '" + dir.path() + "' && WINEPREFIX='" + b.prefix +
                      "' WINEDEBUG=-all WINEDLLOVERRIDES='winemenubuilder.exe=d;mscoree=d;mshtml=d;winedbg.exe=d' '" +
                      b.wine + "' uninstaller " + args + " >'" + out + "' 2>'" + (dir / "client_err.txt") + "' </dev/null";
    EXPECT_EQ(system(cmd.c_str()), 0) << cmd << readText(dir / "client_err.txt");
    return readText(out);
}

// The uninstall's log in the user's temporary folder of the prefix.
std::string tempLog() {
    std::string users = buildUnderTest().prefix + "/drive_c/users";
    std::string all;
    if (DIR* d = opendir(users.c_str())) {
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] == '.') continue;
            all += readText(users + "/" + e->d_name + "/AppData/Local/Temp/KAVO_install_log.txt");
            all += readText(users + "/" + e->d_name + "/Temp/KAVO_install_log.txt");
        }
        closedir(d);
    }
    return all;
}

TEST(Uninstall, ListedByTheSystemAndRemovedByItsClient) {
    E2eDir dir;
    std::string release = dir / "release/KAVO", serverRoot = dir / "server", inst = dir / "inst";
    std::string address = testAddress();
    makeSampleRelease(release);
    ASSERT_TRUE(packRelease(release, serverRoot, "wrp"));
    writeText(serverRoot + "/update.ini", "version=2.0\n");
    writeText(dir / "setup.ini", "CONNECT:" + address + "\n");

    {
        ServerProcess server(serverRoot, address);
        Report r = dir.drive({"start " + installerExe() + " -installDir:\"" + winPath(inst) + "\"", "window 20000",
                              "waitlist 10000 connection established!", "command 8001",
                              "box Installation_Completed no 60000", "exists KAVO.lnk", "command 8003",
                              "waitexit 20000"});
        ASSERT_TRUE(r.ok()) << r.raw << joined(logTexts(dir / "KAVO_install_log.txt"));
        ASSERT_EQ(r.get("exists"), "1");
    }
    ASSERT_TRUE(exists(inst + "/KAVO_data/update.ini"));
    ASSERT_TRUE(exists(inst + "/KAVO_data/KAVO_uninstall.exe"));
    // Two files the user made in the installation.
    writeText(inst + "/my notes.txt", "mine\n");
    writeText(inst + "/OSKE/data/my table.dat", "mine too\n");

    std::string listed = runClient(dir, "--list");
    EXPECT_NE(listed.find("KAVO|||KAVO"), std::string::npos) << listed;

    Report r = dir.drive({"start uninstaller --remove KAVO", "anybox KAVO_Uninstall yes 60000",
                          "anybox KAVO_Uninstall ok 60000", "waitexit 60000", "sleep 500", "exists KAVO.lnk"});
    ASSERT_TRUE(r.ok()) << r.raw << tempLog();
    std::vector<std::string> boxes = r.all("box");
    ASSERT_EQ(boxes.size(), 2u) << r.raw;
    EXPECT_EQ(boxes[0], "KAVO Uninstall|Do you want to remove KAVO from \"" + winPath(inst) +
                            "\"?\\nFiles you made there are kept.");
    EXPECT_EQ(boxes[1].rfind("KAVO Uninstall|KAVO was removed from \"" + winPath(inst) + "\"", 0), 0u) << boxes[1];
    EXPECT_NE(boxes[1].find("my notes.txt"), std::string::npos) << boxes[1];
    // No shortcut points at this installation any more.  The desktop is the
    // user's own, shared by every wine prefix of this user: another run may
    // have put its shortcut there meanwhile, and that one must stay.
    if (r.get("exists") != "0") {
        Report l = dir.drive({"lnk KAVO.lnk"});
        ASSERT_TRUE(l.ok()) << l.raw;
        EXPECT_NE(l.get("lnk.target"), winPath(inst) + "\\KAVO.exe");
        std::string log = tempLog();
        EXPECT_TRUE(log.find("shortcut \"" + l.get("lnk.file") + "\" points to \"") != std::string::npos ||
                    log.find("delete \"" + l.get("lnk.file") + "\"") != std::string::npos)
            << log;
    }

    // Only the user's files are left; every installed file, the version
    // file, the uninstaller copy and the record are gone, and no log either.
    std::string expected = dir / "expected";
    ASSERT_EQ(system(("mkdir -p '" + expected + "/OSKE/data'").c_str()), 0);
    writeText(expected + "/my notes.txt", "mine\n");
    writeText(expected + "/OSKE/data/my table.dat", "mine too\n");
    EXPECT_EQ(treeListing(inst), treeListing(expected)) << joined(treeListing(inst));

    listed = runClient(dir, "--list");
    EXPECT_EQ(listed.find("KAVO|||"), std::string::npos) << listed;

    std::string log = tempLog();
    EXPECT_NE(log.find("uninstall KAVO - kept \"" + winPath(inst) + "\\my notes.txt\""), std::string::npos) << log;
    EXPECT_NE(log.find("uninstall KAVO - kept \"" + winPath(inst) + "\\OSKE\\data\\my table.dat\""),
              std::string::npos);
}

// A folder link planted in the installation, with the record naming files
// and folders through it: the real exe, under wine, deletes nothing outside
// the installation and names what it kept.
TEST(Uninstall, NothingOutsideTheFolderGoesThroughALinkPlantedInIt) {
    E2eDir dir;
    const std::string inst = dir / "inst", outside = dir / "elsewhere";
    ASSERT_EQ(system(("mkdir -p '" + inst + "/KAVO_data' '" + outside + "/docs' '" + outside + "/empty'").c_str()), 0);
    writeText(outside + "/precious.txt", "thesis\n");
    writeText(outside + "/docs/thesis.txt", "chapter one\n");
    writeText(inst + "/KAVO.exe", "product\n");
    ASSERT_EQ(system(("ln -s '" + outside + "' '" + inst + "/sub'").c_str()), 0);
    writeText(inst + "/KAVO_data/installed_files.txt",
              "KAVO installed files 1\r\nF KAVO.exe\r\nF sub\\precious.txt\r\nF sub\\docs\\thesis.txt\r\n"
              "D sub\\empty\r\nD sub\\docs\r\nF KAVO_data\\installed_files.txt\r\n");
    Report r = dir.drive({"start " + installerExe() + " -uninstall -silent -installDir:\"" + winPath(inst) + "\"",
                          "watchexit 60000"});
    ASSERT_TRUE(r.ok()) << r.raw;
    EXPECT_EQ(readText(outside + "/precious.txt"), "thesis\n");
    EXPECT_EQ(readText(outside + "/docs/thesis.txt"), "chapter one\n");
    EXPECT_TRUE(exists(outside + "/empty"));
    EXPECT_FALSE(exists(inst + "/KAVO.exe")) << "the installation's own file goes";
    EXPECT_NE(tempLog().find("uninstall KAVO ERROR - \"" + winPath(inst) + "\\sub\\precious.txt\" leads outside the "
                             "installation - kept"),
              std::string::npos);
}

}  // namespace
