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
    int code = 0;  // si_code: SI_KERNEL for the terminal and the kernel
};

// The write end of the record pipe, for the handler.
std::atomic<int> record_end{-1};

extern "C" void record_signal(int number, siginfo_t* info, void* /*context*/) {
    const int saved_errno = errno;
    const SignalRecord record{number, info->si_code};
    // One write of a few bytes to a pipe is atomic; a full pipe (thousands
    // of signals unread) loses the record rather than block the handler.
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
    on_child_ = std::move(on_child);

    Pipe records;
    if (const std::error_code error = make_pipe(records, O_NONBLOCK)) {
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

    sigemptyset(&reset_in_server_);
    sigaddset(&reset_in_server_, SIGPIPE);
    sigaddset(&reset_in_server_, SIGXFSZ);
    for (int number = 1; number <= SIGRTMAX; ++number) {
        if (left_alone(number, shares_process_group)) {
            continue;
        }
        struct sigaction earlier {};
        if (::sigaction(number, nullptr, &earlier) != 0) {
            const std::error_code error = last_error();
            restore();
            return error;
        }
        // A signal the launcher was started with ignored (nohup's SIGHUP, a
        // background job's SIGINT and SIGQUIT) stays ignored, and the server
        // inherits that. (SIGCHLD is at its default since prepare_process.)
        if (earlier.sa_handler == SIG_IGN && number != SIGCHLD) {
            continue;
        }
        struct sigaction taking {};
        taking.sa_sigaction = record_signal;
        taking.sa_flags = SA_SIGINFO | SA_RESTART | (number == SIGCHLD ? SA_NOCLDSTOP : 0);
        sigfillset(&taking.sa_mask);
        if (::sigaction(number, &taking, nullptr) != 0) {
            const std::error_code error = last_error();
            restore();
            return error;
        }
        taken_.emplace_back(number, earlier);
        sigaddset(&reset_in_server_, number);
    }

    try {
        thread_ = std::thread([this] { watch(); });
    } catch (const std::system_error& error) {
        restore();
        return error.code();
    }
    return {};
}

void SignalWatcher::forward_to(pid_t server) {
    const std::lock_guard lock(mutex_);
    // In a group of its own, the server's job is that whole group, as for a
    // terminal's Ctrl-C; in the launcher's group, the group also holds the
    // launcher and the rest of its pipeline, so only the server is meant.
    target_ = shares_process_group_ ? server : -server;
    for (const int number : held_) {
        send(number);
    }
    held_.clear();
}

void SignalWatcher::stop_forwarding() {
    const std::lock_guard lock(mutex_);
    target_ = 0;
    ended_ = true;
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
    restore();
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
            handle(record.number, record.code);
        }
    }
}

void SignalWatcher::handle(int number, int code) {
    if (shares_process_group_ && code == SI_KERNEL) {
        // From the terminal: it signals its whole foreground group, the
        // server included, which must not get it twice. The exception is a
        // hang-up when the launcher leads its session: the kernel sends that
        // (SIGHUP, then SIGCONT) to the session leader alone.
        if (!(leads_session_ && number == SIGHUP)) {
            return;
        }
    }
    forward(number);
}

void SignalWatcher::forward(int number) {
    const std::lock_guard lock(mutex_);
    if (target_ == 0) {
        // Taken while the server was being started: it gets it once it
        // exists.
        if (!ended_) {
            held_.push_back(number);
        }
        return;
    }
    send(number);
}

void SignalWatcher::send(int number) const {
    // ESRCH: the server's job has just ended.
    if (::kill(target_, number) != 0 && errno != ESRCH) {
        report("cannot pass a signal on to the server", last_error());
    }
}

}  // namespace launcher::platform
