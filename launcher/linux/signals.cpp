#include "signals.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>

#include "report.h"

namespace launcher::platform {

namespace {

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

    stop_ = FileDescriptor(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!stop_.valid()) {
        return last_error();
    }

    sigemptyset(&reset_in_server_);
    sigaddset(&reset_in_server_, SIGPIPE);
    sigaddset(&reset_in_server_, SIGXFSZ);
    sigset_t taken;
    sigemptyset(&taken);
    for (int number = 1; number <= SIGRTMAX; ++number) {
        if (left_alone(number, shares_process_group)) {
            continue;
        }
        // A signal the launcher was started with ignored (nohup's SIGHUP, a
        // background job's SIGINT and SIGQUIT) stays ignored, and the server
        // inherits that. (SIGCHLD is at its default since prepare_process.)
        struct sigaction earlier {};
        if (::sigaction(number, nullptr, &earlier) != 0) {
            return last_error();
        }
        if (earlier.sa_handler == SIG_IGN && number != SIGCHLD) {
            continue;
        }
        sigaddset(&taken, number);
    }
    // Blocked in every thread (the watcher's inherits this one's mask), so
    // that each taken signal waits for the watcher to read it, and is
    // delivered to no thread: a blocked signal is kept even where its
    // default action is to ignore it (SIGCHLD, SIGWINCH, SIGURG).
    if (const int error = pthread_sigmask(SIG_BLOCK, &taken, &earlier_mask_); error != 0) {
        return last_error(error);
    }
    signals_ = FileDescriptor(::signalfd(-1, &taken, SFD_CLOEXEC | SFD_NONBLOCK));
    if (!signals_.valid()) {
        const std::error_code error = last_error();
        restore();
        return error;
    }
    return {};
}

namespace {

// The watcher thread's stack: four times what its deepest call takes (the
// walk of the launcher's descendants when it shares their group), with room
// for a sanitizer's larger frames. Untouched pages cost nothing.
alignas(4096) std::array<std::byte, std::size_t{256} * 1024> watcher_stack;

// Owns a thread attribute set.
class ThreadAttributes {
public:
    ThreadAttributes() : error_(pthread_attr_init(&attributes_)) {}
    ThreadAttributes(const ThreadAttributes&) = delete;
    ThreadAttributes& operator=(const ThreadAttributes&) = delete;
    ThreadAttributes(ThreadAttributes&&) = delete;
    ThreadAttributes& operator=(ThreadAttributes&&) = delete;
    ~ThreadAttributes() {
        if (error_ == 0) {
            (void)pthread_attr_destroy(&attributes_);  // cannot fail on Linux
        }
    }
    int error() const { return error_; }
    pthread_attr_t* get() { return &attributes_; }

private:
    pthread_attr_t attributes_{};
    int error_;
};

}  // namespace

std::error_code SignalWatcher::run() {
    ThreadAttributes attributes;
    if (attributes.error() != 0) {
        return last_error(attributes.error());
    }
    // A stack given by the caller is the caller's to release: the C library
    // leaves its pages alone as the thread ends.
    if (const int error = pthread_attr_setstack(attributes.get(), watcher_stack.data(),
                                                watcher_stack.size());
        error != 0) {
        return last_error(error);
    }
    const auto watch_on_thread = [](void* watcher) -> void* {
        static_cast<SignalWatcher*>(watcher)->watch();
        return nullptr;
    };
    if (const int error = pthread_create(&thread_, attributes.get(), watch_on_thread, this);
        error != 0) {
        return last_error(error);
    }
    running_ = true;
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

}  // namespace

void SignalWatcher::stop() {
    if (running_) {
        notify(stop_.get(), "cannot stop the signal watcher");
        if (const int error = pthread_join(thread_, nullptr); error != 0) {
            report("cannot wait for the signal watcher", last_error(error));
        }
        running_ = false;
    }
    // The signals stay blocked, and those that come now are dropped with
    // the launcher, which ends next with the server's status: the server's
    // job has ended.
}

void SignalWatcher::restore() {
    if (const int error = pthread_sigmask(SIG_SETMASK, &earlier_mask_, nullptr); error != 0) {
        report("cannot let the signals through again", last_error(error));
    }
}

void SignalWatcher::watch() {
    bool ticking = false;
    // False once the server's job is over.
    const auto look_at_children = [&] {
        const Children children = on_child_();
        ticking = children == Children::look_again;
        return children != Children::job_over;
    };
    for (;;) {
        std::array<pollfd, 2> ready{{{stop_.get(), POLLIN, 0}, {signals_.get(), POLLIN, 0}}};
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
            if (!look_at_children()) {
                return;
            }
            continue;
        }
        if (ready[1].revents == 0) {
            continue;
        }
        std::array<signalfd_siginfo, 32> records{};
        const ssize_t got = ::read(signals_.get(), records.data(), sizeof records);
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            report("cannot read the signals taken; they are no longer passed on", last_error());
            return;
        }
        const auto count = static_cast<std::size_t>(got) / sizeof(signalfd_siginfo);
        for (std::size_t i = 0; i < count; ++i) {
            const signalfd_siginfo& record = records.at(i);
            const auto number = static_cast<int>(record.ssi_signo);
            if (number == SIGCHLD) {
                if (!look_at_children()) {
                    return;
                }
                continue;
            }
            handle(number, record.ssi_code, static_cast<pid_t>(record.ssi_pid));
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
