// The bounded log queue and its writer thread.
#include "server/log_queue.h"

#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <thread>

namespace update_server {

struct LogQueue::Shared {
    int fd;
    size_t capacity;
    std::mutex m;
    std::condition_variable cv;
    std::string pending;
    uint64_t dropped = 0;
    bool stopping = false;
    bool done = false;
    bool broken = false;

    // Writes everything queued; blocking writes are fine here, the loop
    // never waits for this thread.
    void run() {
        // A reader that went away must not end the process: write() then
        // fails with EPIPE and the lines are lost.
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
        std::unique_lock<std::mutex> lock(m);
        for (;;) {
            cv.wait(lock, [&] { return stopping || !pending.empty(); });
            if (pending.empty() && stopping) break;
            std::string out;
            out.swap(pending);
            if (broken) continue;
            lock.unlock();
            size_t at = 0;
            while (at < out.size()) {
                ssize_t w = write(fd, out.data() + at, out.size() - at);
                if (w > 0) {
                    at += static_cast<size_t>(w);
                } else if (w < 0 && errno == EAGAIN) {
                    pollfd p{fd, POLLOUT, 0};
                    poll(&p, 1, 1000);
                } else if (!(w < 0 && errno == EINTR)) {
                    broken = true;  // the reader is gone: nothing more is written
                    break;
                }
            }
            lock.lock();
        }
        done = true;
        cv.notify_all();
    }
};

LogQueue::LogQueue(int fd, size_t capacityBytes) : s_(std::make_shared<Shared>()) {
    s_->fd = fd;
    s_->capacity = capacityBytes;
    std::shared_ptr<Shared> s = s_;
    std::thread([s] { s->run(); }).detach();
}

LogQueue::~LogQueue() {
    std::unique_lock<std::mutex> lock(s_->m);
    s_->stopping = true;
    s_->cv.notify_all();
    s_->cv.wait_for(lock, std::chrono::seconds(1), [&] { return s_->done; });
}

void LogQueue::push(const std::string& line) {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    tm t{};
    localtime_r(&tv.tv_sec, &t);
    char stamp[32];
    snprintf(stamp, sizeof stamp, "%02d:%02d:%02d.%03d ", t.tm_hour, t.tm_min, t.tm_sec,
             static_cast<int>(tv.tv_usec / 1000));
    std::lock_guard<std::mutex> lock(s_->m);
    size_t need = strlen(stamp) + line.size() + 1;
    if (s_->pending.size() + need > s_->capacity) {
        ++s_->dropped;
        return;
    }
    s_->pending += stamp;
    s_->pending += line;
    s_->pending += '\n';
    s_->cv.notify_one();
}

uint64_t LogQueue::takeDropped() {
    std::lock_guard<std::mutex> lock(s_->m);
    uint64_t d = s_->dropped;
    s_->dropped = 0;
    return d;
}

}  // namespace update_server
