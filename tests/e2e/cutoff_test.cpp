// A component update killed with SIGKILL while it unpacks, then started
// again: the component must be wholly old or wholly new each time, with no
// temporary file left, and an update after it must complete.
#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <thread>

#include "tests/e2e/harness.h"
#include "tests/e2e/release.h"

namespace {

const int FILES = 1500;
const char* const JOURNAL = "KAVO_unwrap.journal";

void mkdirs(const std::string& path) { ASSERT_EQ(system(("mkdir -p '" + path + "'").c_str()), 0); }

// OSKE with FILES files in ten folders, in the old or the new release.
void writeOske(const std::string& root, const std::string& release) {
    for (int i = 0; i < FILES; ++i) {
        std::string folder = root + "/OSKE/part" + std::to_string(i % 10);
        if (i < 10) mkdirs(folder);
        writeText(folder + "/file" + std::to_string(i) + ".dat",
                  release + " release, file " + std::to_string(i) + std::string(i % 50, release[0]) + "\n");
    }
}

// The installer processes started in `folder` (their current folder).
std::vector<int> installersIn(const std::string& folder) {
    std::vector<int> pids;
    char want[4096];
    if (!realpath(folder.c_str(), want)) return pids;
    DIR* proc = opendir("/proc");
    if (!proc) return pids;
    while (dirent* e = readdir(proc)) {
        int pid = atoi(e->d_name);
        if (pid <= 0) continue;
        std::string base = "/proc/" + std::string(e->d_name);
        std::string cmd = readText(base + "/cmdline");
        if (cmd.find("KAVO_installer") == std::string::npos) continue;  // with a key or without
        char cwd[4096];
        ssize_t n = readlink((base + "/cwd").c_str(), cwd, sizeof cwd - 1);
        if (n <= 0) continue;
        cwd[n] = '\0';
        if (std::string(cwd) == want) pids.push_back(pid);
    }
    closedir(proc);
    return pids;
}

// Kills the installer of `folder` with SIGKILL as soon as `due` says so;
// gives up after two minutes.
class Killer {
public:
    Killer(std::string folder, std::function<bool()> due) : folder_(std::move(folder)), due_(std::move(due)) {
        thread_ = std::thread([this] {
            auto end = std::chrono::steady_clock::now() + std::chrono::minutes(2);
            while (!stop_ && std::chrono::steady_clock::now() < end) {
                if (due_()) {
                    for (int pid : installersIn(folder_)) {
                        kill(pid, SIGKILL);
                        killed_ = true;
                    }
                    if (killed_) return;
                }
                std::this_thread::sleep_for(std::chrono::microseconds(500));
            }
        });
    }
    ~Killer() {
        stop_ = true;
        thread_.join();
    }
    bool killed() const { return killed_; }

private:
    std::string folder_;
    std::function<bool()> due_;
    std::atomic<bool> stop_{false}, killed_{false};
    std::thread thread_;
};

char journalState(const std::string& dir) {
    std::string j = readText(dir + "/" + JOURNAL);
    return j.size() > 9 ? j[9] : 0;
}

std::vector<std::string> temporaryFiles(const std::string& root) {
    std::vector<std::string> found;
    for (const std::string& e : treeListing(root))
        if (e.find(".unwrap ") != std::string::npos || e.find(JOURNAL) != std::string::npos) found.push_back(e);
    return found;
}

int countContaining(const std::vector<std::string>& lines, const std::string& text) {
    int n = 0;
    for (const auto& l : lines) n += l.find(text) != std::string::npos;
    return n;
}

TEST(CutOff, KilledUpdateIsWhollyOldOrWhollyNewAfterTheNextStart) {
    E2eDir dir;
    std::string address = testAddress();
    std::string fresh = dir / "release/KAVO", old = dir / "old", server = dir / "server";
    makeSampleRelease(fresh);
    ASSERT_EQ(system(("rm -rf '" + fresh + "/OSKE'").c_str()), 0);
    writeOske(fresh, "new");
    writeOske(old, "old");
    ASSERT_TRUE(packRelease(fresh, server, "wrp"));
    writeText(dir / "setup.ini", "CONNECT:" + address + "\n");
    mkdirs(dir / "KAVO_data");
    writeText(dir / "KAVO_data/update.ini", "old\n");
    writeText(dir / "KAVO_data/update_new.ini", "new\n");
    writeOske(dir.path(), "old");
    const std::vector<std::string> oldOske = treeListing(old + "/OSKE"), newOske = treeListing(fresh + "/OSKE");
    ASSERT_EQ(oldOske.size(), static_cast<size_t>(FILES + 10));
    ServerProcess serverProcess(server, address);
    const std::string update = "start " + installerExe() + " -update:OSKE_ALL";
    auto log = [&] { return logTexts(dir / "KAVO_install_log.txt"); };
    // A start with no command: the window comes, the program is closed.
    auto startAgain = [&] {
        Report r = dir.drive({"start " + installerExe(), "window 60000", "waitlist 10000 connection established!",
                              "command 8003", "waitexit 20000"});
        ASSERT_TRUE(r.ok()) << r.raw << joined(log());
    };

    // Killed in the first phase: temporary files being written.
    {
        Killer killer(dir.path(), [&] {
            return journalState(dir.path()) == 'P' && exists(dir / "OSKE/part0/file100.dat.unwrap");
        });
        dir.drive({update, "window 60000", "waitlist 10000 connection established!", "command 8002",
                   "waitexit 240000"},
                  300);
        ASSERT_TRUE(killer.killed()) << joined(log());
    }
    EXPECT_EQ(journalState(dir.path()), 'P') << "killed in the first phase";
    EXPECT_FALSE(temporaryFiles(dir / "OSKE").empty());
    startAgain();
    EXPECT_EQ(treeListing(dir / "OSKE"), oldOske);
    EXPECT_EQ(temporaryFiles(dir.path()), std::vector<std::string>{});
    EXPECT_EQ(countContaining(log(), " - unfinished unpacking undone, "), 1) << joined(log());

    // Killed in the second phase: the moves under way.
    {
        Killer killer(dir.path(), [&] { return journalState(dir.path()) == 'M'; });
        dir.drive({update, "window 60000", "waitlist 10000 connection established!", "command 8002",
                   "waitexit 240000"},
                  300);
        ASSERT_TRUE(killer.killed()) << joined(log());
    }
    EXPECT_EQ(journalState(dir.path()), 'M') << "killed in the second phase";
    startAgain();
    EXPECT_EQ(treeListing(dir / "OSKE"), newOske);
    EXPECT_EQ(temporaryFiles(dir.path()), std::vector<std::string>{});
    EXPECT_EQ(countContaining(log(), " - unfinished update completed, "), 1) << joined(log());
    // The version file lands with the update's last package.
    EXPECT_EQ(readText(dir / "KAVO_data/update.ini"), "new\n");

    // An update after it completes.
    Report r = dir.drive({update, "window 60000", "waitlist 10000 connection established!", "command 8002",
                          "box Update_Completed no 240000", "command 8003", "waitexit 20000"},
                         300);
    ASSERT_TRUE(r.ok()) << r.raw << joined(log());
    EXPECT_EQ(treeListing(dir / "OSKE"), newOske);
    EXPECT_EQ(temporaryFiles(dir.path()), std::vector<std::string>{});
    EXPECT_EQ(readText(dir / "KAVO_data/update.ini"), "new\n");
}

// The key-built exe, its landings cut off with a kill and then tampered
// with: temporary files changed by hand, a damaged journal, records that
// must follow what recovery lands, an uninstall over a pending journal and
// an INSTALL into a folder of its own.  Release 1 has the old component,
// release 2 the new one with 30 files more.
TEST(CutOff, KeyedLandingsAreProvedRepairedAndUninstalledWhole) {
    E2eDir dir;
    const std::string address = testAddress(), keyed = winPath(x64Build().bin + "/KAVO_installer_testkey.exe");
    const std::string fresh = dir / "fresh/KAVO", old = dir / "old/KAVO", v1 = dir / "v1", v2 = dir / "v2";
    for (const std::string& r : {fresh, old}) {
        makeSampleRelease(r);
        ASSERT_EQ(system(("rm -rf '" + r + "/OSKE'").c_str()), 0);
        writeOske(r, r == fresh ? "new" : "old");
    }
    mkdirs(fresh + "/OSKE/added");
    for (int i = 0; i < 30; ++i) writeText(fresh + "/OSKE/added/file" + std::to_string(i) + ".dat", "added\n");
    ASSERT_TRUE(packRelease(old, v1) && packRelease(fresh, v2));
    writeText(v1 + "/update.ini", "version=1\n");
    writeText(v2 + "/update.ini", "version=2\n");
    ASSERT_TRUE(signRelease(v1, 1) && signRelease(v2, 2));
    // The server's root is a link, switched between the releases.
    auto serve = [&](const std::string& release) {
        ASSERT_EQ(system(("ln -sfn '" + release + "' '" + dir / "server.new' && mv -T '" + dir / "server.new' '" +
                          dir / "server'").c_str()),
                  0);
    };
    serve(v2);
    writeText(dir / "setup.ini", "CONNECT:" + address + "\n");
    ServerProcess serverProcess(dir / "server", address);
    const std::vector<std::string> oldOske = treeListing(old + "/OSKE"), newOske = treeListing(fresh + "/OSKE");
    const std::string record = dir / "KAVO_data/installed_files.txt", releaseRecord = dir / "KAVO_data/KAVO_installed.release";
    // Release 1 installed, with its records as an installation keeps them.
    auto installOld = [&] {
        ASSERT_EQ(system(("cd '" + dir.path() + "' && rm -rf OSKE KAVO_data KAVO_unwrap.journal*").c_str()), 0);
        writeOske(dir.path(), "old");
        mkdirs(dir / "KAVO_data");
        writeText(dir / "KAVO_data/update.ini", "old\n");
        writeText(dir / "KAVO_data/update_new.ini", "new\n");
        std::string text = "KAVO installed files 1\r\nD KAVO_data\r\nD OSKE\r\n";
        for (int i = 0; i < FILES; ++i)
            text += "F OSKE\\part" + std::to_string(i % 10) + "\\file" + std::to_string(i) + ".dat\r\n";
        text += "F KAVO_data\\update.ini\r\nF KAVO_data\\installed_files.txt\r\nF KAVO_data\\KAVO_installed.release\r\n";
        writeText(record, text);
        writeText(releaseRecord, readText(v1 + "/wrp/KAVO.release"));
    };
    auto log = [&] { return logTexts(dir / "KAVO_install_log.txt"); };
    auto startAgain = [&](const std::string& switches = "") {
        Report r = dir.drive({"start " + keyed + switches, "window 60000", "waitlist 10000 connection established!",
                              "command 8003", "waitexit 20000"});
        ASSERT_TRUE(r.ok()) << r.raw << joined(log());
    };
    // An update of OSKE to release 2, killed once its moves are under way.
    auto killedUpdate = [&] {
        Killer killer(dir.path(), [&] { return journalState(dir.path()) == 'M'; });
        dir.drive({"regdel Software\\KAVO\\Installer", "start " + keyed + " -update:OSKE_ALL", "window 60000",
                   "waitlist 10000 connection established!", "command 8002", "waitexit 240000"},
                  300);
        ASSERT_TRUE(killer.killed()) << joined(log());
    };
    auto silent = [&](const std::string& switches) {
        Report r = dir.drive({"start " + keyed + " -silent " + switches, "watchexit 240000"}, 300);
        EXPECT_TRUE(r.ok()) << r.raw << joined(log());
        return r.get("exit");
    };
    auto noLeftovers = [&](const std::string& root) { EXPECT_EQ(temporaryFiles(root), std::vector<std::string>{}); };

    // Pending temporary files deleted, cut and overwritten: the landing
    // cannot be proved, and the next start puts the old release back whole.
    installOld();
    const std::string oldRecord = readText(record);
    killedUpdate();
    std::vector<std::string> pending;
    for (const std::string& e : treeListing(dir / "OSKE"))
        if (e.find(".unwrap ") != std::string::npos) pending.push_back(dir / "OSKE/" + e.substr(2, e.find(' ', 2) - 2));
    ASSERT_GE(pending.size(), 3u);
    ASSERT_EQ(unlink(pending[0].c_str()), 0);
    writeText(pending[1], readText(pending[1]).substr(0, 5));
    writeText(pending[2], std::string(readText(pending[2]).size(), '#'));
    startAgain();
    EXPECT_EQ(treeListing(dir / "OSKE"), oldOske);
    noLeftovers(dir.path());
    EXPECT_EQ(countContaining(log(), " - unfinished update put back, the installed files as they were: \""), 1) << joined(log());
    EXPECT_EQ(readText(record), oldRecord);
    EXPECT_EQ(readText(releaseRecord), readText(v1 + "/wrp/KAVO.release"));

    // A journal damaged by hand moves nothing; the next update repairs the
    // folder with the whole product and says so in its exit code.
    killedUpdate();
    std::string journal = readText(dir / JOURNAL);
    journal[journal.size() / 2] ^= 0x10;
    writeText(dir / JOURNAL, journal);
    startAgain();
    EXPECT_EQ(countContaining(log(), " - nothing moved; the next installation or update of this folder repairs it"), 1)
        << joined(log());
    EXPECT_EQ(silent("-update:OSKE_ALL"), "9") << joined(log());
    EXPECT_EQ(countContaining(log(), "updateKAVO - repair of \""), 1) << joined(log());
    EXPECT_EQ(treeListing(dir / "OSKE"), newOske);
    noLeftovers(dir.path());
    EXPECT_EQ(readText(releaseRecord), readText(v2 + "/wrp/KAVO.release"));

    // The records land with the files, also when recovery lands them: the
    // 30 new files are on the record, release 2 is the installation's, and
    // the older release is refused.
    installOld();
    killedUpdate();
    startAgain();
    EXPECT_EQ(treeListing(dir / "OSKE"), newOske);
    EXPECT_NE(readText(record).find("F OSKE\\added\\file29.dat\r\n"), std::string::npos);
    EXPECT_EQ(readText(releaseRecord), readText(v2 + "/wrp/KAVO.release"));
    serve(v1);
    EXPECT_EQ(silent("-update:OSKE_ALL"), "5");
    EXPECT_EQ(countContaining(log(), "updateKAVO ERROR - the offered release 1 is older than the installed release 2"), 1)
        << joined(log());
    EXPECT_EQ(treeListing(dir / "OSKE"), newOske);
    serve(v2);

    // An uninstall over a pending journal finishes it first, then removes the
    // product, the installer's leftovers (the download of the killed run
    // among them) and its records; only the test's own files stay.
    killedUpdate();
    ASSERT_TRUE(exists(dir / "OSKE_ALL.wrp"));
    Report u = dir.drive({"start " + keyed + " -uninstall -silent -installDir:\"" + winPath(dir.path()) + "\"",
                          "watchexit 240000"},
                         300);
    ASSERT_TRUE(u.ok()) << u.raw;
    EXPECT_EQ(u.get("exit"), "0") << u.raw;
    EXPECT_FALSE(exists(dir / "OSKE"));
    EXPECT_FALSE(exists(dir / "KAVO_data"));
    EXPECT_FALSE(exists(dir / "OSKE_ALL.wrp"));
    noLeftovers(dir.path());

    // An INSTALL killed in a folder of its own: a plain start naming that
    // folder finishes it.
    const std::string inst = dir / "inst";
    {
        Killer killer(dir.path(), [&] { return journalState(inst) == 'M'; });
        dir.drive({"start " + keyed + " -installDir:\"" + winPath(inst) + "\"", "window 60000",
                   "waitlist 10000 connection established!", "command 8001", "waitexit 240000"},
                  300);
        ASSERT_TRUE(killer.killed()) << joined(log());
    }
    startAgain(" -installDir:\"" + winPath(inst) + "\"");
    EXPECT_EQ(treeListing(inst, {"KAVO_data/update.ini", "KAVO_data/installed_files.txt",
                                 "KAVO_data/KAVO_installed.release", "KAVO_data/KAVO_uninstall.exe", "KAVO.wrp"}),
              treeListing(fresh));
    noLeftovers(inst);
    EXPECT_EQ(readText(inst + "/KAVO_data/update.ini"), "version=2\n");
}

// A file of the component held open by another program, as a scanner or
// the running product holds it: the update replaces nothing, names the
// file and exits with its own code; once the file is free the next try lands
// the files it kept without fetching the package again.  A file let go
// while the update waits for it does not stop it.
TEST(CutOff, AFileInUseLeavesTheComponentOldAndTheNextTryLandsIt) {
    E2eDir dir;
    const std::string address = testAddress(), keyed = winPath(x64Build().bin + "/KAVO_installer_testkey.exe");
    const std::string fresh = dir / "fresh/KAVO", server = dir / "server";
    makeSampleRelease(fresh);
    ASSERT_EQ(system(("rm -rf '" + fresh + "/OSKE'").c_str()), 0);
    writeOske(fresh, "new");
    ASSERT_TRUE(packRelease(fresh, server));
    writeText(server + "/update.ini", "version=2\n");
    ASSERT_TRUE(signRelease(server, 2));
    writeText(dir / "setup.ini", "CONNECT:" + address + "\n");
    ServerProcess serverProcess(server, address);
    const std::vector<std::string> newOske = treeListing(fresh + "/OSKE");
    auto installOld = [&] {
        ASSERT_EQ(system(("cd '" + dir.path() + "' && rm -rf OSKE KAVO_data KAVO_unwrap.journal* OSKE_ALL.wrp").c_str()), 0);
        writeOske(dir.path(), "old");
    };
    installOld();
    const std::vector<std::string> oldOske = treeListing(dir / "OSKE");
    auto log = [&] { return logTexts(dir / "KAVO_install_log.txt"); };
    auto without = [](std::vector<std::string> listing) {
        listing.erase(std::remove_if(listing.begin(), listing.end(),
                                     [](const std::string& e) { return e.find(".unwrap ") != std::string::npos; }),
                      listing.end());
        return listing;
    };
    const std::string held = dir / "OSKE/part3/file123.dat";
    const std::string update = "start " + keyed + " -silent -update:OSKE_ALL";

    // Held past the retry: nothing replaced, the file named, exit code 10.
    Report r = dir.drive({"regdel Software\\KAVO\\Installer", "hold all 0 " + winPath(held), update,
                          "watchexit 240000", "release"},
                         300);
    ASSERT_TRUE(r.ok()) << r.raw << joined(log());
    EXPECT_EQ(r.get("exit"), "10") << joined(log());
    EXPECT_EQ(log().back(), "silent run - exit code 10 - a file is in use");
    EXPECT_EQ(countContaining(log(), "unwrapFolder - nothing replaced: \"" + winPath(dir.path()) +
                                         "\\OSKE/part3/file123.dat\" is in use"),
              1)
        << joined(log());
    EXPECT_EQ(without(treeListing(dir / "OSKE")), oldOske);
    EXPECT_EQ(journalState(dir.path()), 'R') << "its files wait for the next try";

    // The next try, the file free: the files kept are landed, no download.
    r = dir.drive({update, "watchexit 240000"}, 300);
    ASSERT_TRUE(r.ok()) << r.raw << joined(log());
    EXPECT_EQ(r.get("exit"), "0") << joined(log());
    EXPECT_EQ(countContaining(log(), "files kept for OSKE_ALL.wrp in \""), 1) << joined(log());
    EXPECT_EQ(treeListing(dir / "OSKE"), newOske);
    EXPECT_EQ(temporaryFiles(dir.path()), std::vector<std::string>{});

    // The interactive update asks once, naming the file; Retry once it is
    // free lands the component.
    installOld();
    r = dir.drive({"hold read 0 " + winPath(held), "start " + keyed + " -update:OSKE_ALL", "window 60000",
                   "waitlist 10000 connection established!", "command 8002", "waitbox File_in_Use 240000", "release",
                   "box File_in_Use retry 10000", "box Update_Completed no 240000", "command 8003", "waitexit 20000"},
                  300);
    ASSERT_TRUE(r.ok()) << r.raw << joined(log());
    EXPECT_NE(r.get("box").find("OSKE/part3/file123.dat\" is in use"), std::string::npos) << r.raw;
    EXPECT_EQ(treeListing(dir / "OSKE"), newOske);

    // Let go while the update waits for it: the update goes on.
    installOld();
    const std::string go = dir / "let_go";
    std::atomic<bool> stop{false};
    std::thread signal([&] {
        auto end = std::chrono::steady_clock::now() + std::chrono::minutes(3);
        while (!stop && journalState(dir.path()) != 'R' && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        writeText(go, "now\n");
    });
    r = dir.drive({"hold none 0 " + winPath(held), update, "waitfile 240000 " + winPath(go), "release",
                   "watchexit 240000"},
                  300);
    stop = true;
    signal.join();
    ASSERT_TRUE(r.ok()) << r.raw << joined(log());
    EXPECT_EQ(r.get("exit"), "0") << joined(log());
    EXPECT_EQ(treeListing(dir / "OSKE"), newOske);
}

}  // namespace
