// Unattended runs (-silent) end to end: the real exe under wine, one row a
// situation.  Each row checks the exit code, that no window of the run ever
// became visible, the log's last line and what is on disk.
#include <gtest/gtest.h>

#include <unistd.h>

#include <functional>
#include <ostream>

#include "tests/e2e/harness.h"
#include "tests/e2e/release.h"

namespace {

struct SilentScene {
    E2eDir dir;
    std::string release = dir / "release/KAVO";
    std::string serverRoot = dir / "server";
    std::string inst = dir / "inst";
    std::string address = testAddress();

    SilentScene() {
        makeSampleRelease(release);
        EXPECT_TRUE(packRelease(release, serverRoot, "wrp"));
        writeText(serverRoot + "/update.ini", "version=2.0 (from the server)\n");
        writeText(dir / "setup.ini", "CONNECT:" + address + "\n");
        // The folder also holds an installation, for the component update.
        system(("mkdir -p '" + dir / "KAVO_data'").c_str());
        writeText(dir / "KAVO_data/update.ini", "old\n");
        writeText(dir / "KAVO_data/update_new.ini", "new\n");
    }
    std::string installDirSwitch() const { return "-installDir:\"" + winPath(inst) + "\""; }
    std::vector<std::string> log() const { return logTexts(dir / "KAVO_install_log.txt"); }
};

struct Row {
    const char* name;
    bool server;                                     // the reference server runs
    std::function<void(SilentScene&)> prepare;       // before the server starts
    std::function<std::string(const SilentScene&)> switches;
    int exitCode;
    const char* meaning;                             // of the log's last line
    std::function<void(const SilentScene&)> check;   // what is on disk afterwards
    bool folderHeldByAnother = false;
};

// A row is known by its name in test listings.
void PrintTo(const Row& row, std::ostream* os) { *os << row.name; }

bool logHas(const std::vector<std::string>& log, const std::string& text) {
    for (const auto& l : log)
        if (l.find(text) != std::string::npos) return true;
    return false;
}

void nothingInstalled(const SilentScene& s) {
    EXPECT_FALSE(exists(s.inst + "/KAVO_data")) << "nothing may be unpacked";
    EXPECT_FALSE(exists(s.inst + "/KAVO.wrp"));
}

void versionFilesUntouched(const SilentScene& s) {
    EXPECT_EQ(readText(s.dir / "KAVO_data/update.ini"), "old\n");
    EXPECT_EQ(readText(s.dir / "KAVO_data/update_new.ini"), "new\n");
}

const Row ROWS[] = {
    {"GoodInstallation", true, nullptr, [](const SilentScene& s) { return s.installDirSwitch(); }, 0, "done",
     [](const SilentScene& s) {
         EXPECT_EQ(treeListing(s.inst, {"KAVO_data/update.ini", "KAVO_data/installed_files.txt",
                                        "KAVO_data/KAVO_uninstall.exe"}),
                   treeListing(s.release));
         // Registered for the list of installed programs as an interactive INSTALL is.
         EXPECT_TRUE(exists(s.inst + "/KAVO_data/KAVO_uninstall.exe"));
         EXPECT_EQ(readText(s.inst + "/KAVO_data/update.ini"), "version=2.0 (from the server)\n");
         EXPECT_FALSE(exists(s.inst + "/KAVO.wrp"));
         std::vector<std::string> log = s.log();
         EXPECT_TRUE(logHas(log, "installation completed")) << joined(log);
         EXPECT_FALSE(logHas(log, "start KAVO")) << "a deployment never starts the product";
     }},
    {"RefusedPackage", true,
     [](SilentScene& s) {
         std::string archive = readText(s.serverRoot + "/wrp/KAVO.wrp");
         writeText(s.serverRoot + "/wrp/KAVO.wrp", archive.substr(0, archive.size() / 2));
     },
     [](const SilentScene& s) { return s.installDirSwitch(); }, 5, "a package was refused or could not be unpacked",
     [](const SilentScene& s) {
         EXPECT_TRUE(exists(s.inst + "/KAVO.wrp")) << "the archive stays";
         EXPECT_FALSE(exists(s.inst + "/KAVO_data/update.ini"));
         std::vector<std::string> log = s.log();
         EXPECT_TRUE(logHas(log, "installation FAILED")) << joined(log);
         EXPECT_TRUE(logHas(log, "warning (not shown): Failed to install KAVO. Please try again")) << joined(log);
     }},
    {"FolderWhoseParentsAreMissing", true, nullptr,
     [](const SilentScene& s) { return "-installDir:\"" + winPath(s.inst + "/Apps/KAVO") + "\""; }, 0, "done",
     [](const SilentScene& s) {
         // A deployment makes the whole path, each folder with its line.
         EXPECT_EQ(readText(s.inst + "/Apps/KAVO/KAVO_data/update.ini"), "version=2.0 (from the server)\n");
         for (const std::string& made : {s.inst, s.inst + "/Apps", s.inst + "/Apps/KAVO"})
             EXPECT_TRUE(logHas(s.log(), "install KAVO - created \"" + winPath(made) + "\"")) << joined(s.log());
     }},
    {"NoServer", false, nullptr, [](const SilentScene& s) { return s.installDirSwitch(); }, 3,
     "could not reach the update server",
     [](const SilentScene& s) {
         EXPECT_FALSE(exists(s.inst)) << "nothing is created without a server";
         EXPECT_TRUE(logHas(s.log(), "FAILED to connect to Update Server")) << joined(s.log());
     }},
    {"FolderClaimedByAnotherInstaller", true,
     [](SilentScene& s) {
         system(("mkdir -p '" + s.inst + "'").c_str());
         writeText(s.inst + "/setup.ini", "CONNECT:" + s.address + "\n");
     },
     [](const SilentScene& s) { return s.installDirSwitch(); }, 6, "another installer is working on that folder",
     [](const SilentScene& s) {
         nothingInstalled(s);
         EXPECT_TRUE(logHas(s.log(), "install KAVO ERROR - another installer is working on")) << joined(s.log());
     },
     true},
    {"SilentUpdate", true, nullptr, [](const SilentScene&) { return std::string("-update:OSKE_ALL,KAVO_EXE"); }, 0,
     "done",
     [](const SilentScene& s) {
         EXPECT_EQ(readText(s.dir / "OSKE/data/table.dat"), readText(s.release + "/OSKE/data/table.dat"));
         EXPECT_TRUE(exists(s.dir / "KAVO_data/KAVO_interface.exe"));
         EXPECT_EQ(readText(s.dir / "KAVO_data/update.ini"), "new\n");
         EXPECT_FALSE(exists(s.dir / "KAVO_data/update_new.ini"));
         EXPECT_FALSE(exists(s.dir / "KAVO_interface_started.txt")) << "a deployment never starts the product";
         EXPECT_FALSE(exists(s.inst));
     }},
    {"UpdateWithAFailingPackage", true, [](SilentScene& s) { unlink((s.serverRoot + "/wrp/OSKE_ALL.wrp").c_str()); },
     [](const SilentScene&) { return std::string("-update:OSKE_ALL,VELN_ALL"); }, 8, "some component packages failed",
     [](const SilentScene& s) {
         versionFilesUntouched(s);
         EXPECT_TRUE(exists(s.dir / "VELN/DOC/manual.txt")) << "the other packages are still tried";
         EXPECT_TRUE(logHas(s.log(), "updateKAVO OSKE_ALL - FAILED")) << joined(s.log());
     }},
    {"UnknownPackageName", true, nullptr, [](const SilentScene&) { return std::string("-update:OSKE_AL"); }, 2,
     "bad command line",
     [](const SilentScene& s) {
         versionFilesUntouched(s);
         EXPECT_FALSE(logHas(s.log(), "connecting to HOST")) << "refused before anything is done";
     }},
    {"WithAutoWrap", false, nullptr, [](const SilentScene&) { return std::string("-autoWrap"); }, 2,
     "bad command line",
     [](const SilentScene& s) {
         EXPECT_FALSE(exists(s.dir / "wrp")) << "nothing is packed";
         EXPECT_TRUE(logHas(s.log(), "-silent cannot be combined with -autoWrap - nothing done")) << joined(s.log());
     }},
};

class SilentRun : public testing::TestWithParam<Row> {};

TEST_P(SilentRun, ExitCodeNoWindowAndDisk) {
    const Row& row = GetParam();
    SilentScene s;
    if (row.prepare) row.prepare(s);
    std::unique_ptr<ServerProcess> server;
    if (row.server) server.reset(new ServerProcess(s.serverRoot, s.address));

    std::vector<std::string> script;
    if (row.folderHeldByAnother) {
        // An interactive installer started in the installation folder holds
        // it: its component update waits at its last question.
        script = {"use 1", "cd " + winPath(s.inst), "start " + installerExe(), "window 20000",
                  "waitlist 10000 connection established!", "command 8002", "waitbox Update_Completed 10000",
                  "use 0", "cd " + s.dir.win()};
    }
    script.push_back("start " + installerExe() + " -silent " + row.switches(s));
    script.push_back("watchexit 60000");
    Report r = s.dir.drive(script);
    // The server's side of a failed run: which connection it closed, and why.
    auto serverSide = [&] { return server ? "update server:\n" + server->log() : std::string(); };
    ASSERT_TRUE(r.ok()) << r.raw << joined(s.log()) << serverSide();

    EXPECT_EQ(r.get("exit"), std::to_string(row.exitCode)) << r.raw << joined(s.log()) << serverSide();
    EXPECT_EQ(r.get("visible.count"), "0") << r.raw;
    std::vector<std::string> log = s.log();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), "silent run - exit code " + std::to_string(row.exitCode) + " - " + row.meaning)
        << joined(log);
    if (row.exitCode == 0) {
        EXPECT_EQ(r.get("hidden.main"), "1") << "the window exists, hidden";
    }
    row.check(s);
}

INSTANTIATE_TEST_SUITE_P(Silent, SilentRun, testing::ValuesIn(ROWS),
                         [](const testing::TestParamInfo<Row>& info) { return std::string(info.param.name); });

}  // namespace
