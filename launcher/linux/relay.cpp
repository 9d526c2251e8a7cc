#include "relay.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
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

// Waits until `fd` is ready for `events`. False, with errno set, when poll
// fails.
bool wait_until_ready(int fd, short events) {
    pollfd ready{fd, events, 0};
    return retry_on_eintr([&] { return ::poll(&ready, 1, -1); }) >= 0;
}

// What one step of the relay did.
enum class Step { moved, would_block, end_of_input, write_failed, read_failed, cannot_splice };

// Moves up to `most` bytes straight from the pipe to `to` with splice(2),
// without copying them through the launcher: a pipe or a file takes the
// pages as they are. Never blocks: `would_block` when the pipe is empty or
// an output pipe is full.
Step splice_some(int from, int to, std::size_t most, std::size_t& moved) {
    const ssize_t done = retry_on_eintr(
        [&] { return ::splice(from, nullptr, to, nullptr, most, SPLICE_F_NONBLOCK); });
    if (done > 0) {
        moved = static_cast<std::size_t>(done);
        return Step::moved;
    }
    if (done == 0) {
        return Step::end_of_input;
    }
    switch (errno) {
    case EAGAIN:
        return Step::would_block;
    case EINVAL:  // an appending file, some terminals and file systems
    case ENOSYS:
        return Step::cannot_splice;
    default:
        return Step::write_failed;
    }
}

// The same with read(2) and write(2), for outputs that splice cannot take
// and after a failed write; `moved` is what was read, also when it could not
// be written. The read does not block (the relay's end of the pipe is
// non-blocking); the write waits for the output.
Step copy_some(int from, int to, std::span<char> buffer, std::size_t& moved) {
    const ssize_t got = retry_on_eintr([&] { return ::read(from, buffer.data(), buffer.size()); });
    if (got == 0) {
        return Step::end_of_input;
    }
    if (got < 0) {
        return errno == EAGAIN ? Step::would_block : Step::read_failed;
    }
    moved = static_cast<std::size_t>(got);
    const std::error_code error = write_all(to, {buffer.data(), moved});
    if (error) {
        errno = error.value();
        return Step::write_failed;
    }
    return Step::moved;
}

enum class Progress { moved, blocked, over };

// One relay in progress: where the bytes go and how.
class Relay {
public:
    Relay(int from_fd, int to_fd) : from(from_fd), to(to_fd) {}

    // Moves up to `most` bytes without waiting and adds how many to `moved`
    // (read and dropped ones too).
    Progress step(std::size_t most, std::size_t& moved) {
        if (!splicing && buffer.empty()) {
            buffer.resize(std::size_t{128} * 1024);
        }
        const std::span<char> piece(buffer.data(), std::min(buffer.size(), most));
        std::size_t now = 0;
        const Step result = splicing ? splice_some(from, to, most, now)
                                     : copy_some(from, to, piece, now);
        moved += now;
        switch (result) {
        case Step::moved:
            if (failing) {
                if (lost_since_failure != 0) {
                    report("standard output takes the server's output again; " +
                           std::to_string(lost_since_failure) + " bytes of it were lost");
                }
                lost_since_failure = 0;
                failing = false;
                splicing = true;
            }
            return Progress::moved;
        case Step::would_block:
            return Progress::blocked;
        case Step::cannot_splice:
            splicing = false;
            return Progress::moved;
        case Step::end_of_input:
            return Progress::over;
        case Step::read_failed:
            report(cannot_read_output, last_error());
            return Progress::over;
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
            splicing = false;
            return Progress::moved;
        }
        return Progress::over;
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
        while (moved < held_bytes) {
            const Progress progress = step(held_bytes - moved, moved);
            if (progress == Progress::over ||
                (progress == Progress::blocked && !wait_until_ready(to, POLLOUT))) {
                return;
            }
        }
    }

private:
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

void relay(int from, int to, int stop) {
    // Non-blocking, so that a piece takes one system call while the server
    // writes faster than it is relayed; the wait is only for an empty pipe
    // (or a full output). The server's end is a file description of its own,
    // and stays blocking.
    const int flags = ::fcntl(from, F_GETFL);
    if (flags < 0 || ::fcntl(from, F_SETFL, flags | O_NONBLOCK) != 0) {
        report("cannot relay the server's output without waiting for it", last_error());
    }
    Relay relay(from, to);
    // Which end to wait for when a step cannot move anything: the input at
    // first, the output when the input was ready and still nothing moved.
    short awaited = POLLIN;
    int unchecked = 0;  // pieces moved since the stop was last looked at
    for (;;) {
        std::size_t moved = 0;
        const Progress progress = relay.step(most_per_step, moved);
        if (progress == Progress::over) {
            return;
        }
        if (progress == Progress::moved) {
            awaited = POLLIN;
            // The stop is looked at now and then even while the pieces come
            // without a pause: a writer that never pauses must not hold it
            // off.
            if (++unchecked < 16) {
                continue;
            }
            unchecked = 0;
            pollfd stopped{stop, POLLIN, 0};
            if (stop >= 0 && retry_on_eintr([&] { return ::poll(&stopped, 1, 0); }) > 0) {
                relay.drain();
                return;
            }
            continue;
        }
        pollfd ready[2] = {{stop, POLLIN, 0}, {awaited == POLLIN ? from : to, awaited, 0}};
        if (retry_on_eintr([&] { return ::poll(ready, 2, -1); }) < 0) {
            report("cannot wait for the server's output", last_error());
            return;
        }
        if (ready[0].revents != 0) {
            relay.drain();
            return;
        }
        awaited = awaited == POLLIN ? POLLOUT : POLLIN;
    }
}

}  // namespace launcher::platform
