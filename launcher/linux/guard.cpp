#include "guard.h"

#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <span>

#include "job.h"
#include "report.h"
#include "shared_memory_child.h"

namespace launcher::platform {

namespace {

// What the guard works with, in memory that outlives the launcher's
// threads: the launcher's memory stays as long as the guard runs in it.
struct GuardState {
    int lifeline = -1;      // the guard's end
    int launcher_end = -1;  // the launcher's end, which the guard closes
    pid_t launcher = 0;
    bool shares_group = false;
    std::atomic<pid_t> server_group{0};
    alignas(16) std::array<std::byte, std::size_t{128} * 1024> stack{};
    std::array<ProcessEntry, 4096> job{};
};

GuardState guard_state;

// Once the launcher has gone: SIGTERM to every process of the job.
[[noreturn]] void stop_job(GuardState& state) {
    // The launcher's threads are gone.
    if (!state.shares_group) {
        const pid_t group = state.server_group.load();
        if (group > 0) {
            (void)::kill(-group, SIGTERM);  // ESRCH: nothing of it is left
        }
        ::_exit(0);
    }
    // The launcher's descriptors close before its children pass to a new
    // parent (its reaper, or process 1); the guard passes with them.
    const timespec pause{0, 1000000};
    for (int waited = 0; ::getppid() == state.launcher && waited < 5000; ++waited) {
        (void)::nanosleep(&pause, nullptr);
    }
    const std::size_t count = descendants_in_group(::getppid(), ::getpgrp(), ::getpid(), state.job);
    for (const ProcessEntry& process : std::span(state.job).first(count)) {
        if (process.state != 'Z') {
            (void)::kill(process.pid, SIGTERM);
        }
    }
    ::_exit(0);
}

// Until the launcher has gone, the guard runs beside the launcher's threads
// in their memory: it makes system calls only, through syscall(2), so that
// no sanitizer's interceptor runs on the thread state it shares, and no
// errno is written, since none fails.
LAUNCHER_UNINSTRUMENTED void wait_for_launchers_end(const GuardState& state) {
    (void)::syscall(SYS_close, state.launcher_end);
    // Every signal that can be is blocked, and stays pending for good, so
    // that what the terminal or a stop of the whole group sends leaves the
    // guard to its work; the launcher ends it with SIGKILL. (The kernel's
    // signal set is 64 bits.)
    const unsigned long all = ~0UL;
    (void)::syscall(SYS_rt_sigprocmask, SIG_SETMASK, &all, nullptr, sizeof all);
    // Nothing is ever written on the lifeline: the read ends when the
    // launcher, and any child of it that has not yet executed, let go.
    char nothing = 0;
    for (;;) {
        const long got = ::syscall(SYS_read, state.lifeline, &nothing, 1);
        if (got == 0) {
            return;
        }
        if (got < 0 && errno != EINTR) {
            // Cannot happen on a socket of its own; the launcher sees the
            // guard end.
            (void)::syscall(SYS_exit_group, 1);
        }
    }
}

// The guard's whole life: waits for the end of the lifeline, then for the
// launcher's children to pass to their new parent, and stops the job.
extern "C" LAUNCHER_UNINSTRUMENTED int guard_job(void* /*unused*/) {
    wait_for_launchers_end(guard_state);
    stop_job(guard_state);
}

}  // namespace

std::error_code start_guard(Guard& guard, bool shares_group) {
    Pipe lifeline;
    if (const std::error_code error = make_socket_pair(lifeline)) {
        return error;
    }
    GuardState& state = guard_state;
    state.lifeline = lifeline.read.get();
    state.launcher = ::getpid();
    state.shares_group = shares_group;
    state.launcher_end = lifeline.write.get();
    // The guard gets a copy of the launcher's descriptors (no CLONE_FILES):
    // it closes its copy of the launcher's end, and the launcher its copy of
    // the guard's.
    const pid_t pid = start_sharing_memory(guard_job, state.stack, SIGCHLD, nullptr);
    if (pid < 0) {
        return last_error();
    }
    guard.pid = pid;
    guard.lifeline = std::move(lifeline.write);
    guard.server_group = shares_group ? nullptr : &state.server_group;
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
