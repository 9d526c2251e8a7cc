// File descriptors on Linux: an owner that closes one, a pipe made of two
// owners (or a socket pair), and the retry of a call that a signal
// interrupted.
#pragma once

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <utility>

namespace launcher::platform {

// The system's reason for the last failed call.
inline std::error_code last_error(int error = errno) {
    return {error, std::system_category()};
}

// Calls `call` again for as long as it fails with EINTR; returns its last
// result, with errno as the call left it.
template <typename Call>
auto retry_on_eintr(Call call) {
    for (;;) {
        const auto result = call();
        if (result != -1 || errno != EINTR) {
            return result;
        }
    }
}

class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    ~FileDescriptor() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    // Gives the descriptor up without closing it.
    int release() { return std::exchange(fd_, -1); }
    void reset() {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }

private:
    int fd_ = -1;
};

struct Pipe {
    FileDescriptor read;
    FileDescriptor write;
};

// A pipe whose ends are closed on exec, with `flags` (O_NONBLOCK) on both;
// the system's reason when there is none.
inline std::error_code make_pipe(Pipe& pipe, int flags = 0) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | flags) != 0) {
        return last_error();
    }
    pipe.read = FileDescriptor(ends[0]);
    pipe.write = FileDescriptor(ends[1]);
    return {};
}

// A connected pair of local stream sockets, close-on-exec, with `flags`
// (SOCK_NONBLOCK) on both; `read` and `write` are the two ends. Unlike a
// pipe, it takes nothing of the user's pipe allowance
// (/proc/sys/fs/pipe-user-pages-soft), which the server's output pipe and
// the user's own pipelines share.
inline std::error_code make_socket_pair(Pipe& pair, int flags = 0) {
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | flags, 0, ends) != 0) {
        return last_error();
    }
    pair.read = FileDescriptor(ends[0]);
    pair.write = FileDescriptor(ends[1]);
    return {};
}

}  // namespace launcher::platform
