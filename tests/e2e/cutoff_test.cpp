// A component update killed with SIGKILL while it unpacks, then started
// again: the component must be wholly old or wholly new each time, with no
// temporary file left, and an update after it must complete.
#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

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
        if (cmd.find("KAVO_installer.exe") == std::string::npos) continue;
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
    EXPECT_EQ(readText(dir / "KAVO_data/update.ini"), "old\n") << "the version file waits for a whole update";

    // An update after it completes.
    Report r = dir.drive({update, "window 60000", "waitlist 10000 connection established!", "command 8002",
                          "box Update_Completed no 240000", "command 8003", "waitexit 20000"},
                         300);
    ASSERT_TRUE(r.ok()) << r.raw << joined(log());
    EXPECT_EQ(treeListing(dir / "OSKE"), newOske);
    EXPECT_EQ(temporaryFiles(dir.path()), std::vector<std::string>{});
    EXPECT_EQ(readText(dir / "KAVO_data/update.ini"), "new\n");
}

}  // namespace
