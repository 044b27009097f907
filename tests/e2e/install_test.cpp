// Installation and component update end to end: the real exe under wine,
// the reference server on a loopback address of the test's own, the driver.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>

#include "tests/e2e/harness.h"
#include "tests/e2e/release.h"

namespace {

bool containsInOrder(const std::vector<std::string>& lines, const std::vector<std::string>& wanted) {
    size_t i = 0;
    for (const auto& l : lines)
        if (i < wanted.size() && l.find(wanted[i]) != std::string::npos) ++i;
    return i == wanted.size();
}

int countContaining(const std::vector<std::string>& lines, const std::string& text) {
    return static_cast<int>(std::count_if(lines.begin(), lines.end(),
                                          [&](const std::string& l) { return l.find(text) != std::string::npos; }));
}

class Scene {
public:
    E2eDir dir;
    std::string release = dir / "release/KAVO";
    std::string serverRoot = dir / "server";
    std::string inst = dir / "inst";
    std::string address = testAddress();

    explicit Scene(bool test = false) {
        makeSampleRelease(release);
        EXPECT_TRUE(packRelease(release, serverRoot, "wrp"));
        EXPECT_TRUE(packRelease(release, serverRoot, "wrp_TEST"));
        writeText(serverRoot + "/update.ini", "version=2.0 (from the server)\n");
        writeText(serverRoot + "/update_TEST.ini", "version=2.0-test\n");
        writeText(serverRoot + "/launcher_TEST.ini", "TEST\nchannel=beta\n");
        writeText(dir / "setup.ini", "CONNECT:" + address + "\n");
        if (test) {
            system(("mkdir -p '" + dir / "KAVO_data'").c_str());
            writeText(dir / "KAVO_data/launcher.ini", "TEST\n");
        }
    }
    std::string start(const std::string& extra = "") const {
        return "start " + installerExe() + " -installDir:\"" + winPath(inst) + "\"" + (extra.empty() ? "" : " " + extra);
    }
    std::vector<std::string> log() const { return logTexts(dir / "KAVO_install_log.txt"); }
};

TEST(Install, WholeInstallationStartsTheProduct) {
    Scene s;
    ServerProcess server(s.serverRoot, s.address);
    Report r = s.dir.drive({s.start(), "window 20000", "waitlist 10000 connection established!", "command 8001",
                            "box Installation_Completed yes 60000", "lnk KAVO.lnk", "waitexit 20000"});
    ASSERT_TRUE(r.ok()) << r.raw << joined(s.log());
    EXPECT_EQ(r.get("box"), "Installation Completed|Installation is completed.\\nDo you want to start KAVO?");
    EXPECT_EQ(r.get("exit"), "0");

    // The installed tree is the release byte for byte, with the version
    // file from the server in place of the package's.
    std::vector<std::string> want = treeListing(s.release);
    // Beside it, the record of installed files and the uninstaller copy.
    std::vector<std::string> got = treeListing(s.inst, {"KAVO_data/update.ini", "KAVO_interface_started.txt",
                                                        "KAVO_data/installed_files.txt", "KAVO_data/KAVO_uninstall.exe"});
    EXPECT_EQ(got, want);
    EXPECT_EQ(readText(s.inst + "/KAVO_data/update.ini"), "version=2.0 (from the server)\n");
    EXPECT_FALSE(exists(s.inst + "/KAVO.wrp"));
    EXPECT_FALSE(exists(s.inst + "/KAVO_data/launcher.ini")) << "the normal edition fetches no launcher file";
    EXPECT_FALSE(exists(s.inst + "/.gitignore"));

    EXPECT_EQ(r.get("lnk.target"), winPath(s.inst) + "\\KAVO.exe");
    EXPECT_EQ(r.get("lnk.workdir"), winPath(s.inst));

    // The stub product records how it was started.
    std::string started;
    // It may be read while the product still writes it: wait for the last line whole.
    auto whole = [&] {
        return !started.empty() && started.back() == '\n' && started.find("\ncwd: ") != std::string::npos;
    };
    for (int i = 0; i < 200 && !whole(); ++i) {
        started = readText(s.inst + "/KAVO_interface_started.txt");
        if (!whole()) usleep(50000);
    }
    EXPECT_NE(started.find("cmdline: " + winPath(s.inst) + "\\KAVO_data\\KAVO_interface.exe -launcher"),
              std::string::npos)
        << started;
    EXPECT_NE(started.find("cwd: " + winPath(s.inst)), std::string::npos) << started;

    std::vector<std::string> log = s.log();
    EXPECT_TRUE(containsInOrder(
        log, {"install KAVO -> \"" + winPath(s.inst) + "\"", "packages are not verified: this installer has no maker key",
              "tcpDownload - \"" + winPath(s.inst) + "\\KAVO.wrp\"",
              "tcpFileDownload - file size ", "tcpFileDownload done - ", "download KAVO.wrp - ", "unwrap \"",
              // The version file comes while the package waits to land, so
              // that both land together.
              "tcpDownload - \"" + winPath(s.inst) + "\\KAVO_data\\update.ini.unwrap\"",
              "tcpFileDownload done - 30/30 byte", "     > unwrap done", "unwrapFolder - ",
              "delete \"" + winPath(s.inst) + "\\KAVO.wrp\"", "shortcut \"", "installation completed", "start KAVO"}))
        << joined(log);
    EXPECT_EQ(countContaining(log, "installation FAILED"), 0);
}

TEST(Install, TestEditionAnsweredNoStaysOpen) {
    Scene s(true);
    ServerProcess server(s.serverRoot, s.address);
    Report r = s.dir.drive({s.start(), "box KAVO_TEST ok 20000", "window 20000",
                            "waitlist 10000 connection established!", "command 8001",
                            "box Installation_Completed no 60000", "sleep 300", "status", "list", "lnk KAVO_TEST.lnk",
                            "alive", "command 8003", "waitexit 10000"});
    ASSERT_TRUE(r.ok()) << r.raw << joined(s.log());
    EXPECT_EQ(r.get("alive"), "1");
    EXPECT_EQ(r.get("status"), "");
    EXPECT_EQ(r.get("progress.visible"), "0");
    EXPECT_EQ(r.get("lnk.target"), winPath(s.inst) + "\\KAVO.exe");
    EXPECT_EQ(readText(s.inst + "/KAVO_data/update.ini"), "version=2.0-test\n");
    EXPECT_EQ(readText(s.inst + "/KAVO_data/launcher.ini"), "TEST\nchannel=beta\n");
    std::vector<std::string> log = s.log();
    EXPECT_EQ(countContaining(log, "start KAVO"), 0);
    EXPECT_TRUE(containsInOrder(log, {"tcpFileDownload done", "download KAVO.wrp - ", "KAVO_data\\update.ini.unwrap\"",
                                      "KAVO_data\\launcher.ini.unwrap\"", "unwrapFolder - ", "KAVO_TEST.lnk\"",
                                      "installation completed"}))
        << joined(log);
    EXPECT_FALSE(exists(s.inst + "/KAVO_interface_started.txt"));
}

TEST(Install, WithoutServerTheDownloadFails) {
    Scene s;
    // Nothing listens on the scene's address.
    Report r = s.dir.drive({s.start(), "window 20000", "box KAVO_Warning ok 20000", "command 8001",
                            "waitlist 30000 download KAVO.wrp - FAILED", "nobox KAVO_Warning 1000", "status",
                            "command 8003", "waitexit 10000"});
    ASSERT_TRUE(r.ok()) << r.raw << joined(s.log());
    EXPECT_EQ(r.get("progress.visible"), "0");
    std::vector<std::string> log = s.log();
    EXPECT_TRUE(containsInOrder(log, {"connecting to HOST (" + s.address + ":49491)...", "failed to connect! - 10061",
                                      "FAILED to connect to Update Server", "install KAVO -> ",
                                      "tcpDownload - \"", "download KAVO.wrp - FAILED"}))
        << joined(log);
    EXPECT_EQ(countContaining(log, "installation FAILED"), 0);
    EXPECT_TRUE(exists(s.inst + "/KAVO.wrp")) << "the empty archive file stays";
}

TEST(Install, CorruptPackageFailsWithWarningAndKeepsTheArchive) {
    Scene s;
    std::string archive = readText(s.serverRoot + "/wrp/KAVO.wrp");
    writeText(s.serverRoot + "/wrp/KAVO.wrp", archive.substr(0, archive.size() / 2));
    ServerProcess server(s.serverRoot, s.address);
    Report r = s.dir.drive({s.start(), "window 20000", "waitlist 10000 connection established!", "command 8001",
                            "box KAVO_Warning ok 60000", "waitlist 5000 installation FAILED", "status",
                            "command 8003", "waitexit 10000"});
    ASSERT_TRUE(r.ok()) << r.raw << joined(s.log());
    EXPECT_EQ(r.get("box"), "KAVO Warning|Failed to install KAVO.\\nPlease try again or contact support@kavo.example");
    EXPECT_TRUE(exists(s.inst + "/KAVO.wrp"));
    EXPECT_EQ(r.get("progress.visible"), "0");
    EXPECT_TRUE(containsInOrder(s.log(), {"download KAVO.wrp - ", "     > unwrap failed", "unwrapFolder - FAILED", "",
                                          "installation FAILED"}));
}

TEST(Install, AbortConfirmedDuringTheDownloadEndsTheProgram) {
    Scene s;
    ServerProcess server(s.serverRoot, s.address, {"--stall-after", "3000"});
    Report r = s.dir.drive({s.start(), "window 20000", "waitlist 10000 connection established!", "command 8001",
                            "waitlist 10000 tcpFileDownload - file size", "sleep 300", "close",
                            "box Installation_in_Progress yes 10000", "waitexit 20000"});
    ASSERT_TRUE(r.ok()) << r.raw << joined(s.log());
    EXPECT_EQ(r.get("box"),
              "Installation in Progress|Installation is in progress.\\nDo you want to abort the installation?");
    EXPECT_EQ(r.get("exit"), "0");
    std::vector<std::string> log = s.log();
    EXPECT_TRUE(containsInOrder(log, {"tcpFileDownload failed - 3000/", "download KAVO.wrp - FAILED"})) << joined(log);
    EXPECT_EQ(countContaining(log, "unwrap \""), 0);
}

TEST(Install, CloseDuringADownloadAtFullSpeedIsAskedAtOnce) {
    // A package far larger than the download can take before the close
    // comes, sent as fast as loopback carries it, so that data is always
    // waiting: the window must still answer between receives.
    Scene s;
    const long long size = 1LL << 30;
    ASSERT_EQ(truncate((s.serverRoot + "/wrp/KAVO.wrp").c_str(), size), 0);
    ServerProcess server(s.serverRoot, s.address);
    Report r = s.dir.drive({s.start(), "window 20000", "waitlist 10000 connection established!", "command 8001",
                            "waitlist 10000 tcpFileDownload - file size", "close",
                            "box Installation_in_Progress yes 10000", "waitexit 20000"});
    ASSERT_TRUE(r.ok()) << r.raw << joined(s.log());
    ASSERT_FALSE(r.get("box.after_ms").empty()) << r.raw;
    EXPECT_LE(std::stoi(r.get("box.after_ms")), 200) << r.raw;
    std::vector<std::string> log = s.log();
    // The question came while the content was still flowing.
    EXPECT_TRUE(containsInOrder(log, {"tcpFileDownload failed - ", "download KAVO.wrp - FAILED"})) << joined(log);
    EXPECT_EQ(countContaining(log, "/" + std::to_string(size) + " byte"), 1) << joined(log);
    // The partial download is large; do not leave it behind.
    system(("rm -rf '" + s.inst + "'").c_str());
}

TEST(Install, MissingParentFolderOnlyLogsAndInstallIsAcceptedAgain) {
    Scene s;
    ServerProcess server(s.serverRoot, s.address);
    std::string bad = winPath(s.dir / "missing/inst");
    Report r = s.dir.drive({"start " + installerExe() + " -installDir:\"" + bad + "\"", "window 20000",
                            "waitlist 10000 connection established!", "command 8001",
                            "waitlist 10000 CreateDirectory", "command 8001", "sleep 1000",
                            "nobox KAVO_Warning 500", "status", "command 8003", "waitexit 10000"});
    ASSERT_TRUE(r.ok()) << r.raw << joined(s.log());
    EXPECT_EQ(r.get("progress.visible"), "0");
    std::vector<std::string> log = s.log();
    EXPECT_EQ(countContaining(log, "CreateDirectory \"" + bad + "\" ERROR - 3"), 2) << joined(log);
    EXPECT_EQ(countContaining(log, "tcpDownload"), 0);
}

TEST(Install, InstallPressedDuringAnInstallationDoesNothing) {
    Scene s;
    ServerProcess server(s.serverRoot, s.address, {"--header-delay", "1500"});
    Report r = s.dir.drive({s.start(), "window 20000", "waitlist 10000 connection established!", "command 8001",
                            "sleep 200", "command 8001", "command 8000", "box Installation_Completed no 60000",
                            "sleep 500", "command 8003", "waitexit 10000"});
    ASSERT_TRUE(r.ok()) << r.raw << joined(s.log());
    EXPECT_EQ(countContaining(s.log(), "install KAVO -> "), 1);
}

// Three installers on one installation folder: A installs into it, B (started
// from another folder, the folder written relative, in other letters, with a
// trailing separator) presses INSTALL and C (started in it) asks for a
// component update while A downloads.  B and C are turned away and A's
// installation is the release.  When C dies holding the folder, B gets it.
TEST(Install, SecondInstallerOnTheSameFolderIsTurnedAway) {
    Scene s;
    std::string other = s.dir / "other";
    system(("mkdir -p '" + other + "' '" + s.inst + "'").c_str());
    writeText(other + "/setup.ini", "CONNECT:" + s.address + "\n");
    writeText(s.inst + "/setup.ini", "CONNECT:" + s.address + "\n");
    // A's download takes about six seconds.
    size_t archiveSize = readText(s.serverRoot + "/wrp/KAVO.wrp").size();
    ServerProcess server(s.serverRoot, s.address, {"--rate", std::to_string(archiveSize / 6 + 1)});
    auto warning = [](const std::string& folder) {
        return "KAVO Warning|Another installer is working on \"" + folder +
               "\" at the moment.\\nPlease try again when it has finished or contact support@kavo.example";
    };
    Report r = s.dir.drive({"use 0", s.start(), "window 20000", "waitlist 10000 connection established!",
                            "use 1", "cd " + winPath(other), "start " + installerExe() + " -installDir:\"..\\INST\\\"",
                            "window 20000", "waitlist 10000 connection established!",
                            "use 2", "cd " + winPath(s.inst), "start " + installerExe(), "window 20000",
                            "waitlist 10000 connection established!",
                            "use 0", "command 8001", "waitlist 10000 tcpFileDownload - file size",
                            "use 1", "command 8001", "box KAVO_Warning ok 10000",
                            "use 2", "command 8002", "box KAVO_Warning ok 10000",
                            "use 0", "waitgone 1 tcpFileDownload done", "box Installation_Completed no 60000",
                            "waitstatus 5000", // A has ended its work
                            // C dies while it holds the folder (its question is open).
                            "use 2", "command 8002", "waitbox Update_Completed 10000", "kill",
                            "use 1", "command 8001", "waitlist 10000 tcpFileDownload - file size", "kill",
                            "use 0", "command 8003", "waitexit 10000"},
                           180);
    ASSERT_TRUE(r.ok()) << r.raw << joined(s.log());
    std::vector<std::string> boxes = r.all("box");
    ASSERT_EQ(boxes.size(), 4u) << r.raw;
    EXPECT_EQ(boxes[0], warning("..\\INST\\"));
    EXPECT_EQ(boxes[1], warning(winPath(s.inst)));

    std::vector<std::string> a = s.log(), b = logTexts(other + "/KAVO_install_log.txt"),
                             c = logTexts(s.inst + "/KAVO_install_log.txt");
    EXPECT_TRUE(
        containsInOrder(a, {"download KAVO.wrp - ", "     > unwrap done", "delete \"", "installation completed"}))
        << joined(a);
    EXPECT_EQ(countContaining(a, "another installer"), 0) << joined(a);
    EXPECT_TRUE(containsInOrder(b, {"install KAVO -> \"..\\INST\\\"",
                                    "install KAVO ERROR - another installer is working on \"..\\INST\\\"",
                                    "install KAVO -> \"..\\INST\\\"", "tcpFileDownload - file size"}))
        << joined(b);
    EXPECT_EQ(countContaining(b, "tcpDownload - \""), 1) << "the turned-away run downloads nothing" << joined(b);
    EXPECT_TRUE(containsInOrder(c, {"updateKAVO ERROR - another installer is working on \"" + winPath(s.inst) + "\""}))
        << joined(c);

    // A's installation is the release byte for byte; B's second run got no
    // further than its download (killed), C's run changed nothing.
    std::vector<std::string> got = treeListing(
        s.inst, {"KAVO_data/update.ini", "setup.ini", "KAVO_install_log.txt", "KAVO.wrp", "KAVO_data/installed_files.txt",
                 "KAVO_data/KAVO_uninstall.exe"});
    EXPECT_EQ(got, treeListing(s.release));
    EXPECT_EQ(readText(s.inst + "/KAVO_data/update.ini"), "version=2.0 (from the server)\n");
}

TEST(Install, OverlongInstallFolderIsRefusedBeforeAnythingIsCreated) {
    Scene s;
    std::string longDir = "C:\\" + std::string(230, 'k');
    Report r = s.dir.drive({"start " + installerExe() + " -installDir:\"" + longDir + "\"", "window 20000",
                            "box KAVO_Warning ok 20000", "command 8001", "box KAVO_Warning ok 10000", "command 8003",
                            "waitexit 10000"});
    ASSERT_TRUE(r.ok()) << r.raw << joined(s.log());
    ASSERT_EQ(r.all("box").size(), 2u) << r.raw;
    EXPECT_NE(r.all("box")[1].find("Please try again or contact support@kavo.example"), std::string::npos) << r.raw;
    EXPECT_EQ(countContaining(s.log(), "install KAVO -> "), 0);
    EXPECT_EQ(countContaining(s.log(), "longer than"), 1);
}

// ---- component update ---------------------------------------------------

class UpdateScene : public Scene {
public:
    explicit UpdateScene(bool test = false) : Scene(test) {
        system(("mkdir -p '" + dir / "KAVO_data'").c_str());
        writeText(dir / "KAVO_data/update.ini", "old\n");
        writeText(dir / "KAVO_data/update_new.ini", "new\n");
    }
    std::string startUpdate(const std::string& flags) const {
        return "start " + installerExe() + " -update:" + flags;
    }
};

TEST(Update, AllWinsOverExeAndVersionFileIsSwappedOnSuccess) {
    UpdateScene s;
    ServerProcess server(s.serverRoot, s.address);
    Report r = s.dir.drive({s.startUpdate("OSKE_ALL,OSKE_EXE,VELN_EXE,UBRA_ALL,KAVO_EXE,BOGUS"), "window 20000",
                            "waitlist 10000 connection established!", "command 8002",
                            "box Update_Completed no 60000", "sleep 300", "status", "command 8003",
                            "waitexit 10000"});
    ASSERT_TRUE(r.ok()) << r.raw << joined(s.log());
    EXPECT_EQ(r.get("box"), "Update Completed|Update is completed.\\nDo you want to start KAVO?");
    std::vector<std::string> log = s.log();
    EXPECT_EQ(countContaining(log, "-update: unknown package \"BOGUS\" - ignored"), 1);
    EXPECT_TRUE(containsInOrder(log, {"\\OSKE_ALL.wrp\"", "delete \"" + winPath(s.dir.path()) + "\\OSKE_ALL.wrp\"",
                                      "\\VELN_EXE.wrp\"", "\\UBRA_ALL.wrp\"", "\\KAVO_EXE.wrp\""}))
        << joined(log);
    EXPECT_EQ(countContaining(log, "OSKE_EXE.wrp"), 0);
    // Unpacked into the working folder, not into the installation folder.
    EXPECT_EQ(readText(s.dir / "OSKE/data/table.dat"), readText(s.release + "/OSKE/data/table.dat"));
    EXPECT_TRUE(exists(s.dir / "VELN/BIN/veln.exe"));
    EXPECT_FALSE(exists(s.dir / "VELN/DOC"));
    EXPECT_TRUE(exists(s.dir / "UBRA/sub/other.dll"));
    EXPECT_FALSE(exists(s.inst));
    EXPECT_EQ(readText(s.dir / "KAVO_data/update.ini"), "new\n");
    EXPECT_FALSE(exists(s.dir / "KAVO_data/update_new.ini"));
    EXPECT_EQ(r.get("status"), "");
    EXPECT_EQ(r.get("progress.visible"), "0");
}

TEST(Update, FailedPackageDoesNotStopTheOthersAndWarnsOnce) {
    UpdateScene s;
    unlink((s.serverRoot + "/wrp/OSKE_ALL.wrp").c_str());
    ServerProcess server(s.serverRoot, s.address);
    Report r = s.dir.drive({s.startUpdate("OSKE_ALL,VELN_ALL,UBRA_EXE,KAVO_EXE"), "window 20000",
                            "waitlist 10000 connection established!", "command 8002", "box KAVO_Warning ok 60000",
                            "nobox KAVO_Warning 1500", "nobox Update_Completed 10", "command 8003",
                            "waitexit 10000"});
    ASSERT_TRUE(r.ok()) << r.raw << joined(s.log());
    EXPECT_EQ(r.get("box"), "KAVO Warning|Failed to update KAVO.\\nPlease try again or contact support@kavo.example");
    std::vector<std::string> log = s.log();
    EXPECT_TRUE(containsInOrder(log, {"tcpFileDownload - unable to download \"wrp\\OSKE_ALL.wrp\"",
                                      "wrpUpdate_TCP ERROR - download failed (\"OSKE_ALL\")",
                                      "updateKAVO OSKE_ALL - FAILED", "\\VELN_ALL.wrp\"", "\\UBRA_EXE.wrp\"",
                                      "\\KAVO_EXE.wrp\""}))
        << joined(log);
    EXPECT_EQ(readText(s.dir / "KAVO_data/update.ini"), "old\n");
    EXPECT_EQ(readText(s.dir / "KAVO_data/update_new.ini"), "new\n");
    EXPECT_TRUE(exists(s.dir / "VELN/DOC/manual.txt"));
}

TEST(Update, TestEditionFetchesFromItsOwnFolder) {
    UpdateScene s(true);
    unlink((s.serverRoot + "/wrp/VELN_ALL.wrp").c_str());  // only the TEST copy exists
    ServerProcess server(s.serverRoot, s.address);
    Report r = s.dir.drive({s.startUpdate("VELN_ALL"), "box KAVO_TEST ok 20000", "window 20000",
                            "waitlist 10000 connection established!", "command 8002", "box Update_Completed no 60000",
                            "command 8003", "waitexit 10000"});
    ASSERT_TRUE(r.ok()) << r.raw << joined(s.log());
    EXPECT_TRUE(exists(s.dir / "VELN/DOC/manual.txt"));
    EXPECT_EQ(readText(s.dir / "KAVO_data/update.ini"), "new\n");
}

}  // namespace
