// End-to-end harness: each test gets a working folder of its own, writes a
// driver script, and runs the driver under wine64; the driver starts the
// installer there and reports what it saw.
#pragma once

#include <string>
#include <utility>
#include <vector>

// "Z:\..." form of a host path, as wine sees it.
std::string winPath(const std::string& hostPath);

// A Windows build and what runs it: its folder (installer, driver, stub
// product), the wine loader and the prefix.  The driver's wait limits are
// multiplied by timeScale (emulation is several times slower).
struct WinBuild {
    std::string name, bin, wine, prefix;
    int timeScale;
};
const WinBuild& x64Build();   // the x86_64 build under wine64
// The build under test: x86_64 unless KAVO_E2E_BUILD=i686 picks the shipped
// i686 build under the emulated 32-bit wine.
const WinBuild& buildUnderTest();
std::string installerExe(const WinBuild& build = buildUnderTest());  // Windows path of KAVO_installer.exe

struct Report {
    std::vector<std::pair<std::string, std::string>> lines;
    int driverExit = -1;
    std::string raw;
    bool ok() const;                                  // no "fail" line and driver exit 0
    std::string get(const std::string& key) const;   // first value, "" when absent
    std::vector<std::string> all(const std::string& key) const;
    std::vector<std::string> list() const;           // the last "list" dump
};

class E2eDir {
public:
    E2eDir();   // named after the running test and the build under test; emptied first
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }
    std::string win(const std::string& rel = "") const;
    // Runs the build's driver with these script lines in this folder (the
    // installer is started with this folder as its current directory).
    Report drive(const std::vector<std::string>& script, int timeoutSeconds = 120,
                 const WinBuild& build = buildUnderTest()) const;

private:
    std::string path_;
};

void writeText(const std::string& path, const std::string& content);
std::string readText(const std::string& path);
std::vector<std::string> readLines(const std::string& path);
bool exists(const std::string& path);
// The lines one per row, for failure messages.
std::string joined(const std::vector<std::string>& lines);

// Log file lines without their timestamps; false for a line whose stamp
// does not have the "YYYY/MM/DD   hh:mm:ss\t\t" form.
std::vector<std::string> logTexts(const std::string& logPath, bool* formatOk = nullptr);

// A loopback address of this test's own (127.0.x.y, from the test's name),
// so that tests running at the same time each have a server on port 49491.
std::string testAddress(int variant = 0);

// The reference update server as a child process, stopped on destruction.
class ServerProcess {
public:
    // Serves `root` on `address`:49491 with the given extra options.
    ServerProcess(const std::string& root, const std::string& address, const std::vector<std::string>& options = {},
                  const std::string& logPath = "");
    ~ServerProcess();
    bool running() const;
    void stop();
    std::string log() const;   // what the server printed so far

private:
    int pid_ = -1;
    std::string logPath_;
};
