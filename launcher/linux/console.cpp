#include "console.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <system_error>

#include "report.h"

namespace launcher::platform {

namespace {

// Owner read and write, group write: the group may send commands, nobody
// else may read or write.
constexpr mode_t console_mode = S_IRUSR | S_IWUSR | S_IWGRP;

// A line without a line feed is held back up to this size, then passed on
// as it is, so that a writer that never ends its line cannot fill the
// launcher's memory.
constexpr std::size_t longest_line = std::size_t{64} * 1024;

std::string quoted(const std::string& path) {
    return "'" + path + "'";
}

// What stands at a path instead of a FIFO; null for a FIFO.
const char* not_a_fifo(mode_t mode) {
    if (S_ISFIFO(mode)) {
        return nullptr;
    }
    if (S_ISREG(mode)) {
        return "it is a regular file, not a FIFO";
    }
    if (S_ISLNK(mode)) {
        return "it is a symbolic link, not a FIFO";
    }
    if (S_ISDIR(mode)) {
        return "it is a directory, not a FIFO";
    }
    return "it is not a FIFO";
}

// Removes the FIFO at `path` if it is the one with this identity.
void remove_fifo(const std::string& path, dev_t device, ino_t inode) {
    struct stat found {};
    if (::lstat(path.c_str(), &found) != 0 || !S_ISFIFO(found.st_mode) || found.st_dev != device ||
        found.st_ino != inode) {
        return;  // gone, or replaced by something that is not the launcher's
    }
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
        report("cannot remove the console " + quoted(path), last_error());
    }
}

// One place lines come from, and what has arrived of its current line.
struct Source {
    int fd = -1;
    const char* name = "";
    bool open = true;
    std::string partial;
};

// Moves the whole lines that `source` holds to `out`, or all it holds once
// that is longer than a line may be.
void take_lines(Source& source, std::string& out) {
    const std::size_t last_feed = source.partial.rfind('\n');
    const std::size_t whole = source.partial.size() >= longest_line ? source.partial.size()
                              : last_feed == std::string::npos      ? 0
                                                                    : last_feed + 1;
    out.append(source.partial, 0, whole);
    source.partial.erase(0, whole);
}

// Reads what `source` has now; at its end, a last line without a line feed
// gets one, so that it does not run into a line from elsewhere.
void read_from(Source& source, std::string& out) {
    std::array<char, 4096> buffer{};
    const ssize_t got = ::read(source.fd, buffer.data(), buffer.size());
    if (got > 0) {
        source.partial.append(buffer.data(), static_cast<std::size_t>(got));
        take_lines(source, out);
        return;
    }
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) {
        return;
    }
    if (got < 0) {
        report(std::string("cannot read the server's console input from ") + source.name,
               last_error());
    }
    if (!source.partial.empty()) {
        out += source.partial;
        out += '\n';
        source.partial.clear();
    }
    source.open = false;
}

}  // namespace

void ServerConsoleDeleter::operator()(ServerConsole* console) const {
    delete console;  // NOLINT(cppcoreguidelines-owning-memory)
}

ServerConsoleOwner open_console(const std::string& path) {
    return ServerConsole::open(path);
}

ServerConsoleOwner ServerConsole::open(const std::string& path) {
    const auto refuse = [&path](std::string_view why) {
        report("cannot use " + quoted(path) + " as the console: " + std::string(why));
        return ServerConsoleOwner();
    };
    // Made with no access for the group yet, whatever the umask; the mode
    // is set on the open FIFO below.
    const bool made = ::mkfifo(path.c_str(), S_IRUSR | S_IWUSR) == 0;
    struct stat found {};
    if (!made) {
        if (errno != EEXIST) {
            report("cannot make the console " + quoted(path), last_error());
            return {};
        }
        // What stands there is looked at before it is opened: opening a
        // device may already act on it.
        if (::lstat(path.c_str(), &found) != 0) {
            report("cannot look at the console " + quoted(path), last_error());
            return {};
        }
        if (const char* what = not_a_fifo(found.st_mode)) {
            return refuse(what);
        }
        if (found.st_uid != ::geteuid()) {
            return refuse("it is a FIFO of another user");
        }
    }
    // Read and write: the FIFO always has a writer, so the open does not
    // wait for one and reading never sees an end. The open FIFO is checked
    // again, in case something else was put in its place meanwhile.
    FileDescriptor fifo(::open(path.c_str(), O_RDWR | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
    if (!fifo.valid()) {
        report("cannot open the console " + quoted(path), last_error());
        return {};
    }
    struct stat opened {};
    if (::fstat(fifo.get(), &opened) != 0) {
        report("cannot look at the console " + quoted(path), last_error());
        return {};
    }
    if (!S_ISFIFO(opened.st_mode) || opened.st_uid != ::geteuid() ||
        (!made && (opened.st_dev != found.st_dev || opened.st_ino != found.st_ino))) {
        return refuse("it was replaced while it was opened");
    }
    ServerConsoleOwner console(new ServerConsole);
    console->path_ = path;
    console->device_ = opened.st_dev;
    console->inode_ = opened.st_ino;
    console->fifo_ = std::move(fifo);
    // From here on, a failure removes the FIFO with the console.
    if (::fchmod(console->fifo_.get(), console_mode) != 0) {
        report("cannot set the mode of the console " + quoted(path), last_error());
        return {};
    }
    return console;
}

ServerConsole::~ServerConsole() {
    stop();
    remove_fifo(path_, device_, inode_);
}

std::error_code ServerConsole::start() {
    Pipe input;
    if (const std::error_code error = make_pipe(input)) {
        return error;
    }
    // Only the launcher's end waits for nothing: the server reads as usual.
    if (::fcntl(input.write.get(), F_SETFL, O_NONBLOCK) != 0) {
        return last_error();
    }
    FileDescriptor stop(::eventfd(0, EFD_CLOEXEC));
    if (!stop.valid()) {
        return last_error();
    }
    server_input_ = std::move(input.read);
    to_server_ = std::move(input.write);
    stop_ = std::move(stop);
    try {
        thread_ = std::thread([this] { forward(); });
    } catch (const std::system_error& error) {
        return error.code();
    }
    return {};
}

void ServerConsole::stop() {
    if (!thread_.joinable()) {
        return;
    }
    const std::uint64_t one = 1;
    if (retry_on_eintr([&] { return ::write(stop_.get(), &one, sizeof one); }) < 0) {
        // Cannot happen to an eventfd that is far from full; the thread
        // would not end, and the launcher with it.
        report("cannot stop passing on the server's console input", last_error());
    }
    thread_.join();
}

// The forwarding thread's loop: while lines wait to be written, only the
// server's pipe is waited for, so that they go on whole and in order before
// anything more is read; otherwise every source is.
void ServerConsole::forward() {
    std::array<Source, 2> sources{};
    sources[0].fd = fifo_.get();
    sources[0].name = "the console FIFO";
    sources[1].fd = STDIN_FILENO;
    sources[1].name = "standard input";
    std::string outgoing;
    bool server_reads = true;
    for (;;) {
        std::array<pollfd, 1 + sources.size()> waits{};
        std::array<Source*, sources.size()> polled{};
        waits[0] = {stop_.get(), POLLIN, 0};
        nfds_t count = 1;
        if (!outgoing.empty()) {
            waits[count++] = {to_server_.get(), POLLOUT, 0};
        } else {
            for (Source& source : sources) {
                if (source.open) {
                    polled[count - 1] = &source;
                    waits[count++] = {source.fd, POLLIN, 0};
                }
            }
        }
        if (::poll(waits.data(), count, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            report("cannot wait for the server's console input", last_error());
            return;
        }
        if (waits[0].revents != 0) {
            return;
        }
        if (!outgoing.empty()) {
            if (waits[1].revents == 0) {
                continue;
            }
            const ssize_t written = ::write(to_server_.get(), outgoing.data(), outgoing.size());
            if (written >= 0) {
                outgoing.erase(0, static_cast<std::size_t>(written));
            } else if (errno != EAGAIN && errno != EINTR) {
                // The server has closed its input or ended: what comes
                // now is read and dropped, so that no writer of the FIFO
                // waits for good on a full FIFO.
                if (errno != EPIPE) {
                    report("cannot pass the console input on to the server", last_error());
                }
                server_reads = false;
                outgoing.clear();
            }
            continue;
        }
        for (nfds_t i = 1; i < count; ++i) {
            if (waits[i].revents != 0) {
                read_from(*polled[i - 1], outgoing);
            }
        }
        if (!server_reads) {
            outgoing.clear();
        }
    }
}

}  // namespace launcher::platform
