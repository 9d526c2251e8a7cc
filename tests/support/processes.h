// Descriptors, pipes and the state of other processes, for the end-to-end
// tests and the bench (part of test_support, POSIX only).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <utility>

namespace test {

// Owns one file descriptor and closes it.
class Descriptor {
public:
    Descriptor() = default;
    explicit Descriptor(int fd) : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Descriptor& operator=(Descriptor&& other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    ~Descriptor();
    int get() const { return fd_; }

private:
    int fd_ = -1;
};

struct Pipe {
    Descriptor read;
    Descriptor write;
};

// Both close on exec. Throw std::system_error on failure.
Pipe make_pipe();
Descriptor open_null();

// Polls `condition` every 10 ms until it holds (true) or `timeout` passes
// (false).
bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

// Whether no process `pid` exists any more (a zombie still exists).
bool gone(long pid);

// The state letter and the parent of a process, from /proc/<pid>/stat.
struct ProcessState {
    char state = '?';  // '?': gone
    long parent = 0;
};
ProcessState state_of(long pid);

}  // namespace test
