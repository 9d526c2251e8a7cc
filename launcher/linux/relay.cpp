#include "relay.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
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

// Waits until `fd` is ready for `events`; for descriptors that someone made
// non-blocking. False, with errno set, when poll fails.
bool wait_until_ready(int fd, short events) {
    pollfd ready{fd, events, 0};
    return retry_on_eintr([&] { return ::poll(&ready, 1, -1); }) >= 0;
}

// Only interrupts the relay's call (RelayStop).
void interrupt_relay(int /*number*/) {}

// What one step of the relay did.
enum class Step { moved, end_of_input, write_failed, read_failed, cannot_splice };

// Moves up to `most` bytes straight from the pipe to `to` with splice(2),
// without copying them through the launcher: a pipe or a file takes the
// pages as they are. Blocks until there is something to move. After EINTR
// the call is made again: a stop has swapped `from` for an ended input by
// then (RelayStop), so that the call returns at once.
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
        switch (errno) {
        case EINTR:
            continue;
        case EAGAIN:
            // A non-blocking end makes splice give up when the input is
            // empty or the output is full; wait for both, one at a time.
            if (!wait_until_ready(from, POLLIN)) {
                return Step::read_failed;
            }
            if (!wait_until_ready(to, POLLOUT)) {
                return Step::write_failed;
            }
            continue;
        case EINVAL:  // an appending file, some terminals and file systems
        case ENOSYS:
            return Step::cannot_splice;
        default:
            return Step::write_failed;
        }
    }
}

// The same with read(2) and write(2), for outputs that splice cannot take
// and after a failed write; `moved` is what was read, also when it could not
// be written.
Step copy_some(int from, int to, std::span<char> buffer, std::size_t& moved) {
    for (;;) {
        const ssize_t got = ::read(from, buffer.data(), buffer.size());
        if (got == 0) {
            return Step::end_of_input;
        }
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return Step::read_failed;
        }
        moved = static_cast<std::size_t>(got);
        const std::error_code error = write_all(to, {buffer.data(), moved});
        if (error) {
            errno = error.value();
            return Step::write_failed;
        }
        return Step::moved;
    }
}

// One relay in progress: where the bytes go and how.
class Relay {
public:
    Relay(int from_fd, int to_fd) : from(from_fd), to(to_fd) {}

    // Reads from `fd` from now on, keeping how it writes and what it lost.
    void read_from(int fd) { from = fd; }

    // Moves up to `most` bytes and adds how many to `moved` (read and
    // dropped ones too); false once the relay is over.
    bool step(std::size_t most, std::size_t& moved) {
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
            return true;
        case Step::cannot_splice:
            splicing = false;
            return true;
        case Step::end_of_input:
            return false;
        case Step::read_failed:
            report(cannot_read_output, last_error());
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
            splicing = false;
            return true;
        }
        return false;
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

void relay(int from, int to, RelayStop* stop) {
    Relay relay(from, to);
    std::size_t moved = 0;
    while (relay.step(most_per_step, moved)) {
    }
    if (stop == nullptr) {
        return;
    }
    const FileDescriptor input = stop->end();
    if (input.valid()) {
        relay.read_from(input.get());
        relay.drain();
    }
}

RelayStop::~RelayStop() {
    if (handler_set_) {
        (void)::sigaction(SIGPIPE, &earlier_, nullptr);
    }
}

std::error_code RelayStop::prepare(int from) {
    // A socket whose peer is closed ends at once, as a pipe without a
    // writer would, and takes nothing of the user's pipe allowance.
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        return last_error();
    }
    FileDescriptor ended(ends[0]);
    ::close(ends[1]);
    FileDescriptor kept(::fcntl(from, F_DUPFD_CLOEXEC, 0));
    if (!kept.valid()) {
        return last_error();
    }
    // Without SA_RESTART, so that a blocking call returns with EINTR.
    struct sigaction interrupt {};
    interrupt.sa_handler = interrupt_relay;
    sigemptyset(&interrupt.sa_mask);
    if (::sigaction(SIGPIPE, &interrupt, &earlier_) != 0) {
        return last_error();
    }
    handler_set_ = true;
    const std::lock_guard held(lock_);
    from_ = from;
    thread_ = ::gettid();
    kept_ = std::move(kept);
    ended_ = std::move(ended);
    active_ = true;
    return {};
}

void RelayStop::request() {
    const std::lock_guard held(lock_);
    if (!active_ || requested_) {
        return;
    }
    requested_ = true;
    if (::dup3(ended_.get(), from_, O_CLOEXEC) < 0) {
        report("cannot end the relay of the server's output", last_error());
        return;
    }
    if (::tgkill(::getpid(), thread_, SIGPIPE) != 0) {
        report("cannot end the relay of the server's output", last_error());
    }
}

FileDescriptor RelayStop::end() {
    const std::lock_guard held(lock_);
    active_ = false;
    if (!requested_) {
        kept_.reset();
    }
    return std::move(kept_);
}

}  // namespace launcher::platform
