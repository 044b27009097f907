// update_server: the reference update server as a program.  Log lines get
// a time stamp and go to stdout through a queue that never blocks the
// server.  SIGTERM drains (transfers in flight finish, up to --drain-time);
// SIGINT, or a second SIGTERM, stops at once.
#include <signal.h>

#include <cstdio>

#include "server/server.h"

namespace {

update_server::UpdateServer* running;

volatile sig_atomic_t draining = 0;

void onSignal(int sig) {
    if (!running) return;
    if (sig == SIGTERM && !draining) {
        draining = 1;
        running->drain();
    } else {
        running->stop();
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    update_server::ServerConfig cfg;
    bool help = false;
    std::string error;
    if (!update_server::parseOptions(args, &cfg, &help, &error)) {
        fprintf(stderr, "update_server: %s\n", error.c_str());
        return 2;
    }
    if (help) {
        fputs(update_server::usageText(), stdout);
        return 0;
    }
    update_server::UpdateServer server(cfg);
    if (!server.open(&error)) {
        fprintf(stderr, "update_server: %s\n", error.c_str());
        return 1;
    }
    running = &server;
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    server.run();
    running = nullptr;
    return 0;
}
