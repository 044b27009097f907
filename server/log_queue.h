// The server's log lines on their way to a descriptor (stdout), without
// ever holding up the event loop: lines go into a bounded queue that a
// thread of its own writes out.  When the reader of the descriptor stalls
// (a stuck journal, a pipe nobody reads) the queue fills, and the lines
// that do not fit are dropped and counted; the server itself goes on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace update_server {

class LogQueue {
public:
    LogQueue(int fd, size_t capacityBytes);
    // Gives the writer up to a second to empty the queue, then leaves it
    // to itself: a blocked descriptor never keeps the server from ending.
    ~LogQueue();
    LogQueue(const LogQueue&) = delete;
    LogQueue& operator=(const LogQueue&) = delete;

    // Adds "HH:MM:SS.mmm line\n", or counts the line as dropped.
    void push(const std::string& line);
    // Lines dropped since the last call.
    uint64_t takeDropped();

private:
    struct Shared;
    std::shared_ptr<Shared> s_;
};

}  // namespace update_server
