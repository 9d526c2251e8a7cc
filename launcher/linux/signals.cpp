#include "signals.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>

#include "descriptor.h"
#include "guard.h"
#include "report.h"

namespace launcher::platform {

namespace {

bool is_stop(int number) {
    return number == SIGTSTP || number == SIGTTIN || number == SIGTTOU;
}

// Whether the launcher leaves `number` to its default action (or to the
// setting it was started with).
bool left_alone(int number) {
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
        return true;
    default:
        // The C library keeps the first real-time signals for itself.
        return number > SIGSYS && number < SIGRTMIN;
    }
}

// The hang-ups passed on so far, to tell a copy from a new one.
struct HangUps {
    bool any = false;
    std::chrono::steady_clock::time_point last{};
};

void pass_on(Watch& watch, bool collected, int number, int code, pid_t sender, HangUps& hang_ups) {
    const Job& job = watch.job;
    const bool from_terminal = code == SI_KERNEL;
    if (number == SIGHUP &&
        (from_terminal || (code == SI_USER && sender == watch.session_leader))) {
        // The exception is the kernel's hang-up of the launcher leading its
        // session, which reaches it alone.
        const auto now = std::chrono::steady_clock::now();
        const bool copy = hang_ups.any && now - hang_ups.last < std::chrono::seconds(2);
        const bool reached_group = job.shares_group && !(watch.leads_session && from_terminal);
        if (copy || reached_group) {
            return;
        }
        hang_ups = {true, now};
    } else if (job.shares_group && is_stop(number)) {
        if (!from_terminal && signal_job(job, number) != 0) {
            report("cannot pass a signal on to the server", last_error());
        }
        if (::kill(::getpid(), SIGSTOP) != 0) {
            report("cannot stop the launcher with its job", last_error());
        }
        return;
    } else if (job.shares_group && from_terminal) {
        // The server has not been collected, so its id is still its own.
        if (!collected && ::getpgid(job.server) != job.group && ::kill(job.server, number) != 0 &&
            errno != ESRCH) {
            report("cannot pass a signal on to the server", last_error());
        }
        return;
    }
    if (const int error = signal_job(job, number); error != 0) {
        report("cannot pass a signal on to the server", last_error(error));
    }
}

// Collects every child that has ended; the server's status goes to `watch`.
// False when waitid fails.
bool collect_children(Watch& watch, bool& collected) {
    for (;;) {
        siginfo_t info{};
        if (::waitid(P_ALL, 0, &info, WEXITED | WNOHANG) != 0) {
            if (errno == EINTR) {
                continue;
            }
            // ECHILD: none left at all.
            return errno == ECHILD;
        }
        if (info.si_pid == 0) {
            return true;
        }
        if (info.si_pid == watch.job.server) {
            watch.wait_status = info.si_code == CLD_EXITED ? W_EXITCODE(info.si_status, 0)
                                                           : W_EXITCODE(0, info.si_status);
            collected = true;
        }
    }
}

void notify(int event) {
    const std::uint64_t one = 1;
    if (retry_on_eintr([&] { return ::write(event, &one, sizeof one); }) < 0) {
        report("cannot tell the relay that the server's job has ended", last_error());
    }
}

void fail(Watch& watch, const char* what) {
    report(what, last_error());
    watch.failed = true;
    notify(watch.job_over);
}

}  // namespace

bool in_terminal_session() {
    const FileDescriptor terminal(::open("/dev/tty", O_RDONLY | O_NOCTTY | O_CLOEXEC));
    return terminal.valid();
}

sigset_t signals_to_take() {
    sigset_t taken;
    sigemptyset(&taken);
    for (int number = 1; number <= SIGRTMAX; ++number) {
        if (left_alone(number)) {
            continue;
        }
        struct sigaction earlier {};
        if (number != SIGCHLD && ::sigaction(number, nullptr, &earlier) == 0 &&
            earlier.sa_handler == SIG_IGN) {
            continue;
        }
        sigaddset(&taken, number);
    }
    return taken;
}

void watch_job(Watch& watch) {
    bool collected = false;
    HangUps hang_ups;
    for (;;) {
        pollfd ready{watch.signals, POLLIN, 0};
        const int polled = ::poll(&ready, 1, collected ? 100 : -1);
        if (polled < 0 && errno != EINTR) {
            fail(watch, "cannot wait for signals");
            return;
        }
        if (polled > 0) {
            std::array<signalfd_siginfo, 16> records{};
            const ssize_t got = ::read(watch.signals, records.data(), sizeof records);
            if (got < 0 && errno != EINTR && errno != EAGAIN) {
                fail(watch, "cannot read the signals taken");
                return;
            }
            const auto count = got > 0 ? static_cast<std::size_t>(got) / sizeof records[0] : 0;
            for (std::size_t i = 0; i < count; ++i) {
                const signalfd_siginfo& record = records.at(i);
                if (record.ssi_signo != SIGCHLD) {
                    pass_on(watch, collected, static_cast<int>(record.ssi_signo), record.ssi_code,
                            static_cast<pid_t>(record.ssi_pid), hang_ups);
                }
            }
        }
        if (!collect_children(watch, collected)) {
            fail(watch, "cannot collect the server's exit status");
            return;
        }
        if (collected && !job_runs(watch.job)) {
            // The guard ends while the launcher does, rather than after it.
            if (!tell_guard_job_over(watch.guard)) {
                report("cannot dismiss the guard of the server's job", last_error());
            }
            notify(watch.job_over);
            return;
        }
    }
}

}  // namespace launcher::platform
