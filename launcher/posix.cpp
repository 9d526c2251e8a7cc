// The platform layer for POSIX systems: setenv, the POSIX shell started with
// posix_spawn on a pipe, and stop signals taken synchronously by a watcher
// thread.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <span>
#include <thread>
#include <utility>
#include <vector>

#include "platform.h"
#include "quote.h"
#include "report.h"

extern char** environ;

namespace launcher::platform {

namespace {

constexpr int stop_signals[] = {SIGTERM, SIGINT, SIGHUP, SIGQUIT};
constexpr int launcher_failure = EXIT_FAILURE;
// The largest pipe that Linux grants without privileges by default
// (/proc/sys/fs/pipe-max-size).
constexpr int server_pipe_size = 1024 * 1024;

std::error_code last_error(int error = errno) {
    return {error, std::system_category()};
}

// The signals run_server takes with sigwaitinfo. They stay blocked in every
// thread, so none of them runs a default action on the launcher.
sigset_t watched_signals() {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal : stop_signals) {
        sigaddset(&set, signal);
    }
    sigaddset(&set, SIGCHLD);
    return set;
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
    void reset() {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }

private:
    int fd_ = -1;
};

class SpawnFileActions {
public:
    SpawnFileActions() { posix_spawn_file_actions_init(&actions_); }
    SpawnFileActions(const SpawnFileActions&) = delete;
    SpawnFileActions& operator=(const SpawnFileActions&) = delete;
    SpawnFileActions(SpawnFileActions&&) = delete;
    SpawnFileActions& operator=(SpawnFileActions&&) = delete;
    ~SpawnFileActions() { posix_spawn_file_actions_destroy(&actions_); }
    posix_spawn_file_actions_t* get() { return &actions_; }

private:
    posix_spawn_file_actions_t actions_{};
};

class SpawnAttributes {
public:
    SpawnAttributes() { posix_spawnattr_init(&attributes_); }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;
    SpawnAttributes(SpawnAttributes&&) = delete;
    SpawnAttributes& operator=(SpawnAttributes&&) = delete;
    ~SpawnAttributes() { posix_spawnattr_destroy(&attributes_); }
    posix_spawnattr_t* get() { return &attributes_; }

private:
    posix_spawnattr_t attributes_{};
};

// What the runner and the signal watcher share about the running server.
struct ServerProcess {
    pid_t pid = 0;  // fixed once started; the runner alone collects it
    // Whether the terminal's own signals (Ctrl-C, Ctrl-\) reach the server
    // directly, because it stays in the launcher's process group.
    bool shares_process_group = false;
    // Stop signals that were already pending before the server existed: the
    // server cannot have had them from the terminal, so they are passed on.
    sigset_t pending_before_start{};

    std::mutex mutex;
    // The process that stop signals go to; 0 once the server has ended, so
    // that a signal never reaches another process that reuses the id.
    pid_t signal_target = 0;
};

int exit_status_of(int wait_status) {
    if (WIFEXITED(wait_status)) {
        return WEXITSTATUS(wait_status);
    }
    if (WIFSIGNALED(wait_status)) {
        return 128 + WTERMSIG(wait_status);
    }
    return launcher_failure;
}

// Waits until `fd` is ready for `events`; for descriptors that someone made
// non-blocking.
void wait_until_ready(int fd, short events) {
    pollfd ready{fd, events, 0};
    while (::poll(&ready, 1, -1) < 0 && errno == EINTR) {
    }
}

// Writes all of `data` to `fd`. False, with errno set, when the descriptor
// cannot take it (a closed pipe, a full disk).
bool write_all(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written >= 0) {
            data += written;
            size -= static_cast<std::size_t>(written);
            continue;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            wait_until_ready(fd, POLLOUT);
            continue;
        }
        return false;
    }
    return true;
}

// What one step of the relay did.
enum class Step { moved, end_of_input, write_failed, read_failed, cannot_splice };

// Moves what the server has written so far straight from the pipe to `to`
// with splice(2), without copying it through the launcher: a pipe or a file
// takes the pages as they are. Blocks until there is something to move.
Step splice_some(int from, int to) {
    // As much as a pipe can hold at most; splice returns once the input
    // pipe is empty, so a small piece still goes on at once.
    constexpr std::size_t most = std::size_t{1024} * 1024;
    for (;;) {
        const ssize_t moved = ::splice(from, nullptr, to, nullptr, most, 0);
        if (moved > 0) {
            return Step::moved;
        }
        if (moved == 0) {
            return Step::end_of_input;
        }
        switch (errno) {
        case EINTR:
            continue;
        case EAGAIN:
            // A non-blocking end makes splice give up when the input is
            // empty or the output is full; wait for both, one at a time.
            wait_until_ready(from, POLLIN);
            wait_until_ready(to, POLLOUT);
            continue;
        case EINVAL:  // an appending file, some terminals and file systems
        case ENOSYS:
            return Step::cannot_splice;
        default:
            return Step::write_failed;
        }
    }
}

// The same with read(2) and write(2), for outputs that splice cannot take,
// and for dropping the output once `to` has failed (`to` < 0).
Step copy_some(int from, int to, std::span<char> buffer) {
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
        if (to >= 0 && !write_all(to, buffer.data(), static_cast<std::size_t>(got))) {
            return Step::write_failed;
        }
        return Step::moved;
    }
}

// Copies everything from `from` to `to` until end of file, each piece as soon
// as it arrives. When `to` fails, the rest is still read and dropped, so that
// the server never blocks on a full pipe; a read error ends the relay.
void relay(int from, int to) {
    bool splicing = true;
    std::vector<char> buffer;  // once splice is out
    for (;;) {
        if (!splicing && buffer.empty()) {
            buffer.resize(std::size_t{128} * 1024);
        }
        switch (splicing ? splice_some(from, to) : copy_some(from, to, buffer)) {
        case Step::moved:
            break;
        case Step::cannot_splice:
            splicing = false;
            break;
        case Step::end_of_input:
            return;
        case Step::read_failed:
            report("cannot read the server's output", last_error());
            return;
        case Step::write_failed:
            report("cannot write to standard output; the server's further output is dropped",
                   last_error());
            to = -1;
            splicing = false;
            break;
        }
    }
}

// Starts "/bin/sh -c 'exec <command>'" with its standard output on a new
// pipe; returns the read end, or an invalid descriptor after reporting why.
// `status` receives the exit status to use when the start fails.
FileDescriptor start_server(const std::string& command_text, ServerProcess& server, int& status) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        report("cannot create a pipe for the server's output", last_error());
        status = launcher_failure;
        return {};
    }
    FileDescriptor read_end(ends[0]);
    const FileDescriptor write_end(ends[1]);
    // A pipe larger than the default 64 KiB lets the server write on while
    // the console takes its time, instead of stopping at every full pipe;
    // the relay still passes each piece on as soon as it arrives.
    if (::fcntl(read_end.get(), F_SETPIPE_SZ, server_pipe_size) < 0) {
        report("cannot enlarge the pipe for the server's output", last_error());
    }

    SpawnFileActions actions;
    posix_spawn_file_actions_adddup2(actions.get(), write_end.get(), STDOUT_FILENO);

    // The server starts with no signal blocked and SIGPIPE at its default,
    // whatever the launcher does with them.
    SpawnAttributes attributes;
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigmask(attributes.get(), &none);
    posix_spawnattr_setsigdefault(attributes.get(), &defaults);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;

    // Who delivers Ctrl-C. When standard input is a terminal, the server must
    // stay in the terminal's foreground process group (the launcher's) to
    // read the console; the terminal then signals the server itself, so the
    // launcher passes on only the signals that a process sent to it, never
    // the ones the terminal generated (the server would get Ctrl-C twice, and
    // many servers take a second one as "quit without saving"). Otherwise the
    // server gets a process group of its own: a signal sent to the launcher's
    // group then reaches the launcher alone, which passes it on once.
    server.shares_process_group = ::isatty(STDIN_FILENO) != 0;
    if (!server.shares_process_group) {
        posix_spawnattr_setpgroup(attributes.get(), 0);
        flags |= POSIX_SPAWN_SETPGROUP;
    }
    posix_spawnattr_setflags(attributes.get(), flags);

    // exec replaces the shell by the runtime, so that the runtime itself is
    // the process that gets the signals and whose status is collected.
    const std::string script = "exec " + command_text;
    const char* const argv[] = {"/bin/sh", "-c", script.c_str(), nullptr};

    sigpending(&server.pending_before_start);
    pid_t pid = 0;
    const int error = posix_spawn(&pid, argv[0], actions.get(), attributes.get(),
                                  const_cast<char* const*>(argv), environ);
    if (error != 0) {
        report("cannot start /bin/sh", last_error(error));
        status = error == ENOENT                         ? 127
                 : (error == EACCES || error == ENOEXEC) ? 126
                                                         : launcher_failure;
        return {};
    }
    server.pid = pid;
    server.signal_target = pid;
    return read_end;
}

// Collects orphans that were re-parented to the launcher (it is process 1 in
// a container), leaving the server itself to the runner.
void reap_orphans(const ServerProcess& server) {
    for (;;) {
        siginfo_t info{};
        if (::waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid == 0 ||
            info.si_pid == server.pid) {
            return;
        }
        ::waitpid(info.si_pid, nullptr, WNOHANG);
    }
}

void forward(ServerProcess& server, int signal) {
    const std::lock_guard lock(server.mutex);
    if (server.signal_target != 0 && ::kill(server.signal_target, signal) != 0) {
        report("cannot pass a signal on to the server", last_error());
    }
}

// The body of the watcher thread: takes the watched signals one by one until
// `stop` is set (the runner wakes it with a SIGCHLD of its own).
void watch_signals(ServerProcess& server, const std::atomic<bool>& stop) {
    const sigset_t watched = watched_signals();
    sigset_t early = server.pending_before_start;
    while (!stop.load()) {
        siginfo_t info{};
        const int signal = ::sigwaitinfo(&watched, &info);
        if (signal < 0) {
            if (errno != EINTR) {
                report("cannot wait for signals", last_error());
                return;
            }
            continue;
        }
        if (signal == SIGCHLD) {
            reap_orphans(server);
            continue;
        }
        const bool from_terminal = info.si_code == SI_KERNEL;
        const bool early_one = sigismember(&early, signal) == 1;
        sigdelset(&early, signal);
        if (from_terminal && server.shares_process_group && !early_one) {
            continue;  // the server had this one from the terminal itself
        }
        forward(server, signal);
    }
}

// Waits for the server to end and returns its status. The server is first
// waited for without being collected, so that the watcher stops signalling
// it while its process id still belongs to it.
int wait_for_server(ServerProcess& server) {
    siginfo_t info{};
    while (::waitid(P_PID, static_cast<id_t>(server.pid), &info, WEXITED | WNOWAIT) != 0 &&
           errno == EINTR) {
    }
    {
        const std::lock_guard lock(server.mutex);
        server.signal_target = 0;
    }
    int wait_status = 0;
    pid_t collected = 0;
    while ((collected = ::waitpid(server.pid, &wait_status, 0)) < 0 && errno == EINTR) {
    }
    if (collected < 0) {
        report("cannot collect the server's exit status", last_error());
        return launcher_failure;
    }
    return exit_status_of(wait_status);
}

}  // namespace

void prepare_process() {
    // A descriptor among 0 to 2 that is closed would be reused by the pipe
    // and confuse it with the console; keep them taken.
    for (int fd = 0; fd <= 2; ++fd) {
        // Without O_CLOEXEC: it stands in for the standard descriptor, for
        // the server too.
        if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF &&
            ::open("/dev/null", O_RDWR) < 0) {  // NOLINT(android-cloexec-open)
            report("cannot open /dev/null in place of a closed standard descriptor", last_error());
        }
    }
    ::signal(SIGPIPE, SIG_IGN);
    // Inherited "ignore" for SIGCHLD would make the system collect the server
    // itself, and its exit status would be lost.
    ::signal(SIGCHLD, SIG_DFL);
    const sigset_t watched = watched_signals();
    pthread_sigmask(SIG_BLOCK, &watched, nullptr);
}

std::error_code set_environment(const char* name, const char* value) {
    // The entry point sets the environment before any thread starts.
    if (::setenv(name, value, 1) != 0) {  // NOLINT(concurrency-mt-unsafe)
        return last_error();
    }
    return {};
}

std::string quote_argument(std::string_view word) {
    return quote_for_posix_shell(word);
}

int run_server(const std::string& command_text) {
    ServerProcess server;
    int status = launcher_failure;
    FileDescriptor output = start_server(command_text, server, status);
    if (output.get() < 0) {
        return status;
    }

    std::atomic<bool> stop_watching{false};
    std::thread watcher;
    try {
        watcher = std::thread(watch_signals, std::ref(server), std::cref(stop_watching));
    } catch (const std::system_error& error) {
        report("cannot start the signal watcher; stop signals are not passed on", error.code());
    }

    relay(output.get(), STDOUT_FILENO);
    output.reset();
    status = wait_for_server(server);

    if (watcher.joinable()) {
        stop_watching.store(true);
        pthread_kill(watcher.native_handle(), SIGCHLD);
        watcher.join();
    }
    // Orphans that ended after the watcher stopped.
    while (::waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    return status;
}

}  // namespace launcher::platform
