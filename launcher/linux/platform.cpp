// The platform layer for Linux: setenv, and the server started through the
// POSIX shell (spawn.h) with its output on a pipe, relayed (relay.h) while
// the signal watcher (signals.h) passes stop requests on, and waited for
// together with its job (job.h).
#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "console.h"
#include "descriptor.h"
#include "exit_status.h"
#include "guard.h"
#include "job.h"
#include "platform.h"
#include "quote.h"
#include "relay.h"
#include "report.h"
#include "signals.h"
#include "spawn.h"

namespace launcher::platform {

namespace {

// Sets one signal's action, reporting a refusal.
void set_signal_action(int number, void (*action)(int), int flags, const char* why) {
    struct sigaction setting {};
    setting.sa_handler = action;
    setting.sa_flags = flags;
    sigemptyset(&setting.sa_mask);
    if (::sigaction(number, &setting, nullptr) != 0) {
        report(why, last_error());
    }
}

// What the runner sets up before the server starts, so that a failure ends
// the launcher before there is a server.
struct RunnerSetup {
    Pipe output;              // the server's standard output
    RelayStop relay_stop;     // requested once the server's job has ended
    FileDescriptor job_over;  // an eventfd: the server's job has ended
};

bool set_up_runner(RunnerSetup& setup) {
    if (const std::error_code error = make_pipe(setup.output)) {
        report("cannot create a pipe for the server's output", error);
        return false;
    }
    // The system's default size (64 KiB): larger ones showed no gain in the
    // bench (bench/relay_bench.cpp, "pipes") and spend the user's pipe
    // allowance, after which every new pipe of that user is 4 KiB.
    // A process that left the job may hold the pipe open after the job
    // has ended: the relay then ends on this stop rather than on the pipe's
    // end.
    if (const std::error_code error = setup.relay_stop.prepare(setup.output.read.get())) {
        report("cannot set up the end of the relay", error);
        return false;
    }
    setup.job_over = FileDescriptor(::eventfd(0, EFD_CLOEXEC));
    if (!setup.job_over.valid()) {
        report("cannot create the event that says the server's job has ended", last_error());
        return false;
    }
    // Orphans of the server's job come to the launcher rather than to
    // process 1, so that the launcher sees what is left of the job.
    if (::prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) {
        report("cannot become the reaper of the server's orphans", last_error());
        return false;
    }
    return true;
}

// Takes the signals: from now on they wait for the watcher thread.
bool start_watching(SignalWatcher& watcher, bool shares_group, RunnerSetup& setup, Job& job) {
    job.over = setup.job_over.get();
    const bool leads_session = ::getsid(0) == job.launcher;
    const auto on_child = [&job, &stop = setup.relay_stop] {
        const bool runs_on = watch_job(job);
        if (job.ended.load()) {
            stop.request();
            return SignalWatcher::Children::job_over;
        }
        return runs_on ? SignalWatcher::Children::look_again : SignalWatcher::Children::running;
    };
    if (const std::error_code error = watcher.start(shares_group, leads_session, on_child)) {
        report("cannot take the signals for the server", error);
        return false;
    }
    return true;
}

}  // namespace

void prepare_process() {
    // The launcher's three threads allocate little: one allocation arena
    // for all of them, rather than one mapped for each thread that
    // allocates (four system calls as the runner starts, three more as the
    // watcher ends). A hint only: an allocator that does not take it (a
    // sanitizer's) works as before. Before any thread starts.
    (void)::mallopt(M_ARENA_MAX, 1);  // NOLINT(concurrency-mt-unsafe)
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
    // A closed standard output, or one past the file size limit, must not
    // end the launcher while the server runs: the write fails instead, and
    // the failure is reported.
    set_signal_action(SIGPIPE, SIG_IGN, 0,
                      "cannot ignore SIGPIPE; a closed output may end the launcher");
    set_signal_action(SIGXFSZ, SIG_IGN, 0,
                      "cannot ignore SIGXFSZ; a full output may end the launcher");
    // Inherited "ignore" for SIGCHLD would make the system collect the server
    // itself, and its exit status would be lost. A child that stops or
    // continues (Ctrl-Z) need not wake the watcher.
    set_signal_action(SIGCHLD, SIG_DFL, SA_NOCLDSTOP,
                      "cannot reset SIGCHLD; the server's status may be lost");
    // Signals blocked by whoever started the launcher would never reach the
    // watcher; until the server starts, they keep their default action.
    sigset_t none;
    sigemptyset(&none);
    if (const int error = pthread_sigmask(SIG_SETMASK, &none, nullptr); error != 0) {
        report("cannot unblock signals", last_error(error));
    }
}

void start_runner() {
    // The main thread only waits from now on: with every signal but the
    // faults of its own code blocked, no signal is delivered to it. The
    // runner thread inherits the mask and unblocks them for itself; until
    // the watcher takes them, they keep their default action there.
    sigset_t held;
    sigfillset(&held);
    for (const int fault : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP, SIGABRT}) {
        sigdelset(&held, fault);
    }
    if (const int error = pthread_sigmask(SIG_SETMASK, &held, nullptr); error != 0) {
        report("cannot leave the signals to the runner", last_error(error));
    }
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

std::error_code write_output(std::string_view text) {
    return write_all(STDOUT_FILENO, text);
}

int run_server(const std::string& command_text, ServerConsole* console) {
    // The main thread has left the signals to this one (start_runner).
    sigset_t none;
    sigemptyset(&none);
    if (const int error = pthread_sigmask(SIG_SETMASK, &none, nullptr); error != 0) {
        report("cannot unblock signals", last_error(error));
    }
    const bool shares_group = holds_terminal_foreground();
    // First, so that the guard holds none of the launcher's descriptors.
    Guard guard;
    if (const std::error_code error = start_guard(guard, shares_group)) {
        report("cannot start the guard of the server's job", error);
        return launcher_failure;
    }
    RunnerSetup setup;
    Job job;
    job.launcher = ::getpid();
    job.shares_group = shares_group;
    // Read before the watcher thread starts.
    const char* search_path = std::getenv("PATH");  // NOLINT(concurrency-mt-unsafe)
    // Without PATH, the shell searches its own default.
    job.search_path = search_path != nullptr ? search_path : "/usr/local/bin:/usr/bin:/bin";
    job.guard.store(guard.pid);
    SignalWatcher watcher;
    if (!set_up_runner(setup) || !start_watching(watcher, shares_group, setup, job)) {
        dismiss_guard(guard);
        return launcher_failure;
    }

    // The console's thread starts with the signals blocked, as they are here.
    if (console != nullptr) {
        if (const std::error_code error = console->start()) {
            report("cannot set up the server's console input", error);
            watcher.stop();
            dismiss_guard(guard);
            return launcher_failure;
        }
    }
    const StartedServer server = start_server(
        command_text, console != nullptr ? console->server_input() : -1, setup.output.write.get(),
        guard.server_group, watcher.to_reset_in_server());
    setup.output.write.reset();
    if (console != nullptr) {
        console->server_started();
    }
    if (server.pid == 0) {
        watcher.stop();
        dismiss_guard(guard);
        return server.status;
    }
    job.group = shares_group ? ::getpgrp() : server.pid;
    job.server.store(server.pid);
    watcher.forward_to(
        [&job](int number, bool from_terminal) { signal_job(job, number, from_terminal); });
    // Started once the server is on its way, rather than before: the
    // signals taken meanwhile wait in their records.
    if (const std::error_code error = watcher.run()) {
        report("cannot start the signal watcher; the server is stopped", error);
        // Nothing relays the output: the server gets EPIPE rather than
        // block on a full pipe while it stops.
        setup.output.read.reset();
        signal_job(job, SIGTERM, false);
        int wait_status = 0;
        (void)retry_on_eintr([&] { return ::waitpid(server.pid, &wait_status, 0); });
        dismiss_guard(guard);
        return launcher_failure;
    }
    // A server that ended before it was known left its SIGCHLD blocked,
    // for the watcher's first read.

    relay(setup.output.read.get(), STDOUT_FILENO, &setup.relay_stop);
    setup.output.read.reset();
    const int status = wait_for_server(job);
    // The job has ended: from now on the watcher thread collects nothing
    // and signals nothing (watch_job, signal_job), so the guard's id is
    // still its own unless it was collected already. The guard is ended
    // before the watcher thread is joined, so that both end at once rather
    // than one after the other: the watcher thread ends by itself once the
    // job has ended, and the join mostly finds it gone.
    if (job.guard.load() == 0) {
        guard.pid = 0;  // collected already, with the orphans
    }
    dismiss_guard(guard);
    collect_ended_children();  // orphans that ended after the job
    watcher.stop();
    return status;
}

}  // namespace launcher::platform
