#include "guard.h"

#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "job.h"
#include "report.h"

namespace launcher::platform {

namespace {

// The guard's whole life: waits for the end of the lifeline, then for the
// launcher's children to pass to their new parent, and stops the job.
[[noreturn]] void guard_job(int lifeline, pid_t launcher, bool shares_group) {
    // Left to its work by whatever signals the terminal or a stop of the
    // whole group sends; the launcher ends it with SIGKILL.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    for (int number = 1; number <= SIGRTMAX; ++number) {
        if (number != SIGKILL && number != SIGSTOP && number != SIGCHLD) {
            (void)::sigaction(number, &ignore, nullptr);  // EINVAL: one glibc keeps
        }
    }
    sigset_t none;
    sigemptyset(&none);
    (void)pthread_sigmask(SIG_SETMASK, &none, nullptr);

    // The server's own group, as the server writes it before it executes;
    // the end of the file once the launcher and that child have both let
    // go of the lifeline.
    pid_t group = 0;
    for (;;) {
        pid_t told = 0;
        const ssize_t got = retry_on_eintr([&] { return ::read(lifeline, &told, sizeof told); });
        if (got == sizeof told) {
            group = told;
            continue;
        }
        break;
    }
    if (!shares_group) {
        if (group > 0) {
            (void)::kill(-group, SIGTERM);  // ESRCH: nothing of it is left
        }
        ::_exit(0);
    }
    // The launcher's descriptors close before its children pass to a new
    // parent (its reaper, or process 1); the guard passes with them.
    const timespec pause{0, 1000000};
    for (int waited = 0; ::getppid() == launcher && waited < 5000; ++waited) {
        (void)::nanosleep(&pause, nullptr);
    }
    const pid_t self = ::getpid();
    const pid_t reaper = ::getppid();
    for (const ProcessEntry& process : descendants_in_group(reaper, ::getpgrp(), self)) {
        if (process.state != 'Z') {
            (void)::kill(process.pid, SIGTERM);
        }
    }
    ::_exit(0);
}

}  // namespace

std::error_code start_guard(Guard& guard, bool shares_group) {
    Pipe lifeline;
    if (const std::error_code error = make_socket_pair(lifeline)) {
        return error;
    }
    const pid_t launcher = ::getpid();
    // Forked while the launcher's only other thread waits in a join and
    // holds no lock, so the guard may allocate as the launcher does.
    const pid_t pid = ::fork();
    if (pid < 0) {
        return last_error();
    }
    if (pid == 0) {
        lifeline.write.reset();
        guard_job(lifeline.read.get(), launcher, shares_group);
    }
    guard.pid = pid;
    guard.lifeline = std::move(lifeline.write);
    return {};
}

void dismiss_guard(Guard& guard) {
    if (guard.pid <= 0) {
        return;
    }
    // Not waited for: SIGKILL ends it before it can run again, also when the
    // lifeline ends with the launcher, and waiting for a process to be
    // scheduled only to end would slow every launcher's end. Whoever
    // collects the launcher's orphans collects it.
    if (::kill(guard.pid, SIGKILL) != 0) {
        report("cannot end the guard of the server's job", last_error());
    }
    guard.pid = 0;
}

}  // namespace launcher::platform
