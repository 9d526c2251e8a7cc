#include "signals.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>

#include "report.h"

namespace launcher::platform {

namespace {

// What the handler records about one signal.
struct SignalRecord {
    int number = 0;
    int code = 0;      // si_code: SI_KERNEL for the terminal and the kernel
    pid_t sender = 0;  // si_pid for a signal from a process
};

// The write end of the record pipe, for the handler.
std::atomic<int> record_end{-1};
// The launcher's process id, for the handler.
std::atomic<pid_t> launcher_pid{0};

extern "C" void record_signal(int number, siginfo_t* info, void* /*context*/) {
    const int saved_errno = errno;
    if (::getpid() != launcher_pid.load()) {
        // The server's process before it executes (spawn.h), which keeps
        // the launcher's handlers: the signal is the server's, and takes its
        // default action there, as it would in the server.
        struct sigaction by_default {};
        by_default.sa_handler = SIG_DFL;
        (void)::sigaction(number, &by_default, nullptr);
        (void)::kill(::getpid(), number);  // delivered as the handler returns
        errno = saved_errno;
        return;
    }
    const SignalRecord record{number, info->si_code, info->si_pid};
    // One write of a few bytes to the local socket is atomic; a full one
    // (thousands of signals unread) loses the record rather than block the
    // handler.
    (void)::write(record_end.load(), &record, sizeof record);
    errno = saved_errno;
}

// Whether the launcher leaves `number` alone (see start()).
bool left_alone(int number, bool shares_process_group) {
    switch (number) {
    case SIGKILL:
    case SIGSTOP:
    case SIGSEGV:
    case SIGBUS:
    case SIGILL:
    case SIGFPE:
    case SIGTRAP:
    case SIGABRT:
    case SIGPIPE:
    case SIGXFSZ:
    case SIGTTIN:
    case SIGTTOU:
        return true;
    case SIGTSTP:
    case SIGCONT:
        return shares_process_group;
    default:
        // glibc keeps the first real-time signals for itself.
        return number > SIGSYS && number < SIGRTMIN;
    }
}

}  // namespace

bool holds_terminal_foreground() {
    const pid_t group = ::getpgrp();
    for (int fd = 0; fd <= 2; ++fd) {
        // -1 (ENOTTY) unless `fd` is the controlling terminal.
        if (::tcgetpgrp(fd) == group) {
            return true;
        }
    }
    return false;
}

SignalWatcher::~SignalWatcher() {
    stop();
}

std::error_code SignalWatcher::start(bool shares_process_group, bool leads_session,
                                     ChildEvents on_child) {
    shares_process_group_ = shares_process_group;
    leads_session_ = leads_session;
    session_leader_ = ::getsid(0);
    on_child_ = std::move(on_child);

    Pipe records;
    if (const std::error_code error = make_socket_pair(records, SOCK_NONBLOCK)) {
        return error;
    }
    children_changed_ = FileDescriptor(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    stop_ = FileDescriptor(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!children_changed_.valid() || !stop_.valid()) {
        return last_error();
    }
    records_ = std::move(records.read);
    recorder_ = std::move(records.write);
    record_end.store(recorder_.get());
    launcher_pid.store(::getpid());

    sigemptyset(&reset_in_server_);
    sigaddset(&reset_in_server_, SIGPIPE);
    sigaddset(&reset_in_server_, SIGXFSZ);
    for (int number = 1; number <= SIGRTMAX; ++number) {
        if (left_alone(number, shares_process_group)) {
            continue;
        }
        struct sigaction taking {};
        taking.sa_sigaction = record_signal;
        taking.sa_flags = SA_SIGINFO | SA_RESTART | (number == SIGCHLD ? SA_NOCLDSTOP : 0);
        sigfillset(&taking.sa_mask);
        struct sigaction earlier {};
        if (::sigaction(number, &taking, &earlier) != 0) {
            const std::error_code error = last_error();
            restore();
            return error;
        }
        // A signal the launcher was started with ignored (nohup's SIGHUP, a
        // background job's SIGINT and SIGQUIT) stays ignored, and the server
        // inherits that. (SIGCHLD is at its default since prepare_process.)
        // Taken and given back in that case, which is rare: one call each
        // for the others.
        if (earlier.sa_handler == SIG_IGN && number != SIGCHLD) {
            if (::sigaction(number, &earlier, nullptr) != 0) {
                const std::error_code error = last_error();
                restore();
                return error;
            }
            continue;
        }
        taken_.emplace_back(number, earlier);
    }
    return {};
}

std::error_code SignalWatcher::run() {
    try {
        thread_ = std::thread([this] { watch(); });
    } catch (const std::system_error& error) {
        return error.code();
    }
    return {};
}

void SignalWatcher::forward_to(Send send) {
    const std::lock_guard lock(mutex_);
    send_ = std::move(send);
    for (const auto& [number, from_terminal] : held_) {
        send_(number, from_terminal);
    }
    held_.clear();
}

namespace {

// Adds one to an eventfd's count; that never blocks nor fails short of
// 2^64 - 2 additions.
void notify(int event, const char* what) {
    const std::uint64_t one = 1;
    if (retry_on_eintr([&] { return ::write(event, &one, sizeof one); }) < 0) {
        report(what, last_error());
    }
}

// Takes an eventfd's count back to 0.
void clear(int event) {
    std::uint64_t count = 0;
    (void)::read(event, &count, sizeof count);  // EAGAIN: already 0
}

}  // namespace

void SignalWatcher::check_children() {
    notify(children_changed_.get(), "cannot wake the signal watcher");
}

void SignalWatcher::stop() {
    if (thread_.joinable()) {
        notify(stop_.get(), "cannot stop the signal watcher");
        thread_.join();
    }
    // The handlers stay and record nothing more: the launcher ends next,
    // with the server's status, and a signal that comes now finds the
    // server's job ended. Restoring them would be a system call for each
    // signal on every launcher's way out.
    record_end.store(-1);
    (void)recorder_.release();
}

void SignalWatcher::restore() {
    for (const auto& [number, earlier] : taken_) {
        if (::sigaction(number, &earlier, nullptr) != 0) {
            report("cannot restore the handling of a signal", last_error());
        }
    }
    taken_.clear();
    record_end.store(-1);
    // A handler that started before this may still write to the record pipe.
    // Its write end stays open until the process ends, so that such a write
    // can never reach a file that reuses the descriptor.
    (void)recorder_.release();
}

void SignalWatcher::watch() {
    bool ticking = false;
    for (;;) {
        std::array<pollfd, 3> ready{{{stop_.get(), POLLIN, 0},
                                     {children_changed_.get(), POLLIN, 0},
                                     {records_.get(), POLLIN, 0}}};
        const int polled = ::poll(ready.data(), ready.size(), ticking ? 100 : -1);
        if (polled < 0) {
            if (errno == EINTR) {
                continue;
            }
            report("cannot wait for signals; they are no longer passed on", last_error());
            return;
        }
        if (ready[0].revents != 0) {
            return;
        }
        if (polled == 0) {
            ticking = on_child_();
            continue;
        }
        if (ready[1].revents != 0) {
            clear(children_changed_.get());
            ticking = on_child_();
        }
        if (ready[2].revents == 0) {
            continue;
        }
        std::array<SignalRecord, 64> records{};
        const ssize_t got = ::read(records_.get(), records.data(), sizeof records);
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            report("cannot read the signals taken; they are no longer passed on", last_error());
            return;
        }
        const auto count = static_cast<std::size_t>(got) / sizeof(SignalRecord);
        for (std::size_t i = 0; i < count; ++i) {
            const SignalRecord& record = records.at(i);
            if (record.number == SIGCHLD) {
                ticking = on_child_();
                continue;
            }
            handle(record.number, record.code, record.sender);
        }
    }
}

void SignalWatcher::handle(int number, int code, pid_t sender) {
    const bool from_terminal = code == SI_KERNEL;
    if (number == SIGHUP && (from_terminal || (code == SI_USER && sender == session_leader_))) {
        // A hang-up comes in copies: the kernel signals the session leader
        // and, as the leader ends, the foreground group; a shell passes its
        // own on to the group of each of its jobs. The server gets one
        // hang-up from the launcher at most, and none when it shares the
        // launcher's group, which those copies reach: the exception is the
        // kernel's to the launcher leading its session, which reaches it
        // alone.
        const auto now = std::chrono::steady_clock::now();
        const bool copy = hung_up_ && now - last_hang_up_ < std::chrono::seconds(2);
        const bool reached_group = shares_process_group_ && !(leads_session_ && from_terminal);
        if (copy || reached_group) {
            return;
        }
        hung_up_ = true;
        last_hang_up_ = now;
    } else if (shares_process_group_ && from_terminal) {
        // From the terminal (Ctrl-C, Ctrl-\): it signals its whole
        // foreground group, the server's job included, unless the server
        // has left it.
        forward(number, true);
        return;
    }
    forward(number, false);
}

void SignalWatcher::forward(int number, bool from_terminal) {
    const std::lock_guard lock(mutex_);
    if (!send_) {
        // Taken while the server was being started: it gets it once it
        // exists.
        held_.emplace_back(number, from_terminal);
        return;
    }
    send_(number, from_terminal);
}

}  // namespace launcher::platform
