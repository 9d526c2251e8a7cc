#include "relay.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "descriptor.h"
#include "report.h"

namespace launcher::platform {

namespace {

// As much as one step moves at most: a pipe of that size, full.
constexpr std::size_t most_per_step = std::size_t{1024} * 1024;

// Waits until `fd` is ready for `events`; for descriptors that someone made
// non-blocking. False, with errno set, when poll fails.
bool wait_until_ready(int fd, short events) {
    pollfd ready{fd, events, 0};
    return retry_on_eintr([&] { return ::poll(&ready, 1, -1); }) >= 0;
}

// What one step of the relay did.
enum class Step { moved, end_of_input, write_failed, read_failed, cannot_splice };

// Moves up to `most` bytes straight from the pipe to `to` with splice(2),
// without copying them through the launcher. A splice that fails moves
// nothing, so the copy with read and write takes over where it stopped.
Step splice_some(int from, int to, std::size_t most, std::size_t& moved) {
    for (;;) {
        const ssize_t done = ::splice(from, nullptr, to, nullptr, most, 0);
        if (done > 0) {
            moved = static_cast<std::size_t>(done);
            return Step::moved;
        }
        if (done == 0) {
            return Step::end_of_input;
        }
        if (errno == EINTR) {
            continue;
        }
        // A non-blocking output that is full.
        if (errno == EAGAIN && wait_until_ready(to, POLLOUT)) {
            continue;
        }
        // EINVAL for an appending file or some terminals, EPERM from a
        // system call filter, a failing output: read and write say which.
        return Step::cannot_splice;
    }
}

// The same with read(2) and write(2); `moved` is what was read, also when it
// could not be written.
Step copy_some(int from, int to, std::span<char> buffer, std::size_t& moved) {
    const ssize_t got = retry_on_eintr([&] { return ::read(from, buffer.data(), buffer.size()); });
    if (got == 0) {
        return Step::end_of_input;
    }
    if (got < 0) {
        return Step::read_failed;
    }
    moved = static_cast<std::size_t>(got);
    if (const std::error_code error = write_all(to, {buffer.data(), moved})) {
        errno = error.value();
        return Step::write_failed;
    }
    return Step::moved;
}

// One relay in progress: where the bytes go, how, and what was lost.
class Relay {
public:
    Relay(int from_fd, int to_fd) : from(from_fd), to(to_fd) {}

    // Moves up to `most` bytes and adds how many to `moved` (read and
    // dropped ones too); false once the input has ended or failed.
    bool step(std::size_t most, std::size_t& moved) {
        std::size_t now = 0;
        Step result = Step::cannot_splice;
        if (splicing && !failing) {
            result = splice_some(from, to, most, now);
            if (result == Step::cannot_splice) {
                splicing = false;  // for good: nothing was moved, nothing lost
            }
        }
        if (result == Step::cannot_splice) {
            buffer.resize(std::size_t{128} * 1024);
            result = copy_some(from, to, std::span(buffer).first(std::min(buffer.size(), most)),
                               now);
        }
        moved += now;
        switch (result) {
        case Step::moved:
            if (failing && lost_since_failure != 0) {
                report("standard output takes the server's output again; " +
                       std::to_string(lost_since_failure) + " bytes of it were lost");
            }
            lost_since_failure = 0;
            failing = false;
            return true;
        case Step::end_of_input:
            return false;
        case Step::read_failed:
            report(cannot_read_output, last_error());
            read_failed_ = true;
            return false;
        case Step::write_failed:
            // Each later piece is tried again (a disk that was full may have
            // room again); what cannot be written is read and counted, so
            // that the server never blocks on a full pipe.
            if (!failing) {
                report(
                    "cannot write to standard output; the server's output is dropped until it "
                    "can be written again",
                    last_error());
                failing = true;
            }
            lost_since_failure += now;
            return true;
        case Step::cannot_splice:
            break;
        }
        return false;
    }

    // Moves one more piece if the pipe holds one and the output takes it at
    // once; false otherwise (the next poll and step see to an end or a
    // failure). A server that writes faster than the output takes it then
    // costs one call per piece rather than a poll and a call.
    bool step_without_waiting() {
        if (!splicing || failing) {
            return false;
        }
        return ::splice(from, nullptr, to, nullptr, most_per_step, SPLICE_F_NONBLOCK) > 0;
    }

    // Moves what `from` holds now, and nothing that arrives later.
    void drain() {
        int held = 0;
        if (::ioctl(from, FIONREAD, &held) != 0) {
            report("cannot tell how much of the server's output is left", last_error());
            return;
        }
        // Only this relay reads the pipe, so it holds at least `held` bytes
        // until they are moved, and no step blocks on it.
        const auto held_bytes = static_cast<std::size_t>(held);
        std::size_t moved = 0;
        while (moved < held_bytes && step(held_bytes - moved, moved)) {
        }
    }

    // Whether the input failed rather than ended.
    bool read_failed() const { return read_failed_; }

private:
    bool read_failed_ = false;
    int from = -1;
    int to = -1;
    bool splicing = true;
    bool failing = false;  // the last write failed
    std::size_t lost_since_failure = 0;
    std::vector<char> buffer;  // once splice is out
};

}  // namespace

std::error_code write_all(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t written = ::write(fd, data.data(), data.size());
        if (written >= 0) {
            data.remove_prefix(static_cast<std::size_t>(written));
            continue;
        }
        if (errno == EINTR) {
            continue;
        }
        if ((errno == EAGAIN || errno == EWOULDBLOCK) && wait_until_ready(fd, POLLOUT)) {
            continue;
        }
        return last_error();
    }
    return {};
}

bool relay(int from, int to, int stop) {
    Relay relay(from, to);
    std::array<pollfd, 2> ready{{{from, POLLIN, 0}, {stop, POLLIN, 0}}};
    for (;;) {
        if (::poll(ready.data(), ready.size(), -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            report("cannot wait for the server's output", last_error());
            return false;
        }
        if (ready[1].revents != 0) {
            relay.drain();
            return !relay.read_failed();
        }
        std::size_t moved = 0;
        if (ready[0].revents != 0) {
            if (!relay.step(most_per_step, moved)) {
                return !relay.read_failed();
            }
            // A bounded run, so that the job's end is still looked at when
            // a process that left the job writes without pause.
            for (int piece = 0; piece < 16 && relay.step_without_waiting(); ++piece) {
            }
        }
    }
}

}  // namespace launcher::platform
