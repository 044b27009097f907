// The balanced setup end to end: the real installer installs through
// HAProxy (server/deploy/trial.sh) in front of two reference
// servers; the server it is connected to is killed; new installers reach
// the other one, and the installer asks to reconnect and installs again.
// Last, the server that is left is stopped the way a maker does it
// (drained in HAProxy, then SIGTERM) while a download runs through it.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <thread>

#include "tests/e2e/harness.h"
#include "tests/e2e/release.h"

namespace {

int count(const std::vector<std::string>& lines, const std::string& text) {
    return static_cast<int>(std::count_if(lines.begin(), lines.end(),
                                          [&](const std::string& l) { return l.find(text) != std::string::npos; }));
}

int connectTo(const std::string& address) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(49491);
    inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
    if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) return fd;
    close(fd);
    return -1;
}

bool connects(const std::string& address) {
    int fd = connectTo(address);
    if (fd >= 0) close(fd);
    return fd >= 0;
}

// A simulated installer: connect, hello, and the server's hello back.
bool helloAnswered(const std::string& address) {
    const std::string hello("\x23\x76\x01\x00\x03\x00", 6);
    std::string got;
    int fd = connectTo(address);
    if (fd >= 0 && send(fd, hello.data(), hello.size(), MSG_NOSIGNAL) == 6) {
        char buf[16];
        pollfd p{fd, POLLIN, 0};
        while (got.size() < 6 && poll(&p, 1, 5000) > 0) {
            ssize_t r = recv(fd, buf, sizeof buf, 0);
            if (r <= 0) break;
            got.append(buf, static_cast<size_t>(r));
        }
    }
    if (fd >= 0) close(fd);
    return got == hello;
}

struct Trial {
    std::string dir, script = std::string(KAVO_SOURCE_DIR) + "/server/deploy/trial.sh";
    bool started = false;
    bool start(const std::string& root, const std::string& front, const std::vector<std::string>& servers) {
        std::string cmd = "UPDATE_SERVER='" + std::string(KAVO_NATIVE_BIN) +
                          "/server/update_server' TRIAL_SECONDS=600 '" + script + "' start '" + dir +
                          "' '" + root + "' " + front;
        for (const auto& s : servers) cmd += " " + s;
        started = true;
        return system((cmd + " >'" + dir + ".out' 2>&1").c_str()) == 0;
    }
    void stop() {
        if (started && system(("'" + script + "' stop '" + dir + "' >/dev/null 2>&1").c_str()) != 0)
            ADD_FAILURE() << "trial.sh stop failed";
        started = false;
    }
    ~Trial() { stop(); }
};

TEST(Balancer, InstallsThroughHAProxyAndSurvivesALostServer) {
    E2eDir dir;
    std::string release = dir / "release/KAVO", root = dir / "server", inst = dir / "inst";
    makeSampleRelease(release);
    ASSERT_TRUE(packRelease(release, root, "wrp"));
    writeText(root + "/update.ini", "version=2.0 (balanced)\n");
    // Three addresses of the test's own: the balancer's and two servers'.
    std::vector<std::string> addr;
    for (int v = 0; addr.size() < 3; ++v) {
        std::string a = testAddress(v);
        if (std::find(addr.begin(), addr.end(), a) == addr.end()) addr.push_back(a);
    }
    writeText(dir / "setup.ini", "CONNECT:" + addr[0] + "\n");
    Trial trial{dir / "trial"};
    ASSERT_TRUE(trial.start(root, addr[0], {addr[1], addr[2]})) << readText(dir / "trial.out");
    auto serverLog = [&](int i) { return readText(trial.dir + "/server-" + addr[1 + i] + ".log"); };
    // Installations a server served: its lines "... "wrp\KAVO.wrp" N bytes: sent ...".
    auto served = [&](int i) {
        std::vector<std::string> lines = readLines(trial.dir + "/server-" + addr[1 + i] + ".log");
        return static_cast<int>(std::count_if(lines.begin(), lines.end(), [](const std::string& l) {
            return l.find("\"wrp\\KAVO.wrp\" ") != std::string::npos && l.find(": sent ") != std::string::npos;
        }));
    };

    // Once the first installation is through, kill the server that served
    // it (the installer's connection is on it) and try new installers.
    int killed = -1;
    int answeredAfterKill = 0;
    std::thread killer([&] {
        for (int i = 0; i < 1200 && count(logTexts(dir / "KAVO_install_log.txt"), "installation completed") == 0; ++i)
            usleep(50000);
        killed = served(0) > 0 ? 0 : served(1) > 0 ? 1 : -1;
        if (killed < 0) return;
        int pid = atoi(readText(trial.dir + "/server-" + addr[1 + killed] + ".pid").c_str());
        if (pid > 0) kill(pid, SIGKILL);
        // The kill is done when its port refuses connections.
        for (int i = 0; i < 100 && connects(addr[1 + killed]); ++i) usleep(50000);
        for (int i = 0; i < 5; ++i) answeredAfterKill += helloAnswered(addr[0]);
    });
    Report r = dir.drive({"start " + installerExe() + " -installDir:\"" + winPath(inst) + "\"", "window 20000",
                          "waitlist 10000 connection established!", "command 8001",
                          "box Installation_Completed no 90000", "box Network yes 60000", "command 8001",
                          "box Installation_Completed yes 90000", "waitexit 20000"},
                         300);
    killer.join();
    std::vector<std::string> log = logTexts(dir / "KAVO_install_log.txt");
    ASSERT_TRUE(r.ok()) << r.raw << joined(log) << serverLog(0) << serverLog(1);
    ASSERT_GE(killed, 0) << serverLog(0) << serverLog(1);
    EXPECT_EQ(answeredAfterKill, 5) << readText(trial.dir + "/haproxy.log");
    EXPECT_EQ(r.all("box").at(1),
              "Network|KAVO has been disconnected from the server!\\nDo you want to try to reconnect?");
    EXPECT_EQ(count(log, "installation completed"), 2) << joined(log);
    EXPECT_EQ(count(log, "connection established!"), 2) << joined(log);
    // The second installation came from the server that is left.
    EXPECT_EQ(served(1 - killed), 1) << serverLog(1 - killed);
    EXPECT_EQ(treeListing(inst, {"KAVO_data/update.ini", "KAVO_interface_started.txt"}), treeListing(release));
    EXPECT_EQ(readText(inst + "/KAVO_data/update.ini"), "version=2.0 (balanced)\n");

    // A slow download through HAProxy (about 5 MB/s, 8 s in all) while the
    // trial stops: the server is drained in HAProxy, then gets SIGTERM and
    // is marked down by the health check, and the download still ends whole.
    std::string big(40u << 20, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 7919) >> 11);
    writeText(root + "/wrp/BIG.wrp", big);
    const std::string hello("\x23\x76\x01\x00\x03\x00", 6);
    std::string req = std::string("rf\x0b\x00", 4) + "wrp\\BIG.wrp";
    int fd = connectTo(addr[0]);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(send(fd, (hello + req).data(), hello.size() + req.size(), MSG_NOSIGNAL), ssize_t(hello.size() + req.size()));
    std::string got;
    std::thread stopper;
    std::vector<char> buf(64 * 1024);
    auto began = std::chrono::steady_clock::now(), stopAt = began;
    const size_t want = 6 + 7 + big.size();
    while (got.size() < want) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 15000) <= 0) break;
        ssize_t r = recv(fd, buf.data(), buf.size(), 0);
        if (r <= 0) break;
        got.append(buf.data(), static_cast<size_t>(r));
        if (!stopper.joinable() && got.size() > (1u << 20)) {
            stopAt = std::chrono::steady_clock::now();
            stopper = std::thread([&] { trial.stop(); });
        }
        double due = static_cast<double>(got.size()) / (5 << 20);
        double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
        if (due > t) usleep(static_cast<useconds_t>((due - t) * 1e6));
    }
    double after = std::chrono::duration<double>(std::chrono::steady_clock::now() - stopAt).count();
    close(fd);
    if (stopper.joinable()) stopper.join();
    std::string left = serverLog(1 - killed);
    EXPECT_EQ(got.size(), want) << left << readText(trial.dir + ".out");
    EXPECT_TRUE(got == hello + std::string("sfh", 3) + std::string("\x00\x00\x80\x02", 4) + big);
    // Still arriving well after the server's SIGTERM and the health check
    // had marked it down (two failed checks, 2 s apart).
    EXPECT_GT(after, 5.0);
    EXPECT_NE(left.find("draining: not accepting"), std::string::npos) << left;
    EXPECT_NE(left.find("\"wrp\\BIG.wrp\" 41943040 bytes: sent"), std::string::npos) << left;
    EXPECT_NE(left.find("summary: "), std::string::npos) << left;
}

}  // namespace
