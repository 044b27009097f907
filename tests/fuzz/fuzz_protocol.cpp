// Arbitrary server bytes into the message parser: through a stream socket
// pair, writer closed after writing so that every field read ends at once.
// The shared folder lives in a scratch tree; anything that changes outside
// it (or the shared folder itself disappearing) aborts.
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "app/globals.h"
#include "archive/folder_tree.h"
#include "base/textbuf.h"
#include "net/link.h"
#include "net/protocol.h"
#include "tests/unit/fake_ui.h"

namespace {

std::string scratch, work, share, home;
std::vector<std::string> outsideBefore;

void removeAll(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return;
    if (S_ISDIR(st.st_mode)) {
        if (DIR* d = opendir(path.c_str())) {
            while (struct dirent* e = readdir(d)) {
                if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..")) continue;
                removeAll(path + "/" + e->d_name);
            }
            closedir(d);
        }
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

void put(const std::string& path, const char* text) {
    if (FILE* f = fopen(path.c_str(), "wb")) {
        fputs(text, f);
        fclose(f);
    }
}

// Everything under `dir` except the shared folder and the log.
void snapshot(const std::string& dir, const std::string& rel, std::vector<std::string>& out) {
    DIR* d = opendir(dir.c_str());
    if (!d) return;
    while (struct dirent* e = readdir(d)) {
        if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..")) continue;
        std::string full = dir + "/" + e->d_name, r = rel + "/" + e->d_name;
        if (full == share || r == "/run") continue;
        struct stat st;
        if (lstat(full.c_str(), &st) != 0) continue;
        out.push_back(r + " " + std::to_string(st.st_mode) + " " + std::to_string(st.st_size));
        if (S_ISDIR(st.st_mode)) snapshot(full, r, out);
    }
    closedir(d);
}

void resetShare() {
    removeAll(share);
    mkdir(share.c_str(), 0777);
    mkdir((share + "/a").c_str(), 0777);
    mkdir((share + "/a/b").c_str(), 0777);
    put(share + "/a/b/f", "in");
    put(share + "/x", "in");
}

void setUp() {
    char base[] = "/tmp/kavo_fuzz_XXXXXX";
    if (!mkdtemp(base)) abort();
    scratch = base;
    work = scratch + "/work";
    share = work + "/KAVO_share";
    mkdir(work.c_str(), 0777);
    mkdir((scratch + "/outside").c_str(), 0777);
    mkdir((scratch + "/run").c_str(), 0777);
    put(scratch + "/outside/keep", "out");
    put(scratch + "/keep", "out");
    put(work + "/keep", "out");
    char cwd[4096];
    if (!getcwd(cwd, sizeof cwd)) abort();
    home = cwd;
    resetShare();
    snapshot(scratch, "", outsideBefore);
    copyText(workingDir, sizeof workingDir, work.c_str());
    atexit([] { removeAll(scratch); });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (scratch.empty()) setUp();
    if (size > 100000) return 0;
    fakeUi.list.clear();
    resetShare();
    setShareRoot();
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) abort();
    int big = 1 << 20;
    setsockopt(pair[1], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    setsockopt(pair[0], SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    fcntl(pair[1], F_SETFL, O_NONBLOCK);
    size_t done = 0;
    while (done < size) {
        ssize_t r = write(pair[1], data + done, size - done);
        if (r <= 0) break;  // what does not fit is simply not sent
        done += static_cast<size_t>(r);
    }
    close(pair[1]);
    sysSocketWatch(pair[0]);
    serverSocket = pair[0];
    // The log goes to the current folder: the scratch one, only while
    // parsing (libFuzzer reads its corpus by relative path).
    if (chdir((scratch + "/run").c_str()) != 0) abort();
    processMessages(false);
    if (chdir(home.c_str()) != 0) abort();
    serverSocket = SYS_NO_SOCKET;
    close(pair[0]);

    struct stat st;
    if (stat(share.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        fprintf(stderr, "the shared folder was removed\n");
        abort();
    }
    std::vector<std::string> after;
    snapshot(scratch, "", after);
    if (after != outsideBefore) {
        fprintf(stderr, "something outside the shared folder changed\n");
        abort();
    }
    unlink((scratch + "/run/KAVO_install_log.txt").c_str());
    return 0;
}
