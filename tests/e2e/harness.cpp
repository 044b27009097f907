#include "tests/e2e/harness.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

namespace {

std::string env(const char* name, const char* fallback) {
    const char* v = getenv(name);
    return v && *v ? v : fallback;
}

void removeAll(const std::string& path) {
    std::string cmd = "rm -rf '" + path + "'";
    if (system(cmd.c_str()) != 0) ADD_FAILURE() << "cannot clear " << path;
}

}  // namespace

std::string winPath(const std::string& hostPath) {
    std::string w = "Z:" + hostPath;
    for (char& c : w)
        if (c == '/') c = '\\';
    return w;
}

const WinBuild& x64Build() {
    static const WinBuild b{"x86_64", env("KAVO_WIN64_BIN", KAVO_WIN64_BIN), "/usr/lib/wine/wine64",
                            env("WINEPREFIX", KAVO_WINE_PREFIX), 1};
    return b;
}

const WinBuild& buildUnderTest() {
    static const WinBuild i686{"i686", KAVO_WIN32_BIN, KAVO_EMU_WINE, KAVO_EMU_PREFIX, 3};
    return env("KAVO_E2E_BUILD", "") == std::string("i686") ? i686 : x64Build();
}

std::string installerExe(const WinBuild& build) { return winPath(build.bin + "/KAVO_installer.exe"); }

bool Report::ok() const { return driverExit == 0 && get("fail").empty() && get("done") == "ok"; }

std::string Report::get(const std::string& key) const {
    for (const auto& l : lines)
        if (l.first == key) return l.second;
    return "";
}

std::vector<std::string> Report::all(const std::string& key) const {
    std::vector<std::string> v;
    for (const auto& l : lines)
        if (l.first == key) v.push_back(l.second);
    return v;
}

std::vector<std::string> Report::list() const {
    std::vector<std::string> v;
    for (const auto& l : lines) {
        if (l.first == "list.count") v.clear();
        else if (l.first.rfind("list[", 0) == 0) v.push_back(l.second);
    }
    return v;
}

E2eDir::E2eDir() {
    const auto* info = testing::UnitTest::GetInstance()->current_test_info();
    std::string name = info ? std::string(info->test_suite_name()) + "." + info->name() : "e2e";
    path_ = std::string(KAVO_E2E_WORK) + "/" + buildUnderTest().name + "/" + name;
    removeAll(path_);
    std::string cmd = "mkdir -p '" + path_ + "'";
    if (system(cmd.c_str()) != 0) ADD_FAILURE() << "cannot create " << path_;
}

std::string E2eDir::win(const std::string& rel) const {
    return winPath(rel.empty() ? path_ : path_ + "/" + rel);
}

Report E2eDir::drive(const std::vector<std::string>& script, int timeoutSeconds, const WinBuild& build) const {
    std::ostringstream text;
    text << "cd " << win() << "\n";
    if (build.timeScale > 1) text << "timescale " << build.timeScale << "\n";
    timeoutSeconds *= build.timeScale;
    for (const auto& s : script) text << s << "\n";
    writeText(*this / "driver_script.txt", text.str());
    unlink((*this / "driver_report.txt").c_str());

    std::string driver = build.bin + "/tools/driver/kavo_driver.exe";
    pid_t pid = fork();
    if (pid == 0) {
        if (chdir(path_.c_str()) != 0) _exit(120);
        int fd = open("driver_wine.log", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int nul = open("/dev/null", O_RDONLY);
        if (fd < 0 || nul < 0) _exit(121);
        dup2(nul, 0);
        dup2(fd, 1);
        dup2(fd, 2);
        setpgid(0, 0);
        setenv("WINEPREFIX", build.prefix.c_str(), 1);
        // Only wine's own errors, kept for the report of a failed run.
        setenv("WINEDEBUG", "-all,err+all", 1);
        setenv("WINEDLLOVERRIDES", "winemenubuilder.exe=d;mscoree=d;mshtml=d;winedbg.exe=d", 1);
        execl(build.wine.c_str(), build.wine.c_str(), driver.c_str(), "driver_script.txt", "driver_report.txt",
              static_cast<char*>(nullptr));
        _exit(122);
    }
    Report r;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    int status = 0;
    for (;;) {
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            r.driverExit = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
            break;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            kill(-pid, SIGKILL);
            waitpid(pid, &status, 0);
            ADD_FAILURE() << "driver timed out after " << timeoutSeconds << " s";
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    r.raw = readText(*this / "driver_report.txt");
    std::istringstream in(r.raw);
    std::string line;
    while (std::getline(in, line)) {
        size_t colon = line.find(": ");
        if (colon == std::string::npos) {
            if (!line.empty() && line.back() == ':') r.lines.emplace_back(line.substr(0, line.size() - 1), "");
            continue;
        }
        r.lines.emplace_back(line.substr(0, colon), line.substr(colon + 2));
    }
    // A run that failed may have been wine's doing (a process lost while it
    // was set up, a window refused): its error lines go with the report.
    if (!r.ok()) {
        int shown = 0;
        for (const std::string& l : readLines(*this / "driver_wine.log"))
            if (l.find(":err:") != std::string::npos && shown++ < 20) r.raw += "wine " + l + "\n";
    }
    return r;
}

void writeText(const std::string& path, const std::string& content) {
    std::ofstream f(path, std::ios::binary);
    f << content;
}

std::string readText(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

std::vector<std::string> readLines(const std::string& path) {
    std::vector<std::string> lines;
    std::istringstream in(readText(path));
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

bool exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::string joined(const std::vector<std::string>& lines) {
    std::string s;
    for (const auto& l : lines) s += l + "\n";
    return s;
}

std::vector<std::string> logTexts(const std::string& logPath, bool* formatOk) {
    static const std::regex stamp("^\\d{4}/\\d{2}/\\d{2}   \\d{2}:\\d{2}:\\d{2}\t\t");
    std::vector<std::string> texts;
    bool ok = true;
    std::string raw = readText(logPath);
    // Text mode on the exe's side: every line ends in CR LF.
    size_t pos = 0;
    while (pos < raw.size()) {
        size_t end = raw.find('\n', pos);
        if (end == std::string::npos) {
            ok = false;
            break;
        }
        std::string line = raw.substr(pos, end - pos);
        pos = end + 1;
        if (line.empty() || line.back() != '\r') ok = false;
        else line.pop_back();
        std::smatch m;
        if (!std::regex_search(line, m, stamp)) {
            ok = false;
            texts.push_back(line);
        } else {
            texts.push_back(line.substr(m.length(0)));
        }
    }
    if (formatOk) *formatOk = ok;
    return texts;
}

namespace {
// True when nothing is bound to address:49491 right now.
bool portFree(const std::string& address) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return false;
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(49491);
    inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
    bool ok = bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    close(fd);
    return ok;
}
}  // namespace

std::string testAddress(int variant) {
    const auto* info = testing::UnitTest::GetInstance()->current_test_info();
    std::string name = info ? std::string(info->test_suite_name()) + "." + info->name() : "e2e";
    unsigned h = 2166136261u;
    for (char c : name) h = (h ^ static_cast<unsigned char>(c)) * 16777619u;
    h += static_cast<unsigned>(variant) * 7919u;
    // Two runs of the suite on one machine (a clean clone's beside this
    // tree's) share loopback: the process id keeps the same test of each on
    // an address of its own, so neither installer reaches the other's server.
    h ^= static_cast<unsigned>(getpid()) * 2654435761u;
    // Another test (or a server left over from an interrupted run) may hold
    // the address: move on to the next one.
    for (int attempt = 0;; ++attempt, h += 104729u) {
        std::string a = "127.0." + std::to_string(1 + h % 250) + "." + std::to_string(2 + (h / 250) % 250);
        if (portFree(a) || attempt == 50) return a;
    }
}

ServerProcess::ServerProcess(const std::string& root, const std::string& address,
                             const std::vector<std::string>& options, const std::string& logPath)
    : logPath_(logPath.empty() ? root + "/../update_server.log" : logPath) {
    std::string exe = std::string(KAVO_NATIVE_BIN) + "/server/update_server";
    std::string portFile = logPath_ + ".port";
    unlink(portFile.c_str());
    std::vector<std::string> args = {exe, "--root", root, "--address", address, "--port", "49491",
                                     "--port-file", portFile};
    args.insert(args.end(), options.begin(), options.end());
    pid_ = fork();
    if (pid_ == 0) {
        int fd = open(logPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int nul = open("/dev/null", O_RDONLY);
        if (fd < 0 || nul < 0) _exit(120);
        dup2(nul, 0);
        dup2(fd, 1);
        dup2(fd, 2);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(exe.c_str(), argv.data());
        _exit(122);
    }
    for (int i = 0; i < 500 && !exists(portFile); ++i) {
        if (!running()) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!exists(portFile)) ADD_FAILURE() << "update server did not start: " << log();
}

ServerProcess::~ServerProcess() { stop(); }

bool ServerProcess::running() const {
    if (pid_ <= 0) return false;
    int status;
    return waitpid(pid_, &status, WNOHANG) == 0;
}

void ServerProcess::stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    int status;
    for (int i = 0; i < 300; ++i) {
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
    pid_ = -1;
}

std::string ServerProcess::log() const { return readText(logPath_); }
